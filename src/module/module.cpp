// The module body: binds the libraries the environment uses, then make_env, then __all__.
// Multi-phase initialisation, with a state for each module object.
#include <cstdio>
#include <cstring>
#include <new>

#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {
namespace {

bool bind(PyObject* module, const char* name, py::Ref value) {
    if (!value) return false;
    PyObject* v = value.release();
    if (PyModule_AddObject(module, name, v) == 0) return true;  // stolen on success only
    Py_DECREF(v);
    return false;
}

// `from package import name`
py::Ref import_from(const char* package, const char* name) {
    py::Ref attr = py::Ref::steal(PyUnicode_FromString(name));
    if (!attr) return py::Ref();
    py::Ref fromlist = py::unchecked::tuple(attr.get());
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

// The module body, run once for each module object the import makes.
int exec_body(PyObject* m) {
    if (!py::boundary(false, [] { names::ready(); return true; }) || !function_type_ready() || !scope_type_ready() || !generator_type_ready())
        return -1;

    // The namespace, in this order.
    if (!bind(m, "base64", py::Ref::steal(PyImport_ImportModule("base64")))) return -1;
    if (!bind(m, "copy", py::Ref::steal(PyImport_ImportModule("copy")))) return -1;
    if (!bind(m, "AES", import_from("Crypto.Cipher", "AES"))) return -1;
    if (!bind(m, "enum", py::Ref::steal(PyImport_ImportModule("enum")))) return -1;
    if (!bind(m, "StringIO", import_from("io", "StringIO"))) return -1;
    if (!bind(m, "BytesIO", import_from("io", "BytesIO"))) return -1;
    if (!bind(m, "os", py::Ref::steal(PyImport_ImportModule("os")))) return -1;
    if (!bind(m, "pd", py::Ref::steal(PyImport_ImportModule("pandas")))) return -1;

    py::Ref make_env = make_env_function(m);
    if (!make_env) return -1;
    if (!bind(m, "make_env", py::Ref::borrow(make_env.get()))) return -1;
    if (PyObject_SetAttr(make_env.get(), names::dunder_called, Py_False) < 0) return -1;
    if (!bind(m, "__all__", py::Ref::steal(Py_BuildValue("[s]", "make_env")))) return -1;

    PyObject* dict = PyModule_GetDict(m);
    ModuleState* st = module_state(m);
    if (!st) {
        PyErr_SetString(PyExc_SystemError, "competition: the module has no state");
        return -1;
    }
    py::assign(&st->bound_AES, PyDict_GetItemString(dict, "AES"));
    py::assign(&st->bound_base64, PyDict_GetItemString(dict, "base64"));
    py::assign(&st->bound_BytesIO, PyDict_GetItemString(dict, "BytesIO"));
    {
        py::Ref aes_new = py::unchecked::getattr(st->bound_AES, names::new_);
        py::Ref mode_cbc = aes_new ? py::unchecked::getattr(st->bound_AES, names::MODE_CBC) : py::Ref();
        py::Ref b64decode = mode_cbc ? py::unchecked::getattr(st->bound_base64, names::b64decode) : py::Ref();
        if (!b64decode) return -1;
        py::assign(&st->bound_AES_new, aes_new.get());
        py::assign(&st->bound_MODE_CBC, mode_cbc.get());
        py::assign(&st->bound_b64decode, b64decode.get());
    }

    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    py::assign(&g.builtins, PyModule_GetDict(builtins.get()));
    py::assign(&g.builtin_isinstance, PyDict_GetItemString(g.builtins, "isinstance"));
    py::assign(&g.builtin_open, PyDict_GetItemString(g.builtins, "open"));

    // The generators of iter_test() count as generators for collections.abc.
    py::Ref abc = py::Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    py::Ref generator_abc = py::unchecked::getattr(abc.get(), names::Generator);
    if (!generator_abc) return -1;
    if (!py::unchecked::call_method(generator_abc.get(), names::register_, reinterpret_cast<PyObject*>(&GeneratorType)))
        return -1;
    return 0;
}

int exec_module(PyObject* m) {
    try {
        return exec_body(m);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected internal error");
        return -1;
    }
}

// The module state holds strong references: the collector sees them, and they go with the
// module. (Before 3.9 these may be called before the state exists: it is then null.)
int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = module_state(m);
    if (!st) return 0;
    Py_VISIT(st->bound_AES);
    Py_VISIT(st->bound_AES_new);
    Py_VISIT(st->bound_MODE_CBC);
    Py_VISIT(st->bound_base64);
    Py_VISIT(st->bound_b64decode);
    Py_VISIT(st->bound_BytesIO);
    return 0;
}

int module_clear(PyObject* m) {
    ModuleState* st = module_state(m);
    if (!st) return 0;
    Py_CLEAR(st->bound_AES);
    Py_CLEAR(st->bound_AES_new);
    Py_CLEAR(st->bound_MODE_CBC);
    Py_CLEAR(st->bound_base64);
    Py_CLEAR(st->bound_b64decode);
    Py_CLEAR(st->bound_BytesIO);
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

// Multi-phase initialisation: PyInit only describes the module; the import machinery makes
// each module object, with a zeroed state of its own, and runs exec_module on it. A fresh
// import after the module left sys.modules therefore gets a namespace, a make_env and a guard
// of its own; importlib.reload finds the state in place and leaves the module as it is.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The function, scope and generator types are static and shared by every module object of
    // the process, as are the interned names: one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "competition",
    nullptr,  // no docstring
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

} // namespace
} // namespace competition

namespace competition {
namespace {

// Is the running interpreter the minor version this file was compiled for? Runs first, before
// anything reads an interpreter structure, whose layout changes between minor versions: it
// calls only functions that every CPython 3 exports with the same signature (Py_GetVersion,
// PyErr_SetString) and reads one exported pointer (PyExc_ImportError). The build marks the
// module's references to the interpreter weak, so that the loader of another version, which
// may lack some of them, still lets this run. False with ImportError set on a mismatch.
bool running_the_version_built_for() {
    const char* running = Py_GetVersion();  // "3.6.10 (default, ...) ..."
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "%d.%d.", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const std::size_t n = std::strlen(wanted);
    if (std::strncmp(running, wanted, n) == 0 && running[n] >= '0' && running[n] <= '9') return true;
    std::size_t length = 0;  // the version number alone
    while (running[length] && running[length] != ' ' && length < 40) ++length;
    char msg[160];
    std::snprintf(msg, sizeof msg, "competition was built for CPython %d.%d and cannot be loaded by CPython %.*s",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, static_cast<int>(length), running);
    PyErr_SetString(PyExc_ImportError, msg);
    return false;
}

} // namespace
} // namespace competition

// Older interpreters do not mark the init function visible themselves.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_competition(void) {
    if (!competition::running_the_version_built_for()) return nullptr;
    return PyModuleDef_Init(&competition::module_def);
}
