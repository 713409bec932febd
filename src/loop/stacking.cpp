#include "loop/stacking.hpp"

#include <algorithm>
#include <utility>

#include "loop/support.hpp"
#include "module/globals.hpp"

namespace competition {

namespace {

bool is_text(PyObject* o, const char* text) {
    return o && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// 1 when the numpy array's dtype kind is bool, signed or unsigned integer, or float.
int numeric_kind(PyObject* dtype) {
    py::Ref kind = py::Ref::steal(PyObject_GetAttr(dtype, loop_names::kind));
    if (!kind) return fall_back_on_error() ? 0 : -1;
    return is_text(kind.get(), "b") || is_text(kind.get(), "i") || is_text(kind.get(), "u") ||
           is_text(kind.get(), "f");
}

} // namespace

int stackable_dtypes(PyObject* dtypes) {
    py::Ref np = numpy_module();
    py::Ref np_dtype = np ? py::unchecked::getattr(np.get(), loop_names::dtype) : py::Ref();
    if (!np_dtype || !PyTuple_Check(dtypes)) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dtypes); ++i) {
        PyObject* dtype = PyTuple_GET_ITEM(dtypes, i);
        if (!PyObject_TypeCheck(dtype, reinterpret_cast<PyTypeObject*>(np_dtype.get()))) return 0;
        int numeric = numeric_kind(dtype);
        if (numeric <= 0) return numeric;
    }
    return 1;
}

// The 2-D arrays of a frame's blocks, checked against `layout` (or, when it is empty, taken as
// the layout): 1 read, 0 laid out otherwise or not stackable, -1 error.
int BlockStack::read_blocks(PyObject* frame, std::vector<Block>* layout, std::vector<py::Ref>* values) const {
    py::Ref mgr = py::unchecked::getattr(frame, loop_names::_mgr);
    py::Ref blocks = mgr ? py::unchecked::getattr(mgr.get(), loop_names::blocks) : py::Ref();
    if (!blocks) return fall_back_on_error() ? 0 : -1;
    if (!PyTuple_Check(blocks.get())) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(blocks.get());
    const bool first = layout_.empty();
    if (!first && static_cast<std::size_t>(n) != layout_.size()) return 0;
    for (Py_ssize_t b = 0; b < n; ++b) {
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        py::Ref locs = py::unchecked::getattr(block, loop_names::mgr_locs);
        py::Ref placement = locs ? py::unchecked::getattr(locs.get(), loop_names::indexer) : py::Ref();
        py::Ref dtype = placement ? py::unchecked::getattr(block, loop_names::dtype) : py::Ref();
        py::Ref array = dtype ? py::unchecked::getattr(block, loop_names::values) : py::Ref();
        py::Ref ndim = array ? py::unchecked::getattr(array.get(), loop_names::ndim) : py::Ref();
        if (!ndim) return fall_back_on_error() ? 0 : -1;
        if (!PySlice_Check(placement.get()) || PyLong_AsLong(ndim.get()) != 2) return PyErr_Occurred() ? -1 : 0;
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(placement.get(), &start, &stop, &step) < 0) return fall_back_on_error() ? 0 : -1;
        if (step != 1) return 0;  // columns apart from one another
        if (first) {
            int numeric = numeric_kind(dtype.get());
            if (numeric <= 0) return numeric;
            layout->push_back({placement.release(), dtype.release()});
        } else {
            int same = PyObject_RichCompareBool(placement.get(), layout_[b].placement, Py_EQ);
            if (same == 1) same = PyObject_RichCompareBool(dtype.get(), layout_[b].dtype, Py_EQ);
            if (same < 0) return fall_back_on_error() ? 0 : -1;
            if (!same) return 0;
        }
        values->push_back(std::move(array));
    }
    return 1;
}

int BlockStack::add(PyObject* answer) {
    py::Ref labels = py::unchecked::getattr(answer, loop_names::index);
    if (!labels) return fall_back_on_error() ? 0 : -1;
    std::vector<Block> layout;
    std::vector<py::Ref> values;
    int r = read_blocks(answer, &layout, &values);
    if (r <= 0) {
        for (Block& block : layout) {
            Py_DECREF(block.placement);
            Py_DECREF(block.dtype);
        }
        return r;
    }
    if (layout_.empty()) layout_ = std::move(layout);
    labels_.push_back(labels.release());
    for (py::Ref& array : values) arrays_.push_back(array.release());
    ++answers_;
    return 1;
}

void BlockStack::pop() {
    if (answers_ == 0) return;
    Py_DECREF(labels_.back());
    labels_.pop_back();
    for (std::size_t b = 0; b < layout_.size(); ++b) {
        Py_DECREF(arrays_.back());
        arrays_.pop_back();
    }
    if (--answers_ == 0) clear();
}

namespace {

// The frame of the stacked blocks. One block holds most of the columns: the frame is made over
// its array, without a copy, and the few columns of the other blocks are inserted where they
// belong. Otherwise it is made from the columns one by one.
py::Ref frame_of_blocks(PyObject* frame_type, PyObject* columns, PyObject* index,
                        const std::vector<py::Ref>& stacked, const std::vector<Py_ssize_t>& starts,
                        const std::vector<Py_ssize_t>& counts) {
    constexpr Py_ssize_t kFewColumns = 16;
    std::size_t main = 0;
    Py_ssize_t others = 0;
    for (std::size_t b = 0; b < stacked.size(); ++b)
        if (counts[b] > counts[main]) main = b;
    for (std::size_t b = 0; b < stacked.size(); ++b)
        if (b != main) others += counts[b];
    if (stacked.empty() || others > kFewColumns) {
        py::Ref by_label = py::Ref::steal(PyDict_New());
        if (!by_label) return py::Ref();
        for (std::size_t b = 0; b < stacked.size(); ++b)
            for (Py_ssize_t i = 0; i < counts[b]; ++i) {
                py::Ref label = py::Ref::steal(PySequence_GetItem(columns, starts[b] + i));
                py::Ref column = label ? py::Ref::steal(PySequence_GetItem(stacked[b].get(), i)) : py::Ref();
                if (!column || PyDict_SetItem(by_label.get(), label.get(), column.get()) < 0) return py::Ref();
            }
        py::Ref kwnames = py::unchecked::tuple(loop_names::index, loop_names::columns);
        if (!kwnames) return py::Ref();
        PyObject* args[] = {by_label.get(), index, columns};
        return py::unchecked::call_kw(frame_type, args, 1, kwnames.get());
    }
    py::Ref labels = py::Ref::steal(PySequence_GetSlice(columns, starts[main], starts[main] + counts[main]));
    py::Ref rows = labels ? py::unchecked::getattr(stacked[main].get(), loop_names::T) : py::Ref();
    py::Ref kwnames = rows ? py::unchecked::tuple(loop_names::index, loop_names::columns, loop_names::copy) : py::Ref();
    if (!kwnames) return py::Ref();
    PyObject* args[] = {rows.get(), index, labels.get(), Py_False};
    py::Ref frame = py::unchecked::call_kw(frame_type, args, 1, kwnames.get());
    if (!frame) return py::Ref();
    // the other columns, by position: each lands where it belongs, the ones before it being there
    std::vector<std::pair<Py_ssize_t, std::pair<std::size_t, Py_ssize_t>>> inserts;
    for (std::size_t b = 0; b < stacked.size(); ++b)
        if (b != main)
            for (Py_ssize_t i = 0; i < counts[b]; ++i) inserts.push_back({starts[b] + i, {b, i}});
    std::sort(inserts.begin(), inserts.end());
    for (const auto& at : inserts) {
        py::Ref position = py::Ref::steal(PyLong_FromSsize_t(at.first));
        py::Ref label = position ? py::Ref::steal(PySequence_GetItem(columns, at.first)) : py::Ref();
        py::Ref column = label ? py::Ref::steal(PySequence_GetItem(stacked[at.second.first].get(), at.second.second))
                               : py::Ref();
        if (!column || !py::unchecked::call_method(frame.get(), loop_names::insert, position.get(), label.get(), column.get()))
            return py::Ref();
    }
    return frame;
}

} // namespace

py::Ref BlockStack::build(PyObject* frame_type, PyObject* columns, PyObject* prefix) {
    std::vector<Block> unused;
    std::vector<py::Ref> first;
    py::Ref first_labels;
    if (prefix) {
        first_labels = py::unchecked::getattr(prefix, loop_names::index);
        if (!first_labels) return py::Ref();
        int r = read_blocks(prefix, &unused, &first);
        if (r <= 0) return py::Ref();  // laid out otherwise: no error set, or an error
    }
    py::Ref np = numpy_module();
    py::Ref concatenate = np ? py::unchecked::getattr(np.get(), loop_names::concatenate) : py::Ref();
    py::Ref axis_kw = concatenate ? py::unchecked::tuple(loop_names::axis) : py::Ref();
    py::Ref one = axis_kw ? py::Ref::steal(PyLong_FromLong(1)) : py::Ref();
    Py_ssize_t ncolumns = one ? PyObject_Length(columns) : -1;
    if (ncolumns < 0) return py::Ref();
    const std::size_t nblocks = layout_.size();
    const Py_ssize_t nparts = static_cast<Py_ssize_t>(answers_) + (prefix ? 1 : 0);
    std::vector<py::Ref> stacked;
    std::vector<Py_ssize_t> starts, counts;
    Py_ssize_t covered = 0;
    for (std::size_t b = 0; b < nblocks; ++b) {
        py::Ref parts = py::Ref::steal(PyList_New(nparts));
        if (!parts) return py::Ref();
        Py_ssize_t k = 0;
        if (prefix) PyList_SET_ITEM(parts.get(), k++, first[b].new_ref());
        for (std::size_t a = 0; a < answers_; ++a) PyList_SET_ITEM(parts.get(), k++, py::new_ref(arrays_[a * nblocks + b]));
        PyObject* args[] = {parts.get(), one.get()};
        stacked.push_back(py::unchecked::call_kw(concatenate.get(), args, 1, axis_kw.get()));
        Py_ssize_t start, stop, step, count;
        if (!stacked.back() || PySlice_GetIndicesEx(layout_[b].placement, ncolumns, &start, &stop, &step, &count) < 0)
            return py::Ref();
        if (step != 1) {
            PyErr_SetString(PyExc_ValueError, "a stacked block's columns are not contiguous");
            return py::Ref();
        }
        starts.push_back(start);
        counts.push_back(count);
        covered += count;
    }
    if (covered != ncolumns) {
        PyErr_SetString(PyExc_ValueError, "the stacked blocks do not cover the columns");
        return py::Ref();
    }
    py::Ref index = row_labels(np.get(), first_labels.get());
    if (!index) return py::Ref();
    return frame_of_blocks(frame_type, columns, index.get(), stacked, starts, counts);
}

// The row labels: the indexes one after the other, as joining the frames gives them (first, if
// given, the prefix's). Where all are of int64, their values are concatenated at once (some
// pandas releases take tens of microseconds an index to append them).
py::Ref BlockStack::row_labels(PyObject* np, PyObject* first) const {
    py::Ref all = py::Ref::steal(PyList_New(0));
    if (!all || (first && PyList_Append(all.get(), first) < 0)) return py::Ref();
    for (PyObject* labels : labels_)
        if (PyList_Append(all.get(), labels) < 0) return py::Ref();
    py::Ref dtype_of = py::unchecked::getattr(np, loop_names::dtype);
    py::Ref name = dtype_of ? py::Ref::steal(PyUnicode_FromString("int64")) : py::Ref();
    py::Ref int64 = name ? py::unchecked::call(dtype_of.get(), name.get()) : py::Ref();
    if (!int64) return py::Ref();
    bool integers = true;
    for (Py_ssize_t i = 0; integers && i < PyList_GET_SIZE(all.get()); ++i) {
        py::Ref dtype = py::unchecked::getattr(PyList_GET_ITEM(all.get(), i), loop_names::dtype);
        if (!dtype) return py::Ref();
        integers = dtype.get() == int64.get();
    }
    if (integers) {
        py::Ref pd = pandas_module();
        py::Ref Index = pd ? py::unchecked::getattr(pd.get(), loop_names::Index) : py::Ref();
        py::Ref concatenate = Index ? py::unchecked::getattr(np, loop_names::concatenate) : py::Ref();
        py::Ref values = concatenate ? py::unchecked::call(concatenate.get(), all.get()) : py::Ref();
        return values ? py::unchecked::call(Index.get(), values.get()) : py::Ref();
    }
    py::Ref head = py::Ref::borrow(PyList_GET_ITEM(all.get(), 0));
    if (PyList_GET_SIZE(all.get()) == 1) return head;
    py::Ref rest = py::Ref::steal(PyList_GetSlice(all.get(), 1, PyList_GET_SIZE(all.get())));
    return rest ? py::unchecked::call_method(head.get(), loop_names::append, rest.get()) : py::Ref();
}

void BlockStack::clear() {
    std::vector<PyObject*> arrays;
    arrays.swap(arrays_);
    std::vector<Block> layout;
    layout.swap(layout_);
    std::vector<PyObject*> labels;
    labels.swap(labels_);
    answers_ = 0;
    for (PyObject* array : arrays) Py_DECREF(array);
    for (PyObject* index : labels) Py_DECREF(index);
    for (Block& block : layout) {
        Py_DECREF(block.placement);
        Py_DECREF(block.dtype);
    }
}

int BlockStack::traverse(visitproc visit, void* arg) const {
    for (PyObject* array : arrays_) Py_VISIT(array);
    for (PyObject* index : labels_) Py_VISIT(index);
    for (const Block& block : layout_) {
        Py_VISIT(block.placement);
        Py_VISIT(block.dtype);
    }
    return 0;
}

} // namespace competition
