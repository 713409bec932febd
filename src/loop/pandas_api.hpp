// What the loop knows of pandas beyond its documented interface, in one place: the facts probed
// once per run (which release it is, and so whether the fast paths may rely on it at all; whether
// a slice is already a copy; what a take's labels are), and every read of pandas' private
// interfaces (the block manager and its blocks, consolidation, the arrays inside an index).
//
// The fast paths are tested on pandas 1.1.5, 1.5.3, 2.2.3 and 3.1.2. A pandas whose major version
// is newer than the newest tested one, or whose version cannot be read, gets none of them: each
// group is found by the literal group-by and mask, and each answer is appended as it comes, which
// is exact on any pandas (only slower). Supporting a newer pandas means this file, requirements/
// and the CI matrix.
//
// The functions below that read private interfaces are called only on paths taken where
// Facts::fast_paths() holds (the indexed walk, the accumulation and its stacking).
#pragma once

#include "loop/support.hpp"

namespace competition {
namespace pandas_api {

constexpr long kNewestTestedMajor = 3;

// The facts of one run, probed at its first advance. Nothing Python holds can change them: they
// are plain values, and the only ways to make them are probe() and the default (nothing known).
class Facts {
public:
    Facts() noexcept = default;
    // Probes the pandas imported as `pandas`. An ordinary exception while probing means nothing
    // is known (no fast path); anything else throws py::Error.
    static Facts probe();

    // The fast paths may rely on this pandas: a tested major version.
    bool fast_paths() const noexcept { return fast_paths_; }
    // A slice is as independent as a copy: Copy-on-Write is always on (pandas 3).
    bool slices_are_copies() const noexcept { return slices_are_copies_; }
    // Evenly spaced positions taken from a RangeIndex give a RangeIndex.
    bool take_gives_ranges() const noexcept { return take_gives_ranges_; }

private:
    Facts(bool copies, bool ranges) noexcept
        : fast_paths_(true), slices_are_copies_(copies), take_gives_ranges_(ranges) {}

    const bool fast_paths_ = false;
    const bool slices_are_copies_ = false;
    const bool take_gives_ranges_ = false;
};

// ---- the block manager: frame._mgr -----------------------------------------------------------

// Is the frame in as few blocks as its dtypes allow? False where pandas cannot say.
bool is_consolidated(PyObject* frame);

// The frame in as few blocks as its dtypes allow: in place where pandas can, else a copy.
py::Ref consolidated(py::Ref frame);

// The frame's blocks (frame._mgr.blocks), or null where they are not a tuple.
py::Ref blocks(PyObject* frame);

// One block: its column positions, a slice of step 1, its dtype and its 2-D array (one row per
// column). False when it is not of that form.
bool read_block(PyObject* block, py::Ref* placement, py::Ref* dtype, py::Ref* array);

// A frame's dtypes as a tuple: from its block manager where pandas has one (the dtypes Series
// costs more than the rest of the check), else from DataFrame.dtypes.
py::Ref dtype_tuple(PyObject* frame);

// What pandas' own DataFrame.copy changes in the frame it copies: before pandas 3, its cached
// columns. An ordinary error is left behind.
void clear_item_cache(PyObject* frame);

// ---- indexes ---------------------------------------------------------------------------------

// A new index of the same class over a copy of the labels' array, with the same name (what the
// literal drop makes); null where pandas builds indexes otherwise. Errors throw.
py::Ref index_over_copy(PyObject* index);

// The labels of an index as the array of object pointers it keeps them in, held while this
// lives; empty when the index keeps them otherwise (or cannot say).
class LabelObjects {
public:
    explicit LabelObjects(PyObject* index);
    LabelObjects(const LabelObjects&) = delete;
    LabelObjects& operator=(const LabelObjects&) = delete;
    ~LabelObjects() {
        if (held_) PyBuffer_Release(&view_);
    }
    PyObject* const* objects() const { return objects_; }
    PyTypeObject* kind() const { return kind_; }  // the class of the array the index keeps
    Py_ssize_t size() const { return objects_ ? view_.len / view_.itemsize : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
    PyTypeObject* kind_ = nullptr;
    PyObject* const* objects_ = nullptr;
};

// ---- the documented interface where releases differ ------------------------------------------

// Does the frame's class define name? A frame's own attribute lookup falls back to its columns:
// where the class has no such attribute, it finds a column of that name, and it searches the
// labels (building their hash table, for a new column index) on every miss.
bool class_defines(PyObject* frame, PyObject* name);

// frame.name where the frame's class defines it (attrs and flags, on the releases that have
// them), else null: never a column of that name.
py::Ref frame_attribute(PyObject* frame, PyObject* name);

// accumulated.append(answer) where the frame's class has append (pandas before 2), else
// concat([accumulated, answer]), which does the same. Looked up on the class: where the class has
// none, the frame's own attribute would be a column named "append".
py::Ref append(PyObject* accumulated, PyObject* answer, py::Handle concat);

} // namespace pandas_api
} // namespace competition
