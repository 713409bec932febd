// The generator that iter_test() returns: an object of our own with the interpreter's generator
// protocol (generator.cpp), whose body is the walk of the test set (generator_body.cpp).
#pragma once

#include <memory>

#include "loop/walk.hpp"
#include "py/ref.hpp"

namespace competition {

enum class GenState { created, suspended, finished };

struct Gen {
    PyObject_HEAD
    PyObject* weaklist = nullptr;  // the interpreter's, not owned
    py::Ref name;
    py::Ref qualname;
    py::Ref self;   // the Competition instance
    py::Ref scope;  // the make_env scope
    GenState state = GenState::created;
    bool running = false;
    // locals of the body, from the first advance on
    py::Ref sample_submission_df;
    py::Ref test_df;
    std::unique_ptr<Walk> walk;

    Gen(PyObject* name_, PyObject* qualname_, PyObject* self_, PyObject* scope_) noexcept
        : name(py::Ref::borrow(name_)), qualname(py::Ref::borrow(qualname_)), self(py::Ref::borrow(self_)),
          scope(py::Ref::borrow(scope_)) {}
};

// The body, run by the protocol with the generator marked running. Each returns the value to
// yield (a new reference), or null when the body has ended; an error leaving the body throws.
PyObject* body_first_advance(Gen* g);  // from the start of the body to its first yield
PyObject* body_resume(Gen* g);         // from a yield to the next

// Drops the locals of the body (the generator has finished, or is being cleared).
void body_release(Gen* g);
int body_traverse(Gen* g, visitproc visit, void* arg);

} // namespace competition
