// The generator that iter_test() returns: an iterator type of our own with the interpreter's
// generator protocol (send, throw, close, the just-started and already-executing rules). Its
// body is in iter_test.cpp.
#include <cstddef>
#include <new>

#include "loop/generator.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace {

inline Gen* as_gen(PyObject* o) { return reinterpret_cast<Gen*>(o); }

void finish(Gen* g) {
    g->state = GenState::finished;
    body_release(g);
}

// An exception leaving the body ends the generator; StopIteration becomes RuntimeError, as for
// the interpreter's generators.
void exception_leaves_body(Gen* g) {
    (void)g;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
#if PY_VERSION_HEX >= 0x03070000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    Py_INCREF(value);
    PyException_SetCause(value2, value);
    PyException_SetContext(value2, value);
    PyErr_Restore(type2, value2, tb2);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, "generator '%.50S' raised StopIteration",
                         g->qualname) < 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return;
    }
    PyErr_Restore(type, value, tb);
#endif
}

// One resumption of the body. Returns the yielded value, or null: with no error when the
// generator has just ended, with the error otherwise. Either way it is then finished.
PyObject* advance(Gen* g, bool throwing) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == GenState::finished) return nullptr;
    PyObject* result = nullptr;
    // From 3.12 an exception thrown into a generator that has not started is raised before
    // its body, where StopIteration is not turned into RuntimeError.
    bool convert = !(throwing && g->state == GenState::created && PY_VERSION_HEX >= 0x030C0000);
    g->running = true;
    Py_INCREF(g);
    try {
        if (throwing)
            result = nullptr;  // the pending exception is raised at the suspension point
        else if (g->state == GenState::created) {
            g->state = GenState::suspended;
            result = body_first_advance(g);
        } else {
            result = body_resume(g);
        }
    } catch (const py::Error&) {
        result = nullptr;
    } catch (...) {
        py::translate_foreign_exception();
        result = nullptr;
    }
    g->running = false;
    if (!result) {
        finish(g);
        if (PyErr_Occurred() && convert) exception_leaves_body(g);
    }
    Py_DECREF(g);
    return result;
}

PyObject* gen_iternext(PyObject* self) { return advance(as_gen(self), false); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    Gen* g = as_gen(self);
    if (g->state == GenState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    PyObject* result = advance(g, false);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// Raises the exception that is set at the suspension point.
PyObject* throw_pending(Gen* g) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == GenState::finished) return nullptr;  // re-raised as it stands
    return advance(g, true);
}

PyObject* gen_throw(PyObject* self, PyObject* args) {
    Gen* g = as_gen(self);
    PyObject* typ;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    if (PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, "
                     "use the single-arg signature instead.", 1) < 0)
        return nullptr;
#endif
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            goto failed;
        }
        Py_XDECREF(val);
        val = typ;
        typ = reinterpret_cast<PyObject*>(PyExceptionInstance_Class(typ));
        Py_INCREF(typ);
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        goto failed;
    }
    PyErr_Restore(typ, val, tb);
    return throw_pending(g);

failed:
    Py_DECREF(typ);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Gen* g = as_gen(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == GenState::finished) Py_RETURN_NONE;
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result = advance(g, true);
    if (result) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Gen* g = as_gen(self);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->self);
    Py_VISIT(g->scope);
    return body_traverse(g, visit, arg);
}

int gen_clear(PyObject* self) {
    Gen* g = as_gen(self);
    Py_CLEAR(g->self);
    Py_CLEAR(g->scope);
    body_release(g);
    return 0;
}

void gen_dealloc(PyObject* self) {
    Gen* g = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (g->weaklist) PyObject_ClearWeakRefs(self);
    gen_clear(self);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_gen(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return py::new_ref(as_gen(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return py::set_str(&as_gen(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return py::new_ref(as_gen(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return py::set_str(&as_gen(self)->qualname, v, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running); }

PyGetSetDef gen_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("gi_running"), get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", gen_throw, METH_VARARGS, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyTypeObject GeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool generator_type_ready() {
    PyTypeObject* t = &GeneratorType;
    t->tp_name = "competition.generator";
    t->tp_basicsize = sizeof(Gen);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_dealloc = gen_dealloc;
    t->tp_repr = gen_repr;
    t->tp_traverse = gen_traverse;
    t->tp_clear = gen_clear;
    t->tp_iter = PyObject_SelfIter;
    t->tp_iternext = gen_iternext;
    t->tp_methods = gen_methods;
    t->tp_getset = gen_getset;
    t->tp_weaklistoffset = offsetof(Gen, weaklist);
    return PyType_Ready(t) == 0;
}

PyObject* iter_test_impl(Function* f, PyObject* const* args) {
    Gen* g = PyObject_GC_New(Gen, &GeneratorType);
    if (!g) return nullptr;
    g->weaklist = nullptr;
    g->name = py::new_ref(f->name);
    g->qualname = py::new_ref(f->qualname);
    g->self = py::new_ref(args[0]);
    g->scope = py::new_ref(f->scope);
    g->state = GenState::created;
    g->running = false;
    g->sample_submission_df = nullptr;
    g->test_df = nullptr;
    g->walk = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return reinterpret_cast<PyObject*>(g);
}

} // namespace competition
