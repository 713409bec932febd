// The module body: binds the libraries the environment uses, then make_env, then __all__.
// Multi-phase initialisation, with a state for each module object.
#include <cstdio>
#include <cstring>
#include <new>

#include "module/globals.hpp"
#include "module/methods.hpp"
#include "py/type.hpp"

namespace competition {
namespace {

// module.name = value, in the module's namespace.
void bind(PyObject* module, PyObject* name, const py::Ref& value) {
    py::check(PyDict_SetItem(py::check(PyModule_GetDict(module)), name, value.get()));
}

py::Ref import(PyObject* name) { return py::take(PyImport_Import(name)); }

// `from package import name`
py::Ref import_from(PyObject* package, PyObject* name) {
    py::Ref fromlist = py::tuple(name);
    py::Ref pkg = py::take(PyImport_ImportModuleLevelObject(package, nullptr, nullptr, fromlist.get(), 0));
    if (py::Ref value = pkg.optional_attr(name)) return value;
    py::raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, package);
}

// The types of the module, shared by every module object of the process.
void ready_types() {
    names::ready();
    function_type_ready();
    scope_type_ready();
    loop_types_ready();
}

// What the reader compares the globals with: the objects this import bound (module state).
void remember_bindings(PyObject* m) {
    ModuleState* st = py::check(module_state(m));
    PyObject* dict = py::check(PyModule_GetDict(m));
    py::assign(&st->bound_AES, PyDict_GetItemWithError(dict, names::AES));
    py::assign(&st->bound_base64, PyDict_GetItemWithError(dict, names::base64));
    py::assign(&st->bound_BytesIO, PyDict_GetItemWithError(dict, names::BytesIO));
    const py::Handle AES = st->bound_AES, base64 = st->bound_base64;
    py::assign(&st->bound_AES_new, AES.attr(names::new_).get());
    py::assign(&st->bound_MODE_CBC, AES.attr(names::MODE_CBC).get());
    py::assign(&st->bound_b64decode, base64.attr(names::b64decode).get());
}

// The builtins and their functions that the methods compare with, once per process.
void remember_builtins() {
    py::Ref builtins = import(names::builtins);
    py::assign(&process.builtins, PyModule_GetDict(builtins.get()));
    py::assign(&process.builtin_isinstance, PyDict_GetItemWithError(process.builtins, names::isinstance));
    py::assign(&process.builtin_open, PyDict_GetItemWithError(process.builtins, names::open));
}

// The module body, run once for each module object the import makes:
//
//     import base64
//     import copy
//     from Crypto.Cipher import AES
//     import enum
//     from io import StringIO
//     from io import BytesIO
//     import os
//     import pandas as pd
//
//     def make_env(): ...
//     make_env.__called__ = False
//     __all__ = ["make_env"]
void exec_body(PyObject* m) {
    ready_types();
    bind(m, names::base64, import(names::base64));
    bind(m, names::copy, import(names::copy));
    bind(m, names::AES, import_from(names::Crypto_Cipher, names::AES));
    bind(m, names::enum_, import(names::enum_));
    bind(m, names::StringIO, import_from(names::io, names::StringIO));
    bind(m, names::BytesIO, import_from(names::io, names::BytesIO));
    bind(m, names::os, import(names::os));
    bind(m, names::pd, import(names::pandas));
    py::Ref make_env = make_env_function(m);
    bind(m, names::make_env, make_env);
    make_env.set_attr(names::dunder_called, Py_False);
    py::Ref all = py::take(PyList_New(0));
    py::check(PyList_Append(all.get(), names::make_env));
    bind(m, names::dunder_all, all);

    remember_bindings(m);
    remember_builtins();
    // The generators of iter_test() count as generators for collections.abc.
    import(names::collections_abc).attr(names::Generator).method(names::register_, generator_type());
}

int exec_module(PyObject* m) {
    return py::boundary(-1, [m] {
        exec_body(m);
        return 0;
    });
}

// The module state holds strong references: the collector sees them, and they go with the
// module. (Before 3.9 these may be called before the state exists: it is then null.)
constexpr PyObject* ModuleState::* kBindings[] = {
    &ModuleState::bound_AES,    &ModuleState::bound_AES_new,   &ModuleState::bound_MODE_CBC,
    &ModuleState::bound_base64, &ModuleState::bound_b64decode, &ModuleState::bound_BytesIO,
};

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = module_state(m);
    return st ? py::visit_members(st, kBindings, visit, arg) : 0;
}

int module_clear(PyObject* m) {
    if (ModuleState* st = module_state(m)) py::clear_members(st, kBindings);
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
