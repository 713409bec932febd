#include "module/function.hpp"

#include <cstddef>
#include <new>

#include <structmember.h>

#include "module/globals.hpp"

namespace competition {

namespace {

// The name an argument error carries: the qualified name from 3.10 on, as for Python functions.
const char* error_name(const FunctionInfo* info) {
#if PY_VERSION_HEX >= 0x030A0000
    return info->qualname;
#else
    return info->name;
#endif
}

bool too_many_positional(const FunctionInfo* info, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                 error_name(info), info->nparams, info->nparams == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
    return false;
}

bool missing_arguments(const FunctionInfo* info, PyObject* const* bound) {
    int missing[2];
    int n = 0;
    for (int i = 0; i < info->nparams; ++i)
        if (!bound[i]) missing[n++] = i;
    if (n == 1)
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     error_name(info), info->params[missing[0]]);
    else
        PyErr_Format(PyExc_TypeError, "%s() missing %d required positional arguments: '%s' and '%s'",
                     error_name(info), n, info->params[missing[0]], info->params[missing[1]]);
    return false;
}

// Matches positional arguments and keywords (kwnames holds the names of the values that follow
// the positional ones in args) to the parameters, in the interpreter's order of checks.
bool bind_arguments(const FunctionInfo* info, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    const int n = info->nparams;
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", error_name(info));
            return false;
        }
        int found = -1;
        for (int i = 0; i < n; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, info->params[i]) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         error_name(info), key);
            return false;
        }
        if (bound[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                         error_name(info), key);
            return false;
        }
        bound[found] = args[nargs + k];
    }
    if (nargs > n) return too_many_positional(info, nargs);
    for (int i = 0; i < n; ++i)
        if (!bound[i]) return missing_arguments(info, bound);
    return true;
}

PyObject* invoke(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2] = {nullptr, nullptr};
    if (!bind_arguments(f->info, args, nargs, kwnames, bound)) return nullptr;
    return py::boundary<PyObject*>(nullptr, [&] { return f->info->impl(f, bound); });
}

#if PY_VERSION_HEX >= 0x03080000
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return invoke(reinterpret_cast<Function*>(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    Function* f = reinterpret_cast<Function*>(self);
    if (nkw == 0) return invoke(f, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    // Lay the values out as a vectorcall would: positional ones, then the keyword values.
    py::Ref kwnames = py::Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc((nargs + nkw) * sizeof(PyObject*)));
    if (!stack) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, py::new_ref(key));
        stack[nargs + k] = value;
        ++k;
    }
    PyObject* result = invoke(f, stack, nargs, kwnames.get());
    PyMem_Free(stack);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return py::new_ref(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->scope);
    Py_VISIT(f->home);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->scope);
    Py_CLEAR(f->home);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
    return py::new_ref(reinterpret_cast<Function*>(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return py::set_str(&reinterpret_cast<Function*>(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return py::new_ref(reinterpret_cast<Function*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return py::set_str(&reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}
PyObject* get_text_signature(PyObject* self, void*) {
    const char* sig = reinterpret_cast<Function*>(self)->info->text_signature;
    if (!sig) Py_RETURN_NONE;
    return PyUnicode_FromString(sig);
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Function, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

} // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool function_type_ready() {
    PyTypeObject* t = &FunctionType;
    t->tp_name = "competition.function";
    t->tp_basicsize = sizeof(Function);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03090000
    t->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
    t->tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
#if PY_VERSION_HEX >= 0x03080000
    t->tp_vectorcall_offset = offsetof(Function, vectorcall);
    t->tp_call = PyVectorcall_Call;
#else
    t->tp_call = function_call;
#endif
    t->tp_dealloc = function_dealloc;
    t->tp_repr = function_repr;
    t->tp_traverse = function_traverse;
    t->tp_clear = function_clear;
    t->tp_descr_get = function_descr_get;
    t->tp_getset = function_getset;
    t->tp_members = function_members;
    t->tp_dictoffset = offsetof(Function, dict);
    t->tp_weaklistoffset = offsetof(Function, weaklist);
    (void)function_call;
    return PyType_Ready(t) == 0;
}

py::Ref function_new(const FunctionInfo* info, PyObject* scope, PyObject* home) {
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return py::Ref();
#if PY_VERSION_HEX >= 0x03080000
    f->vectorcall = function_vectorcall;
#endif
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->dict = nullptr;
    f->weaklist = nullptr;
    f->scope = nullptr;
    f->home = nullptr;
    f->info = info;
    py::Ref owner = py::Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_FromString(info->name);
    f->qualname = PyUnicode_FromString(info->qualname);
    f->module = PyUnicode_FromString("competition");
    f->doc = info->doc ? PyUnicode_FromString(info->doc) : py::none();
    if (!f->name || !f->qualname || !f->module || !f->doc) return py::Ref();
    py::assign(&f->scope, scope);
    py::assign(&f->home, home);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return owner;
}

} // namespace competition
