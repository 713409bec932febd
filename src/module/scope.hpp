// The make_env scope: the variables that one make_env() call shares between the methods of the
// class it builds. The protocol state itself lives on the class (Competition._state).
#pragma once

#include "py/ref.hpp"

namespace competition {

struct Scope {
    PyObject_HEAD
    py::Ref home;  // the module object of the make_env call: the methods' globals
    py::Ref State;
    py::Ref Competition;
    py::Ref active_key_value = py::Ref::borrow(Py_None);
    py::Ref active_sample_prediction_df = py::Ref::borrow(Py_None);
    py::Ref submission_df = py::Ref::borrow(Py_None);
    // The answers accepted after the last join to submission_df, in an object of the test loop's
    // own (null until the first advance): the accumulated predictions are submission_df followed
    // by them.
    py::Ref accumulation;

    explicit Scope(PyObject* home_) noexcept : home(py::Ref::borrow(home_)) {}
};

extern PyTypeObject ScopeType;

// Readies the type (once); throws py::Error.
void scope_type_ready();

// A new scope of the module object home, whose run variables are None.
py::Ref scope_new(PyObject* home);

inline Scope* as_scope(PyObject* o) { return reinterpret_cast<Scope*>(o); }

} // namespace competition
