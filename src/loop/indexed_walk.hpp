// The indexed walk's own parts, shared by the two halves of it: building the plan at the first
// advance (indexed_walk.cpp) and serving the groups from chunks of the working copies
// (indexed_chunks.cpp).
#pragma once

#include <cstddef>
#include <vector>

#include "loop/walk.hpp"

namespace competition {

using Positions = std::vector<Py_ssize_t>;

// Rows [first, stop) of a working copy, for groups [first_group, end_group): the copy
// consolidated once for those groups, so that the cost of consolidating is spread over the loop
// instead of falling on the first advance.
struct Chunk {
    py::Ref iloc;              // .iloc of the chunk's frame
    std::size_t first_group = 0, end_group = 0;
    Py_ssize_t first = 0;      // the chunk's first row in the working order

    bool holds(std::size_t group) const { return iloc && group >= first_group && group < end_group; }
};

class IndexedWalk final : public Walk {
public:
    ~IndexedWalk() override { clear(); }

    bool next_group(py::Ref* key, py::Ref* test_group_df) override;
    py::Ref sample_frame(PyObject* sample_submission_df, PyObject* key) override;
    int traverse(visitproc visit, void* arg) override;
    void clear() override;

    // Each group takes the literal mask over the sample rows.
    void forget_sample_index();

    // test side
    py::Ref keys;                      // tuple, ascending
    py::Ref test_source;               // the test rows by group (consolidated or not)
    bool test_consolidated = false;    // then test_source is served as it is
    py::Ref sorted_index;              // the group-by's index of the sorted rows; null when the
                                       // working rows' own index slices are exact
    Positions test_bounds;             // group g: rows [bounds[g], bounds[g + 1])
    bool slices_are_copies = false;    // a slice is already independent (Copy-on-Write always on)
    // sample side (sample_body null: each group takes the literal mask)
    py::Ref sample_body;               // sample_submission_df without PlayId
    py::Ref sample_columns;            // its column index
    py::Ref sample_index;              // sample_submission_df.index
    bool sample_labels_exact = false;  // labels taken once per chunk are each group's labels
    py::Ref sample_positions;          // ndarray: each working row's position in the file
    Positions sample_bounds;           // group g: rows [bounds[2g], bounds[2g + 1])
    Py_ssize_t sample_rows = 0;

private:
    std::size_t chunk_end(std::size_t group) const;
    void load_chunk(std::size_t group);
    void load_test_chunk(std::size_t group, std::size_t end);
    void load_sample_chunk(std::size_t group, std::size_t end);
    py::Ref group_labels(std::size_t group) const;

    Chunk test_chunk;
    Chunk sample_chunk;
    std::size_t next = 0;
};

} // namespace competition
