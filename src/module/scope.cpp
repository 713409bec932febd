#include "module/scope.hpp"

#include "py/type.hpp"

namespace competition {

namespace {

constexpr PyObject* Scope::*kMembers[] = {
    &Scope::home, &Scope::State, &Scope::Competition, &Scope::active_key_value,
    &Scope::active_sample_prediction_df, &Scope::submission_df, &Scope::accumulation,
};

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    return py::visit_members(as_scope(self), kMembers, visit, arg);
}

int scope_clear(PyObject* self) {
    py::clear_members(as_scope(self), kMembers);
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
