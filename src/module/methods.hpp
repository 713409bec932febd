// The methods of Competition, their error path and what they share.
#pragma once

#include "module/function.hpp"
#include "module/protocol.hpp"
#include "module/scope.hpp"

namespace competition {

// Calls self._Competition__error(msg), found through the instance as the methods find it.
// Returns true when it returned normally (an overriding attribute may do so) and false when it
// raised, which is what the method's own one does.
bool refuse_unchecked(PyObject* self, const char* msg);
bool refuse_unchecked(PyObject* self, PyObject* msg);

// The protocol state on the class of the scope, compared by full rich comparison with the
// member of State: 1 true, 0 false, -1 error.
int state_is(Scope* scope, PyObject* member_name, int op);
bool set_state_unchecked(Scope* scope, PyObject* member_name);

// Method bodies (src/module, src/input, src/loop).
PyObject* error_impl(Function* f, PyObject* const* args);
PyObject* dir_impl(Function* f, PyObject* const* args);
PyObject* read_csv_impl(Function* f, PyObject* const* args);
PyObject* iter_test_impl(Function* f, PyObject* const* args);
PyObject* predict_impl(Function* f, PyObject* const* args);
PyObject* write_submission_file_impl(Function* f, PyObject* const* args);

bool generator_type_ready();
extern PyTypeObject GeneratorType;

} // namespace competition

namespace competition {
// The function make_env, as the import binds it in the namespace of the module object module.
py::Ref make_env_function(PyObject* module);
} // namespace competition
