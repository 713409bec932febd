// The indexed walk's groups, served from chunks of the working copies: each group is one copy of
// a slice of the chunk that holds it, independent of everything else the participant holds or
// the walk keeps, and laid out in as few blocks as its dtypes allow.
#include <utility>

#include "loop/indexed_walk.hpp"
#include "loop/pandas_api.hpp"
#include "loop/support.hpp"

namespace competition {

namespace {

constexpr Py_ssize_t kChunkRows = 32768;

// frame.iloc[start:stop]
py::Ref rows_of(PyObject* iloc, Py_ssize_t start, Py_ssize_t stop) {
    py::Ref lo = py::take(PyLong_FromSsize_t(start));
    py::Ref hi = py::take(PyLong_FromSsize_t(stop));
    py::Ref slice = py::take(PySlice_New(lo.get(), hi.get(), nullptr));
    return py::Handle(iloc).item(slice.get());
}

// frame.iloc[start:stop].copy()
py::Ref copy_of_rows(PyObject* iloc, Py_ssize_t start, Py_ssize_t stop) {
    return rows_of(iloc, start, stop).method(loop_names::copy);
}

// frame.iloc[start:stop].copy(), in as few blocks as its dtypes allow
py::Ref copy_of_rows_consolidated(PyObject* frame, Py_ssize_t start, Py_ssize_t stop) {
    py::Ref iloc = py::Handle(frame).attr(loop_names::iloc);
    return pandas_api::consolidated(copy_of_rows(iloc.get(), start, stop));
}

// A column index of its own for one group's frame, as the literal drop makes one: a new index of
// the same class over a copy of the labels' array, so that neither a name set on it nor a label
// changed in place (pandas before 3 lets Index.values be written) reaches another group. A deep
// copy where pandas builds indexes otherwise.
py::Ref own_columns(PyObject* columns) {
    py::Ref own;
    if (fast_path([&] { own = pandas_api::index_over_copy(columns); }) && own) return own;
    return py::Handle(columns).method(loop_names::copy, {}, {{loop_names::deep, Py_True}});
}

} // namespace

// The end of the chunk that starts at `group`: groups are added until it holds kChunkRows rows
// of both working copies (one group at least).
std::size_t IndexedWalk::chunk_end(std::size_t group) const {
    const std::size_t ngroups = test_bounds.size() - 1;
    std::size_t end = group;
    Py_ssize_t rows = 0;
    while (end < ngroups && (end == group || rows < kChunkRows)) {
        rows += test_bounds[end + 1] - test_bounds[end];
        if (sample_body) rows += sample_bounds[2 * end + 1] - sample_bounds[2 * end];
        ++end;
    }
    return end;
}

// The chunk of working rows that holds `group`, built when the group is not in the current one.
// Until it is built, no chunk is held.
void IndexedWalk::load_chunk(std::size_t group) {
    if (test_chunk.holds(group)) return;
    const std::size_t end = chunk_end(group);
    test_chunk = Chunk();
    sample_chunk = Chunk();
    load_test_chunk(group, end);
    if (sample_body) load_sample_chunk(group, end);
}

void IndexedWalk::load_test_chunk(std::size_t group, std::size_t end) {
    py::Ref frame = py::Ref::borrow(test_source.get());
    Py_ssize_t first = 0;
    if (!test_consolidated) {
        first = test_bounds[group];
        frame = copy_of_rows_consolidated(frame.get(), first, test_bounds[end]);
    }
    test_chunk.iloc = frame.attr(loop_names::iloc);
    test_chunk.first = first;
    test_chunk.first_group = group;
    test_chunk.end_group = end;
}

// The sample rows of the chunk's groups, taken in group order and consolidated.
void IndexedWalk::load_sample_chunk(std::size_t group, std::size_t end) {
    const Py_ssize_t first = sample_bounds[2 * group], stop = sample_bounds[2 * (end - 1) + 1];
    py::Ref positions = py::take(PySequence_GetSlice(sample_positions.get(), first, stop));
    py::Ref body = py::Ref::borrow(sample_body.get());
    py::Ref work = pandas_api::consolidated(body.method(loop_names::take, positions));
    if (sample_labels_exact) {
        py::Ref labels = py::Ref::borrow(sample_index.get());
        work.set_attr(loop_names::index, labels.method(loop_names::take, positions).get());
    }
    sample_chunk.iloc = work.attr(loop_names::iloc);
    sample_chunk.first = first;
    sample_chunk.first_group = group;
    sample_chunk.end_group = end;
}

// The group's row labels: the group-by's slice of the sorted rows' index, then sort_index().
py::Ref IndexedWalk::group_labels(std::size_t group) const {
    py::Ref sorted = py::Ref::borrow(sorted_index.get());
    py::Ref index = py::take(PySequence_GetSlice(sorted.get(), test_bounds[group], test_bounds[group + 1]));
    if (index.attr(loop_names::is_monotonic_increasing).is_true()) return index;
    py::Ref order = index.method(loop_names::argsort);
    return index.method(loop_names::take, order);
}

bool IndexedWalk::next_group(py::Ref* key, py::Ref* test_group_df) {
    if (next + 1 >= test_bounds.size()) return false;
    const std::size_t gi = next;
    load_chunk(gi);
    py::Ref iloc = py::Ref::borrow(test_chunk.iloc.get());
    const Py_ssize_t start = test_bounds[gi] - test_chunk.first, stop = test_bounds[gi + 1] - test_chunk.first;
    py::Ref frame = slices_are_copies ? rows_of(iloc.get(), start, stop) : copy_of_rows(iloc.get(), start, stop);
    if (sorted_index) frame.set_attr(loop_names::index, group_labels(gi).get());
    PyObject* k = py::check(PyTuple_GetItem(keys.get(), static_cast<Py_ssize_t>(gi)));
    *key = py::Ref::borrow(k);
    *test_group_df = std::move(frame);
    next = gi + 1;
    return true;
}

py::Ref IndexedWalk::sample_frame(PyObject* sample_submission_df, PyObject* key) {
    const std::size_t gi = next - 1;
    if (!sample_body || 2 * gi + 1 >= sample_bounds.size()) return literal_sample_frame(sample_submission_df, key);
    const Py_ssize_t start = sample_bounds[2 * gi], stop = sample_bounds[2 * gi + 1];
    // A selection of every row is the one case the mask does not take row by row.
    if (stop - start == sample_rows) return literal_sample_frame(sample_submission_df, key);
    if (!sample_chunk.holds(gi)) py::raise(PyExc_SystemError, "the sample rows of a group are not in the working copy");
    py::Ref iloc = py::Ref::borrow(sample_chunk.iloc.get());
    py::Ref frame = copy_of_rows(iloc.get(), start - sample_chunk.first, stop - sample_chunk.first);
    // Every group's frame gets a column index of its own (a copy has a view of the working
    // copy's, whose labels another group would then share).
    frame.set_attr(loop_names::columns, own_columns(sample_columns.get()).get());
    if (sample_labels_exact) return frame;
    py::Ref positions = py::take(PySequence_GetSlice(sample_positions.get(), start, stop));
    py::Ref labels = py::Ref::borrow(sample_index.get());
    frame.set_attr(loop_names::index, labels.method(loop_names::take, positions).get());
    return frame;
}

void IndexedWalk::forget_sample_index() {
    sample_body.reset();
    sample_columns.reset();
    sample_index.reset();
    sample_positions.reset();
    sample_bounds.clear();
}

int IndexedWalk::traverse(visitproc visit, void* arg) {
    Py_VISIT(keys.get());
    Py_VISIT(test_source.get());
    Py_VISIT(sorted_index.get());
    Py_VISIT(test_chunk.iloc.get());
    Py_VISIT(sample_body.get());
    Py_VISIT(sample_columns.get());
    Py_VISIT(sample_index.get());
    Py_VISIT(sample_chunk.iloc.get());
    // sample_positions is an integer ndarray: it can hold no reference to anything
    return 0;
}

void IndexedWalk::clear() {
    keys.reset();
    test_source.reset();
    sorted_index.reset();
    forget_sample_index();
    test_chunk = Chunk();
    sample_chunk = Chunk();
    test_bounds.clear();
}

} // namespace competition
