#include "module/function.hpp"

#include <cstddef>
#include <new>
#include <vector>

#include <structmember.h>

#include "py/object.hpp"
#include "py/type.hpp"

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

[[noreturn]] void too_many_positional(const FunctionInfo* info, Py_ssize_t given) {
    py::raise_format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", error_name(info),
                     info->nparams, info->nparams == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

[[noreturn]] void missing_arguments(const FunctionInfo* info, PyObject* const* bound) {
    int missing[2];
    int n = 0;
    for (int i = 0; i < info->nparams; ++i)
        if (!bound[i]) missing[n++] = i;
    if (n == 1)
        py::raise_format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", error_name(info),
                         info->params[missing[0]]);
    py::raise_format(PyExc_TypeError, "%s() missing %d required positional arguments: '%s' and '%s'", error_name(info),
                     n, info->params[missing[0]], info->params[missing[1]]);
}

// The parameter that the keyword `key` names.
int keyword_parameter(const FunctionInfo* info, PyObject* key) {
    if (!PyUnicode_Check(key)) py::raise_format(PyExc_TypeError, "%s() keywords must be strings", error_name(info));
    for (int i = 0; i < info->nparams; ++i)
        if (PyUnicode_CompareWithASCIIString(key, info->params[i]) == 0) return i;
    py::raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", error_name(info), key);
}

// Matches positional arguments and keywords (kwnames holds the names of the values that follow
// the positional ones in args) to the parameters, in the interpreter's order of checks.
void bind_arguments(const FunctionInfo* info, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const int n = info->nparams;
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const int found = keyword_parameter(info, key);
        if (bound[found])
            py::raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", error_name(info), key);
        bound[found] = args[nargs + k];
    }
    if (nargs > n) too_many_positional(info, nargs);
    for (int i = 0; i < n; ++i)
        if (!bound[i]) missing_arguments(info, bound);
}

// The call of the function, where the interpreter calls us.
PyObject* invoke(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary<PyObject*>(nullptr, [&] {
        PyObject* bound[2] = {nullptr, nullptr};
        bind_arguments(f->info, args, nargs, kwnames, bound);
        return f->info->impl(f, bound);
    });
}

#if PY_VERSION_HEX >= 0x03080000
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return invoke(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#endif

#if PY_VERSION_HEX < 0x03080000
// The call through tp_call (before 3.8): the values laid out as a vectorcall lays them out,
// positional ones, then the keyword values.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    Function* f = as_function(self);
    if (nkw == 0) return invoke(f, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    return py::boundary<PyObject*>(nullptr, [&] {
        py::Ref kwnames = py::take(PyTuple_New(nkw));
        std::vector<PyObject*> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, py::new_ref(key));
            stack.push_back(value);
        }
        return invoke(f, stack.data(), nargs, kwnames.get());
    });
}
#endif

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return py::new_ref(self);
    return PyMethod_New(self, obj);
}

constexpr py::Ref Function::* kMembers[] = {
    &Function::name, &Function::qualname, &Function::module, &Function::doc,
    &Function::dict, &Function::scope,    &Function::home,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    return py::visit_members(as_function(self), kMembers, visit, arg);
}

int function_clear(PyObject* self) {
    py::clear_members(as_function(self), kMembers);
    return 0;
}

PyObject* function_repr(PyObject* self) {
    Function* f = as_function(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname.get(), self);
}

PyObject* get_text_signature(PyObject* self, void*) {
    const char* sig = as_function(self)->info->text_signature;
    if (!sig) Py_RETURN_NONE;
    return PyUnicode_FromString(sig);
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), py::get_member<Function, &Function::name>,
     py::set_str_member<Function, &Function::name>, nullptr, const_cast<char*>("__name__")},
    {const_cast<char*>("__qualname__"), py::get_member<Function, &Function::qualname>,
     py::set_str_member<Function, &Function::qualname>, nullptr, const_cast<char*>("__qualname__")},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Function, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Vectorcall from 3.8 on, where the interpreter's own functions use it.
#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kVectorcallFlags = Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
constexpr unsigned long kVectorcallFlags = _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
constexpr unsigned long kVectorcallFlags = 0;
#endif

const PyType_Slot function_slots[] = {
    {Py_tp_dealloc, py::slot(py::dealloc<Function>)}, {Py_tp_repr, py::slot(function_repr)},
#if PY_VERSION_HEX >= 0x03080000
    {Py_tp_call, py::slot(PyVectorcall_Call)},
#else
    {Py_tp_call, py::slot(function_call)},
#endif
    {Py_tp_traverse, py::slot(function_traverse)},    {Py_tp_clear, py::slot(function_clear)},
    {Py_tp_descr_get, py::slot(function_descr_get)},  {Py_tp_getset, py::slot(function_getset)},
    {Py_tp_members, py::slot(function_members)},      {0, nullptr},
};

} // namespace

PyTypeObject FunctionType = py::type_object();

void function_type_ready() {
    py::TypeSpec type_spec{"competition.function", sizeof(Function),
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kVectorcallFlags, function_slots};
    type_spec.dictoffset = offsetof(Function, dict);
    type_spec.weaklistoffset = offsetof(Function, weaklist);
#if PY_VERSION_HEX >= 0x03080000
    type_spec.vectorcall_offset = offsetof(Function, vectorcall);
#endif
    py::ready(&FunctionType, type_spec);
}

Function::Function(const FunctionInfo* info_, py::Ref name_, py::Ref qualname_, py::Ref doc_, PyObject* scope_,
                   PyObject* home_) noexcept
    :
#if PY_VERSION_HEX >= 0x03080000
      vectorcall(function_vectorcall),
#endif
      name(std::move(name_)), qualname(std::move(qualname_)), module(py::Ref::borrow(names::competition)),
      doc(std::move(doc_)), scope(py::Ref::borrow(scope_)), home(py::Ref::borrow(home_)), info(info_) {
}

py::Ref function_new(const FunctionInfo* info, PyObject* scope, PyObject* home) {
    return py::gc_new<Function>(&FunctionType, info, py::str(info->name), py::str(info->qualname),
                                info->doc ? py::str(info->doc) : py::Ref::borrow(Py_None), scope, home);
}

} // namespace competition
