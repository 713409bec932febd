// How the generator walks the test set: the groups of test rows by PlayId, each with its sample
// prediction frame.
//
// The indexed plan does the grouping work once: it factorizes the PlayId column (keys in the
// order a sorted group-by gives them, missing keys dropped), orders the row positions by group
// and row, and indexes the sample submission by PlayId, so that each group costs one take of its
// test rows and one take of its sample rows. It is used only where it gives exactly what the
// literal steps give: plain frames from the reader, a default row index, and key dtypes whose
// equality and order are exact. Everywhere else the plan walks a pandas group-by over the sorted
// copy and selects sample rows with an element-wise mask, step by step.
#pragma once

#include <cstddef>

#include "py/ref.hpp"

namespace competition {

struct Plan {
    bool indexed = false;
    // indexed plan
    PyObject* keys = nullptr;         // list of group keys, ascending
    PyObject* test_order = nullptr;   // ndarray: test row positions, by group then row
    Py_ssize_t* test_bounds = nullptr;  // group g's rows: test_order[bounds[g], bounds[g+1])
    bool sample_indexed = false;
    PyObject* sample_body = nullptr;  // the sample submission without PlayId
    PyObject* sample_order = nullptr; // ndarray: sample positions, by key then file order
    Py_ssize_t* sample_bounds = nullptr;  // group g's sample rows: [2g], [2g+1] into sample_order
    Py_ssize_t ngroups = 0;
    Py_ssize_t next = 0;
    // literal plan
    PyObject* grouped_iter = nullptr; // iterator over the group-by object

    int traverse(visitproc visit, void* arg);
    void clear();
};

// Builds the plan for the frames the reader returned (step 5 of the walk).
bool plan_build(Plan* plan, PyObject* test_df, PyObject* sample_submission_df);

// The next group: sets *key, *test_group_df; returns false with no error when there is none,
// false with an error set on failure.
bool plan_next_test_group(Plan* plan, PyObject* test_df, py::Ref* key, py::Ref* test_group_df);

// The sample prediction frame of the group just taken, for the key as stored.
py::Ref plan_sample_frame(Plan* plan, PyObject* sample_submission_df, PyObject* key);

} // namespace competition
