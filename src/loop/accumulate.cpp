#include "loop/accumulate.hpp"

#include <cstddef>
#include <new>
#include <vector>

#include "loop/stacking.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "py/type.hpp"

namespace competition {

namespace {
constexpr std::size_t kFanIn = 32;
} // namespace

struct Waiting {
    PyObject* frame;  // strong
    int level;        // stands for kFanIn^level answers
};

// The object in the scope that holds what the accumulation knows. It has no attributes and no
// methods: nothing here can be changed from Python.
struct Accumulation {
    PyObject_HEAD
    std::vector<Waiting> waiting;
    unsigned long generation;  // changes whenever `waiting` does
    PyObject* frame_type;      // pandas.DataFrame
    PyObject* frame_copy;      // pandas.DataFrame.copy as the run found it
    bool pandas_copy;          // and it is pandas' own function, not one put in its place
    PyObject* concat;          // pandas.concat
    // The shape of submission_df after the last join at once (null when unknown).
    PyObject* columns;
    PyObject* dtypes;          // a tuple
    // Answers of a numeric shape wait as their blocks' arrays instead, after the frames above.
    bool stackable;
    BlockStack stacked;
};

namespace {

PyTypeObject AccumulationType = py::type_object();

Accumulation* as_accumulation(PyObject* o) { return reinterpret_cast<Accumulation*>(o); }

Accumulation* accumulation_of(Scope* scope) {
    PyObject* o = scope->accumulation.get();
    return o && Py_TYPE(o) == &AccumulationType ? as_accumulation(o) : nullptr;
}

void forget_shape(Accumulation* acc) {
    acc->stackable = false;
    Py_CLEAR(acc->columns);
    Py_CLEAR(acc->dtypes);
}

int acc_traverse(PyObject* self, visitproc visit, void* arg) {
    Accumulation* acc = as_accumulation(self);
    for (const Waiting& w : acc->waiting) Py_VISIT(w.frame);
    if (int r = acc->stacked.traverse(visit, arg)) return r;
    Py_VISIT(acc->frame_type);
    Py_VISIT(acc->frame_copy);
    Py_VISIT(acc->concat);
    Py_VISIT(acc->columns);
    Py_VISIT(acc->dtypes);
    return 0;
}

int acc_clear(PyObject* self) {
    Accumulation* acc = as_accumulation(self);
    std::vector<Waiting> waiting;
    waiting.swap(acc->waiting);
    ++acc->generation;
    for (Waiting& w : waiting) Py_CLEAR(w.frame);
    acc->stacked.clear();
    Py_CLEAR(acc->frame_type);
    Py_CLEAR(acc->frame_copy);
    Py_CLEAR(acc->concat);
    forget_shape(acc);
    return 0;
}

void acc_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    acc_clear(self);
    as_accumulation(self)->waiting.~vector();
    as_accumulation(self)->stacked.~BlockStack();
    PyObject_GC_Del(self);
}

const PyType_Slot acc_slots[] = {
    {Py_tp_dealloc, py::slot(acc_dealloc)},
    {Py_tp_traverse, py::slot(acc_traverse)},
    {Py_tp_clear, py::slot(acc_clear)},
    {0, nullptr},
};

// A frame's dtypes as a tuple: from its block manager where pandas has one (the dtypes Series
// costs more than the rest of the check), else from DataFrame.dtypes.
py::Ref dtype_tuple(PyObject* frame) {
    py::Ref mgr = py::optional_attr(frame, loop_names::_mgr);
    py::Ref get_dtypes = mgr ? py::optional_attr(mgr.get(), loop_names::get_dtypes) : py::Ref();
    py::Ref dtypes = get_dtypes ? get_dtypes.call() : py::attr(frame, loop_names::dtypes);
    return py::take(PySequence_Tuple(dtypes.get()));
}

// Equal tuples of dtypes, pair by pair. Dtypes of different kinds are simply unequal (some
// numpy releases raise when asked to compare them).
bool same_dtypes(PyObject* a, PyObject* b) {
    if (!PyTuple_Check(a) || !PyTuple_Check(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i) {
        PyObject* x = PyTuple_GET_ITEM(a, i);
        PyObject* y = PyTuple_GET_ITEM(b, i);
        if (x == y) continue;
        if (Py_TYPE(x) != Py_TYPE(y)) return false;
        bool equal = false;
        if (!fast_path([&] { equal = py::check(PyObject_RichCompareBool(x, y, Py_EQ)) != 0; }) || !equal)
            return false;
    }
    return true;
}

bool same_dtypes_as(Accumulation* acc, PyObject* answer) {
    py::Ref acc_dtypes = py::Ref::borrow(acc->dtypes);
    return same_dtypes(dtype_tuple(answer).get(), acc_dtypes.get());
}

// A frame whose joins carry nothing but rows: no attrs to merge, duplicate row labels allowed
// (a pandas without attrs or flags has neither to merge).
bool plain_frame(Accumulation* acc, PyObject* frame) {
    if (Py_TYPE(frame) != reinterpret_cast<PyTypeObject*>(acc->frame_type)) return false;
    py::Ref attrs = py::optional_attr(frame, loop_names::attrs);
    if (attrs && (!PyDict_CheckExact(attrs.get()) || PyDict_Size(attrs.get()) != 0)) return false;
    py::Ref flags = py::optional_attr(frame, loop_names::flags);
    return !flags || flags.attr(loop_names::allows_duplicate_labels).get() == Py_True;
}

// The labels of an index as the array of object pointers it keeps them in, held while this
// lives; empty when the index keeps them otherwise (or cannot say).
class LabelObjects {
public:
    explicit LabelObjects(PyObject* index) {
        py::Ref data = py::optional_attr(index, loop_names::_data);
        if (!data) return;
        kind_ = Py_TYPE(data.get());
        if (!PyObject_CheckBuffer(data.get())) data = py::optional_attr(data.get(), loop_names::_ndarray);
        if (!data || !PyObject_CheckBuffer(data.get())) return;
        if (PyObject_GetBuffer(data.get(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            if (!py::fall_back_on_error()) throw py::Error();
            return;
        }
        held_ = true;
        if (view_.format && view_.format[0] == 'O' && view_.format[1] == '\0' && view_.itemsize == sizeof(PyObject*))
            objects_ = static_cast<PyObject* const*>(view_.buf);
    }
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

// Do two indexes of one class hold the very same str objects in the same order? Then they are
// equal as Index.equals compares them; false is only "cannot tell this way".
bool same_label_objects(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    LabelObjects x(a), y(b);
    if (!x.objects() || !y.objects() || x.kind() != y.kind() || x.size() != y.size()) return false;
    for (Py_ssize_t i = 0; i < x.size(); ++i)
        if (x.objects()[i] != y.objects()[i] || !PyUnicode_CheckExact(x.objects()[i])) return false;
    return true;
}

// Would joining `answer` only stack it under submission_df?
bool stacks(Accumulation* acc, Scope* scope, PyObject* predictions_df, PyObject* answer) {
    if (!acc->columns || !acc->dtypes || answer == predictions_df) return false;
    if (!plain_frame(acc, answer) || !plain_frame(acc, scope->submission_df.get())) return false;
    // The answer's columns, checked against those of submission_df each time: an index whose
    // labels can be written in place (pandas before 3) may have changed since it last matched.
    // They are usually the very label objects of the answer before, which is quick to tell.
    py::Ref acc_columns = py::Ref::borrow(acc->columns);
    py::Ref columns = py::attr(answer, loop_names::columns);
    if (!same_label_objects(columns.get(), acc_columns.get()) &&
        !columns.method(loop_names::equals, acc_columns).is_true())
        return false;
    // Stacking checks the answer's blocks against those of the first answer stacked, which had
    // the dtypes of submission_df.
    if (acc->stackable && !acc->stacked.empty()) return true;
    return same_dtypes_as(acc, answer);
}

const char kChanged[] = "predict() was called again while an answer was being joined";

// Notes the shape of submission_df after a join at once. Where it cannot be read (an ordinary
// error), it stays unknown and the next answer is joined at once too.
void remember_shape(Accumulation* acc, PyObject* submission_df) {
    forget_shape(acc);
    py::Ref columns, dtypes;
    if (!fast_path([&] {
            columns = py::attr(submission_df, loop_names::columns);
            dtypes = dtype_tuple(submission_df);
        }))
        return;
    bool stackable = false;
    fast_path([&] { stackable = stackable_dtypes(dtypes.get()) && columns.attr(loop_names::is_unique).is_true(); });
    acc->columns = columns.release();
    acc->dtypes = dtypes.release();
    acc->stackable = stackable;
}

// The stacked answers, as one frame at the end of the waiting frames.
void settle(Accumulation* acc) {
    if (acc->stacked.empty()) return;
    if (!acc->columns) py::raise(PyExc_RuntimeError, "the waiting answers lost their shape");
    py::Ref frame_type = py::Ref::borrow(acc->frame_type);
    py::Ref columns = py::Ref::borrow(acc->columns);
    const unsigned long generation = acc->generation;
    py::Ref frame = acc->stacked.build(frame_type.get(), columns.get());
    if (!frame) py::raise(PyExc_RuntimeError, "the waiting answers lost their shape");
    if (acc->generation != generation) py::raise(PyExc_RuntimeError, kChanged);
    acc->waiting.push_back({frame.get(), -1});  // the reference moves once the push cannot fail
    frame.release();
    acc->stacked.clear();
    ++acc->generation;
}

// pandas.concat(frames), as a new frame.
py::Ref concat_list(Accumulation* acc, PyObject* frames) {
    py::Ref concat = py::Ref::borrow(acc->concat);
    return concat.call(frames);
}

// A new list of submission_df (when given) and the waiting frames from `first` on.
py::Ref frame_list(const Accumulation* acc, std::size_t first, PyObject* head = nullptr) {
    py::Ref list = py::take(PyList_New(0));
    if (head) py::check(PyList_Append(list.get(), head));
    for (std::size_t i = first; i < acc->waiting.size(); ++i) py::check(PyList_Append(list.get(), acc->waiting[i].frame));
    return list;
}

// Is there a run of kFanIn waiting frames of one level at the end?
bool run_at_end(const Accumulation* acc) {
    const std::size_t n = acc->waiting.size();
    if (n < kFanIn) return false;
    for (std::size_t i = n - kFanIn; i < n; ++i)
        if (acc->waiting[i].level != acc->waiting[n - 1].level) return false;
    return true;
}

// Merges the last kFanIn waiting frames into one while they are of one level. What cannot be
// merged (an ordinary error) waits on; only an error that must end the predict is thrown, with
// nothing changed.
void compact(Accumulation* acc) {
    while (run_at_end(acc)) {
        const std::size_t first = acc->waiting.size() - kFanIn;
        const int level = acc->waiting.back().level;
        py::Ref run = frame_list(acc, first);
        const unsigned long generation = acc->generation;
        py::Ref merged;
        if (!fast_path([&] { merged = concat_list(acc, run.get()); })) return;
        if (acc->generation != generation) return;  // changed meanwhile: leave it be
        for (std::size_t i = first; i < acc->waiting.size(); ++i) Py_DECREF(acc->waiting[i].frame);
        acc->waiting.resize(first);
        acc->waiting.push_back({merged.release(), level + 1});  // within capacity: cannot fail
        ++acc->generation;
    }
}

// accumulated.append(answer), or the concat to the same effect where pandas has no append.
py::Ref join_one(Accumulation* acc, PyObject* accumulated, PyObject* answer) {
    if (py::Ref append = py::optional_attr(accumulated, loop_names::append)) return append.call(answer);
    py::Ref concat = acc ? py::Ref::borrow(acc->concat) : pandas_module().attr(loop_names::concat);
    py::Ref frames = py::take(PyList_New(0));
    py::check(PyList_Append(frames.get(), accumulated));
    py::check(PyList_Append(frames.get(), answer));
    return concat.call(frames);
}

// submission_df and the stacked answers, stacked together where their blocks line up: one copy
// of the rows instead of two. False when they do not line up, or an ordinary error said so.
bool stack_onto_submission(Accumulation* acc, Scope* scope) {
    py::Ref frame_type = py::Ref::borrow(acc->frame_type);
    py::Ref columns = py::Ref::borrow(acc->columns);
    py::Ref before = py::Ref::borrow(scope->submission_df.get());
    const unsigned long generation = acc->generation;
    py::Ref joined;
    fast_path([&] {
        if (columns && plain_frame(acc, before.get()))
            joined = acc->stacked.build(frame_type.get(), columns.get(), before.get());
    });
    if (!joined || acc->generation != generation || scope->submission_df.get() != before.get()) return false;
    acc->stacked.clear();
    ++acc->generation;
    py::assign(&scope->submission_df, joined.get());
    return true;
}

} // namespace

void accumulation_type_ready() {
    py::ready(&AccumulationType,
              {"competition.accumulation", sizeof(Accumulation), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, acc_slots});
}

void accumulation_reset(Scope* scope) {
    py::Ref pd = pandas_module();
    py::Ref frame_type = pd.attr(loop_names::DataFrame);
    py::Ref frame_copy = frame_type.attr(loop_names::copy);
    py::Ref concat = pd.attr(loop_names::concat);
    Accumulation* acc = py::check(PyObject_GC_New(Accumulation, &AccumulationType));
    new (&acc->waiting) std::vector<Waiting>();
    new (&acc->stacked) BlockStack();
    acc->stackable = false;
    acc->generation = 0;
    acc->frame_type = frame_type.release();
    acc->pandas_copy = false;
    fast_path([&] {
        py::Ref module = py::attr(frame_copy.get(), names::dunder_module);
        acc->pandas_copy = PyFunction_Check(frame_copy.get()) && PyUnicode_Check(module.get()) &&
                           PyUnicode_Tailmatch(module.get(), py::str("pandas.").get(), 0, PY_SSIZE_T_MAX, -1) == 1;
    });
    acc->frame_copy = frame_copy.release();
    acc->concat = concat.release();
    acc->columns = acc->dtypes = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(acc));
    py::Ref owned = py::Ref::steal(reinterpret_cast<PyObject*>(acc));
    py::assign(&scope->accumulation, owned.get());
}

void accumulation_flush(Scope* scope) {
    Accumulation* acc = accumulation_of(scope);
    if (!acc) return;
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    if (acc->waiting.empty() && !acc->stacked.empty() && stack_onto_submission(acc, scope)) return;
    settle(acc);
    if (acc->waiting.empty()) return;
    py::Ref frames = frame_list(acc, 0, scope->submission_df.get());
    const unsigned long generation = acc->generation;
    py::Ref joined = concat_list(acc, frames.get());
    if (acc->generation != generation) py::raise(PyExc_RuntimeError, kChanged);
    std::vector<Waiting> waiting;
    waiting.swap(acc->waiting);
    ++acc->generation;
    py::assign(&scope->submission_df, joined.get());
    for (Waiting& w : waiting) Py_DECREF(w.frame);
}

bool Joining::stack(Accumulation* acc, PyObject* answer) {
    if (!acc->stacked.add(answer)) return false;
    ++acc->generation;
    stacked_ = acc->stacked.answers();
    return true;
}

void Joining::queue(Accumulation* acc, PyObject* answer) {
    settle(acc);
    compact(acc);
    acc->waiting.push_back({answer, 0});
    Py_INCREF(answer);
    ++acc->generation;
    queued_ = answer;
}

// submission_df = submission_df.append(answer), after the answers waiting before it.
void Joining::join_at_once(Accumulation* acc, PyObject* answer) {
    accumulation_flush(scope_);
    before_ = py::Ref::borrow(scope_->submission_df.get());
    py::Ref joined = join_one(acc, before_.get(), answer);
    py::assign(&scope_->submission_df, joined.get());
    after_ = joined.get();
    if (acc) remember_shape(acc, after_);
}

namespace {

// Is the copy independent of everything the caller holds? Only what pandas' own DataFrame.copy
// made of a plain frame is: a copy() of a subclass, or a DataFrame.copy replaced since the run
// began, may hand back a frame over the caller's arrays, and a join, the stacking above all,
// may keep views of the answer's arrays until the file is written.
bool own_copy(Accumulation* acc, PyObject* predictions_df, PyObject* copy_method) {
    return acc && Py_TYPE(predictions_df) == reinterpret_cast<PyTypeObject*>(acc->frame_type) &&
           PyMethod_Check(copy_method) && PyMethod_GET_SELF(copy_method) == predictions_df &&
           PyMethod_GET_FUNCTION(copy_method) == acc->frame_copy;
}

} // namespace

// A copy that may share the caller's data is copied once more, by pandas' own DataFrame.copy,
// so that what is written is what the answer held when it was accepted (the literal append
// copies the rows at once). Only frames that are the caller's own or exactly DataFrames: a
// subclass's copy runs its own code, and a join at once copies it.
void Joining::join(PyObject* predictions_df, PyObject* copy_method, PyObject* answer) {
    Accumulation* acc = accumulation_of(scope_);
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    py::Ref own;
    if (answer == predictions_df ||
        (acc && Py_TYPE(answer) == reinterpret_cast<PyTypeObject*>(acc->frame_type) &&
         !own_copy(acc, predictions_df, copy_method))) {
        py::Ref frame_copy = acc ? py::Ref::borrow(acc->frame_copy)
                                 : pandas_module().attr(loop_names::DataFrame).attr(loop_names::copy);
        own = frame_copy.call(answer);
        answer = own.get();
    }
    bool only_stacks = false;
    if (acc) fast_path([&] { only_stacks = stacks(acc, scope_, predictions_df, answer); });
    if (only_stacks && acc->stackable) {
        const bool checked = acc->stacked.empty();
        if (stack(acc, answer)) return;
        // laid out otherwise: check in full
        if (!checked && !fast_path([&] { only_stacks = same_dtypes_as(acc, answer); })) only_stacks = false;
    }
    if (only_stacks)
        queue(acc, answer);
    else
        join_at_once(acc, answer);
}

bool Joining::stack_copy_of(PyObject* predictions_df, PyObject* copy_method) {
    Accumulation* acc = accumulation_of(scope_);
    if (!acc || !acc->pandas_copy || !acc->stackable || !own_copy(acc, predictions_df, copy_method)) return false;
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    bool only_stacks = false;
    fast_path([&] { only_stacks = stacks(acc, scope_, nullptr, predictions_df); });
    if (!only_stacks || !acc->stackable) return false;
    // What pandas' own copy changes in the frame it copies: before pandas 3, its cached columns.
    fast_path([&] {
        if (py::Ref clear = py::optional_attr(predictions_df, loop_names::_clear_item_cache)) clear.call();
    });
    if (!acc->stacked.add(predictions_df, true)) return false;
    ++acc->generation;
    stacked_ = acc->stacked.answers();
    return true;
}

Joining::~Joining() {
    if (committed_ || (!queued_ && !after_ && !stacked_)) return;
    py::SavedError pending;
    Accumulation* acc = accumulation_of(scope_);
    if (acc && stacked_ && acc->stacked.answers() == stacked_) {
        acc->stacked.pop();
        ++acc->generation;
    }
    if (acc && queued_) unqueue(acc);
    if (after_ && scope_->submission_df.get() == after_) {
        py::assign(&scope_->submission_df, before_.get());
        if (acc) forget_shape(acc);
    }
}

void Joining::unqueue(Accumulation* acc) noexcept {
    for (std::size_t i = acc->waiting.size(); i-- > 0;) {
        if (acc->waiting[i].frame == queued_ && acc->waiting[i].level == 0) {
            PyObject* frame = acc->waiting[i].frame;
            acc->waiting.erase(acc->waiting.begin() + static_cast<std::ptrdiff_t>(i));
            ++acc->generation;
            Py_DECREF(frame);
            return;
        }
    }
}

} // namespace competition
