// The literal walk over the test set, step by step:
//
//     grouped = test_df.sort_values(by=['PlayId']).groupby('PlayId')
//     for (key_value, test_group_df) in grouped:
//         test_group_df = test_group_df.sort_index()
//         ...
//         active_sample_prediction_df = sample_submission_df[
//             sample_submission_df['PlayId'] == active_key_value].drop(columns=['PlayId'])
#include "loop/walk.hpp"

#include "loop/support.hpp"
#include "module/globals.hpp"

namespace competition {

namespace {

// The list ['PlayId'], new on every use as the literal steps build it.
py::Ref playid_list() { return py::Ref::steal(Py_BuildValue("[O]", loop_names::PlayId)); }

// callable(**{kwname: kwvalue})
py::Ref call_kw_only(PyObject* callable, PyObject* kwname, PyObject* kwvalue) {
    py::Ref kwnames = py::unchecked::tuple(kwname);
    if (!kwnames) return py::Ref();
    PyObject* args[] = {kwvalue};
    return py::unchecked::call_kw(callable, args, 0, kwnames.get());
}

// Unpacks an item into exactly two values, as `for (a, b) in ...` does.
bool unpack_pair(PyObject* item, py::Ref* first, py::Ref* second) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        return false;
    }
    py::Ref* slots[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = py::Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    py::Ref extra = py::Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

class LiteralWalk final : public Walk {
public:
    explicit LiteralWalk(PyObject* grouped_iter) : grouped_iter_(grouped_iter) {}
    ~LiteralWalk() override { clear(); }

    bool next_group(py::Ref* key, py::Ref* test_group_df) override {
        if (!grouped_iter_) return false;
        py::Ref iter = py::Ref::borrow(grouped_iter_);
        py::Ref item = py::Ref::steal(PyIter_Next(iter.get()));
        if (!item) return false;
        py::Ref group;
        if (!unpack_pair(item.get(), key, &group)) return false;
        *test_group_df = py::unchecked::call_method(group.get(), loop_names::sort_index);
        return bool(*test_group_df);
    }

    py::Ref sample_frame(PyObject* sample_submission_df, PyObject* key) override {
        return literal_sample_frame(sample_submission_df, key);
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(grouped_iter_);
        return 0;
    }
    void clear() override { Py_CLEAR(grouped_iter_); }

private:
    PyObject* grouped_iter_;  // iterator over the group-by object
};

} // namespace

py::Ref literal_sample_frame(PyObject* sample_submission_df, PyObject* key) {
    py::Ref column = py::Ref::steal(PyObject_GetItem(sample_submission_df, loop_names::PlayId));
    if (!column) return py::Ref();
    py::Ref mask = py::Ref::steal(PyObject_RichCompare(column.get(), key, Py_EQ));
    if (!mask) return py::Ref();
    py::Ref rows = py::Ref::steal(PyObject_GetItem(sample_submission_df, mask.get()));
    if (!rows) return py::Ref();
    py::Ref drop = py::unchecked::getattr(rows.get(), loop_names::drop);
    py::Ref label = drop ? playid_list() : py::Ref();
    if (!label) return py::Ref();
    return call_kw_only(drop.get(), loop_names::columns, label.get());
}

Walk* literal_walk(PyObject* test_df) {
    py::Ref sort_values = py::unchecked::getattr(test_df, loop_names::sort_values);
    py::Ref by = sort_values ? playid_list() : py::Ref();
    py::Ref sorted = by ? call_kw_only(sort_values.get(), loop_names::by, by.get()) : py::Ref();
    py::Ref grouped = sorted ? py::unchecked::call_method(sorted.get(), loop_names::groupby, loop_names::PlayId) : py::Ref();
    py::Ref iter = grouped ? py::Ref::steal(PyObject_GetIter(grouped.get())) : py::Ref();
    if (!iter) return nullptr;
    Walk* walk = new LiteralWalk(iter.get());
    iter.release();  // the walk owns it now
    return walk;
}

} // namespace competition
