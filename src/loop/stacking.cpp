#include "loop/stacking.hpp"

#include <algorithm>
#include <utility>

#include "loop/pandas_api.hpp"
#include "loop/support.hpp"

namespace competition {

// The blocks of the answers (after the prefix's, if any) joined: one array for each block and
// the columns it holds, [start, start + count).
struct StackedBlocks {
    std::vector<py::Ref> arrays;
    std::vector<Py_ssize_t> starts, counts;
};

namespace {

// Is the numpy array's dtype kind bool, signed or unsigned integer, or float?
bool numeric_kind(PyObject* dtype) {
    py::Ref kind = py::Handle(dtype).attr(loop_names::kind);
    return text_equals(kind.get(), "b") || text_equals(kind.get(), "i") || text_equals(kind.get(), "u") ||
           text_equals(kind.get(), "f");
}

// a == b, by PyObject_RichCompareBool: identical objects are equal.
bool equal(PyObject* a, PyObject* b) { return py::check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

} // namespace

bool stackable_dtypes(PyObject* dtypes) {
    py::Ref np_dtype = numpy_module().attr(loop_names::dtype);
    if (!PyTuple_Check(dtypes)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dtypes); ++i) {
        PyObject* dtype = PyTuple_GET_ITEM(dtypes, i);
        if (!PyObject_TypeCheck(dtype, reinterpret_cast<PyTypeObject*>(np_dtype.get())) || !numeric_kind(dtype))
            return false;
    }
    return true;
}

// The 2-D arrays of a frame's blocks, checked against the layout of the answers taken (or, when
// none was, of numeric dtypes and taken as the layout): false when laid out otherwise or not
// stackable.
bool BlockStack::read_blocks(PyObject* frame, bool copy, std::vector<Block>* layout,
                             std::vector<py::Ref>* values) const {
    py::Ref blocks = pandas_api::blocks(frame);
    if (!blocks) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(blocks.get());
    const bool first = layout_.empty();
    if (!first && static_cast<std::size_t>(n) != layout_.size()) return false;
    for (Py_ssize_t b = 0; b < n; ++b) {
        Block block;
        py::Ref array;
        if (!pandas_api::read_block(PyTuple_GET_ITEM(blocks.get(), b), &block.placement, &block.dtype, &array))
            return false;
        if (first) {
            if (!numeric_kind(block.dtype.get())) return false;
            layout->push_back(std::move(block));
        } else {
            const Block& taken = layout_[static_cast<std::size_t>(b)];
            if (!equal(block.placement.get(), taken.placement.get()) || !equal(block.dtype.get(), taken.dtype.get()))
                return false;
        }
        values->push_back(copy ? array.method(loop_names::copy) : std::move(array));
    }
    return true;
}

// An ordinary error while the answer is read means it is joined as a frame instead.
bool BlockStack::add(PyObject* answer, bool copy) {
    py::Ref labels;
    std::vector<Block> layout;
    std::vector<py::Ref> values;
    bool read = false;
    fast_path([&] {
        labels = py::Handle(answer).attr(loop_names::index);
        if (copy) labels = labels.method(loop_names::view);
        read = read_blocks(answer, copy, &layout, &values);
    });
    if (!read) return false;
    if (layout_.empty()) layout_ = std::move(layout);
    labels_.push_back(std::move(labels));
    for (py::Ref& array : values) arrays_.push_back(std::move(array));
    ++answers_;
    return true;
}

void BlockStack::pop() {
    if (answers_ == 0) return;
    py::Ref labels = std::move(labels_.back());
    labels_.pop_back();
    for (std::size_t b = 0; b < layout_.size(); ++b) {
        py::Ref array = std::move(arrays_.back());
        arrays_.pop_back();
    }
    if (--answers_ == 0) clear();
}

namespace {

constexpr Py_ssize_t kFewColumns = 16;

// The block that holds the most columns (the first of those).
std::size_t widest_block(const StackedBlocks& s) {
    std::size_t widest = 0;
    for (std::size_t b = 0; b < s.counts.size(); ++b)
        if (s.counts[b] > s.counts[widest]) widest = b;
    return widest;
}

// frame_type({label: column, ...}, index=index, columns=columns), from the columns one by one.
py::Ref frame_by_column(py::Handle frame_type, PyObject* columns, PyObject* index, const StackedBlocks& s) {
    py::Ref by_label = py::take(PyDict_New());
    for (std::size_t b = 0; b < s.arrays.size(); ++b)
        for (Py_ssize_t i = 0; i < s.counts[b]; ++i) {
            py::Ref label = py::take(PySequence_GetItem(columns, s.starts[b] + i));
            py::Ref column = py::take(PySequence_GetItem(s.arrays[b].get(), i));
            py::check(PyDict_SetItem(by_label.get(), label.get(), column.get()));
        }
    return frame_type.call({by_label}, {{loop_names::index, index}, {loop_names::columns, columns}});
}

// frame_type(array.T, index=index, columns=labels, copy=False): the frame over one block's
// array, without a copy.
py::Ref frame_over_block(py::Handle frame_type, PyObject* columns, PyObject* index, const StackedBlocks& s,
                         std::size_t b) {
    py::Ref labels = py::take(PySequence_GetSlice(columns, s.starts[b], s.starts[b] + s.counts[b]));
    py::Ref rows = s.arrays[b].attr(loop_names::T);
    return frame_type.call({rows},
                           {{loop_names::index, index}, {loop_names::columns, labels}, {loop_names::copy, Py_False}});
}

// The columns of the blocks other than `main`, inserted by position: each lands where it
// belongs, the ones before it being there.
void insert_other_columns(py::Handle frame, PyObject* columns, const StackedBlocks& s, std::size_t main) {
    using Insert = std::pair<Py_ssize_t, std::pair<std::size_t, Py_ssize_t>>;  // position, (block, column)
    std::vector<Insert> inserts;
    for (std::size_t b = 0; b < s.arrays.size(); ++b)
        if (b != main)
            for (Py_ssize_t i = 0; i < s.counts[b]; ++i) inserts.push_back({s.starts[b] + i, {b, i}});
    std::sort(inserts.begin(), inserts.end());
    for (const Insert& at : inserts) {
        py::Ref position = py::take(PyLong_FromSsize_t(at.first));
        py::Ref label = py::take(PySequence_GetItem(columns, at.first));
        py::Ref column = py::take(PySequence_GetItem(s.arrays[at.second.first].get(), at.second.second));
        frame.method(loop_names::insert, position, label, column);
    }
}

// The frame of the stacked blocks. One block holds most of the columns: the frame is made over
// its array, without a copy, and the few columns of the other blocks are inserted where they
// belong. Otherwise it is made from the columns one by one.
py::Ref frame_of_blocks(PyObject* frame_type, PyObject* columns, PyObject* index, const StackedBlocks& s) {
    const std::size_t main = widest_block(s);
    Py_ssize_t others = 0;
    for (std::size_t b = 0; b < s.counts.size(); ++b)
        if (b != main) others += s.counts[b];
    if (s.arrays.empty() || others > kFewColumns) return frame_by_column(frame_type, columns, index, s);
    py::Ref frame = frame_over_block(frame_type, columns, index, s, main);
    insert_other_columns(frame, columns, s, main);
    return frame;
}

} // namespace

// The prefix's row labels and block arrays: false when its blocks are laid out otherwise, or
// cannot be read.
bool BlockStack::read_prefix(PyObject* prefix, py::Ref* labels, std::vector<py::Ref>* values) const {
    *labels = py::Handle(prefix).attr(loop_names::index);
    std::vector<Block> unused;
    bool read = false;
    fast_path([&] { read = read_blocks(prefix, false, &unused, values); });
    return read;
}

// Each block's arrays, the prefix's first, joined along the rows: numpy.concatenate(parts, axis=1)
// of the blocks' 2-D arrays, checked to cover the columns in runs.
void BlockStack::stack_blocks(PyObject* np, PyObject* columns, const std::vector<py::Ref>* prefix,
                              StackedBlocks* out) const {
    py::Ref concatenate = py::Handle(np).attr(loop_names::concatenate);
    py::Ref one = py::take(PyLong_FromLong(1));
    const Py_ssize_t ncolumns = py::check_size(PyObject_Length(columns));
    const std::size_t nblocks = layout_.size();
    const Py_ssize_t nparts = static_cast<Py_ssize_t>(answers_) + (prefix ? 1 : 0);
    Py_ssize_t covered = 0;
    for (std::size_t b = 0; b < nblocks; ++b) {
        py::Ref parts = py::take(PyList_New(nparts));
        Py_ssize_t k = 0;
        if (prefix) PyList_SET_ITEM(parts.get(), k++, (*prefix)[b].new_ref());
        for (std::size_t a = 0; a < answers_; ++a)
            PyList_SET_ITEM(parts.get(), k++, arrays_[a * nblocks + b].new_ref());
        out->arrays.push_back(concatenate.call({parts}, {{loop_names::axis, one}}));
        Py_ssize_t start, stop, step, count;
        py::check(PySlice_GetIndicesEx(layout_[b].placement.get(), ncolumns, &start, &stop, &step, &count));
        if (step != 1) py::raise(PyExc_ValueError, "a stacked block's columns are not contiguous");
        out->starts.push_back(start);
        out->counts.push_back(count);
        covered += count;
    }
    if (covered != ncolumns) py::raise(PyExc_ValueError, "the stacked blocks do not cover the columns");
}

py::Ref BlockStack::build(PyObject* frame_type, PyObject* columns, PyObject* prefix) {
    std::vector<py::Ref> first;
    py::Ref first_labels;
    if (prefix && !read_prefix(prefix, &first_labels, &first)) return py::Ref();
    py::Ref np = numpy_module();
    StackedBlocks stacked;
    stack_blocks(np.get(), columns, prefix ? &first : nullptr, &stacked);
    py::Ref index = row_labels(np.get(), first_labels.get());
    return frame_of_blocks(frame_type, columns, index.get(), stacked);
}

namespace {

// Are all the indexes of the list of dtype int64?
bool all_int64(PyObject* np, PyObject* indexes) {
    py::Ref int64 = py::Handle(np).attr(loop_names::dtype).call(loop_names::int64);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(indexes); ++i) {
        py::Ref dtype = py::Handle(PyList_GET_ITEM(indexes, i)).attr(loop_names::dtype);
        if (dtype.get() != int64.get()) return false;
    }
    return true;
}

// pandas.Index(numpy.concatenate(indexes))
py::Ref joined_values(PyObject* np, PyObject* indexes) {
    py::Ref Index = pandas_module().attr(loop_names::Index);
    py::Ref values = py::Handle(np).attr(loop_names::concatenate).call(indexes);
    return Index.call(values);
}

} // namespace

// The row labels: the indexes one after the other, as joining the frames gives them (first, if
// given, the prefix's). Where all are of int64, their values are concatenated at once (some
// pandas releases take tens of microseconds an index to append them).
py::Ref BlockStack::row_labels(PyObject* np, PyObject* first) const {
    py::Ref all = py::take(PyList_New(0));
    if (first) py::check(PyList_Append(all.get(), first));
    for (const py::Ref& labels : labels_) py::check(PyList_Append(all.get(), labels.get()));
    if (all_int64(np, all.get())) return joined_values(np, all.get());
    const Py_ssize_t n = PyList_GET_SIZE(all.get());
    py::Ref head = py::Ref::borrow(PyList_GET_ITEM(all.get(), 0));
    if (n == 1) return head;
    py::Ref rest = py::take(PyList_GetSlice(all.get(), 1, n));
    return head.method(loop_names::append, rest);
}

void BlockStack::clear() {
    std::vector<py::Ref> arrays;
    arrays.swap(arrays_);
    std::vector<Block> layout;
    layout.swap(layout_);
    std::vector<py::Ref> labels;
    labels.swap(labels_);
    answers_ = 0;
    arrays.clear();
    labels.clear();
    layout.clear();
}

int BlockStack::traverse(visitproc visit, void* arg) const {
    for (const py::Ref& array : arrays_) Py_VISIT(array.get());
    for (const py::Ref& index : labels_) Py_VISIT(index.get());
    for (const Block& block : layout_) {
        Py_VISIT(block.placement.get());
        Py_VISIT(block.dtype.get());
    }
    return 0;
}

} // namespace competition
