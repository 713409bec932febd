// The generator that iter_test() returns: an object of our own with the interpreter's generator
// protocol (generator.cpp), whose body is the walk of the test set (iter_test.cpp).
#pragma once

#include "loop/walk.hpp"
#include "py/ref.hpp"

namespace competition {

enum class GenState { created, suspended, finished };

struct Gen {
    PyObject_HEAD
    PyObject* weaklist;
    PyObject* name;
    PyObject* qualname;
    PyObject* self;   // the Competition instance
    PyObject* scope;  // the make_env scope
    GenState state;
    bool running;
    // locals of the body, from the first advance on
    PyObject* sample_submission_df;
    PyObject* test_df;
    Walk* walk;       // owned
};

// The body, run by the protocol with the generator marked running. Each returns the value to
// yield (a new reference), or null when the body has ended; an error leaving the body throws.
PyObject* body_first_advance(Gen* g);  // from the start of the body to its first yield
PyObject* body_resume(Gen* g);         // from a yield to the next

// Drops the locals of the body (the generator has finished, or is being cleared).
void body_release(Gen* g);
int body_traverse(Gen* g, visitproc visit, void* arg);

} // namespace competition
