// The indexed walk: the literal walk's groups, from working copies built once.
//
// At the first advance:
//   - the keys, as a sorted group-by gives them: pd.factorize(test_df['PlayId'], sort=True);
//   - the test rows by group and then by row (a counting sort over the key codes), copied once
//     into one consolidated frame, so that each group is one contiguous slice of it;
//   - the sample rows without PlayId by key and then in file order, the same way.
// Each group is then one copy of a slice of each working copy: independent of everything else
// the participant holds or the walk keeps, and laid out in as few blocks as its dtypes allow.
//
// Row labels are what the literal steps give, type included (pandas releases differ in when
// they return a RangeIndex). The test rows' index is the sorted copy's index as the group-by
// splits it, re-sorted as sort_index() re-sorts it; it comes from a one-column copy of the key
// sorted by the same call (the sort reads that column only). The sample rows' index is what
// the mask's take gives: the sample index taken at the rows' positions.
//
// Eligible only where that is exact: plain frames, a test index 0, 1, 2, ..., a key dtype whose
// factorized order and equality are those of sort_values and ==, and no missing key (where the
// group-by's own handling of missing keys decides the labels). The sample side is indexed only
// when its key has the test key's dtype; otherwise each group takes the literal mask.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "loop/support.hpp"
#include "loop/walk.hpp"
#include "module/globals.hpp"

namespace competition {

namespace {

using Positions = std::vector<Py_ssize_t>;

py::Ref call_kw1(PyObject* callable, PyObject* arg, PyObject* kwname, PyObject* kwvalue) {
    py::Ref kwnames = py::unchecked::tuple(kwname);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {arg, kwvalue};
    return py::unchecked::call_kw(callable, args, 1, kwnames.get());
}

py::Ref call_kw_only(PyObject* callable, PyObject* kwname, PyObject* kwvalue) {
    py::Ref kwnames = py::unchecked::tuple(kwname);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {kwvalue};
    return py::unchecked::call_kw(callable, args, 0, kwnames.get());
}

int truth_of(py::Ref value) { return value ? PyObject_IsTrue(value.get()) : -1; }

bool text_equals(PyObject* o, const char* text) {
    return o && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

enum class KeyKind { unsupported, integer, floating, boolean, text };

// The key dtypes for which factorizing, sorting and hashing give exactly the group-by's keys
// and the element-wise equality of the mask.
KeyKind classify(PyObject* pd, PyObject* np, PyObject* series) {
    py::Ref dtype = py::unchecked::getattr(series, loop_names::dtype);
    py::Ref np_dtype = dtype ? py::unchecked::getattr(np, loop_names::dtype) : py::Ref();
    if (!np_dtype) return KeyKind::unsupported;
    if (PyObject_TypeCheck(dtype.get(), reinterpret_cast<PyTypeObject*>(np_dtype.get()))) {
        py::Ref kind = py::unchecked::getattr(dtype.get(), loop_names::kind);
        if (text_equals(kind.get(), "i") || text_equals(kind.get(), "u")) return KeyKind::integer;
        if (text_equals(kind.get(), "f")) return KeyKind::floating;
        if (text_equals(kind.get(), "b")) return KeyKind::boolean;
        if (!text_equals(kind.get(), "O")) return KeyKind::unsupported;
        // object: only when every present value is a str
        py::Ref api = py::unchecked::getattr(pd, loop_names::api);
        py::Ref types = api ? py::unchecked::getattr(api.get(), loop_names::types) : py::Ref();
        py::Ref infer = types ? py::unchecked::getattr(types.get(), loop_names::infer_dtype) : py::Ref();
        py::Ref inferred = infer ? call_kw1(infer.get(), series, loop_names::skipna, Py_True) : py::Ref();
        return text_equals(inferred.get(), "string") || text_equals(inferred.get(), "empty") ? KeyKind::text
                                                                                            : KeyKind::unsupported;
    }
    py::Ref string_dtype = py::unchecked::getattr(pd, loop_names::StringDtype);
    if (!string_dtype) return KeyKind::unsupported;
    return PyObject_IsInstance(dtype.get(), string_dtype.get()) == 1 ? KeyKind::text : KeyKind::unsupported;
}

// 1 when a key column holds a missing value, 0 when not, -1 on error.
int has_missing(PyObject* series) {
    py::Ref isna = py::unchecked::call_method(series, loop_names::isna);
    return truth_of(isna ? py::unchecked::call_method(isna.get(), loop_names::any) : py::Ref());
}

// 1 when a float column holds a negative zero, which compares equal to zero but prints
// differently: which of the two a group's key would be is then up to the sort.
int has_negative_zero(PyObject* np, PyObject* series) {
    py::Ref values = py::unchecked::call_method(series, loop_names::to_numpy);
    py::Ref signbit = values ? py::unchecked::getattr(np, loop_names::signbit) : py::Ref();
    py::Ref negative = signbit ? py::unchecked::call(signbit.get(), values.get()) : py::Ref();
    py::Ref zero = negative ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    py::Ref is_zero = zero ? py::Ref::steal(PyObject_RichCompare(values.get(), zero.get(), Py_EQ)) : py::Ref();
    py::Ref both = is_zero ? py::Ref::steal(PyNumber_And(negative.get(), is_zero.get())) : py::Ref();
    return truth_of(both ? py::unchecked::call_method(both.get(), loop_names::any) : py::Ref());
}

// The one column named PlayId of a frame, or null (no error) when there is not exactly one.
py::Ref unique_key_column(PyObject* frame) {
    py::Ref columns = py::unchecked::getattr(frame, loop_names::columns);
    py::Ref loc = columns ? py::unchecked::call_method(columns.get(), loop_names::get_loc, loop_names::PlayId) : py::Ref();
    if (!loc || !PyLong_Check(loc.get())) return py::Ref();
    return py::Ref::steal(PyObject_GetItem(frame, loop_names::PlayId));
}

// The codes of a factorization as C++ integers, checked against [-1, ncodes).
bool read_codes(PyObject* np, PyObject* codes, Py_ssize_t ncodes, Positions* out) {
    py::Ref contiguous = py::unchecked::call_method(np, loop_names::ascontiguousarray, codes, loop_names::intp);
    if (!contiguous) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(contiguous.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    bool ok = view.itemsize == static_cast<Py_ssize_t>(sizeof(Py_ssize_t));
    if (ok) {
        const Py_ssize_t* code = static_cast<const Py_ssize_t*>(view.buf);
        out->assign(code, code + view.len / view.itemsize);
        for (Py_ssize_t c : *out) ok = ok && c >= -1 && c < ncodes;
    }
    PyBuffer_Release(&view);
    if (!ok) PyErr_SetString(PyExc_ValueError, "factorize gave codes out of range");
    return ok;
}

// The positions of the rows grouped by code in code order, each group in row order, rows of
// the missing code (-1) left out: a counting sort. starts gets ncodes + 1 offsets into order.
void order_by_code(const Positions& codes, Py_ssize_t ncodes, Positions* order, Positions* starts) {
    starts->assign(static_cast<std::size_t>(ncodes) + 1, 0);
    for (Py_ssize_t c : codes)
        if (c >= 0) ++(*starts)[static_cast<std::size_t>(c) + 1];
    for (std::size_t c = 1; c < starts->size(); ++c) (*starts)[c] += (*starts)[c - 1];
    order->assign(static_cast<std::size_t>(starts->back()), 0);
    Positions fill(starts->begin(), starts->end() - 1);
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (codes[i] >= 0) (*order)[static_cast<std::size_t>(fill[static_cast<std::size_t>(codes[i])]++)] =
                               static_cast<Py_ssize_t>(i);
}

// A new intp ndarray holding the positions.
py::Ref intp_array(PyObject* np, const Positions& positions) {
    py::Ref size = py::Ref::steal(PyLong_FromSize_t(positions.size()));
    py::Ref array = size ? py::unchecked::call_method(np, loop_names::empty, size.get(), loop_names::intp) : py::Ref();
    if (!array) return py::Ref();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return py::Ref();
    if (!positions.empty()) std::copy(positions.begin(), positions.end(), static_cast<Py_ssize_t*>(view.buf));
    PyBuffer_Release(&view);
    return array;
}

// One frame in as few blocks as its dtypes allow, in place where pandas can, else by a copy.
py::Ref consolidated(py::Ref frame) {
    py::Ref consolidate = py::Ref::steal(PyObject_GetAttr(frame.get(), loop_names::_consolidate_inplace));
    if (consolidate) return py::unchecked::call(consolidate.get()) ? std::move(frame) : py::Ref();
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
    PyErr_Clear();
    return py::unchecked::call_method(frame.get(), loop_names::copy);
}

// frame.iloc[start:stop]
py::Ref rows_of(PyObject* iloc, Py_ssize_t start, Py_ssize_t stop) {
    py::Ref lo = py::Ref::steal(PyLong_FromSsize_t(start));
    py::Ref hi = lo ? py::Ref::steal(PyLong_FromSsize_t(stop)) : py::Ref();
    py::Ref slice = hi ? py::Ref::steal(PySlice_New(lo.get(), hi.get(), nullptr)) : py::Ref();
    return slice ? py::Ref::steal(PyObject_GetItem(iloc, slice.get())) : py::Ref();
}

// frame.iloc[start:stop].copy()
py::Ref copy_of_rows(PyObject* iloc, Py_ssize_t start, Py_ssize_t stop) {
    py::Ref rows = rows_of(iloc, start, stop);
    return rows ? py::unchecked::call_method(rows.get(), loop_names::copy) : py::Ref();
}

// frame.iloc[start:stop].copy(), in as few blocks as its dtypes allow
py::Ref copy_of_rows_consolidated(PyObject* frame, Py_ssize_t start, Py_ssize_t stop) {
    py::Ref iloc = py::unchecked::getattr(frame, loop_names::iloc);
    py::Ref copy = iloc ? copy_of_rows(iloc.get(), start, stop) : py::Ref();
    return copy ? consolidated(std::move(copy)) : py::Ref();
}

// 1 when a frame is in as few blocks as its dtypes allow, 0 when not or when pandas cannot say.
int is_consolidated(PyObject* frame) {
    py::Ref mgr = py::Ref::steal(PyObject_GetAttr(frame, loop_names::_mgr));
    py::Ref check = mgr ? py::Ref::steal(PyObject_GetAttr(mgr.get(), loop_names::is_consolidated)) : py::Ref();
    py::Ref answer = check ? py::unchecked::call(check.get()) : py::Ref();
    if (!answer) return fall_back_on_error() ? 0 : -1;
    return PyObject_IsTrue(answer.get());
}

// Does this pandas turn evenly spaced positions taken from a RangeIndex into a RangeIndex?
// Where it does not, a take's labels are a plain integer index whatever the positions, so a
// slice of one take gives exactly what taking the slice's positions gives.
int take_gives_ranges(PyObject* pd, PyObject* np) {
    py::Ref RangeIndex = py::unchecked::getattr(pd, loop_names::RangeIndex);
    py::Ref four = RangeIndex ? py::Ref::steal(PyLong_FromLong(4)) : py::Ref();
    py::Ref range = four ? py::unchecked::call(RangeIndex.get(), four.get()) : py::Ref();
    py::Ref positions = range ? intp_array(np, Positions{0, 2}) : py::Ref();
    py::Ref taken = positions ? py::unchecked::call_method(range.get(), loop_names::take, positions.get()) : py::Ref();
    if (!taken) return -1;
    return reinterpret_cast<PyObject*>(Py_TYPE(taken.get())) == RangeIndex.get() ? 1 : 0;
}

// pandas 3 and later: Copy-on-Write is always on, so a slice is as independent as a copy.
int copy_on_write_always(PyObject* pd) {
    py::Ref version = py::Ref::steal(PyObject_GetAttrString(pd, "__version__"));
    if (!version) return -1;
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) return fall_back_on_error() ? 0 : -1;
    return std::atoi(text) >= 3 ? 1 : 0;
}

// Rows [first, stop) of a working copy, for groups [first_group, end_group): the copy
// consolidated once for those groups, so that the cost of consolidating is spread over the loop
// instead of falling on the first advance.
struct Chunk {
    PyObject* iloc = nullptr;  // .iloc of the chunk's frame
    std::size_t first_group = 0, end_group = 0;
    Py_ssize_t first = 0;      // the chunk's first row in the working order
};

class IndexedWalk final : public Walk {
public:
    ~IndexedWalk() override { clear(); }

    bool next_group(py::Ref* key, py::Ref* test_group_df) override;
    py::Ref sample_frame(PyObject* sample_submission_df, PyObject* key) override;
    int traverse(visitproc visit, void* arg) override;
    void clear() override;

    bool load_chunk(std::size_t group);

    // test side
    PyObject* keys = nullptr;          // tuple, ascending
    PyObject* test_source = nullptr;   // the test rows by group (consolidated or not)
    bool test_consolidated = false;    // then test_source is served as it is
    PyObject* sorted_index = nullptr;  // the group-by's index of the sorted rows; null when the
                                       // working rows' own index slices are exact
    Positions test_bounds;             // group g: rows [bounds[g], bounds[g + 1])
    bool slices_are_copies = false;    // a slice is already independent (Copy-on-Write always on)
    Chunk test_chunk;
    // sample side (sample_body null: each group takes the literal mask)
    PyObject* sample_body = nullptr;     // sample_submission_df without PlayId
    PyObject* sample_columns = nullptr;  // its column index
    PyObject* sample_index = nullptr;    // sample_submission_df.index
    bool sample_labels_exact = false;    // labels taken once per chunk are each group's labels
    PyObject* sample_positions = nullptr;  // ndarray: each working row's position in the file
    Positions sample_bounds;             // group g: rows [bounds[2g], bounds[2g + 1])
    Py_ssize_t sample_rows = 0;
    Chunk sample_chunk;
    std::size_t next = 0;
};

constexpr Py_ssize_t kChunkRows = 32768;

// The chunk of working rows that holds `group`, built when the group is not in the current one.
bool IndexedWalk::load_chunk(std::size_t group) {
    if (group >= test_chunk.first_group && group < test_chunk.end_group) return true;
    const std::size_t ngroups = test_bounds.size() - 1;
    std::size_t end = group;
    Py_ssize_t rows = 0;
    while (end < ngroups && (end == group || rows < kChunkRows)) {
        rows += test_bounds[end + 1] - test_bounds[end];
        if (sample_body) rows += sample_bounds[2 * end + 1] - sample_bounds[2 * end];
        ++end;
    }
    Py_CLEAR(test_chunk.iloc);
    Py_CLEAR(sample_chunk.iloc);
    py::Ref source = py::Ref::borrow(test_source);
    py::Ref frame;
    if (test_consolidated) {
        frame = std::move(source);
        test_chunk.first = 0;
    } else {
        frame = copy_of_rows_consolidated(source.get(), test_bounds[group], test_bounds[end]);
        test_chunk.first = test_bounds[group];
    }
    py::Ref iloc = frame ? py::unchecked::getattr(frame.get(), loop_names::iloc) : py::Ref();
    if (!iloc) return false;
    test_chunk.iloc = iloc.release();
    test_chunk.first_group = group;
    test_chunk.end_group = end;
    if (!sample_body) return true;
    // the sample rows of these groups, taken in group order and consolidated
    const Py_ssize_t first = sample_bounds[2 * group], stop = sample_bounds[2 * (end - 1) + 1];
    py::Ref positions = py::Ref::steal(PySequence_GetSlice(sample_positions, first, stop));
    py::Ref body = py::Ref::borrow(sample_body);
    py::Ref work = positions ? py::unchecked::call_method(body.get(), loop_names::take, positions.get()) : py::Ref();
    work = work ? consolidated(std::move(work)) : py::Ref();
    if (!work) return false;
    if (sample_labels_exact) {
        py::Ref labels = py::Ref::borrow(sample_index);
        py::Ref taken = py::unchecked::call_method(labels.get(), loop_names::take, positions.get());
        if (!taken || PyObject_SetAttr(work.get(), loop_names::index, taken.get()) < 0) return false;
    }
    iloc = py::unchecked::getattr(work.get(), loop_names::iloc);
    if (!iloc) return false;
    sample_chunk.iloc = iloc.release();
    sample_chunk.first = first;
    sample_chunk.first_group = group;
    sample_chunk.end_group = end;
    return true;
}

bool IndexedWalk::next_group(py::Ref* key, py::Ref* test_group_df) {
    if (next + 1 >= test_bounds.size()) return false;
    const std::size_t gi = next;
    if (!load_chunk(gi)) return false;
    py::Ref iloc = py::Ref::borrow(test_chunk.iloc);
    const Py_ssize_t start = test_bounds[gi] - test_chunk.first, stop = test_bounds[gi + 1] - test_chunk.first;
    py::Ref frame = slices_are_copies ? rows_of(iloc.get(), start, stop) : copy_of_rows(iloc.get(), start, stop);
    if (!frame) return false;
    if (sorted_index) {
        // the group-by's slice of the sorted rows, then sort_index()
        py::Ref sorted = py::Ref::borrow(sorted_index);
        py::Ref index = py::Ref::steal(PySequence_GetSlice(sorted.get(), test_bounds[gi], test_bounds[gi + 1]));
        int monotonic = index ? truth_of(py::unchecked::getattr(index.get(), loop_names::is_monotonic_increasing)) : -1;
        if (monotonic < 0) return false;
        if (!monotonic) {
            py::Ref order = py::unchecked::call_method(index.get(), loop_names::argsort);
            index = order ? py::unchecked::call_method(index.get(), loop_names::take, order.get()) : py::Ref();
        }
        if (!index || PyObject_SetAttr(frame.get(), loop_names::index, index.get()) < 0) return false;
    }
    PyObject* k = PyTuple_GetItem(keys, static_cast<Py_ssize_t>(gi));
    if (!k) return false;
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
    if (!sample_chunk.iloc || gi < sample_chunk.first_group || gi >= sample_chunk.end_group) {
        PyErr_SetString(PyExc_SystemError, "the sample rows of a group are not in the working copy");
        return py::Ref();
    }
    py::Ref iloc = py::Ref::borrow(sample_chunk.iloc);
    py::Ref frame = copy_of_rows(iloc.get(), start - sample_chunk.first, stop - sample_chunk.first);
    // Every group's frame gets the one column index of the working copy (a copy has a view of
    // it), so that comparing an answer's columns with it, or an index with itself, is quick.
    py::Ref columns = py::Ref::borrow(sample_columns);
    if (!frame || PyObject_SetAttr(frame.get(), loop_names::columns, columns.get()) < 0) return py::Ref();
    if (sample_labels_exact) return frame;
    py::Ref positions = py::Ref::steal(PySequence_GetSlice(sample_positions, start, stop));
    py::Ref labels = py::Ref::borrow(sample_index);
    py::Ref index = positions ? py::unchecked::call_method(labels.get(), loop_names::take, positions.get()) : py::Ref();
    if (!index || PyObject_SetAttr(frame.get(), loop_names::index, index.get()) < 0) return py::Ref();
    return frame;
}

int IndexedWalk::traverse(visitproc visit, void* arg) {
    Py_VISIT(keys);
    Py_VISIT(test_source);
    Py_VISIT(sorted_index);
    Py_VISIT(test_chunk.iloc);
    Py_VISIT(sample_body);
    Py_VISIT(sample_columns);
    Py_VISIT(sample_index);
    Py_VISIT(sample_chunk.iloc);
    // sample_positions is an integer ndarray: it can hold no reference to anything
    return 0;
}

void IndexedWalk::clear() {
    Py_CLEAR(keys);
    Py_CLEAR(test_source);
    Py_CLEAR(sorted_index);
    Py_CLEAR(test_chunk.iloc);
    Py_CLEAR(sample_body);
    Py_CLEAR(sample_columns);
    Py_CLEAR(sample_index);
    Py_CLEAR(sample_positions);
    Py_CLEAR(sample_chunk.iloc);
    test_chunk = Chunk();
    sample_chunk = Chunk();
    test_bounds.clear();
    sample_bounds.clear();
}

// The sample side: 1 indexed, 0 not eligible, -1 error.
int index_sample(IndexedWalk* w, PyObject* pd, PyObject* np, PyObject* sample, PyObject* test_key,
                 KeyKind kind, PyObject* uniques, bool take_ranges) {
    py::Ref DataFrame = py::unchecked::getattr(pd, loop_names::DataFrame);
    if (!DataFrame) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(sample)) != DataFrame.get()) return 0;
    py::Ref key = unique_key_column(sample);
    if (!key) return PyErr_Occurred() ? -1 : 0;
    py::Ref tdtype = py::unchecked::getattr(test_key, loop_names::dtype);
    py::Ref sdtype = tdtype ? py::unchecked::getattr(key.get(), loop_names::dtype) : py::Ref();
    if (!sdtype) return -1;
    if (Py_TYPE(tdtype.get()) != Py_TYPE(sdtype.get())) return 0;
    int same = py::unchecked::compare(tdtype.get(), sdtype.get(), Py_EQ);
    if (same <= 0) return same;
    if (classify(pd, np, key.get()) != kind) return PyErr_Occurred() ? -1 : 0;
    if (kind == KeyKind::floating) {
        int nz = has_negative_zero(np, key.get());
        if (nz != 0) return nz < 0 ? -1 : 0;
    }
    // the sample rows of each test key: the codes of a factorization, matched to the keys
    py::Ref factorize = py::unchecked::getattr(pd, loop_names::factorize);
    py::Ref fz = factorize ? py::unchecked::call(factorize.get(), key.get()) : py::Ref();
    if (!fz) return -1;
    if (!PyTuple_Check(fz.get()) || PyTuple_GET_SIZE(fz.get()) != 2) return 0;
    PyObject* suniques = PyTuple_GET_ITEM(fz.get(), 1);
    Py_ssize_t ncodes = PyObject_Length(suniques);
    if (ncodes < 0) return -1;
    py::Ref where = py::unchecked::call_method(suniques, loop_names::get_indexer, uniques);
    Positions codes, match, by_code, starts;
    if (!where || !read_codes(np, PyTuple_GET_ITEM(fz.get(), 0), ncodes, &codes) ||
        !read_codes(np, where.get(), ncodes, &match))
        return -1;
    const std::size_t ngroups = w->test_bounds.size() - 1;
    if (match.size() != ngroups) return 0;
    order_by_code(codes, ncodes, &by_code, &starts);
    // the working rows: each group's sample rows, group after group
    Positions rows;
    w->sample_bounds.assign(2 * ngroups, 0);
    for (std::size_t g = 0; g < ngroups; ++g) {
        w->sample_bounds[2 * g] = static_cast<Py_ssize_t>(rows.size());
        if (match[g] >= 0) {
            const std::size_t c = static_cast<std::size_t>(match[g]);
            rows.insert(rows.end(), by_code.begin() + starts[c], by_code.begin() + starts[c + 1]);
        }
        w->sample_bounds[2 * g + 1] = static_cast<Py_ssize_t>(rows.size());
    }
    py::Ref positions = intp_array(np, rows);
    py::Ref drop = positions ? py::unchecked::getattr(sample, loop_names::drop) : py::Ref();
    py::Ref label = drop ? py::Ref::steal(Py_BuildValue("[O]", loop_names::PlayId)) : py::Ref();
    py::Ref body = label ? call_kw_only(drop.get(), loop_names::columns, label.get()) : py::Ref();
    py::Ref columns = body ? py::unchecked::getattr(body.get(), loop_names::columns) : py::Ref();
    py::Ref index = columns ? py::unchecked::getattr(sample, loop_names::index) : py::Ref();
    Py_ssize_t nrows = index ? PyObject_Length(sample) : -1;
    py::Ref RangeIndex = nrows >= 0 ? py::unchecked::getattr(pd, loop_names::RangeIndex) : py::Ref();
    if (!RangeIndex) return -1;
    // Where a take's labels never form a RangeIndex, each chunk's labels are taken once (a
    // DataFrame.take of every row may keep the frame's own labels instead) and each group's
    // slice of them is what the mask gives.
    w->sample_labels_exact = !take_ranges && reinterpret_cast<PyObject*>(Py_TYPE(index.get())) == RangeIndex.get();
    w->sample_body = body.release();
    w->sample_columns = columns.release();
    w->sample_index = index.release();
    w->sample_positions = positions.release();
    w->sample_rows = nrows;
    return 1;
}

// 1 built, 0 not eligible, -1 error.
int build(IndexedWalk* w, PyObject* test, PyObject* sample) {
    py::Ref pd = pandas_module();
    py::Ref np = pd ? numpy_module() : py::Ref();
    if (!np) return -1;
    py::Ref DataFrame = py::unchecked::getattr(pd.get(), loop_names::DataFrame);
    py::Ref RangeIndex = DataFrame ? py::unchecked::getattr(pd.get(), loop_names::RangeIndex) : py::Ref();
    if (!RangeIndex) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(test)) != DataFrame.get()) return 0;
    // Row labels 0, 1, 2, ...: a row's label is its position.
    py::Ref index = py::unchecked::getattr(test, loop_names::index);
    if (!index) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(index.get())) != RangeIndex.get()) return 0;
    py::Ref start = py::unchecked::getattr(index.get(), loop_names::start);
    py::Ref step = start ? py::unchecked::getattr(index.get(), loop_names::step) : py::Ref();
    if (!step) return -1;
    if (PyLong_AsLong(start.get()) != 0 || PyLong_AsLong(step.get()) != 1) return PyErr_Occurred() ? -1 : 0;
    Py_ssize_t n = PyObject_Length(test);
    if (n < 0) return -1;

    py::Ref key = unique_key_column(test);
    if (!key) return PyErr_Occurred() ? -1 : 0;
    KeyKind kind = classify(pd.get(), np.get(), key.get());
    if (kind == KeyKind::unsupported) return PyErr_Occurred() ? -1 : 0;
    int excluded = has_missing(key.get());
    if (excluded == 0 && kind == KeyKind::floating) excluded = has_negative_zero(np.get(), key.get());
    if (excluded != 0) return excluded < 0 ? -1 : 0;

    // The keys as the sorted group-by gives them, and each row's group.
    py::Ref factorize = py::unchecked::getattr(pd.get(), loop_names::factorize);
    py::Ref fz = factorize ? call_kw1(factorize.get(), key.get(), loop_names::sort, Py_True) : py::Ref();
    if (!fz) return -1;
    if (!PyTuple_Check(fz.get()) || PyTuple_GET_SIZE(fz.get()) != 2) return 0;
    PyObject* uniques = PyTuple_GET_ITEM(fz.get(), 1);
    py::Ref keys = py::Ref::steal(PySequence_Tuple(uniques));
    if (!keys) return -1;
    const Py_ssize_t ngroups = PyTuple_GET_SIZE(keys.get());
    Positions codes, order;
    if (!read_codes(np.get(), PyTuple_GET_ITEM(fz.get(), 0), ngroups, &codes)) return -1;
    if (static_cast<Py_ssize_t>(codes.size()) != n) return 0;
    order_by_code(codes, ngroups, &order, &w->test_bounds);
    if (static_cast<Py_ssize_t>(order.size()) != n) return 0;  // a row without a group

    // The sorted rows' index as the group-by splits it: the one-column copy of the key, sorted
    // as test_df.sort_values(by=['PlayId']) sorts, then taken in full as the group-by takes it.
    py::Ref label = py::Ref::steal(Py_BuildValue("[O]", loop_names::PlayId));
    py::Ref proxy = label ? py::Ref::steal(PyObject_GetItem(test, label.get())) : py::Ref();
    py::Ref sort_values = proxy ? py::unchecked::getattr(proxy.get(), loop_names::sort_values) : py::Ref();
    py::Ref sorted = sort_values ? call_kw_only(sort_values.get(), loop_names::by, label.get()) : py::Ref();
    py::Ref count = sorted ? py::Ref::steal(PyLong_FromSsize_t(n)) : py::Ref();
    py::Ref all_rows = count ? py::unchecked::call_method(np.get(), loop_names::arange, count.get()) : py::Ref();
    py::Ref split = all_rows ? py::unchecked::call_method(sorted.get(), loop_names::take, all_rows.get()) : py::Ref();
    py::Ref sorted_index = split ? py::unchecked::getattr(split.get(), loop_names::index) : py::Ref();
    int in_row_order = sorted_index ? truth_of(py::unchecked::getattr(sorted_index.get(), loop_names::is_monotonic_increasing)) : -1;
    if (in_row_order < 0) return -1;

    int take_ranges = take_gives_ranges(pd.get(), np.get());
    int cow = take_ranges < 0 ? -1 : copy_on_write_always(pd.get());
    if (cow < 0) return -1;
    w->slices_are_copies = cow == 1;

    // The test rows by group. Where the sort left every row in place, a shallow copy of test_df
    // whose index is the sorted index, so that each slice of it has a group's exact labels;
    // otherwise the rows taken by group, whose labels are exact where a take never gives a
    // RangeIndex. Unless they are in as few blocks as their dtypes allow already, they are
    // served from consolidated copies of one chunk of groups at a time.
    py::Ref source = py::Ref::borrow(test);
    py::Ref work;
    if (in_row_order) {
        py::Ref copy = py::unchecked::getattr(source.get(), loop_names::copy);
        work = copy ? call_kw_only(copy.get(), loop_names::deep, Py_False) : py::Ref();
        if (!work || PyObject_SetAttr(work.get(), loop_names::index, sorted_index.get()) < 0) return -1;
        sorted_index.reset();
    } else {
        py::Ref positions = intp_array(np.get(), order);
        work = positions ? py::unchecked::call_method(source.get(), loop_names::take, positions.get()) : py::Ref();
        if (!work) return -1;
        if (!take_ranges) {
            // the labels an index take gives (a DataFrame.take of rows in place may keep the
            // frame's own index under Copy-on-Write)
            py::Ref labels = py::unchecked::call_method(index.get(), loop_names::take, positions.get());
            if (!labels || PyObject_SetAttr(work.get(), loop_names::index, labels.get()) < 0) return -1;
            sorted_index.reset();
        }
    }
    int whole = work ? is_consolidated(work.get()) : -1;
    if (whole < 0) return -1;
    w->keys = keys.release();
    w->test_source = work.release();
    w->test_consolidated = whole == 1;
    w->sorted_index = sorted_index.release();

    // The sample rows of each key; where that cannot be exact, each group takes the mask.
    int r = index_sample(w, pd.get(), np.get(), sample, key.get(), kind, uniques, take_ranges == 1);
    if (r <= 0) {
        Py_CLEAR(w->sample_body);
        Py_CLEAR(w->sample_columns);
        Py_CLEAR(w->sample_index);
        Py_CLEAR(w->sample_positions);
        w->sample_bounds.clear();
        if (r < 0 && !fall_back_on_error()) return -1;
    }
    return 1;
}

} // namespace

Walk* indexed_walk(PyObject* test_df, PyObject* sample_submission_df) {
    std::unique_ptr<IndexedWalk> w(new IndexedWalk());
    int r = build(w.get(), test_df, sample_submission_df);
    if (r == 1) return w.release();
    if (r < 0 && PyErr_Occurred()) fall_back_on_error();  // what is left set ends the advance
    return nullptr;
}

} // namespace competition
