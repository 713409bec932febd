#include "loop/pandas_api.hpp"

#include <algorithm>

namespace competition {
namespace pandas_api {

namespace {

// The major version a version text names: its leading decimal digits, which must be followed by
// a dot or end the text ("3.1.2", "3"); -1 when it names none ("", "dev", "v3", "3rc1").
long major_version(const char* text, Py_ssize_t size) noexcept {
    constexpr long kCeiling = 1000000;  // far past any release, and no overflow
    long major = 0;
    Py_ssize_t i = 0;
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) major = std::min(major * 10 + (text[i] - '0'), kCeiling);
    if (i == 0 || (i < size && text[i] != '.')) return -1;
    return major;
}

// The major version of pandas.__version__, or -1 where it is not text naming one.
long pandas_major(py::Handle pd) {
    py::Ref version = pd.attr(loop_names::dunder_version);
    if (!PyUnicode_Check(version.get())) return -1;
    Py_ssize_t size = 0;
    const char* text = py::check(PyUnicode_AsUTF8AndSize(version.get(), &size));
    return major_version(text, size);
}

// Does this pandas turn evenly spaced positions taken from a RangeIndex into a RangeIndex?
// Where it does not, a take's labels are a plain integer index whatever the positions, so a
// slice of one take gives exactly what taking the slice's positions gives.
bool probe_take_gives_ranges(py::Handle pd, py::Handle np) {
    py::Ref RangeIndex = pd.attr(loop_names::RangeIndex);
    py::Ref zero = py::take(PyLong_FromLong(0)), two = py::take(PyLong_FromLong(2));
    py::Ref four = py::take(PyLong_FromLong(4));
    py::Ref positions = np.method(loop_names::arange, {zero, four, two}, {{loop_names::dtype, loop_names::intp}});
    py::Ref range = RangeIndex.call(four);
    py::Ref taken = range.method(loop_names::take, positions);
    return reinterpret_cast<PyObject*>(Py_TYPE(taken.get())) == RangeIndex.get();
}

} // namespace

Facts Facts::probe() {
    long major = -1;
    bool take_ranges = false;
    const bool probed = fast_path([&] {
        py::Ref pd = pandas_module();
        major = pandas_major(pd);
        if (major >= 0 && major <= kNewestTestedMajor) take_ranges = probe_take_gives_ranges(pd, numpy_module());
    });
    if (!probed || major < 0 || major > kNewestTestedMajor) return Facts();
    return Facts(major >= 3, take_ranges);
}

// ---- the block manager -----------------------------------------------------------------------

bool is_consolidated(PyObject* frame) {
    py::Ref answer;
    fast_path([&] { answer = py::Handle(frame).attr(loop_names::_mgr).method(loop_names::is_consolidated); });
    return answer && answer.is_true();
}

py::Ref consolidated(py::Ref frame) {
    if (py::Ref consolidate = frame.optional_attr(loop_names::_consolidate_inplace)) {
        consolidate.call();
        return frame;
    }
    return frame.method(loop_names::copy);
}

py::Ref blocks(PyObject* frame) {
    py::Ref all = py::Handle(frame).attr(loop_names::_mgr).attr(loop_names::blocks);
    return PyTuple_Check(all.get()) ? std::move(all) : py::Ref();
}

bool read_block(PyObject* block, py::Ref* placement, py::Ref* dtype, py::Ref* array) {
    py::Handle b = block;
    *placement = b.attr(loop_names::mgr_locs).attr(loop_names::indexer);
    *dtype = b.attr(loop_names::dtype);
    *array = b.attr(loop_names::values);
    py::Ref ndim = array->attr(loop_names::ndim);
    if (!PySlice_Check(placement->get()) || as_long(ndim.get()) != 2) return false;
    Py_ssize_t start, stop, step;
    py::check(PySlice_Unpack(placement->get(), &start, &stop, &step));
    return step == 1;  // else columns apart from one another
}

py::Ref dtype_tuple(PyObject* frame) {
    py::Handle f = frame;
    py::Ref mgr = f.optional_attr(loop_names::_mgr);
    py::Ref get_dtypes = mgr ? mgr.optional_attr(loop_names::get_dtypes) : py::Ref();
    py::Ref dtypes = get_dtypes ? get_dtypes.call() : f.attr(loop_names::dtypes);
    return py::take(PySequence_Tuple(dtypes.get()));
}

void clear_item_cache(PyObject* frame) {
    fast_path([&] {
        if (class_defines(frame, loop_names::_clear_item_cache))
            py::Handle(frame).method(loop_names::_clear_item_cache);
    });
}

// ---- indexes ---------------------------------------------------------------------------------

py::Ref index_over_copy(PyObject* index) {
    py::Handle labels = index;
    py::Ref data = labels.attr(loop_names::_data).method(loop_names::copy);
    py::Ref simple_new = py::Handle(reinterpret_cast<PyObject*>(Py_TYPE(index))).attr(loop_names::_simple_new);
    py::Ref name = labels.attr(loop_names::name);
    py::Ref own = simple_new.call({data}, {{loop_names::name, name}});
    return Py_TYPE(own.get()) == Py_TYPE(index) ? std::move(own) : py::Ref();
}

LabelObjects::LabelObjects(PyObject* index) {
    py::Ref data = py::Handle(index).optional_attr(loop_names::_data);
    if (!data) return;
    kind_ = Py_TYPE(data.get());
    if (!PyObject_CheckBuffer(data.get())) data = data.optional_attr(loop_names::_ndarray);
    if (!data || !PyObject_CheckBuffer(data.get())) return;
    if (PyObject_GetBuffer(data.get(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        if (!py::fall_back_on_error()) throw py::Error();
        return;
    }
    held_ = true;
    if (view_.format && view_.format[0] == 'O' && view_.format[1] == '\0' && view_.itemsize == sizeof(PyObject*))
        objects_ = static_cast<PyObject* const*>(view_.buf);
}

// ---- the documented interface where releases differ ------------------------------------------

bool class_defines(PyObject* frame, PyObject* name) {
    return static_cast<bool>(py::Handle(reinterpret_cast<PyObject*>(Py_TYPE(frame))).optional_attr(name));
}

py::Ref frame_attribute(PyObject* frame, PyObject* name) {
    return class_defines(frame, name) ? py::Handle(frame).attr(name) : py::Ref();
}

py::Ref append(PyObject* accumulated, PyObject* answer, py::Handle concat) {
    if (class_defines(accumulated, loop_names::append))
        return py::Handle(accumulated).method(loop_names::append, answer);
    py::Ref frames = py::take(PyList_New(0));
    py::check(PyList_Append(frames.get(), accumulated));
    py::check(PyList_Append(frames.get(), answer));
    return concat.call(frames);
}

} // namespace pandas_api
} // namespace competition
