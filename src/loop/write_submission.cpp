// write_submission_file():
//
//     def write_submission_file(self):
//         if Competition._state != State.DONE:
//             self.__error("You must first complete the `iter_test()` loop.")
//         submission_df.to_csv("/vantor/working/submission.csv", index=False)
//         print("Your submission file has been saved!  Once you `Commit` your Notebook and it "
//               "finishes running, you can submit the file to the competition from the Notebook "
//               "Viewer `Output` tab.")
//
// submission_df is first joined with the answers that wait (accumulate.hpp).
#include "loop/accumulate.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

PyObject* write_submission_file_impl(Function* f, PyObject* const* args) {
    PyObject* self = args[0];
    Scope* scope = as_scope(f->scope);
    int not_done = state_is(scope, names::DONE, Py_NE);
    if (not_done < 0) return nullptr;
    if (not_done && !refuse(self, "You must first complete the `iter_test()` loop.")) return nullptr;
    if (!accumulation_flush(scope)) return nullptr;
    py::Ref path = py::Ref::steal(PyUnicode_FromString("/vantor/working/submission.csv"));
    py::Ref kwnames = py::tuple(names::index);
    if (!path || !kwnames) return nullptr;
    py::Ref submission = py::Ref::borrow(scope->submission_df);
    py::Ref to_csv = py::getattr(submission.get(), names::to_csv);
    if (!to_csv) return nullptr;
    PyObject* call_args[] = {path.get(), Py_False};
    if (!py::call_kw(to_csv.get(), call_args, 1, kwnames.get())) return nullptr;
    py::Ref line = py::Ref::steal(PyUnicode_FromString(
        "Your submission file has been saved!  Once you `Commit` your Notebook and it finishes running, "
        "you can submit the file to the competition from the Notebook Viewer `Output` tab."));
    if (!line || !print_line(scope, line.get())) return nullptr;
    Py_RETURN_NONE;
}

} // namespace competition
