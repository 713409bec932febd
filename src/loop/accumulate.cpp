#include "loop/accumulate.hpp"

#include "module/globals.hpp"

namespace competition {

namespace {

// pandas.concat, from the pandas the module works with (not the participant's `pd`).
py::Ref concat_function() {
    py::Ref pd = py::Ref::steal(PyImport_ImportModule("pandas"));
    return pd ? py::getattr(pd.get(), names::concat) : py::Ref();
}

// A frame's dtypes as a list, for comparison: from its block manager where pandas has one
// (the dtypes Series costs more than the rest of the check), else from DataFrame.dtypes.
py::Ref dtype_list(PyObject* frame) {
    py::Ref mgr = py::Ref::steal(PyObject_GetAttrString(frame, "_mgr"));
    if (mgr) {
        py::Ref get_dtypes = py::Ref::steal(PyObject_GetAttrString(mgr.get(), "get_dtypes"));
        if (get_dtypes) {
            py::Ref dtypes = py::call(get_dtypes.get());
            if (!dtypes) return py::Ref();
            return py::call_method(dtypes.get(), names::tolist);
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
    PyErr_Clear();
    py::Ref dtypes = py::getattr(frame, names::dtypes);
    if (!dtypes) return py::Ref();
    return py::call_method(dtypes.get(), names::tolist);
}

// accumulated.append(answer), or the concat to the same effect where pandas has no append.
py::Ref join_one(PyObject* accumulated, PyObject* answer) {
    py::Ref append = py::Ref::steal(PyObject_GetAttr(accumulated, names::append));
    if (append) return py::call(append.get(), answer);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
    PyErr_Clear();
    py::Ref concat = concat_function();
    py::Ref frames = py::Ref::steal(Py_BuildValue("[OO]", accumulated, answer));
    if (!concat || !frames) return py::Ref();
    return py::call(concat.get(), frames.get());
}

// Equal lists of dtypes, pair by pair. Dtypes of different kinds are simply unequal (some
// numpy releases raise when asked to compare them).
int same_dtypes(PyObject* a, PyObject* b) {
    if (!PyList_Check(a) || !PyList_Check(b) || PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); ++i) {
        PyObject* x = PyList_GET_ITEM(a, i);
        PyObject* y = PyList_GET_ITEM(b, i);
        if (x == y) continue;
        if (Py_TYPE(x) != Py_TYPE(y)) return 0;
        int eq = PyObject_RichCompareBool(x, y, Py_EQ);
        if (eq < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            PyErr_Clear();
            return 0;
        }
        if (!eq) return 0;
    }
    return 1;
}

// Is the answer shaped like the accumulated frame: equal columns, equal dtypes? The answer's
// columns are PlayId followed by columns equal to sample_columns, so when sample_columns is
// the very index that matched before, they match again.
int same_shape(Scope* scope, PyObject* answer, PyObject* sample_columns) {
    if (!scope->acc_columns || !scope->acc_dtypes) return 0;
    py::Ref acc_columns = py::Ref::borrow(scope->acc_columns);
    py::Ref acc_dtypes = py::Ref::borrow(scope->acc_dtypes);
    if (sample_columns != scope->acc_sample_columns) {
        py::Ref columns = py::getattr(answer, names::columns);
        if (!columns) return -1;
        py::Ref eq = py::call_method(columns.get(), names::equals, acc_columns.get());
        if (!eq) return -1;
        int truth = PyObject_IsTrue(eq.get());
        if (truth <= 0) return truth;
        py::assign(&scope->acc_sample_columns, sample_columns);
    }
    py::Ref dtypes = dtype_list(answer);
    if (!dtypes) return -1;
    return same_dtypes(dtypes.get(), acc_dtypes.get());
}

bool remember_shape(Scope* scope) {
    py::Ref accumulated = py::Ref::borrow(scope->submission_df);
    py::Ref columns = py::getattr(accumulated.get(), names::columns);
    if (!columns) return false;
    py::Ref dtypes = dtype_list(accumulated.get());
    if (!dtypes) return false;
    py::assign(&scope->acc_columns, columns.get());
    py::assign(&scope->acc_dtypes, dtypes.get());
    // The joined columns may hold more than the answer's: the next answer is checked in full.
    Py_CLEAR(scope->acc_sample_columns);
    return true;
}

} // namespace

bool flush(Scope* scope) {
    if (!scope->pending || PyList_GET_SIZE(scope->pending) == 0) return true;
    py::Ref concat = concat_function();
    if (!concat) return false;
    // Take the pending answers over: answers accepted meanwhile start a new list.
    py::Ref pending = py::Ref::steal(scope->pending);
    scope->pending = nullptr;
    Py_ssize_t n = PyList_GET_SIZE(pending.get());
    py::Ref frames = py::Ref::steal(PyList_New(n + 1));
    py::Ref joined;
    if (frames) {
        PyList_SET_ITEM(frames.get(), 0, py::new_ref(scope->submission_df));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(frames.get(), i + 1, py::new_ref(PyList_GET_ITEM(pending.get(), i)));
        joined = py::call(concat.get(), frames.get());
    }
    if (!joined) {
        // Nothing is lost: the answers go back in front of any accepted meanwhile.
        if (!scope->pending) {
            scope->pending = pending.release();
        } else {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyList_SetSlice(scope->pending, 0, 0, pending.get());
            PyErr_Restore(type, value, tb);
        }
        return false;
    }
    py::assign(&scope->submission_df, joined.get());
    for (Py_ssize_t& n : scope->pending_levels) n = 0;
    return true;
}

bool compact(Scope* scope) {
    constexpr Py_ssize_t kFanIn = 8;
    constexpr int kLevels = sizeof scope->pending_levels / sizeof scope->pending_levels[0];
    for (int level = 0; level + 1 < kLevels && scope->pending_levels[level] >= kFanIn; ++level) {
        py::Ref pending = py::Ref::borrow(scope->pending);
        Py_ssize_t n = pending ? PyList_GET_SIZE(pending.get()) : 0;
        if (n < kFanIn) break;
        py::Ref run = py::Ref::steal(PyList_GetSlice(pending.get(), n - kFanIn, n));
        py::Ref concat = run ? concat_function() : py::Ref();
        py::Ref merged = concat ? py::call(concat.get(), run.get()) : py::Ref();
        py::Ref one = merged ? py::Ref::steal(Py_BuildValue("[O]", merged.get())) : py::Ref();
        if (!one) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
            return true;
        }
        // Only when nothing changed the list meanwhile.
        if (scope->pending != pending.get() || PyList_GET_SIZE(pending.get()) != n) break;
        if (PyList_SetSlice(pending.get(), n - kFanIn, n, one.get()) < 0) return false;
        scope->pending_levels[level] -= kFanIn;
        scope->pending_levels[level + 1] += 1;
    }
    return true;
}

void reset_accumulation(Scope* scope) {
    Py_CLEAR(scope->pending);
    Py_CLEAR(scope->acc_columns);
    Py_CLEAR(scope->acc_dtypes);
    Py_CLEAR(scope->acc_sample_columns);
    for (Py_ssize_t& n : scope->pending_levels) n = 0;
}

bool accumulate(Scope* scope, PyObject* answer, PyObject* sample_columns) {
    int same = same_shape(scope, answer, sample_columns);
    if (same < 0) return false;
    if (same) {
        if (!scope->pending && !(scope->pending = PyList_New(0))) return false;
        if (PyList_Append(scope->pending, answer) < 0) return false;
        scope->pending_levels[0] += 1;
        return true;
    }
    if (!flush(scope)) return false;
    py::Ref accumulated = py::Ref::borrow(scope->submission_df);
    py::Ref joined = join_one(accumulated.get(), answer);
    if (!joined) return false;
    py::assign(&scope->submission_df, joined.get());
    return remember_shape(scope);
}

} // namespace competition
