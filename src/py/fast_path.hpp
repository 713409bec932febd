// The rule for an error raised on a fast path (a way to the same result as the literal steps,
// only faster): an ordinary exception means "take the literal steps instead"; anything else (an
// interrupt, an exit request, running out of memory) stops the work in hand. Falling back on
// MemoryError would only do the same work again with more memory.
#pragma once

#include "py/error.hpp"

namespace py {

// The rule applied to the error that is set: true when it is ordinary, and cleared; false when
// it must propagate (it stays set).
inline bool fall_back_on_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

// Runs attempt(): true when it ran through, false when it raised an ordinary exception (cleared;
// the caller then takes the literal steps). Any other error propagates.
template <typename Attempt>
bool fast_path(Attempt&& attempt) {
    try {
        attempt();
        return true;
    } catch (const Error&) {
        if (!fall_back_on_error()) throw;
        return false;
    }
}

} // namespace py
