#include "module/scope.hpp"

#include "py/type.hpp"

namespace competition {

namespace {

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    Scope* s = as_scope(self);
    Py_VISIT(s->home);
    Py_VISIT(s->State);
    Py_VISIT(s->Competition);
    Py_VISIT(s->active_key_value);
    Py_VISIT(s->active_sample_prediction_df);
    Py_VISIT(s->submission_df);
    Py_VISIT(s->accumulation);
    return 0;
}

int scope_clear(PyObject* self) {
    Scope* s = as_scope(self);
    Py_CLEAR(s->home);
    Py_CLEAR(s->State);
    Py_CLEAR(s->Competition);
    Py_CLEAR(s->active_key_value);
    Py_CLEAR(s->active_sample_prediction_df);
    Py_CLEAR(s->submission_df);
    Py_CLEAR(s->accumulation);
    return 0;
}

void scope_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    PyObject_GC_Del(self);
}

const PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, py::slot(scope_dealloc)},
    {Py_tp_traverse, py::slot(scope_traverse)},
    {Py_tp_clear, py::slot(scope_clear)},
    {0, nullptr},
};

} // namespace

PyTypeObject ScopeType = py::type_object();

void scope_type_ready() {
    py::ready(&ScopeType, {"competition.scope", sizeof(Scope), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, scope_slots});
}

py::Ref scope_new(PyObject* home) {
    Scope* s = py::check(PyObject_GC_New(Scope, &ScopeType));
    Py_XINCREF(home);
    s->home = home;
    s->State = nullptr;
    s->Competition = nullptr;
    s->active_key_value = py::none();
    s->active_sample_prediction_df = py::none();
    s->submission_df = py::none();
    s->accumulation = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(s));
    return py::Ref::steal(reinterpret_cast<PyObject*>(s));
}

} // namespace competition
