#include "loop/support.hpp"

namespace competition {

namespace loop_names {
PY_NAMES_DEFINE(COMPETITION_LOOP_NAMES)
void ready() { PY_NAMES_INTERN(COMPETITION_LOOP_NAMES) }
} // namespace loop_names

py::Ref pandas_module() { return py::take(PyImport_Import(loop_names::pandas)); }
py::Ref numpy_module() { return py::take(PyImport_Import(loop_names::numpy)); }
py::Ref playid_list() {
    py::Ref list = py::take(PyList_New(0));
    py::check(PyList_Append(list.get(), loop_names::PlayId));
    return list;
}

} // namespace competition
