// The function type of the module: make_env and the methods of Competition. It calls fast
// (vectorcall where the interpreter has it), binds like a Python function when read through an
// instance, and carries a __dict__, so that attributes such as make_env.__called__ are ordinary.
#pragma once

#include "py/ref.hpp"

namespace competition {

struct Function;

// Called with exactly info->nparams borrowed arguments, already matched to the parameters.
using FunctionImpl = PyObject* (*)(Function* self, PyObject* const* args);

struct FunctionInfo {
    const char* name;            // __name__, and the name used in argument errors before 3.10
    const char* qualname;        // __qualname__, and the name used in argument errors from 3.10
    int nparams;                 // 0 to 2
    const char* params[2];
    const char* doc;             // __doc__, or null for None
    const char* text_signature;  // for inspect.signature
    FunctionImpl impl;
};

struct Function {
    PyObject_HEAD
#if PY_VERSION_HEX >= 0x03080000
    vectorcallfunc vectorcall = nullptr;
#endif
    py::Ref name;
    py::Ref qualname;
    py::Ref module;
    py::Ref doc;
    py::Ref dict;                   // __dict__, made by the interpreter when first asked for
    PyObject* weaklist = nullptr;   // the interpreter's, not owned
    py::Ref scope;  // the make_env scope for the methods bound to it, else null
    py::Ref home;   // the module object whose namespace the function reads its globals from
    const FunctionInfo* info = nullptr;

    Function(const FunctionInfo* info_, py::Ref name_, py::Ref qualname_, py::Ref doc_, PyObject* scope_,
             PyObject* home_) noexcept;
};

extern PyTypeObject FunctionType;

inline Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// Readies the type (once); throws py::Error.
void function_type_ready();

// A new function for info that reads its globals from the module object home; scope may be null.
py::Ref function_new(const FunctionInfo* info, PyObject* scope, PyObject* home);

} // namespace competition
