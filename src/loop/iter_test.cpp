// The body of the generator that iter_test() returns:
//
//     def iter_test(self):
//         if Competition._state != State.INIT:
//             self.__error("You can only iterate over `iter_test()` once.")
//         submission_df = pd.DataFrame()
//         sample_submission_df = self.__read_csv("sample_submission.csv")
//         test_df = self.__read_csv("test.csv")
//         grouped = test_df.sort_values(by=['PlayId']).groupby('PlayId')
//         for (key_value, test_group_df) in grouped:
//             test_group_df = test_group_df.sort_index()
//             active_key_value = key_value
//             active_sample_prediction_df = sample_submission_df[
//                 sample_submission_df['PlayId'] == active_key_value].drop(columns=['PlayId'])
//             Competition._state = State.AWAITING_PREDICT
//             yield (test_group_df, active_sample_prediction_df)
//             while Competition._state != State.MADE_PREDICTION:
//                 print("ERROR: You must call `predict()` successfully before you can "
//                       "continue with `iter_test()`.")
//                 yield None
//         Competition._state = State.DONE
//
// How the groups are found is the walk's business (walk.hpp).
#include "loop/accumulate.hpp"
#include "loop/generator.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace {

const char kReminder[] =
    "ERROR: You must call `predict()` successfully before you can continue with `iter_test()`.";

// Serves the next group, or sets DONE and returns null with no error when there is none.
PyObject* next_group(Gen* g) {
    Scope* scope = as_scope(g->scope);
    py::Ref key, test_group_df;
    if (!g->walk || !g->walk->next_group(&key, &test_group_df)) {
        if (PyErr_Occurred()) return nullptr;
        set_state_unchecked(scope, names::DONE);
        return nullptr;
    }
    py::assign(&scope->active_key_value, key.get());
    py::Ref sample_submission_df = py::Ref::borrow(g->sample_submission_df);
    py::Ref sample = g->walk->sample_frame(sample_submission_df.get(), key.get());
    if (!sample) return nullptr;
    py::assign(&scope->active_sample_prediction_df, sample.get());
    if (!set_state_unchecked(scope, names::AWAITING_PREDICT)) return nullptr;
    return PyTuple_Pack(2, test_group_df.get(), sample.get());
}

bool reset_submission(Scope* scope) {
    py::Ref pd = lookup_global(scope, names::pd);
    py::Ref DataFrame = pd ? py::unchecked::getattr(pd.get(), loop_names::DataFrame) : py::Ref();
    py::Ref empty = DataFrame ? py::unchecked::call(DataFrame.get()) : py::Ref();
    if (!empty) return false;
    py::assign(&scope->submission_df, empty.get());
    return accumulation_reset(scope);
}

// self.__read_csv(file_name), looked up when it is called
py::Ref read_input(PyObject* self, const char* file_name) {
    py::Ref read = py::unchecked::getattr(self, names::mangled_read_csv);
    py::Ref name = read ? py::Ref::steal(PyUnicode_FromString(file_name)) : py::Ref();
    return name ? py::unchecked::call(read.get(), name.get()) : py::Ref();
}

Walk* walk_for(PyObject* test_df, PyObject* sample_submission_df) {
    Walk* walk = indexed_walk(test_df, sample_submission_df);
    if (walk || PyErr_Occurred()) return walk;
    return literal_walk(test_df);
}

} // namespace

PyObject* body_first_advance(Gen* g) {
    Scope* scope = as_scope(g->scope);
    loop_names::ready();
    int claimed_by_other = state_is(scope, names::INIT, Py_NE);
    if (claimed_by_other < 0) return nullptr;
    if (claimed_by_other && !refuse_unchecked(g->self, "You can only iterate over `iter_test()` once."))
        return nullptr;
    if (!reset_submission(scope)) return nullptr;
    py::Ref sample = read_input(g->self, "sample_submission.csv");
    if (!sample) return nullptr;
    py::assign(&g->sample_submission_df, sample.get());
    py::Ref test = read_input(g->self, "test.csv");
    if (!test) return nullptr;
    py::assign(&g->test_df, test.get());
    g->walk = walk_for(test.get(), sample.get());
    if (!g->walk) return nullptr;
    return next_group(g);
}

PyObject* body_resume(Gen* g) {
    Scope* scope = as_scope(g->scope);
    int unanswered = state_is(scope, names::MADE_PREDICTION, Py_NE);
    if (unanswered < 0) return nullptr;
    if (unanswered) {
        py::Ref line = py::Ref::steal(PyUnicode_FromString(kReminder));
        if (!line || !print_line(scope, line.get())) return nullptr;
        return py::none();
    }
    return next_group(g);
}

void body_release(Gen* g) {
    Py_CLEAR(g->sample_submission_df);
    Py_CLEAR(g->test_df);
    Walk* walk = g->walk;
    g->walk = nullptr;
    delete walk;
}

int body_traverse(Gen* g, visitproc visit, void* arg) {
    Py_VISIT(g->sample_submission_df);
    Py_VISIT(g->test_df);
    return g->walk ? g->walk->traverse(visit, arg) : 0;
}

} // namespace competition
