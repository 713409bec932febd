#include "loop/stacking.hpp"

#include "loop/support.hpp"
#include "module/globals.hpp"

namespace competition {

namespace {

bool is_text(PyObject* o, const char* text) {
    return o && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// 1 when the numpy array's dtype kind is bool, signed or unsigned integer, or float.
int numeric_kind(PyObject* dtype) {
    py::Ref kind = py::Ref::steal(PyObject_GetAttr(dtype, names::kind));
    if (!kind) return fall_back_on_error() ? 0 : -1;
    return is_text(kind.get(), "b") || is_text(kind.get(), "i") || is_text(kind.get(), "u") ||
           is_text(kind.get(), "f");
}

} // namespace

int stackable_dtypes(PyObject* dtypes) {
    py::Ref np = numpy_module();
    py::Ref np_dtype = np ? py::getattr(np.get(), names::dtype) : py::Ref();
    if (!np_dtype || !PyTuple_Check(dtypes)) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dtypes); ++i) {
        PyObject* dtype = PyTuple_GET_ITEM(dtypes, i);
        if (!PyObject_TypeCheck(dtype, reinterpret_cast<PyTypeObject*>(np_dtype.get()))) return 0;
        int numeric = numeric_kind(dtype);
        if (numeric <= 0) return numeric;
    }
    return 1;
}

int BlockStack::add(PyObject* answer) {
    py::Ref mgr = py::getattr(answer, loop_names::_mgr);
    py::Ref blocks = mgr ? py::getattr(mgr.get(), loop_names::blocks) : py::Ref();
    if (!blocks) return fall_back_on_error() ? 0 : -1;
    if (!PyTuple_Check(blocks.get())) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(blocks.get());
    const bool first = answers_ == 0;
    if (!first && static_cast<std::size_t>(n) != layout_.size()) return 0;
    std::vector<Block> layout;
    std::vector<py::Ref> values;
    py::Ref labels = py::getattr(answer, names::index);
    if (!labels) return fall_back_on_error() ? 0 : -1;
    for (Py_ssize_t b = 0; b < n; ++b) {
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        py::Ref locs = py::getattr(block, loop_names::mgr_locs);
        py::Ref placement = locs ? py::getattr(locs.get(), loop_names::indexer) : py::Ref();
        py::Ref dtype = placement ? py::getattr(block, names::dtype) : py::Ref();
        py::Ref array = dtype ? py::getattr(block, names::values) : py::Ref();
        py::Ref ndim = array ? py::getattr(array.get(), loop_names::ndim) : py::Ref();
        if (!ndim) return fall_back_on_error() ? 0 : -1;
        if (!PySlice_Check(placement.get()) || PyLong_AsLong(ndim.get()) != 2) return PyErr_Occurred() ? -1 : 0;
        if (first) {
            int numeric = numeric_kind(dtype.get());
            if (numeric <= 0) return numeric;
            layout.push_back({placement.get(), dtype.get()});
        } else {
            int same = PyObject_RichCompareBool(placement.get(), layout_[b].placement, Py_EQ);
            if (same == 1) same = PyObject_RichCompareBool(dtype.get(), layout_[b].dtype, Py_EQ);
            if (same < 0) return fall_back_on_error() ? 0 : -1;
            if (!same) return 0;
        }
        values.push_back(std::move(array));
    }
    if (first) {
        for (Block& block : layout) {
            Py_INCREF(block.placement);
            Py_INCREF(block.dtype);
        }
        layout_ = std::move(layout);
    }
    arrays_.reserve(arrays_.size() + values.size());
    labels_.push_back(labels.get());
    labels.release();
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

py::Ref BlockStack::build(PyObject* frame_type, PyObject* columns) {
    py::Ref np = numpy_module();
    py::Ref concatenate = np ? py::getattr(np.get(), loop_names::concatenate) : py::Ref();
    py::Ref axis_kw = concatenate ? py::tuple(loop_names::axis) : py::Ref();
    py::Ref one = axis_kw ? py::Ref::steal(PyLong_FromLong(1)) : py::Ref();
    py::Ref by_label = one ? py::Ref::steal(PyDict_New()) : py::Ref();
    Py_ssize_t ncolumns = by_label ? PyObject_Length(columns) : -1;
    if (ncolumns < 0) return py::Ref();
    const std::size_t nblocks = layout_.size();
    for (std::size_t b = 0; b < nblocks; ++b) {
        py::Ref parts = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(answers_)));
        if (!parts) return py::Ref();
        for (std::size_t a = 0; a < answers_; ++a)
            PyList_SET_ITEM(parts.get(), a, py::new_ref(arrays_[a * nblocks + b]));
        PyObject* args[] = {parts.get(), one.get()};
        py::Ref stacked = py::call_kw(concatenate.get(), args, 1, axis_kw.get());
        Py_ssize_t start, stop, step, count;
        if (!stacked || PySlice_GetIndicesEx(layout_[b].placement, ncolumns, &start, &stop, &step, &count) < 0)
            return py::Ref();
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::Ref label = py::Ref::steal(PySequence_GetItem(columns, start + i * step));
            py::Ref column = label ? py::Ref::steal(PySequence_GetItem(stacked.get(), i)) : py::Ref();
            if (!column || PyDict_SetItem(by_label.get(), label.get(), column.get()) < 0) return py::Ref();
        }
    }
    if (PyDict_Size(by_label.get()) != ncolumns) {
        PyErr_SetString(PyExc_ValueError, "the stacked blocks do not cover the columns");
        return py::Ref();
    }
    // the row labels: the answers' indexes one after the other, as joining them gives
    py::Ref index = py::Ref::borrow(labels_[0]);
    if (answers_ > 1) {
        py::Ref rest = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(answers_ - 1)));
        if (!rest) return py::Ref();
        for (std::size_t a = 1; a < answers_; ++a) PyList_SET_ITEM(rest.get(), a - 1, py::new_ref(labels_[a]));
        index = py::call_method(index.get(), names::append, rest.get());
        if (!index) return py::Ref();
    }
    py::Ref kwnames = py::tuple(names::index, names::columns);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {by_label.get(), index.get(), columns};
    return py::call_kw(frame_type, args, 1, kwnames.get());
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
