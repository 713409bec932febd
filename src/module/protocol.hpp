// What the module offers the bodies of the methods (input/, loop/): the globals as the methods
// see them, the protocol state, and the errors the methods raise. Every function here throws
// py::Error when the interpreter reports an error.
#pragma once

#include "module/function.hpp"
#include "module/names.hpp"
#include "module/scope.hpp"

namespace competition {

// The value of a global name as a function of the module object `home` sees it when it runs:
// that module's namespace first, then the builtins; NameError when neither has it. The forms
// with a function or a scope look in the namespace of the module object that made it.
py::Ref global(PyObject* home, PyObject* name);
py::Ref global(const Function* f, PyObject* name);
py::Ref global(const Scope* scope, PyObject* name);

// print(text), through the name print as the scope's module sees it now.
void print(const Scope* scope, PyObject* text);

// raise Exception(msg) from None
[[noreturn]] void raise_plain(PyObject* msg);
[[noreturn]] void raise_plain(const char* msg);

// self._Competition__error(msg), found through the instance as the methods find it. Returns
// when it returns (an overriding attribute may), which the method's own one never does.
void refuse(PyObject* self, PyObject* msg);
void refuse(PyObject* self, const char* msg);

// Competition._state <op> State.<member>, by full rich comparison, read in that order.
bool state_compare(Scope* scope, PyObject* member_name, int op);
// Competition._state = State.<member>: the value is read first.
void set_state(Scope* scope, PyObject* member_name);

} // namespace competition
