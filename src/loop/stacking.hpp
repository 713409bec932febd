// Answers stacked by their numeric blocks: what joining many plain answers of one numeric shape
// comes to, done once for all of them.
//
// pandas.concat costs tens of microseconds a frame whatever the frames hold, so joining
// thousands of one-row answers costs more than writing them. Answers whose columns are all of
// numpy's bool, integer and float dtypes, laid out in the same blocks, are kept as the arrays of
// their blocks instead; when the accumulated predictions are needed, each block's arrays are
// concatenated once and one frame is built from the columns, with the same labels, values and
// dtypes that joining the frames gives (row labels too: they show in the errors of later joins).
#pragma once

#include <vector>

#include "py/ref.hpp"

namespace competition {

struct StackedBlocks;

class BlockStack {
public:
    BlockStack() = default;
    BlockStack(const BlockStack&) = delete;
    BlockStack& operator=(const BlockStack&) = delete;
    ~BlockStack() { clear(); }

    // Takes the answer's block arrays: true when taken, false when its blocks are not laid out
    // as the answers taken before (or cannot be stacked). Errors throw py::Error. With `copy`,
    // copies of the arrays and a view of the row labels, as a deep copy of the frame holds.
    bool add(PyObject* answer, bool copy = false);
    // Forgets the answer taken last.
    void pop();
    std::size_t answers() const { return answers_; }
    bool empty() const { return answers_ == 0; }

    // One frame holding the answers taken, in order: `columns` is their column index,
    // `frame_type` pandas.DataFrame. With `prefix`, a frame of the same columns and dtypes, the
    // frame starts with prefix's rows: null when prefix's blocks are laid out otherwise. Nothing
    // is forgotten, whether it returns or throws.
    py::Ref build(PyObject* frame_type, PyObject* columns, PyObject* prefix = nullptr);

    void clear();
    int traverse(visitproc visit, void* arg) const;

private:
    struct Block {
        py::Ref placement;  // the block's column positions: a slice
        py::Ref dtype;
    };
    bool read_blocks(PyObject* frame, bool copy, std::vector<Block>* layout, std::vector<py::Ref>* values) const;
    bool read_prefix(PyObject* prefix, py::Ref* labels, std::vector<py::Ref>* values) const;
    void stack_blocks(PyObject* np, PyObject* columns, const std::vector<py::Ref>* prefix, StackedBlocks* out) const;
    py::Ref row_labels(PyObject* np, PyObject* first) const;
    std::vector<Block> layout_;      // of the first answer taken
    std::vector<py::Ref> arrays_;    // answer after answer, one 2-D array per block
    std::vector<py::Ref> labels_;    // each answer's row index
    std::size_t answers_ = 0;
};

// True when every dtype of the tuple is numpy's bool, integer or float: the dtypes whose
// values stack exactly by numpy.concatenate and come back unchanged through the DataFrame
// constructor.
bool stackable_dtypes(PyObject* dtypes);

} // namespace competition
