// What competition.cpp offers beside make_env itself: the errors the methods of Competition
// raise and the protocol state they read and move on. Every function here throws py::Error when
// the interpreter reports an error.
#pragma once

#include "module/scope.hpp"
#include "py/ref.hpp"

namespace competition {

// The function make_env, as the import binds it in the namespace of the module object module.
py::Ref make_env_function(PyObject* module);

// raise Exception(msg) from None
[[noreturn]] void raise_plain(PyObject* msg);
[[noreturn]] void raise_plain(const char* msg);

// self._Competition__error(msg), found through the instance as the methods find it. Returns
// when it returns (an overriding attribute may), which the method's own one never does.
void refuse(py::Handle self, PyObject* msg);
void refuse(py::Handle self, const char* msg);

// Competition._state <op> State.<member>, by full rich comparison, read in that order.
bool state_compare(Scope* scope, PyObject* member_name, int op);
// Competition._state = State.<member>: the value is read first.
void set_state(Scope* scope, PyObject* member_name);

} // namespace competition
