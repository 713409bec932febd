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
#include "loop/support.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

PyObject* write_submission_file_impl(Function* f, PyObject* const* args) {
    loop_names::ready();
    py::Handle self = args[0];
    Scope* scope = as_scope(f->scope.get());
    if (state_compare(scope, names::DONE, Py_NE)) refuse(self, "You must first complete the `iter_test()` loop.");
    accumulation_flush(scope);
    py::Ref submission_df = py::Ref::borrow(scope->submission_df.get());
    py::Ref path = py::str("/vantor/working/submission.csv");
    submission_df.method(loop_names::to_csv, {path}, {{loop_names::index, Py_False}});
    print(scope, py::str("Your submission file has been saved!  Once you `Commit` your Notebook and it finishes "
                         "running, you can submit the file to the competition from the Notebook Viewer "
                         "`Output` tab.")
                     .get());
    return py::none();
}

} // namespace competition
