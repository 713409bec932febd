// Module-wide state: the module's namespace, the objects bound at import, interned names.
#pragma once

#include "module/names.hpp"
#include "module/protocol.hpp"
#include "py/ref.hpp"

namespace competition {

struct Function;
struct Scope;

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

// What belongs to the interpreter rather than to one module object: the builtins and their
// functions the module compares with, the numpy module.
struct Globals {
    PyObject* builtins = nullptr;    // the builtins namespace (strong)
    PyObject* builtin_isinstance = nullptr;
    PyObject* builtin_open = nullptr;
    PyObject* numpy = nullptr;       // imported when the first test loop starts
};
extern Globals g;

// The value of a global name as a function of the module object `module` would see it when it
// runs: that module's namespace first, then the builtins. NameError when neither has it. New
// reference. The forms with a function or a scope look in the namespace of the module object
// that made it.
py::Ref lookup_global(PyObject* module, PyObject* name);
py::Ref lookup_global(const Function* f, PyObject* name);
py::Ref lookup_global(const Scope* scope, PyObject* name);

// Calls the builtin print (as the scope's module looks it up now) with one argument.
bool print_line(const Scope* scope, PyObject* text);

} // namespace competition
