#include "module/globals.hpp"

#include "module/function.hpp"
#include "module/scope.hpp"

namespace competition {

Process process;

namespace names {
PY_NAMES_DEFINE(COMPETITION_MODULE_NAMES)
void ready() { PY_NAMES_INTERN(COMPETITION_MODULE_NAMES) }
} // namespace names

ModuleState* module_state(PyObject* module) {
    return module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
}

py::Ref global(PyObject* home, PyObject* name) {
    // A function or scope torn down by the collector, or a module whose namespace is gone, has
    // no namespace left: then no name is defined.
    PyObject* dict = home ? PyModule_GetDict(home) : nullptr;
    if (!dict) {
        if (PyErr_Occurred()) throw py::Error();
        py::raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    for (PyObject* ns : {dict, process.builtins}) {
        if (PyObject* v = PyDict_GetItemWithError(ns, name)) return py::Ref::borrow(v);
        if (PyErr_Occurred()) throw py::Error();
    }
    py::raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

py::Ref global(const Function* f, PyObject* name) { return global(f->home.get(), name); }
py::Ref global(const Scope* scope, PyObject* name) { return global(scope->home.get(), name); }

void print(const Scope* scope, PyObject* text) { global(scope, names::print).call(text); }

} // namespace competition
