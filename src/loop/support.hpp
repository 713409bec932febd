// What the test loop's speed machinery shares: the names only it uses, the pandas it works
// with, and its one rule for errors.
#pragma once

#include "py/ref.hpp"

namespace competition {

#define COMPETITION_LOOP_NAMES(X)                                                               \
    X(_consolidate_inplace)                                                                     \
    X(_mgr)                                                                                     \
    X(allows_duplicate_labels)                                                                  \
    X(arange)                                                                                   \
    X(argsort)                                                                                  \
    X(attrs)                                                                                    \
    X(flags)                                                                                    \
    X(get_dtypes)                                                                               \
    X(iloc)                                                                                     \
    X(infer_dtype)                                                                              \
    X(intp)                                                                                     \
    X(is_monotonic_increasing)                                                                  \
    X(isna)                                                                                     \
    X(signbit)                                                                                  \
    X(any)                                                                                      \
    X(api)                                                                                      \
    X(types)                                                                                    \
    X(skipna)                                                                                   \
    X(StringDtype)                                                                              \
    X(get_loc)                                                                                  \
    X(empty)                                                                                    \
    X(ascontiguousarray)                                                                        \
    X(axis)                                                                                     \
    X(blocks)                                                                                   \
    X(concatenate)                                                                              \
    X(deep)                                                                                     \
    X(indexer)                                                                                  \
    X(is_consolidated)                                                                          \
    X(is_unique)                                                                                \
    X(mgr_locs)                                                                                 \
    X(ndim)                                                                                     \
    X(T)

namespace loop_names {
#define COMPETITION_DECLARE_LOOP_NAME(id) extern PyObject* id;
COMPETITION_LOOP_NAMES(COMPETITION_DECLARE_LOOP_NAME)
#undef COMPETITION_DECLARE_LOOP_NAME
} // namespace loop_names

// Makes the names above (once, on the first iter_test()); false with an error set on failure.
bool loop_names_ready();

// The pandas and numpy modules the loop works with: the ones the interpreter has imported under
// those names, not whatever a caller bound to the module's globals. New references.
py::Ref pandas_module();
py::Ref numpy_module();

// The rule for an error raised on a fast path: an ordinary exception means "take the literal
// steps instead" and is cleared (true); anything else (an interrupt, an exit request, running out
// of memory) stops the work in hand and stays set (false). Falling back on MemoryError would only
// do the same work again with more memory.
bool fall_back_on_error();

} // namespace competition
