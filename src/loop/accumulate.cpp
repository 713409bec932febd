#include "loop/accumulate.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "loop/pandas_api.hpp"
#include "loop/stacking.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "py/object.hpp"
#include "py/type.hpp"

namespace competition {

namespace {
constexpr std::size_t kFanIn = 32;
} // namespace

struct Waiting {
    py::Ref frame;
    int level;  // stands for kFanIn^level answers (-1: the stacked answers, settled)
};

// The object in the scope that holds what the accumulation knows. It has no attributes and no
// methods: nothing here can be changed from Python.
//
// What is accumulated is, in this order: submission_df (in the scope), then the frames of
// `waiting`, then the answers of `stacked`. `generation` changes with every change of `waiting`
// or `stacked`: code that has called into pandas, which may run any Python code (a predict, a
// collection that clears this object), checks it before it relies on what it read before.
struct Accumulation {
    PyObject_HEAD
    // pandas as the run found it
    py::Ref frame_type;         // pandas.DataFrame
    py::Ref frame_copy;         // pandas.DataFrame.copy
    bool pandas_copy = false;   // and it is pandas' own function, not one put in its place
    py::Ref concat;             // pandas.concat
    std::vector<Waiting> waiting;
    BlockStack stacked;
    unsigned long generation = 0;
    // The shape of submission_df after the last join at once (null when unknown); answers of a
    // numeric shape (stackable) wait in `stacked`.
    py::Ref columns;
    py::Ref dtypes;  // a tuple
    bool stackable = false;

    Accumulation(py::Ref frame_type_, py::Ref frame_copy_, bool pandas_copy_, py::Ref concat_) noexcept
        : frame_type(std::move(frame_type_)), frame_copy(std::move(frame_copy_)), pandas_copy(pandas_copy_),
          concat(std::move(concat_)) {}

    void changed() noexcept { ++generation; }
    void forget_shape() noexcept {
        stackable = false;
        columns.reset();
        dtypes.reset();
    }
    bool is_frame(PyObject* o) const noexcept {
        return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(frame_type.get());
    }
};

namespace {

constexpr py::Ref Accumulation::* kMembers[] = {
    &Accumulation::frame_type, &Accumulation::frame_copy, &Accumulation::concat,
    &Accumulation::columns,    &Accumulation::dtypes,
};

PyTypeObject AccumulationType = py::type_object();

Accumulation* as_accumulation(PyObject* o) { return reinterpret_cast<Accumulation*>(o); }

Accumulation* accumulation_of(Scope* scope) {
    PyObject* o = scope->accumulation.get();
    return o && Py_TYPE(o) == &AccumulationType ? as_accumulation(o) : nullptr;
}

int acc_traverse(PyObject* self, visitproc visit, void* arg) {
    Accumulation* acc = as_accumulation(self);
    for (const Waiting& w : acc->waiting) Py_VISIT(w.frame.get());
    if (int r = acc->stacked.traverse(visit, arg)) return r;
    return py::visit_members(acc, kMembers, visit, arg);
}

int acc_clear(PyObject* self) {
    Accumulation* acc = as_accumulation(self);
    std::vector<Waiting> waiting;
    waiting.swap(acc->waiting);  // released after the object is consistent
    acc->changed();
    acc->stacked.clear();
    acc->forget_shape();
    py::clear_members(acc, kMembers);
    return 0;
}

const PyType_Slot acc_slots[] = {
    {Py_tp_dealloc, py::slot(py::dealloc<Accumulation>)},
    {Py_tp_traverse, py::slot(acc_traverse)},
    {Py_tp_clear, py::slot(acc_clear)},
    {0, nullptr},
};

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
        if (!fast_path([&] { equal = py::check(PyObject_RichCompareBool(x, y, Py_EQ)) != 0; }) || !equal) return false;
    }
    return true;
}

bool same_dtypes_as(Accumulation* acc, PyObject* answer) {
    py::Ref acc_dtypes = py::Ref::borrow(acc->dtypes.get());  // kept through the comparisons' code
    return same_dtypes(pandas_api::dtype_tuple(answer).get(), acc_dtypes.get());
}

// A frame whose joins carry nothing but rows: no attrs to merge, duplicate row labels allowed
// (a pandas without attrs or flags has neither to merge).
bool plain_frame(Accumulation* acc, PyObject* frame) {
    if (!acc->is_frame(frame)) return false;
    py::Ref attrs = pandas_api::frame_attribute(frame, loop_names::attrs);
    if (attrs && (!PyDict_CheckExact(attrs.get()) || PyDict_Size(attrs.get()) != 0)) return false;
    py::Ref flags = pandas_api::frame_attribute(frame, loop_names::flags);
    return !flags || flags.attr(loop_names::allows_duplicate_labels).get() == Py_True;
}

// Do two indexes of one class hold the very same str objects in the same order? Then they are
// equal as Index.equals compares them; false is only "cannot tell this way".
bool same_label_objects(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    pandas_api::LabelObjects x(a), y(b);
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
    py::Ref acc_columns = py::Ref::borrow(acc->columns.get());
    py::Ref columns = py::Handle(answer).attr(loop_names::columns);
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
    acc->forget_shape();
    py::Ref columns, dtypes;
    if (!fast_path([&] {
            columns = py::Handle(submission_df).attr(loop_names::columns);
            dtypes = pandas_api::dtype_tuple(submission_df);
        }))
        return;
    bool stackable = false;
    fast_path([&] { stackable = stackable_dtypes(dtypes.get()) && columns.attr(loop_names::is_unique).is_true(); });
    acc->columns = std::move(columns);
    acc->dtypes = std::move(dtypes);
    acc->stackable = stackable;
}

// The stacked answers, as one frame at the end of the waiting frames.
void settle(Accumulation* acc) {
    if (acc->stacked.empty()) return;
    if (!acc->columns) py::raise(PyExc_RuntimeError, "the waiting answers lost their shape");
    py::Ref frame_type = py::Ref::borrow(acc->frame_type.get());
    py::Ref columns = py::Ref::borrow(acc->columns.get());
    const unsigned long generation = acc->generation;
    py::Ref frame = acc->stacked.build(frame_type.get(), columns.get());
    if (!frame) py::raise(PyExc_RuntimeError, "the waiting answers lost their shape");
    if (acc->generation != generation) py::raise(PyExc_RuntimeError, kChanged);
    acc->waiting.push_back({std::move(frame), -1});
    acc->stacked.clear();
    acc->changed();
}

// A new list of submission_df (when given) and the waiting frames from `first` on.
py::Ref frame_list(const Accumulation* acc, std::size_t first, PyObject* head = nullptr) {
    py::Ref list = py::take(PyList_New(0));
    if (head) py::check(PyList_Append(list.get(), head));
    for (std::size_t i = first; i < acc->waiting.size(); ++i)
        py::check(PyList_Append(list.get(), acc->waiting[i].frame.get()));
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
        py::Ref concat = py::Ref::borrow(acc->concat.get());
        const unsigned long generation = acc->generation;
        py::Ref merged;
        if (!fast_path([&] { merged = concat.call(run); })) return;
        if (acc->generation != generation) return;  // changed meanwhile: leave it be
        std::vector<Waiting> runs;  // the merged frames, released once the list holds the merge
        runs.reserve(kFanIn);
        for (std::size_t i = first; i < acc->waiting.size(); ++i) runs.push_back(std::move(acc->waiting[i]));
        acc->waiting.resize(first);
        acc->waiting.push_back({std::move(merged), level + 1});  // within capacity: cannot fail
        acc->changed();
    }
}

// accumulated.append(answer), or the concat to the same effect where pandas has no append.
py::Ref join_one(Accumulation* acc, PyObject* accumulated, PyObject* answer) {
    py::Ref concat = acc ? py::Ref::borrow(acc->concat.get()) : pandas_module().attr(loop_names::concat);
    return pandas_api::append(accumulated, answer, concat);
}

// submission_df and the stacked answers, stacked together where their blocks line up: one copy
// of the rows instead of two. False when they do not line up, or an ordinary error said so.
bool stack_onto_submission(Accumulation* acc, Scope* scope) {
    py::Ref frame_type = py::Ref::borrow(acc->frame_type.get());
    py::Ref columns = py::Ref::borrow(acc->columns.get());
    py::Ref before = py::Ref::borrow(scope->submission_df.get());
    const unsigned long generation = acc->generation;
    py::Ref joined;
    fast_path([&] {
        if (columns && plain_frame(acc, before.get()))
            joined = acc->stacked.build(frame_type.get(), columns.get(), before.get());
    });
    if (!joined || acc->generation != generation || scope->submission_df.get() != before.get()) return false;
    acc->stacked.clear();
    acc->changed();
    py::assign(&scope->submission_df, joined.get());
    return true;
}

// Is DataFrame.copy as the run found it pandas' own function?
bool is_pandas_function(PyObject* function) {
    if (!PyFunction_Check(function)) return false;
    bool own = false;
    fast_path([&] {
        py::Ref module = py::Handle(function).attr(names::dunder_module);
        own = PyUnicode_Check(module.get()) &&
              PyUnicode_Tailmatch(module.get(), py::str("pandas.").get(), 0, PY_SSIZE_T_MAX, -1) == 1;
    });
    return own;
}

// Is the copy independent of everything the caller holds? Only what pandas' own DataFrame.copy
// made of a plain frame is: a copy() of a subclass, or a DataFrame.copy replaced since the run
// began, may hand back a frame over the caller's arrays, and a join, the stacking above all,
// may keep views of the answer's arrays until the file is written.
bool own_copy(Accumulation* acc, PyObject* predictions_df, PyObject* copy_method) {
    return acc && acc->is_frame(predictions_df) && PyMethod_Check(copy_method) &&
           PyMethod_GET_SELF(copy_method) == predictions_df &&
           PyMethod_GET_FUNCTION(copy_method) == acc->frame_copy.get();
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
    const bool pandas_copy = is_pandas_function(frame_copy.get());
    py::Ref made = py::gc_new<Accumulation>(&AccumulationType, std::move(frame_type), std::move(frame_copy),
                                            pandas_copy, std::move(concat));
    py::assign(&scope->accumulation, made.get());
}

void accumulation_flush(Scope* scope) {
    Accumulation* acc = accumulation_of(scope);
    if (!acc) return;
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    if (acc->waiting.empty() && !acc->stacked.empty() && stack_onto_submission(acc, scope)) return;
    settle(acc);
    if (acc->waiting.empty()) return;
    py::Ref frames = frame_list(acc, 0, scope->submission_df.get());
    py::Ref concat = py::Ref::borrow(acc->concat.get());
    const unsigned long generation = acc->generation;
    py::Ref joined = concat.call(frames);
    if (acc->generation != generation) py::raise(PyExc_RuntimeError, kChanged);
    std::vector<Waiting> waiting;  // released once submission_df holds them
    waiting.swap(acc->waiting);
    acc->changed();
    py::assign(&scope->submission_df, joined.get());
}

// ---- one answer -----------------------------------------------------------------------------

bool Joining::stack(Accumulation* acc, PyObject* answer, bool copy) {
    if (!acc->stacked.add(answer, copy)) return false;
    acc->changed();
    undo_.kind = Undo::Kind::stacked;
    undo_.stacked = acc->stacked.answers();
    return true;
}

void Joining::queue(Accumulation* acc, PyObject* answer) {
    settle(acc);
    compact(acc);
    acc->waiting.push_back({py::Ref::borrow(answer), 0});
    acc->changed();
    undo_.kind = Undo::Kind::queued;
    undo_.frame = answer;
}

// submission_df = submission_df.append(answer), after the answers waiting before it.
void Joining::join_at_once(Accumulation* acc, PyObject* answer) {
    accumulation_flush(scope_);
    py::Ref before = py::Ref::borrow(scope_->submission_df.get());
    py::Ref joined = join_one(acc, before.get(), answer);
    py::assign(&scope_->submission_df, joined.get());
    undo_.kind = Undo::Kind::joined_at_once;
    undo_.frame = joined.get();
    undo_.before = std::move(before);
    if (acc) remember_shape(acc, joined.get());
}

// A copy that may share the caller's data is copied once more, by pandas' own DataFrame.copy,
// so that what is written is what the answer held when it was accepted (the literal append
// copies the rows at once). Only frames that are the caller's own or exactly DataFrames: a
// subclass's copy runs its own code, and a join at once copies it.
void Joining::join(PyObject* predictions_df, PyObject* copy_method, PyObject* answer) {
    Accumulation* acc = accumulation_of(scope_);
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    py::Ref own;
    if (answer == predictions_df || (acc && acc->is_frame(answer) && !own_copy(acc, predictions_df, copy_method))) {
        py::Ref frame_copy = acc ? py::Ref::borrow(acc->frame_copy.get())
                                 : pandas_module().attr(loop_names::DataFrame).attr(loop_names::copy);
        own = frame_copy.call(answer);
        answer = own.get();
    }
    bool only_stacks = false;
    if (acc) fast_path([&] { only_stacks = stacks(acc, scope_, predictions_df, answer); });
    if (only_stacks && acc->stackable) {
        const bool checked = acc->stacked.empty();
        if (stack(acc, answer, false)) return;
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
    pandas_api::clear_item_cache(predictions_df);
    return stack(acc, predictions_df, true);
}

// Undoes what the answer changed, where nothing has changed it since.
Joining::~Joining() {
    if (undo_.kind == Undo::Kind::nothing) return;
    py::SavedError pending;
    Accumulation* acc = accumulation_of(scope_);
    switch (undo_.kind) {
    case Undo::Kind::stacked:
        if (acc && acc->stacked.answers() == undo_.stacked) {
            acc->stacked.pop();
            acc->changed();
        }
        break;
    case Undo::Kind::queued:
        for (std::size_t i = acc ? acc->waiting.size() : 0; i-- > 0;) {
            if (acc->waiting[i].frame.get() == undo_.frame && acc->waiting[i].level == 0) {
                Waiting gone = std::move(acc->waiting[i]);  // released once the list is consistent
                acc->waiting.erase(acc->waiting.begin() + static_cast<std::ptrdiff_t>(i));
                acc->changed();
                break;
            }
        }
        break;
    case Undo::Kind::joined_at_once:
        if (scope_->submission_df.get() == undo_.frame) {
            py::assign(&scope_->submission_df, undo_.before.get());
            if (acc) acc->forget_shape();
        }
        break;
    case Undo::Kind::nothing:
        break;
    }
}

} // namespace competition
