#include "module/scope.hpp"

#include "py/object.hpp"
#include "py/type.hpp"

namespace competition {

namespace {

constexpr py::Ref Scope::* kMembers[] = {
    &Scope::home,
    &Scope::State,
    &Scope::Competition,
    &Scope::active_key_value,
    &Scope::active_sample_prediction_df,
    &Scope::submission_df,
    &Scope::accumulation,
};

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    return py::visit_members(as_scope(self), kMembers, visit, arg);
}

int scope_clear(PyObject* self) {
    py::clear_members(as_scope(self), kMembers);
    return 0;
}

const PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, py::slot(py::dealloc<Scope>)},
    {Py_tp_traverse, py::slot(scope_traverse)},
    {Py_tp_clear, py::slot(scope_clear)},
    {0, nullptr},
};

} // namespace

PyTypeObject ScopeType = py::type_object();

void scope_type_ready() {
    py::ready(&ScopeType, {"competition.scope", sizeof(Scope), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, scope_slots});
}

py::Ref scope_new(PyObject* home) { return py::gc_new<Scope>(&ScopeType, home); }

} // namespace competition
