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
int is_dataframe(const Scope* scope, PyObject* obj) {
    py::Ref isinstance = lookup_global(scope, names::isinstance);
    if (!isinstance) return -1;
    py::Ref pd = lookup_global(scope, names::pd);
    if (!pd) return -1;
    py::Ref DataFrame = py::unchecked::getattr(pd.get(), loop_names::DataFrame);
    if (!DataFrame) return -1;
    if (isinstance.get() == g.builtin_isinstance) return PyObject_IsInstance(obj, DataFrame.get());
    py::Ref r = py::unchecked::call(isinstance.get(), obj, DataFrame.get());
    return r ? PyObject_IsTrue(r.get()) : -1;
}

const char kColumnsMessage[] = "Columns in predictions_df do not match expected: [%s]";

} // namespace

PyObject* predict_impl(Function* f, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* predictions_df = args[1];
    Scope* scope = as_scope(f->scope);
    loop_names::ready();

    int done = state_is(scope, names::DONE, Py_EQ);
    if (done < 0) return nullptr;
    if (done && !refuse_unchecked(self, "You have already made predictions for the full test set. Call "
                              "`write_submission_file()` if you want to submit your predictions."))
        return nullptr;
    int not_awaiting = state_is(scope, names::AWAITING_PREDICT, Py_NE);
    if (not_awaiting < 0) return nullptr;
    if (not_awaiting && !refuse_unchecked(self, "You must get the next test sample from `iter_test()` first."))
        return nullptr;
    int frame = is_dataframe(scope, predictions_df);
    if (frame < 0) return nullptr;
    if (!frame && !refuse_unchecked(self, "You must provide a DataFrame.")) return nullptr;

    // predictions_df.columns.equals(active_sample_prediction_df.columns), in that order
    py::Ref expected;
    {
        py::Ref given = py::unchecked::getattr(predictions_df, loop_names::columns);
        if (!given) return nullptr;
        py::Ref equals = py::unchecked::getattr(given.get(), loop_names::equals);
        if (!equals) return nullptr;
        py::Ref sample = py::Ref::borrow(scope->active_sample_prediction_df);
        expected = py::unchecked::getattr(sample.get(), loop_names::columns);
        if (!expected) return nullptr;
        py::Ref eq = py::unchecked::call(equals.get(), expected.get());
        if (!eq) return nullptr;
        int match = PyObject_IsTrue(eq.get());
        if (match < 0) return nullptr;
        if (!match) {
            py::Ref format = py::Ref::steal(PyUnicode_FromString(kColumnsMessage));
            if (!format) return nullptr;
            // the message reads the sample frame's columns again, as the check does
            py::Ref again = py::Ref::borrow(scope->active_sample_prediction_df);
            py::Ref shown = py::unchecked::getattr(again.get(), loop_names::columns);
            if (!shown) return nullptr;
            py::Ref msg = py::Ref::steal(PyUnicode_Format(format.get(), shown.get()));
            if (!msg || !refuse_unchecked(self, msg.get())) return nullptr;
        }
    }

    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    py::Ref key = py::Ref::borrow(scope->active_key_value);
    if (!py::unchecked::call_method(predictions_df, loop_names::insert, zero.get(), loop_names::PlayId, key.get()))
        return nullptr;
    py::Ref copy = py::unchecked::call_method(predictions_df, loop_names::copy);
    if (!copy) return nullptr;
    // The answer is taken and the state moved on together: a predict that fails changes
    // neither (the caller's frame keeps the PlayId column, as the literal steps leave it).
    Joining joining(scope);
    if (!joining.join(predictions_df, copy.get(), expected.get())) return nullptr;
    if (!set_state_unchecked(scope, names::MADE_PREDICTION)) return nullptr;
    joining.commit();
    Py_RETURN_NONE;
}

} // namespace competition
