#include "loop/support.hpp"

namespace competition {

namespace loop_names {
#define COMPETITION_DEFINE_LOOP_NAME(id) PyObject* id = nullptr;
COMPETITION_LOOP_NAMES(COMPETITION_DEFINE_LOOP_NAME)
#undef COMPETITION_DEFINE_LOOP_NAME
} // namespace loop_names

bool loop_names_ready() {
    static bool ready = false;
    if (ready) return true;
#define COMPETITION_INIT_LOOP_NAME(id)                                                         \
    if (!loop_names::id && !(loop_names::id = PyUnicode_InternFromString(#id))) return false;
    COMPETITION_LOOP_NAMES(COMPETITION_INIT_LOOP_NAME)
#undef COMPETITION_INIT_LOOP_NAME
    ready = true;
    return true;
}

py::Ref pandas_module() { return py::Ref::steal(PyImport_ImportModule("pandas")); }
py::Ref numpy_module() { return py::Ref::steal(PyImport_ImportModule("numpy")); }

bool fall_back_on_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

} // namespace competition
