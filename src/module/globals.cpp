#include "module/globals.hpp"

#include "module/function.hpp"
#include "module/scope.hpp"

namespace competition {

Globals g;

namespace names {
#define COMPETITION_DEFINE_NAME(id, text) PyObject* id = nullptr;
COMPETITION_NAMES(COMPETITION_DEFINE_NAME)
#undef COMPETITION_DEFINE_NAME
} // namespace names

bool init_names() {
#define COMPETITION_INIT_NAME(id, text)                                                        \
    if (!names::id && !(names::id = PyUnicode_InternFromString(text))) return false;
    COMPETITION_NAMES(COMPETITION_INIT_NAME)
#undef COMPETITION_INIT_NAME
    return true;
}

ModuleState* module_state(PyObject* module) {
    return module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
}

py::Ref lookup_global(PyObject* module, PyObject* name) {
    // A function or scope torn down by the collector, or a module whose namespace is gone, has
    // no namespace left: then no name is defined.
    PyObject* dict = module ? PyModule_GetDict(module) : nullptr;
    if (!dict) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return py::Ref();
    }
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (v) return py::Ref::borrow(v);
    if (PyErr_Occurred()) return py::Ref();
    v = PyDict_GetItemWithError(g.builtins, name);
    if (v) return py::Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return py::Ref();
}

py::Ref lookup_global(const Function* f, PyObject* name) { return lookup_global(f->home, name); }

py::Ref lookup_global(const Scope* scope, PyObject* name) { return lookup_global(scope->home, name); }

bool print_line(const Scope* scope, PyObject* text) {
    py::Ref print = lookup_global(scope, names::print);
    if (!print) return false;
    return bool(py::call(print.get(), text));
}

} // namespace competition
