// The module body: binds the libraries the environment uses, then make_env, then __all__.
#include <new>

#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "competition",
    nullptr,  // no docstring
    -1,
    nullptr,
};

bool bind(PyObject* module, const char* name, py::Ref value) {
    if (!value) return false;
    return PyModule_AddObject(module, name, value.release()) == 0;
}

// `from package import name`
py::Ref import_from(const char* package, const char* name) {
    py::Ref attr = py::Ref::steal(PyUnicode_FromString(name));
    if (!attr) return py::Ref();
    py::Ref fromlist = py::tuple(attr.get());
    if (!fromlist) return py::Ref();
    py::Ref pkg = py::Ref::steal(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.get(), 0));
    if (!pkg) return py::Ref();
    py::Ref value = py::Ref::steal(PyObject_GetAttr(pkg.get(), attr.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
    }
    return value;
}

PyObject* init() {
    if (!init_names() || !function_type_ready() || !scope_type_ready() || !generator_type_ready())
        return nullptr;
    py::Ref module = py::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* m = module.get();

    // The namespace, in this order.
    if (!bind(m, "base64", py::Ref::steal(PyImport_ImportModule("base64")))) return nullptr;
    if (!bind(m, "copy", py::Ref::steal(PyImport_ImportModule("copy")))) return nullptr;
    if (!bind(m, "AES", import_from("Crypto.Cipher", "AES"))) return nullptr;
    if (!bind(m, "enum", py::Ref::steal(PyImport_ImportModule("enum")))) return nullptr;
    if (!bind(m, "StringIO", import_from("io", "StringIO"))) return nullptr;
    if (!bind(m, "BytesIO", import_from("io", "BytesIO"))) return nullptr;
    if (!bind(m, "os", py::Ref::steal(PyImport_ImportModule("os")))) return nullptr;
    if (!bind(m, "pd", py::Ref::steal(PyImport_ImportModule("pandas")))) return nullptr;

    py::Ref make_env = make_env_function();
    if (!make_env) return nullptr;
    if (PyModule_AddObject(m, "make_env", make_env.new_ref()) < 0) return nullptr;
    if (PyObject_SetAttr(make_env.get(), names::called, Py_False) < 0) return nullptr;
    if (!bind(m, "__all__", py::Ref::steal(Py_BuildValue("[s]", "make_env")))) return nullptr;

    PyObject* dict = PyModule_GetDict(m);
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return nullptr;
    g.module = m;
    py::assign(&g.dict, dict);
    py::assign(&g.builtins, PyModule_GetDict(builtins.get()));
    py::assign(&g.bound_AES, PyDict_GetItemString(dict, "AES"));
    py::assign(&g.bound_base64, PyDict_GetItemString(dict, "base64"));
    py::assign(&g.bound_BytesIO, PyDict_GetItemString(dict, "BytesIO"));
    py::assign(&g.builtin_isinstance, PyDict_GetItemString(g.builtins, "isinstance"));
    py::assign(&g.builtin_open, PyDict_GetItemString(g.builtins, "open"));

    // The generators of iter_test() count as generators for collections.abc.
    py::Ref abc = py::Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    py::Ref generator_abc = py::getattr(abc.get(), names::Generator);
    if (!generator_abc) return nullptr;
    if (!py::call_method(generator_abc.get(), names::register_, reinterpret_cast<PyObject*>(&GeneratorType)))
        return nullptr;
    return module.release();
}

} // namespace
} // namespace competition

// Older interpreters do not mark the init function visible themselves.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_competition(void) {
    try {
        return competition::init();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected internal error");
        return nullptr;
    }
}
