// The indexed walk: the literal walk's groups, from working copies built once.
//
// At the first advance:
//   - the keys, as a sorted group-by gives them: pd.factorize(test_df['PlayId'], sort=True);
//   - the test rows by group and then by row (a counting sort over the key codes), copied once
//     into one consolidated frame, so that each group is one contiguous slice of it;
//   - the sample rows without PlayId by key and then in file order, the same way.
// Each group is then one copy of a slice of each working copy (indexed_chunks.cpp).
//
// Row labels are what the literal steps give, type included (pandas releases differ in when
// they return a RangeIndex). The test rows' index is the sorted copy's index as the group-by
// splits it, re-sorted as sort_index() re-sorts it; it comes from a one-column copy of the key
// sorted by the same call (the sort reads that column only). The sample rows' index is what
// the mask's take gives: the sample index taken at the rows' positions.
//
// Eligible only where that is exact: plain frames, a test index 0, 1, 2, ..., and a key dtype
// whose factorized order and equality are those of sort_values and ==. Rows of a missing key
// belong to no group, as the group-by drops them: sort_values puts them last, so the grouped
// rows are the sorted copy's first ones. The sample side is indexed when its key has the test
// key's dtype, or when one of the two is float64 and the other int64 or uint64 (a blank key
// reads the whole column as float): == then compares as float64, and so do the codes here.
// Otherwise each group takes the literal mask.
#include <algorithm>
#include <memory>

#include "loop/indexed_walk.hpp"
#include "loop/pandas_api.hpp"
#include "loop/support.hpp"

namespace competition {

namespace {

bool is_pair(PyObject* o) { return PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2; }

bool same_type(PyObject* o, PyObject* type) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == type; }

// A buffer of an object, held while this lives.
class BufferView {
public:
    BufferView(PyObject* o, int flags) { py::check(PyObject_GetBuffer(o, &view_, flags)); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }
    const Py_buffer* operator->() const { return &view_; }

private:
    Py_buffer view_;
};

enum class KeyKind { unsupported, integer, floating, boolean, text };

// An object column is a text key only when every present value is a str.
bool only_text(py::Handle pd, PyObject* series) {
    py::Ref infer = pd.attr(loop_names::api).attr(loop_names::types).attr(loop_names::infer_dtype);
    py::Ref inferred = infer.call({series}, {{loop_names::skipna, Py_True}});
    return text_equals(inferred.get(), "string") || text_equals(inferred.get(), "empty");
}

KeyKind numpy_key_kind(PyObject* pd, PyObject* dtype, PyObject* series) {
    py::Ref kind = py::Handle(dtype).attr(loop_names::kind);
    if (text_equals(kind.get(), "i") || text_equals(kind.get(), "u")) return KeyKind::integer;
    if (text_equals(kind.get(), "f")) return KeyKind::floating;
    if (text_equals(kind.get(), "b")) return KeyKind::boolean;
    if (!text_equals(kind.get(), "O")) return KeyKind::unsupported;
    return only_text(pd, series) ? KeyKind::text : KeyKind::unsupported;
}

// The key dtypes for which factorizing, sorting and hashing give exactly the group-by's keys
// and the element-wise equality of the mask.
KeyKind classify(PyObject* pd, PyObject* np, PyObject* series) {
    py::Ref dtype = py::Handle(series).attr(loop_names::dtype);
    py::Ref np_dtype = py::Handle(np).attr(loop_names::dtype);
    if (PyObject_TypeCheck(dtype.get(), reinterpret_cast<PyTypeObject*>(np_dtype.get())))
        return numpy_key_kind(pd, dtype.get(), series);
    py::Ref string_dtype = py::Handle(pd).attr(loop_names::StringDtype);
    return py::check(PyObject_IsInstance(dtype.get(), string_dtype.get())) ? KeyKind::text : KeyKind::unsupported;
}

// Does a key column hold a missing value?
bool has_missing(PyObject* series) {
    return py::Handle(series).method(loop_names::isna).method(loop_names::any).is_true();
}

// Does a float column hold a negative zero? It compares equal to zero but prints differently:
// which of the two a group's key would be is then up to the sort.
bool has_negative_zero(py::Handle np, PyObject* series) {
    py::Ref values = py::Handle(series).method(loop_names::to_numpy);
    py::Ref negative = np.attr(loop_names::signbit).call(values);
    py::Ref zero = py::take(PyLong_FromLong(0));
    py::Ref is_zero = py::take(PyObject_RichCompare(values.get(), zero.get(), Py_EQ));
    py::Ref both = py::take(PyNumber_And(negative.get(), is_zero.get()));
    return both.method(loop_names::any).is_true();
}

// The one column named PlayId of a frame, or null when there is not exactly one.
py::Ref unique_key_column(PyObject* frame) {
    py::Ref loc = py::Handle(frame).attr(loop_names::columns).method(loop_names::get_loc, loop_names::PlayId);
    if (!PyLong_Check(loc.get())) return py::Ref();
    return py::Handle(frame).item(loop_names::PlayId);
}

// The codes of a factorization as C++ integers, checked against [-1, ncodes).
void read_codes(py::Handle np, PyObject* codes, Py_ssize_t ncodes, Positions* out) {
    py::Ref contiguous = np.method(loop_names::ascontiguousarray, codes, loop_names::intp);
    bool ok = false;
    {
        BufferView view(contiguous.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        if (view->itemsize == static_cast<Py_ssize_t>(sizeof(Py_ssize_t))) {
            const Py_ssize_t* code = static_cast<const Py_ssize_t*>(view->buf);
            out->assign(code, code + view->len / view->itemsize);
            ok = std::all_of(out->begin(), out->end(), [ncodes](Py_ssize_t c) { return c >= -1 && c < ncodes; });
        }
    }
    if (!ok) py::raise(PyExc_ValueError, "factorize gave codes out of range");
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
        if (codes[i] >= 0)
            (*order)[static_cast<std::size_t>(fill[static_cast<std::size_t>(codes[i])]++)] = static_cast<Py_ssize_t>(i);
}

// A new intp ndarray holding the positions.
py::Ref intp_array(py::Handle np, const Positions& positions) {
    py::Ref size = py::take(PyLong_FromSize_t(positions.size()));
    py::Ref array = np.method(loop_names::empty, size, loop_names::intp);
    BufferView view(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    if (!positions.empty()) std::copy(positions.begin(), positions.end(), static_cast<Py_ssize_t*>(view->buf));
    return array;
}

// Is every row in its own place?
bool in_place(const Positions& order) {
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] != static_cast<Py_ssize_t>(i)) return false;
    return true;
}

// How the indexed walk is built for one pair of frames, step by step. Each step that can find
// the frames not eligible says so by returning false; errors throw.
class Plan {
public:
    Plan(PyObject* test, PyObject* sample, const pandas_api::Facts& facts)
        : test_(test), sample_(sample), pd_(pandas_module()), np_(numpy_module()),
          DataFrame_(pd_.attr(loop_names::DataFrame)), RangeIndex_(pd_.attr(loop_names::RangeIndex)),
          walk_(std::make_unique<IndexedWalk>()), take_ranges_(facts.take_gives_ranges()) {
        walk_->slices_are_copies = facts.slices_are_copies();
    }

    std::unique_ptr<IndexedWalk> build() {
        if (!plain_test_frame() || !key_kind() || !factorized_codes()) return nullptr;
        sorted_rows_index();
        test_working_copy();
        sample_side();
        return std::move(walk_);
    }

private:
    bool plain_test_frame();
    bool key_kind();
    bool factorized_codes();
    void sorted_rows_index();
    void test_working_copy();
    void sample_side();
    bool index_sample();
    bool sample_key_like_test(PyObject* key, bool* as_float);
    bool sample_rows_by_group(PyObject* key, bool as_float, Positions* rows);
    void sample_working_copy(const Positions& rows);

    PyObject* const test_;
    PyObject* const sample_;
    py::Ref pd_, np_, DataFrame_, RangeIndex_;
    std::unique_ptr<IndexedWalk> walk_;
    py::Ref index_;             // test_df.index
    Py_ssize_t rows_ = 0;       // len(test_df)
    py::Ref key_;               // test_df['PlayId']
    KeyKind kind_ = KeyKind::unsupported;
    py::Ref factorized_;        // (codes, uniques) of the key, sorted
    Positions order_;           // the test rows by group, then by row
    Py_ssize_t grouped_ = 0;    // the rows of a group: all but those of a missing key
    py::Ref sorted_index_;      // the group-by's index of the sorted rows
    bool in_row_order_ = false; // the sort left every row in place
    const bool take_ranges_;    // a take from a RangeIndex may give one (pandas_api::Facts)
};

// A DataFrame with row labels 0, 1, 2, ...: a row's label is its position.
bool Plan::plain_test_frame() {
    if (!same_type(test_, DataFrame_.get())) return false;
    index_ = py::Handle(test_).attr(loop_names::index);
    if (!same_type(index_.get(), RangeIndex_.get())) return false;
    py::Ref start = index_.attr(loop_names::start);
    py::Ref step = index_.attr(loop_names::step);
    if (as_long(start.get()) != 0 || as_long(step.get()) != 1) return false;
    rows_ = py::check_size(PyObject_Length(test_));
    return true;
}

// One key column, of a kind that groups exactly, with no negative zero; missing keys only where
// they are NaN in a float column (their rows then sort last).
bool Plan::key_kind() {
    key_ = unique_key_column(test_);
    if (!key_) return false;
    kind_ = classify(pd_.get(), np_.get(), key_.get());
    if (kind_ == KeyKind::unsupported) return false;
    if (kind_ != KeyKind::floating) return !has_missing(key_.get());
    return !has_negative_zero(np_.get(), key_.get());
}

// The keys as the sorted group-by gives them, each row's group, and the rows by group.
bool Plan::factorized_codes() {
    factorized_ = pd_.method(loop_names::factorize, {key_}, {{loop_names::sort, Py_True}});
    if (!is_pair(factorized_.get())) return false;
    walk_->keys = py::take(PySequence_Tuple(PyTuple_GET_ITEM(factorized_.get(), 1)));
    const Py_ssize_t ngroups = PyTuple_GET_SIZE(walk_->keys.get());
    Positions codes;
    read_codes(np_.get(), PyTuple_GET_ITEM(factorized_.get(), 0), ngroups, &codes);
    if (static_cast<Py_ssize_t>(codes.size()) != rows_) return false;
    order_by_code(codes, ngroups, &order_, &walk_->test_bounds);
    grouped_ = static_cast<Py_ssize_t>(order_.size());  // the rows of a missing key left out
    return grouped_ == rows_ || kind_ == KeyKind::floating;
}

// The sorted rows' index as the group-by splits it: the one-column copy of the key, sorted as
// test_df.sort_values(by=['PlayId']) sorts, then taken in full as the group-by takes it. Where a
// take's labels are exact, it serves only to tell whether the sort left every row in place,
// which it cannot have done where the rows by group are not in row order.
void Plan::sorted_rows_index() {
    const bool all_grouped = grouped_ == rows_;
    if (!take_ranges_ && !(all_grouped && in_place(order_))) return;
    py::Ref label = playid_list();
    py::Ref proxy = py::Handle(test_).item(label.get());
    py::Ref sorted = proxy.method(loop_names::sort_values, {}, {{loop_names::by, label}});
    py::Ref all_rows = np_.method(loop_names::arange, py::take(PyLong_FromSsize_t(rows_)));
    sorted_index_ = sorted.method(loop_names::take, all_rows).attr(loop_names::index);
    if (!all_grouped) {
        sorted_index_ = py::take(PySequence_GetSlice(sorted_index_.get(), 0, grouped_));
        return;  // the rows of a missing key are not served: the working copy is a take
    }
    in_row_order_ = sorted_index_.attr(loop_names::is_monotonic_increasing).is_true();
}

// The test rows by group. Where the sort left every row in place, a shallow copy of test_df
// whose index is the sorted index, so that each slice of it has a group's exact labels;
// otherwise the rows taken by group, whose labels are exact where a take never gives a
// RangeIndex. Unless they are in as few blocks as their dtypes allow already, they are served
// from consolidated copies of one chunk of groups at a time.
void Plan::test_working_copy() {
    py::Ref work;
    if (in_row_order_) {
        work = py::Handle(test_).method(loop_names::copy, {}, {{loop_names::deep, Py_False}});
        work.set_attr(loop_names::index, sorted_index_.get());
        sorted_index_.reset();
    } else {
        py::Ref positions = intp_array(np_.get(), order_);
        work = py::Handle(test_).method(loop_names::take, positions);
        if (!take_ranges_) {
            // the labels an index take gives (a DataFrame.take of rows in place may keep the
            // frame's own index under Copy-on-Write)
            work.set_attr(loop_names::index, index_.method(loop_names::take, positions).get());
            sorted_index_.reset();
        }
    }
    walk_->test_consolidated = pandas_api::is_consolidated(work.get());
    walk_->test_source = std::move(work);
    walk_->sorted_index = std::move(sorted_index_);
}

// The sample rows of each key; where that cannot be exact, each group takes the mask.
void Plan::sample_side() {
    bool indexed = false;
    fast_path([&] { indexed = index_sample(); });
    if (!indexed) walk_->forget_sample_index();
}

bool Plan::index_sample() {
    if (!same_type(sample_, DataFrame_.get())) return false;
    py::Ref key = unique_key_column(sample_);
    bool as_float = false;
    if (!key || !sample_key_like_test(key.get(), &as_float)) return false;
    Positions rows;
    if (!sample_rows_by_group(key.get(), as_float, &rows)) return false;
    sample_working_copy(rows);
    return true;
}

// A sample key of the test key's dtype and kind, with no negative zero. Or one of int64 or
// uint64 where the test key is float64, or the other way round: *as_float then says that both
// are compared as float64, as == compares them.
bool Plan::sample_key_like_test(PyObject* key, bool* as_float) {
    py::Ref test_dtype = key_.attr(loop_names::dtype);
    py::Ref sample_dtype = py::Handle(key).attr(loop_names::dtype);
    *as_float = false;
    if (Py_TYPE(test_dtype.get()) != Py_TYPE(sample_dtype.get()) ||
        !py::compare(test_dtype.get(), sample_dtype.get(), Py_EQ)) {
        // numpy dtypes, of one class each since numpy 1.25
        py::Ref np_dtype = np_.attr(loop_names::dtype);
        PyTypeObject* dtype_type = reinterpret_cast<PyTypeObject*>(np_dtype.get());
        if (!PyObject_TypeCheck(test_dtype.get(), dtype_type) || !PyObject_TypeCheck(sample_dtype.get(), dtype_type))
            return false;
        py::Ref float64 = np_dtype.call(loop_names::float64);
        auto is_float64 = [&](PyObject* dtype) { return py::compare(dtype, float64.get(), Py_EQ); };
        auto is_wide_int = [&](PyObject* dtype) {
            py::Ref kind = py::Handle(dtype).attr(loop_names::kind);
            py::Ref size = py::Handle(dtype).attr(loop_names::itemsize);
            return (text_equals(kind.get(), "i") || text_equals(kind.get(), "u")) && as_long(size.get()) == 8;
        };
        const bool test_float = is_float64(test_dtype.get()), sample_float = is_float64(sample_dtype.get());
        if (!(test_float && is_wide_int(sample_dtype.get())) && !(sample_float && is_wide_int(test_dtype.get())))
            return false;
        *as_float = true;
        return !sample_float || !has_negative_zero(np_.get(), key);
    }
    if (classify(pd_.get(), np_.get(), key) != kind_) return false;
    return kind_ != KeyKind::floating || !has_negative_zero(np_.get(), key);
}

// The working rows: the sample rows of each test key (the codes of a factorization, matched to
// the keys), group after group, each group's in file order. With as_float, both keys as float64.
bool Plan::sample_rows_by_group(PyObject* key, bool as_float, Positions* rows) {
    py::Ref sample_key = py::Ref::borrow(key);
    py::Ref test_keys = py::Ref::borrow(PyTuple_GET_ITEM(factorized_.get(), 1));
    if (as_float) {
        sample_key = sample_key.method(loop_names::astype, loop_names::float64);
        test_keys = test_keys.method(loop_names::astype, loop_names::float64);
    }
    py::Ref factorized = pd_.attr(loop_names::factorize).call(sample_key);
    if (!is_pair(factorized.get())) return false;
    PyObject* uniques = PyTuple_GET_ITEM(factorized.get(), 1);
    const Py_ssize_t ncodes = py::check_size(PyObject_Length(uniques));
    py::Ref where = py::Handle(uniques).method(loop_names::get_indexer, test_keys);
    Positions codes, match, by_code, starts;
    read_codes(np_.get(), PyTuple_GET_ITEM(factorized.get(), 0), ncodes, &codes);
    read_codes(np_.get(), where.get(), ncodes, &match);
    const std::size_t ngroups = walk_->test_bounds.size() - 1;
    if (match.size() != ngroups) return false;
    order_by_code(codes, ncodes, &by_code, &starts);
    Positions& bounds = walk_->sample_bounds;
    bounds.assign(2 * ngroups, 0);
    for (std::size_t g = 0; g < ngroups; ++g) {
        bounds[2 * g] = static_cast<Py_ssize_t>(rows->size());
        if (match[g] >= 0) {
            const std::size_t c = static_cast<std::size_t>(match[g]);
            rows->insert(rows->end(), by_code.begin() + starts[c], by_code.begin() + starts[c + 1]);
        }
        bounds[2 * g + 1] = static_cast<Py_ssize_t>(rows->size());
    }
    return true;
}

// The sample rows without PlayId, and what each group's slice of them needs. Where a take's
// labels never form a RangeIndex, each chunk's labels are taken once (a DataFrame.take of every
// row may keep the frame's own labels instead) and each group's slice of them is what the mask
// gives.
void Plan::sample_working_copy(const Positions& rows) {
    py::Ref positions = intp_array(np_.get(), rows);
    py::Ref body = py::Handle(sample_).method(loop_names::drop, {}, {{loop_names::columns, playid_list()}});
    py::Ref columns = body.attr(loop_names::columns);
    py::Ref index = py::Handle(sample_).attr(loop_names::index);
    const Py_ssize_t nrows = py::check_size(PyObject_Length(sample_));
    walk_->sample_labels_exact = !take_ranges_ && same_type(index.get(), RangeIndex_.get());
    walk_->sample_body = std::move(body);
    walk_->sample_columns = std::move(columns);
    walk_->sample_index = std::move(index);
    walk_->sample_positions = std::move(positions);
    walk_->sample_rows = nrows;
}

} // namespace

std::unique_ptr<Walk> indexed_walk(PyObject* test_df, PyObject* sample_submission_df, const pandas_api::Facts& facts) {
    return Plan(test_df, sample_submission_df, facts).build();
}

} // namespace competition
