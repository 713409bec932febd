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
// How the groups are found is the walk's business (walk.hpp). Whether the faster ways may be
// taken at all is decided once, at the first advance, by what pandas is (pandas_api.hpp): where
// they may not, the groups come from the literal walk and each answer is appended as it comes.
#include "loop/accumulate.hpp"
#include "loop/generator.hpp"
#include "loop/pandas_api.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace {

const char kReminder[] = "ERROR: You must call `predict()` successfully before you can continue with `iter_test()`.";

// Serves the next group, or sets DONE and returns null when there is none.
PyObject* next_group(Gen* g) {
    Scope* scope = as_scope(g->scope.get());
    py::Ref key, test_group_df;
    if (!g->walk || !g->walk->next_group(&key, &test_group_df)) {
        set_state(scope, names::DONE);
        return nullptr;
    }
    py::assign(&scope->active_key_value, key.get());
    py::Ref sample_submission_df = py::Ref::borrow(g->sample_submission_df.get());
    py::Ref sample = g->walk->sample_frame(sample_submission_df.get(), key.get());
    py::assign(&scope->active_sample_prediction_df, sample.get());
    set_state(scope, names::AWAITING_PREDICT);
    return py::tuple(test_group_df, sample).release();
}

// submission_df = pd.DataFrame(); then the run's pandas probed, and where its fast paths are
// allowed an accumulation of the run's own. Without one, predict() joins each answer at once:
// the literal append.
pandas_api::Facts reset_submission(Scope* scope) {
    py::Ref empty = global(scope, names::pd).attr(loop_names::DataFrame).call();
    py::assign(&scope->submission_df, empty.get());
    const pandas_api::Facts facts = pandas_api::Facts::probe();
    if (facts.fast_paths())
        accumulation_reset(scope);
    else
        scope->accumulation.reset();
    return facts;
}

// self.__read_csv(file_name), looked up when it is called
py::Ref read_input(py::Handle self, const char* file_name) {
    return self.attr(names::mangled_read_csv).call(py::str(file_name));
}

// The indexed walk where pandas allows the fast paths and the frames are eligible for it, else
// the literal walk.
std::unique_ptr<Walk> walk_for(PyObject* test_df, PyObject* sample_submission_df, const pandas_api::Facts& facts) {
    std::unique_ptr<Walk> walk;
    if (facts.fast_paths()) fast_path([&] { walk = indexed_walk(test_df, sample_submission_df, facts); });
    if (!walk) walk = literal_walk(test_df);
    return walk;
}

} // namespace

PyObject* body_first_advance(Gen* g) {
    Scope* scope = as_scope(g->scope.get());
    loop_names::ready();
    if (state_compare(scope, names::INIT, Py_NE)) refuse(g->self, "You can only iterate over `iter_test()` once.");
    const pandas_api::Facts facts = reset_submission(scope);
    py::Ref sample = read_input(g->self, "sample_submission.csv");
    py::assign(&g->sample_submission_df, sample.get());
    py::Ref test = read_input(g->self, "test.csv");
    py::assign(&g->test_df, test.get());
    g->walk = walk_for(test.get(), sample.get(), facts);
    return next_group(g);
}

PyObject* body_resume(Gen* g) {
    Scope* scope = as_scope(g->scope.get());
    if (state_compare(scope, names::MADE_PREDICTION, Py_NE)) {
        print(scope, py::str(kReminder).get());
        return py::none();
    }
    return next_group(g);
}

void body_release(Gen* g) {
    g->sample_submission_df.reset();
    g->test_df.reset();
    g->walk.reset();
}

int body_traverse(Gen* g, visitproc visit, void* arg) {
    Py_VISIT(g->sample_submission_df.get());
    Py_VISIT(g->test_df.get());
    return g->walk ? g->walk->traverse(visit, arg) : 0;
}

} // namespace competition
