// What the test loop's speed machinery shares: the names only it uses, the pandas it works
// with, and the rule for errors on a fast path.
#pragma once

#include "py/fast_path.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace competition {

#define COMPETITION_LOOP_NAMES(X, AS) \
    X(_clear_item_cache)              \
    X(_consolidate_inplace)           \
    X(_data)                          \
    X(_mgr)                           \
    X(_ndarray)                       \
    X(_simple_new)                    \
    X(allows_duplicate_labels)        \
    X(any)                            \
    X(api)                            \
    X(append)                         \
    X(arange)                         \
    X(astype)                         \
    X(argsort)                        \
    X(ascontiguousarray)              \
    X(attrs)                          \
    X(axis)                           \
    X(blocks)                         \
    X(by)                             \
    X(columns)                        \
    X(concat)                         \
    X(concatenate)                    \
    X(copy)                           \
    X(DataFrame)                      \
    X(deep)                           \
    X(drop)                           \
    X(dtype)                          \
    X(dtypes)                         \
    X(empty)                          \
    X(equals)                         \
    X(factorize)                      \
    X(flags)                          \
    X(float64)                        \
    X(get_dtypes)                     \
    X(get_indexer)                    \
    X(get_loc)                        \
    X(groupby)                        \
    X(iloc)                           \
    X(Index)                          \
    X(index)                          \
    X(indexer)                        \
    X(infer_dtype)                    \
    X(insert)                         \
    X(int64)                          \
    X(intp)                           \
    X(is_consolidated)                \
    X(is_monotonic_increasing)        \
    X(is_unique)                      \
    X(isna)                           \
    X(itemsize)                       \
    X(kind)                           \
    X(mgr_locs)                       \
    X(name)                           \
    X(ndim)                           \
    X(numpy)                          \
    X(pandas)                         \
    X(PlayId)                         \
    X(RangeIndex)                     \
    X(signbit)                        \
    X(skipna)                         \
    X(sort)                           \
    X(sort_index)                     \
    X(sort_values)                    \
    X(start)                          \
    X(step)                           \
    X(StringDtype)                    \
    X(T)                              \
    X(take)                           \
    X(to_csv)                         \
    X(to_numpy)                       \
    X(types)                          \
    X(values)                         \
    X(view)                           \
    AS(dunder_version, "__version__")

namespace loop_names {
PY_NAMES_DECLARE(COMPETITION_LOOP_NAMES)
// Makes the names above (once, on the first iter_test()); throws py::Error on failure.
void ready();
} // namespace loop_names

// The pandas and numpy modules the loop works with: the ones the interpreter has imported under
// those names, not whatever a caller bound to the module's globals.
py::Ref pandas_module();
py::Ref numpy_module();

// The list ['PlayId'], new on every use, as the literal steps build it.
py::Ref playid_list();

// The value of a Python int; throws py::Error where it is not one or does not fit.
inline long as_long(PyObject* o) {
    const long value = PyLong_AsLong(o);
    if (value == -1 && PyErr_Occurred()) throw py::Error();
    return value;
}

// Is o a str equal to the ASCII text?
inline bool text_equals(PyObject* o, const char* text) {
    return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// The one rule for an error on a fast path (py/fast_path.hpp).
using py::fall_back_on_error;
using py::fast_path;

} // namespace competition
