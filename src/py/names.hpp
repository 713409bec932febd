// Tables of interned names. A subsystem lists its names once, one entry a line:
//
//     #define SUBSYSTEM_NAMES(X, AS) X(columns) X(index) AS(dunder_doc, "__doc__")
//
// X(id) is the name whose text is the identifier itself; AS(id, text) is the name whose text
// cannot be a C++ identifier: a keyword (AS(new_, "new")) or a name with a double underscore,
// reserved in C++ (AS(dunder_doc, "__doc__"), AS(mangled_error, "_Competition__error")).
#pragma once

#include "py/error.hpp"

#define PY_NAMES_DECLARE_(id) extern PyObject* id;
#define PY_NAMES_DECLARE_AS_(id, text) extern PyObject* id;
#define PY_NAMES_DEFINE_(id) PyObject* id = nullptr;
#define PY_NAMES_DEFINE_AS_(id, text) PyObject* id = nullptr;
#define PY_NAMES_INTERN_(id) \
    if (!id) id = py::check(PyUnicode_InternFromString(#id));
#define PY_NAMES_INTERN_AS_(id, text) \
    if (!id) id = py::check(PyUnicode_InternFromString(text));

// In a header: the names as extern objects.
#define PY_NAMES_DECLARE(TABLE) TABLE(PY_NAMES_DECLARE_, PY_NAMES_DECLARE_AS_)
// In one source file: their definitions.
#define PY_NAMES_DEFINE(TABLE) TABLE(PY_NAMES_DEFINE_, PY_NAMES_DEFINE_AS_)
// The body of a void function that interns the names (once per process, so that a call on a
// hot path costs one test); throws py::Error when one cannot be made, and tries again next time.
#define PY_NAMES_INTERN(TABLE)                   \
    static bool interned = false;                \
    if (interned) return;                        \
    TABLE(PY_NAMES_INTERN_, PY_NAMES_INTERN_AS_) \
    interned = true;
