// The literal walk over the test set, step by step:
//
//     grouped = test_df.sort_values(by=['PlayId']).groupby('PlayId')
//     for (key_value, test_group_df) in grouped:
//         test_group_df = test_group_df.sort_index()
//         ...
//         active_sample_prediction_df = sample_submission_df[
//             sample_submission_df['PlayId'] == active_key_value].drop(columns=['PlayId'])
#include "loop/walk.hpp"

#include <utility>

#include "loop/support.hpp"

namespace competition {

namespace {

// next(it), or null when it is exhausted.
py::Ref next_item(PyObject* it) {
    PyObject* item = PyIter_Next(it);
    if (!item && PyErr_Occurred()) throw py::Error();
    return py::Ref::steal(item);
}

// Unpacks an item into exactly two values, as `for (a, b) in ...` does.
void unpack_pair(PyObject* item, py::Ref* first, py::Ref* second) {
    PyObject* it = PyObject_GetIter(item);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        throw py::Error();
    }
    py::Ref values = py::Ref::steal(it);
    py::Ref* slots[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = next_item(values.get());
        if (!*slots[i]) py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    }
    if (next_item(values.get())) py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

class LiteralWalk final : public Walk {
public:
    explicit LiteralWalk(py::Ref grouped_iter) : grouped_iter_(std::move(grouped_iter)) {}
    ~LiteralWalk() override { clear(); }

    bool next_group(py::Ref* key, py::Ref* test_group_df) override {
        if (!grouped_iter_) return false;
        py::Ref iter = py::Ref::borrow(grouped_iter_.get());
        py::Ref item = next_item(iter.get());
        if (!item) return false;
        py::Ref group;
        unpack_pair(item.get(), key, &group);
        *test_group_df = group.method(loop_names::sort_index);
        return true;
    }

    py::Ref sample_frame(PyObject* sample_submission_df, PyObject* key) override {
        return literal_sample_frame(sample_submission_df, key);
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(grouped_iter_.get());
        return 0;
    }
    void clear() override { grouped_iter_.reset(); }

private:
    py::Ref grouped_iter_;  // iterator over the group-by object
};

} // namespace

py::Ref literal_sample_frame(PyObject* sample_submission_df, PyObject* key) {
    py::Ref column = py::Handle(sample_submission_df).item(loop_names::PlayId);
    py::Ref mask = py::take(PyObject_RichCompare(column.get(), key, Py_EQ));
    py::Ref rows = py::Handle(sample_submission_df).item(mask.get());
    return rows.method(loop_names::drop, {}, {{loop_names::columns, playid_list()}});
}

std::unique_ptr<Walk> literal_walk(PyObject* test_df) {
    py::Ref sorted = py::Handle(test_df).method(loop_names::sort_values, {}, {{loop_names::by, playid_list()}});
    py::Ref grouped = sorted.method(loop_names::groupby, loop_names::PlayId);
    return std::make_unique<LiteralWalk>(py::take(PyObject_GetIter(grouped.get())));
}

} // namespace competition
