// The globals as the methods see them (globals.cpp): the name lookup of a function's module,
// what one module object's import bound, and what the process shares.
#pragma once

#include "module/names.hpp"
#include "py/ref.hpp"

namespace competition {

struct Function;
struct Scope;

// The value of a global name as a function of the module object `home` sees it when it runs:
// that module's namespace first, then the builtins; NameError when neither has it. The forms
// with a function or a scope look in the namespace of the module object that made it.
py::Ref global(PyObject* home, PyObject* name);
py::Ref global(const Function* f, PyObject* name);
py::Ref global(const Scope* scope, PyObject* name);

// print(text), through the name print as the scope's module sees it now.
void print(const Scope* scope, PyObject* text);

// What one module object owns beside its namespace: the objects its import bound, so that the
// reader can tell when a caller rebound a global or one of the attributes it calls through them
// (AES.new, AES.MODE_CBC, base64.b64decode). Each import of the module file (a fresh import
// after the module was removed from sys.modules, say) makes a module object with a state and a
// namespace of its own.
struct ModuleState {
    PyObject* bound_AES;
    PyObject* bound_AES_new;
    PyObject* bound_MODE_CBC;
    PyObject* bound_base64;
    PyObject* bound_b64decode;
    PyObject* bound_BytesIO;
};

// The module object's state; null once the module has been torn down.
ModuleState* module_state(PyObject* module);

// What belongs to the interpreter rather than to one module object: the builtins namespace and
// the builtin functions the methods compare a global with (strong references, made at import).
struct Process {
    PyObject* builtins = nullptr;
    PyObject* builtin_isinstance = nullptr;
    PyObject* builtin_open = nullptr;
};
extern Process process;

} // namespace competition
