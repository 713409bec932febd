// predict():
//
//     def predict(self, predictions_df):
//         if Competition._state == State.DONE:
//             self.__error("You have already made predictions for the full test set. Call "
//                          "`write_submission_file()` if you want to submit your predictions.")
//         if Competition._state != State.AWAITING_PREDICT:
//             self.__error("You must get the next test sample from `iter_test()` first.")
//         if not isinstance(predictions_df, pd.DataFrame):
//             self.__error("You must provide a DataFrame.")
//         if not predictions_df.columns.equals(active_sample_prediction_df.columns):
//             self.__error("Columns in predictions_df do not match expected: [%s]"
//                          % active_sample_prediction_df.columns)
//         predictions_df.insert(0, "PlayId", active_key_value)
//         submission_df = submission_df.append(predictions_df.copy())
//         Competition._state = State.MADE_PREDICTION
//
// How the copy joins the accumulated predictions is accumulate.hpp's business.
#include "loop/accumulate.hpp"
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace {

// isinstance(obj, pd.DataFrame), through the names as they are bound now.
bool is_dataframe(const Scope* scope, PyObject* obj) {
    py::Ref isinstance = global(scope, names::isinstance);
    py::Ref DataFrame = global(scope, names::pd).attr(loop_names::DataFrame);
    if (isinstance.get() == process.builtin_isinstance)
        return py::check(PyObject_IsInstance(obj, DataFrame.get())) != 0;
    return isinstance.call(obj, DataFrame).is_true();
}

// The column check, in the order the expression reads: predictions_df.columns.equals, then
// active_sample_prediction_df.columns, then the call.
void check_columns(Scope* scope, PyObject* self, PyObject* predictions_df) {
    py::Ref equals = py::Handle(predictions_df).attr(loop_names::columns).attr(loop_names::equals);
    py::Ref expected = py::Ref::borrow(scope->active_sample_prediction_df.get()).attr(loop_names::columns);
    if (!equals.call(expected).is_true()) {
        // the message reads the sample frame's columns again, as the check does
        py::Ref shown = py::Ref::borrow(scope->active_sample_prediction_df.get()).attr(loop_names::columns);
        py::Ref format = py::str("Columns in predictions_df do not match expected: [%s]");
        refuse(self, py::take(PyUnicode_Format(format.get(), shown.get())).get());
    }
}

} // namespace

PyObject* predict_impl(Function* f, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* predictions_df = args[1];
    Scope* scope = as_scope(f->scope.get());
    loop_names::ready();

    if (state_compare(scope, names::DONE, Py_EQ))
        refuse(self,
               "You have already made predictions for the full test set. Call "
               "`write_submission_file()` if you want to submit your predictions.");
    if (state_compare(scope, names::AWAITING_PREDICT, Py_NE))
        refuse(self, "You must get the next test sample from `iter_test()` first.");
    if (!is_dataframe(scope, predictions_df)) refuse(self, "You must provide a DataFrame.");
    check_columns(scope, self, predictions_df);

    const py::Handle frame = predictions_df;
    py::Ref zero = py::take(PyLong_FromLong(0));
    py::Ref key = py::Ref::borrow(scope->active_key_value.get());
    frame.method(loop_names::insert, zero, loop_names::PlayId, key);
    py::Ref copy_method = frame.attr(loop_names::copy);
    // The answer is taken and the state moved on together: a predict that fails changes
    // neither (the caller's frame keeps the PlayId column, as the literal steps leave it).
    Joining joining(scope);
    if (!joining.stack_copy_of(predictions_df, copy_method.get())) {
        py::Ref copy = copy_method.call();
        joining.join(predictions_df, copy_method.get(), copy.get());
    }
    set_state(scope, names::MADE_PREDICTION);
    joining.commit();
    return py::none();
}

} // namespace competition
