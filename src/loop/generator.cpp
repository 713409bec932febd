// The generator that iter_test() returns: an iterator type of our own with the interpreter's
// generator protocol (send, throw, close, the just-started and already-executing rules). Its
// body is in generator_body.cpp.
#include <cstddef>
#include <new>

#include "loop/accumulate.hpp"
#include "loop/generator.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"
#include "py/object.hpp"
#include "py/type.hpp"

namespace competition {

namespace {

inline Gen* as_gen(PyObject* o) { return reinterpret_cast<Gen*>(o); }

void finish(Gen* g) {
    g->state = GenState::finished;
    body_release(g);
}

// An exception leaving the body ends the generator; StopIteration becomes RuntimeError, as for
// the interpreter's generators (before 3.7, a DeprecationWarning says it will).
void exception_leaves_body(Gen* g) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    py::Caught stop;
#if PY_VERSION_HEX >= 0x03070000
    (void)g;
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    py::Caught error;
    PyException_SetCause(error.value(), py::new_ref(stop.value()));
    PyException_SetContext(error.value(), py::new_ref(stop.value()));
    error.reraise();
#else
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, "generator '%.50S' raised StopIteration", g->qualname.get()) < 0)
        return;  // the warning, turned into an error, stands
    stop.reraise();
#endif
}

// The rule of every entry point: a generator runs one frame at a time.
bool already_executing(const Gen* g) {
    if (g->running) PyErr_SetString(PyExc_ValueError, "generator already executing");
    return g->running;
}

// One resumption of the body. Returns the yielded value, or null: with no error when the
// generator has just ended, with the error otherwise. Either way it is then finished.
PyObject* advance(Gen* g, bool throwing) {
    if (already_executing(g) || g->state == GenState::finished) return nullptr;
    // From 3.12 an exception thrown into a generator that has not started is raised before
    // its body, where StopIteration is not turned into RuntimeError.
    const bool convert = !(throwing && g->state == GenState::created && PY_VERSION_HEX >= 0x030C0000);
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(g));
    g->running = true;
    PyObject* result = py::boundary<PyObject*>(nullptr, [g, throwing]() -> PyObject* {
        if (throwing) return nullptr;  // the pending exception is raised at the suspension point
        if (g->state != GenState::created) return body_resume(g);
        g->state = GenState::suspended;
        return body_first_advance(g);
    });
    g->running = false;
    if (!result) {
        finish(g);
        if (convert && PyErr_Occurred()) exception_leaves_body(g);
    }
    return result;
}

PyObject* gen_iternext(PyObject* self) { return advance(as_gen(self), false); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    Gen* g = as_gen(self);
    if (g->state == GenState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    if (already_executing(g)) return nullptr;
    PyObject* result = advance(g, false);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// Sets the exception that throw(typ, val, tb) raises, as the interpreter's generators read
// the three forms (a class, an instance, or a class with a value).
void set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) py::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    if (PyExceptionClass_Check(typ)) {
        PyObject* type = py::new_ref(typ);
        Py_XINCREF(val);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&type, &val, &tb);
        PyErr_Restore(type, val, tb);
        return;
    }
    if (!PyExceptionInstance_Check(typ))
        py::raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(typ)->tp_name);
    if (val && val != Py_None) py::raise(PyExc_TypeError, "instance exception may not have a separate value");
    PyObject* traceback = tb ? py::new_ref(tb) : PyException_GetTraceback(typ);
    PyObject* cls = reinterpret_cast<PyObject*>(PyExceptionInstance_Class(typ));
    PyErr_Restore(py::new_ref(cls), py::new_ref(typ), traceback);
}

PyObject* gen_throw(PyObject* self, PyObject* args) {
    Gen* g = as_gen(self);
    PyObject* typ;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    const bool thrown = py::boundary(false, [&] {
#if PY_VERSION_HEX >= 0x030C0000
        if (PyTuple_GET_SIZE(args) > 1)
            py::check(PyErr_WarnEx(PyExc_DeprecationWarning,
                                   "the (type, exc, tb) signature of throw() is deprecated, "
                                   "use the single-arg signature instead.",
                                   1));
#endif
        set_thrown(typ, val, tb);
        return true;
    });
    if (!thrown || already_executing(g)) return nullptr;
    if (g->state == GenState::finished) return nullptr;  // re-raised as it stands
    return advance(g, true);
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Gen* g = as_gen(self);
    if (already_executing(g)) return nullptr;
    if (g->state == GenState::finished) Py_RETURN_NONE;
    PyErr_SetNone(PyExc_GeneratorExit);
    if (PyObject* yielded = advance(g, true)) {
        Py_DECREF(yielded);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration) && !PyErr_ExceptionMatches(PyExc_GeneratorExit)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

constexpr py::Ref Gen::* kMembers[] = {&Gen::name, &Gen::qualname, &Gen::self, &Gen::scope};

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Gen* g = as_gen(self);
    if (int found = py::visit_members(g, kMembers, visit, arg)) return found;
    return body_traverse(g, visit, arg);
}

// What the collector breaks: the references that can close a cycle (the instance, the scope and
// the body's locals); the names stay for the repr.
int gen_clear(PyObject* self) {
    Gen* g = as_gen(self);
    g->self.reset();
    g->scope.reset();
    body_release(g);
    return 0;
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_gen(self)->qualname.get(), self);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running); }

PyGetSetDef gen_getset[] = {
    {const_cast<char*>("__name__"), py::get_member<Gen, &Gen::name>, py::set_str_member<Gen, &Gen::name>, nullptr,
     const_cast<char*>("__name__")},
    {const_cast<char*>("__qualname__"), py::get_member<Gen, &Gen::qualname>, py::set_str_member<Gen, &Gen::qualname>,
     nullptr, const_cast<char*>("__qualname__")},
    {const_cast<char*>("gi_running"), get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", gen_throw, METH_VARARGS, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, py::slot(py::dealloc<Gen>)},
    {Py_tp_repr, py::slot(gen_repr)},
    {Py_tp_traverse, py::slot(gen_traverse)},
    {Py_tp_clear, py::slot(gen_clear)},
    {Py_tp_iter, py::slot(PyObject_SelfIter)},
    {Py_tp_iternext, py::slot(gen_iternext)},
    {Py_tp_methods, py::slot(gen_methods)},
    {Py_tp_getset, py::slot(gen_getset)},
    {0, nullptr},
};

PyTypeObject GeneratorType = py::type_object();

} // namespace

void loop_types_ready() {
    py::TypeSpec type_spec{"competition.generator", sizeof(Gen), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, gen_slots};
    type_spec.weaklistoffset = offsetof(Gen, weaklist);
    py::ready(&GeneratorType, type_spec);
    accumulation_type_ready();
}

PyObject* generator_type() { return reinterpret_cast<PyObject*>(&GeneratorType); }

// iter_test(self): a new generator, whose body runs from the first advance.
PyObject* iter_test_impl(Function* f, PyObject* const* args) {
    return py::gc_new<Gen>(&GeneratorType, f->name.get(), f->qualname.get(), args[0], f->scope.get()).release();
}

} // namespace competition
