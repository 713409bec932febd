// What the module needs from the subsystems that carry the methods of Competition: their bodies
// (the reader in input/, the test loop in loop/) and the test loop's types. The module declares
// them here and the subsystems define them, so that includes run one way: input/ and loop/ use
// module/ (this header brings what the bodies use of it), and module/ includes nothing of theirs.
//
// A body is called with exactly the method's parameters, bound (self first), and returns a new
// reference; errors throw py::Error.
#pragma once

#include "module/competition.hpp"
#include "module/function.hpp"
#include "module/globals.hpp"
#include "module/names.hpp"
#include "module/scope.hpp"

namespace competition {

// input/
PyObject* read_csv_impl(Function* f, PyObject* const* args);

// loop/
PyObject* iter_test_impl(Function* f, PyObject* const* args);
PyObject* predict_impl(Function* f, PyObject* const* args);
PyObject* write_submission_file_impl(Function* f, PyObject* const* args);
// Readies the test loop's types (once); throws py::Error.
void loop_types_ready();
// The type of the generators that iter_test() returns (borrowed).
PyObject* generator_type();

} // namespace competition
