#include "module/globals.hpp"

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

py::Ref lookup_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g.dict, name);
    if (v) return py::Ref::borrow(v);
    if (PyErr_Occurred()) return py::Ref();
    v = PyDict_GetItemWithError(g.builtins, name);
    if (v) return py::Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return py::Ref();
}

bool print_line(PyObject* text) {
    py::Ref print = lookup_global(names::print);
    if (!print) return false;
    return bool(py::call(print.get(), text));
}

} // namespace competition
