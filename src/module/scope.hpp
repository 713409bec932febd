// The make_env scope: the variables that one make_env() call shares between the methods of the
// class it builds. The protocol state itself lives on the class (Competition._state).
#pragma once

#include "py/ref.hpp"

namespace competition {

struct Scope {
    PyObject_HEAD
    PyObject* State;
    PyObject* Competition;
    PyObject* active_key_value;
    PyObject* active_sample_prediction_df;
    // The accumulated predictions are submission_df followed by the frames in pending, which
    // have the columns and dtypes of submission_df (so that joining them is plain stacking).
    // pending is null or a list; acc_columns and acc_dtypes describe submission_df after a join,
    // and acc_sample_columns is the sample column index last seen to match acc_columns.
    PyObject* submission_df;
    PyObject* pending;
    PyObject* acc_columns;
    PyObject* acc_dtypes;
    PyObject* acc_sample_columns;
    // How many frames of each merge level end the pending list (level i stands for
    // kFanIn^i answers): the pending answers are merged in runs as they arrive, so that
    // neither a predict nor the writer joins many frames at once.
    Py_ssize_t pending_levels[16];
};

extern PyTypeObject ScopeType;

bool scope_type_ready();

// A new scope whose run variables are None.
py::Ref scope_new();

inline Scope* as_scope(PyObject* o) { return reinterpret_cast<Scope*>(o); }

} // namespace competition
