#include "loop/accumulate.hpp"

#include <new>
#include <vector>

#include "loop/stacking.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"

namespace competition {

namespace {

constexpr std::size_t kFanIn = 32;

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
    PyObject* concat;          // pandas.concat
    // The shape of submission_df after the last join at once (null when unknown), and the sample
    // column index last seen to give an answer of those columns.
    PyObject* columns;
    PyObject* dtypes;          // a tuple
    PyObject* sample_columns;
    // Answers of a numeric shape wait as their blocks' arrays instead, after the frames above.
    bool stackable;
    BlockStack stacked;
};

PyTypeObject AccumulationType = {PyVarObject_HEAD_INIT(nullptr, 0)};

Accumulation* accumulation_of(Scope* scope) {
    PyObject* o = scope->accumulation;
    return o && Py_TYPE(o) == &AccumulationType ? reinterpret_cast<Accumulation*>(o) : nullptr;
}

void forget_shape(Accumulation* acc) {
    acc->stackable = false;
    Py_CLEAR(acc->columns);
    Py_CLEAR(acc->dtypes);
    Py_CLEAR(acc->sample_columns);
}

int acc_traverse(PyObject* self, visitproc visit, void* arg) {
    Accumulation* acc = reinterpret_cast<Accumulation*>(self);
    for (const Waiting& w : acc->waiting) Py_VISIT(w.frame);
    if (int r = acc->stacked.traverse(visit, arg)) return r;
    Py_VISIT(acc->frame_type);
    Py_VISIT(acc->concat);
    Py_VISIT(acc->columns);
    Py_VISIT(acc->dtypes);
    Py_VISIT(acc->sample_columns);
    return 0;
}

int acc_clear(PyObject* self) {
    Accumulation* acc = reinterpret_cast<Accumulation*>(self);
    std::vector<Waiting> waiting;
    waiting.swap(acc->waiting);
    ++acc->generation;
    for (Waiting& w : waiting) Py_CLEAR(w.frame);
    acc->stacked.clear();
    Py_CLEAR(acc->frame_type);
    Py_CLEAR(acc->concat);
    forget_shape(acc);
    return 0;
}

void acc_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    acc_clear(self);
    reinterpret_cast<Accumulation*>(self)->waiting.~vector();
    reinterpret_cast<Accumulation*>(self)->stacked.~BlockStack();
    PyObject_GC_Del(self);
}

// A frame's dtypes as a tuple: from its block manager where pandas has one (the dtypes Series
// costs more than the rest of the check), else from DataFrame.dtypes.
py::Ref dtype_tuple(PyObject* frame) {
    py::Ref dtypes;
    py::Ref mgr = py::Ref::steal(PyObject_GetAttr(frame, loop_names::_mgr));
    py::Ref get_dtypes = mgr ? py::Ref::steal(PyObject_GetAttr(mgr.get(), loop_names::get_dtypes)) : py::Ref();
    if (get_dtypes) {
        dtypes = py::unchecked::call(get_dtypes.get());
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
        PyErr_Clear();
        dtypes = py::unchecked::getattr(frame, loop_names::dtypes);
    }
    return dtypes ? py::Ref::steal(PySequence_Tuple(dtypes.get())) : py::Ref();
}

// Equal tuples of dtypes, pair by pair. Dtypes of different kinds are simply unequal (some
// numpy releases raise when asked to compare them).
int same_dtypes(PyObject* a, PyObject* b) {
    if (!PyTuple_Check(a) || !PyTuple_Check(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i) {
        PyObject* x = PyTuple_GET_ITEM(a, i);
        PyObject* y = PyTuple_GET_ITEM(b, i);
        if (x == y) continue;
        if (Py_TYPE(x) != Py_TYPE(y)) return 0;
        int eq = PyObject_RichCompareBool(x, y, Py_EQ);
        if (eq < 0) return fall_back_on_error() ? 0 : -1;
        if (!eq) return 0;
    }
    return 1;
}

int same_dtypes_as(Accumulation* acc, PyObject* answer) {
    py::Ref acc_dtypes = py::Ref::borrow(acc->dtypes);
    py::Ref dtypes = dtype_tuple(answer);
    if (!dtypes) return -1;
    return same_dtypes(dtypes.get(), acc_dtypes.get());
}

// A frame whose joins carry nothing but rows: no attrs to merge, duplicate row labels allowed.
int plain_frame(Accumulation* acc, PyObject* frame) {
    if (Py_TYPE(frame) != reinterpret_cast<PyTypeObject*>(acc->frame_type)) return 0;
    py::Ref attrs = py::unchecked::getattr(frame, loop_names::attrs);
    if (!attrs) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // a pandas without attrs
    } else if (!PyDict_CheckExact(attrs.get()) || PyDict_Size(attrs.get()) != 0) {
        return 0;
    }
    py::Ref flags = py::unchecked::getattr(frame, loop_names::flags);
    if (!flags) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // a pandas without flags
        return 1;
    }
    py::Ref allows = py::unchecked::getattr(flags.get(), loop_names::allows_duplicate_labels);
    if (!allows) return -1;
    return allows.get() == Py_True ? 1 : 0;
}

// Would joining `answer` only stack it under submission_df? 1 yes, 0 no, -1 error.
int stacks(Accumulation* acc, Scope* scope, PyObject* predictions_df, PyObject* answer,
           PyObject* sample_columns) {
    if (!acc->columns || !acc->dtypes || answer == predictions_df) return 0;
    int plain = plain_frame(acc, answer);
    if (plain == 1) plain = plain_frame(acc, scope->submission_df);
    if (plain <= 0) return plain;
    // The answer's columns are PlayId followed by columns equal to sample_columns, so when
    // sample_columns is the very index that matched before, they match again.
    if (sample_columns != acc->sample_columns) {
        py::Ref acc_columns = py::Ref::borrow(acc->columns);
        py::Ref columns = py::unchecked::getattr(answer, loop_names::columns);
        if (!columns) return -1;
        py::Ref eq = py::unchecked::call_method(columns.get(), loop_names::equals, acc_columns.get());
        if (!eq) return -1;
        int truth = PyObject_IsTrue(eq.get());
        if (truth <= 0) return truth;
        py::assign(&acc->sample_columns, sample_columns);
    }
    // Stacking checks the answer's blocks against those of the first answer stacked, which had
    // the dtypes of submission_df.
    if (acc->stackable && !acc->stacked.empty()) return 1;
    return same_dtypes_as(acc, answer);
}

const char kChanged[] = "predict() was called again while an answer was being joined";

bool remember_shape(Accumulation* acc, PyObject* submission_df) {
    forget_shape(acc);
    py::Ref columns = py::unchecked::getattr(submission_df, loop_names::columns);
    py::Ref dtypes = columns ? dtype_tuple(submission_df) : py::Ref();
    if (!dtypes) return fall_back_on_error();  // the next answer is joined at once
    int stackable = stackable_dtypes(dtypes.get());
    if (stackable == 1) stackable = PyObject_IsTrue(py::unchecked::getattr(columns.get(), loop_names::is_unique).get());
    if (stackable < 0 && !fall_back_on_error()) return false;
    acc->columns = columns.release();
    acc->dtypes = dtypes.release();
    acc->stackable = stackable == 1;
    return true;
}

// The stacked answers, as one frame at the end of the waiting frames.
bool settle(Accumulation* acc) {
    if (acc->stacked.empty()) return true;
    py::Ref frame_type = py::Ref::borrow(acc->frame_type);
    py::Ref columns = py::Ref::borrow(acc->columns);
    unsigned long generation = acc->generation;
    py::Ref frame = columns ? acc->stacked.build(frame_type.get(), columns.get()) : py::Ref();
    if (!frame) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the waiting answers lost their shape");
        return false;
    }
    if (acc->generation != generation) {
        PyErr_SetString(PyExc_RuntimeError, kChanged);
        return false;
    }
    acc->waiting.push_back({frame.release(), -1});
    acc->stacked.clear();
    ++acc->generation;
    return true;
}

// pandas.concat(frames), as a new frame.
py::Ref concat_list(Accumulation* acc, PyObject* frames) {
    py::Ref concat = py::Ref::borrow(acc->concat);
    return py::unchecked::call(concat.get(), frames);
}

// Merges the last kFanIn waiting frames into one while they are of one level. What cannot be
// merged waits on: false only for an error that must end the predict, with nothing changed.
bool compact(Accumulation* acc) {
    for (;;) {
        std::size_t n = acc->waiting.size();
        if (n < kFanIn) return true;
        int level = acc->waiting[n - 1].level;
        for (std::size_t i = n - kFanIn; i < n; ++i)
            if (acc->waiting[i].level != level) return true;
        py::Ref run = py::Ref::steal(PyList_New(kFanIn));
        if (!run) return false;
        for (std::size_t i = 0; i < kFanIn; ++i)
            PyList_SET_ITEM(run.get(), i, py::new_ref(acc->waiting[n - kFanIn + i].frame));
        unsigned long generation = acc->generation;
        py::Ref merged = concat_list(acc, run.get());
        if (!merged) return fall_back_on_error();
        if (acc->generation != generation) return true;  // changed meanwhile: leave it be
        for (std::size_t i = n - kFanIn; i < n; ++i) Py_DECREF(acc->waiting[i].frame);
        acc->waiting.resize(n - kFanIn);
        acc->waiting.push_back({merged.release(), level + 1});
        ++acc->generation;
    }
}

// accumulated.append(answer), or the concat to the same effect where pandas has no append.
py::Ref join_one(Accumulation* acc, PyObject* accumulated, PyObject* answer) {
    py::Ref append = py::Ref::steal(PyObject_GetAttr(accumulated, loop_names::append));
    if (append) return py::unchecked::call(append.get(), answer);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
    PyErr_Clear();
    py::Ref concat = acc ? py::Ref::borrow(acc->concat) : py::Ref();
    if (!concat) {
        py::Ref pd = pandas_module();
        concat = pd ? py::unchecked::getattr(pd.get(), loop_names::concat) : py::Ref();
        if (!concat) return py::Ref();
    }
    py::Ref frames = py::Ref::steal(Py_BuildValue("[OO]", accumulated, answer));
    return frames ? py::unchecked::call(concat.get(), frames.get()) : py::Ref();
}

} // namespace

bool accumulation_type_ready() {
    PyTypeObject* t = &AccumulationType;
    t->tp_name = "competition.accumulation";
    t->tp_basicsize = sizeof(Accumulation);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t->tp_dealloc = acc_dealloc;
    t->tp_traverse = acc_traverse;
    t->tp_clear = acc_clear;
    return PyType_Ready(t) == 0;
}

bool accumulation_reset(Scope* scope) {
    if (!(AccumulationType.tp_flags & Py_TPFLAGS_READY) && !accumulation_type_ready()) return false;
    py::Ref pd = pandas_module();
    py::Ref frame_type = pd ? py::unchecked::getattr(pd.get(), loop_names::DataFrame) : py::Ref();
    py::Ref concat = frame_type ? py::unchecked::getattr(pd.get(), loop_names::concat) : py::Ref();
    if (!concat) return false;
    Accumulation* acc = PyObject_GC_New(Accumulation, &AccumulationType);
    if (!acc) return false;
    new (&acc->waiting) std::vector<Waiting>();
    new (&acc->stacked) BlockStack();
    acc->stackable = false;
    acc->generation = 0;
    acc->frame_type = frame_type.release();
    acc->concat = concat.release();
    acc->columns = acc->dtypes = acc->sample_columns = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(acc));
    py::Ref owned = py::Ref::steal(reinterpret_cast<PyObject*>(acc));
    py::assign(&scope->accumulation, owned.get());
    return true;
}

bool accumulation_flush(Scope* scope) {
    Accumulation* acc = accumulation_of(scope);
    if (!acc) return true;
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    if (acc->waiting.empty() && !acc->stacked.empty()) {
        // submission_df and the stacked answers, stacked together where their blocks line up:
        // one copy of the rows instead of two
        py::Ref frame_type = py::Ref::borrow(acc->frame_type);
        py::Ref columns = py::Ref::borrow(acc->columns);
        py::Ref before = py::Ref::borrow(scope->submission_df);
        unsigned long generation = acc->generation;
        py::Ref joined = columns && plain_frame(acc, before.get()) == 1
                             ? acc->stacked.build(frame_type.get(), columns.get(), before.get())
                             : py::Ref();
        if (joined && acc->generation == generation && scope->submission_df == before.get()) {
            acc->stacked.clear();
            ++acc->generation;
            py::assign(&scope->submission_df, joined.get());
            return true;
        }
        if (PyErr_Occurred() && !fall_back_on_error()) return false;
    }
    if (!settle(acc)) return false;
    if (acc->waiting.empty()) return true;
    std::size_t n = acc->waiting.size();
    py::Ref frames = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(n) + 1));
    if (!frames) return false;
    PyList_SET_ITEM(frames.get(), 0, py::new_ref(scope->submission_df));
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(frames.get(), i + 1, py::new_ref(acc->waiting[i].frame));
    unsigned long generation = acc->generation;
    py::Ref joined = concat_list(acc, frames.get());
    if (!joined) return false;
    if (acc->generation != generation) {
        PyErr_SetString(PyExc_RuntimeError, kChanged);
        return false;
    }
    std::vector<Waiting> waiting;
    waiting.swap(acc->waiting);
    ++acc->generation;
    py::assign(&scope->submission_df, joined.get());
    for (Waiting& w : waiting) Py_DECREF(w.frame);
    return true;
}

bool Joining::join(PyObject* predictions_df, PyObject* answer, PyObject* sample_columns) {
    Accumulation* acc = accumulation_of(scope_);
    py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(acc));
    int only_stacks = acc ? stacks(acc, scope_, predictions_df, answer, sample_columns) : 0;
    if (only_stacks < 0 && !fall_back_on_error()) return false;
    if (only_stacks > 0 && acc->stackable) {
        const bool checked = acc->stacked.empty();
        int taken = acc->stacked.add(answer);
        if (taken < 0) return false;
        if (taken) {
            ++acc->generation;
            stacked_ = acc->stacked.answers();
            return true;
        }
        if (!checked) only_stacks = same_dtypes_as(acc, answer);  // laid out otherwise: check in full
        if (only_stacks < 0 && !fall_back_on_error()) return false;
    }
    if (only_stacks > 0) {
        if (!settle(acc) || !compact(acc)) return false;
        acc->waiting.push_back({py::new_ref(answer), 0});
        ++acc->generation;
        queued_ = answer;
        return true;
    }
    // submission_df = submission_df.append(answer), after the answers waiting before it. A copy
    // that is the caller's own frame (a copy() that returns self) is copied once more, by pandas'
    // own DataFrame.copy, since a join may keep a view of its input: what is written must be what
    // the answer held when it was accepted.
    py::Ref own;
    if (answer == predictions_df) {
        py::Ref frame_type = acc ? py::Ref::borrow(acc->frame_type) : py::Ref();
        py::Ref copy = frame_type ? py::unchecked::getattr(frame_type.get(), loop_names::copy) : py::Ref();
        own = copy ? py::unchecked::call(copy.get(), answer) : py::Ref();
        if (!own) return false;
        answer = own.get();
    }
    if (!accumulation_flush(scope_)) return false;
    before_ = py::Ref::borrow(scope_->submission_df);
    py::Ref joined = join_one(acc, before_.get(), answer);
    if (!joined) return false;
    py::assign(&scope_->submission_df, joined.get());
    after_ = joined.get();
    return !acc || remember_shape(acc, after_);
}

Joining::~Joining() {
    if (committed_ || (!queued_ && !after_ && !stacked_)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Accumulation* acc = accumulation_of(scope_);
    if (acc && stacked_ && acc->stacked.answers() == stacked_) {
        acc->stacked.pop();
        ++acc->generation;
    }
    if (acc && queued_) {
        for (std::size_t i = acc->waiting.size(); i-- > 0;) {
            if (acc->waiting[i].frame == queued_ && acc->waiting[i].level == 0) {
                PyObject* frame = acc->waiting[i].frame;
                acc->waiting.erase(acc->waiting.begin() + static_cast<std::ptrdiff_t>(i));
                ++acc->generation;
                Py_DECREF(frame);
                break;
            }
        }
    }
    if (after_ && scope_->submission_df == after_) {
        py::assign(&scope_->submission_df, before_.get());
        if (acc) forget_shape(acc);
    }
    PyErr_Restore(type, value, tb);
}

} // namespace competition
