// make_env() and the environment it builds, with the two methods of Competition that are the
// module's own:
//
//     def make_env():
//         if make_env.__called__:
//             raise Exception("You can only call `make_env()` once.") from None
//         class State(enum.Enum):
//             INIT = enum.auto(); AWAITING_PREDICT = enum.auto()
//             MADE_PREDICTION = enum.auto(); DONE = enum.auto()
//         class Competition:
//             """Class supporting a timeseries-based ..."""
//             _state = State.INIT
//             def iter_test(self): ...              # loop/generator_body.cpp
//             def predict(self, predictions_df): ...  # loop/predict.cpp
//             def write_submission_file(self): ...  # loop/write_submission.cpp
//             def __error(self, msg):
//                 raise Exception(msg) from None
//             def __read_csv(self, file_name): ...  # input/read_csv.cpp
//             def __dir__(self):
//                 return ["__dir__", "__doc__", "iter_test", "predict", "write_submission_file"]
//         make_env.__called__ = True
//         return Competition()
//
// The class statements are replayed as the interpreter runs them (__prepare__, the namespace,
// the metaclass call); the run variables the methods share live in a scope object (scope.hpp).
#include "module/competition.hpp"

#include "module/globals.hpp"
#include "module/methods.hpp"

namespace competition {

namespace {

const char kCompetitionDoc[] =
    "Class supporting a timeseries-based Vantor Competition.\n"
    "        \n"
    "        Loop thru the generator provided by `iter_test()` to get samples from the\n"
    "        test set and call `predict()` once to make your prediction of the target\n"
    "        variable(s) for that sample.  Call `write_submission_file()` once you've\n"
    "        completed the loop.\n"
    "        ";

const char kIterTestDoc[] =
    "Generator providing test features for each 'sample' in the test set.\n"
    "\n"
    "            Raises exception if another `next()` is invoked before you've successfully\n"
    "            called `predict()` on your existing sample.\n"
    "\n"
    "            Each value provided will be a tuple of the form `(test_df, sample_prediction_df)`.\n"
    "            - `test_df` is a DataFrame with new 'observations'.  Your job is to supply\n"
    "              a prediction for the target variable(s) given these 'observations'.\n"
    "            - `sample_prediction_df` is a DataFrame indicating the format your predictions\n"
    "              should have.  You should pass a DataFrame with this same format (but your\n"
    "              own values) to `predict()` to make a prediction.\n"
    "            ";

const char kPredictDoc[] =
    "Stores the participant's predictions for the current step in `iter_test()`.\n"
    "\n"
    "            Raises Exception if not called after a successful iteration on the `iter_test()` generator.\n"
    "\n"
    "            `prediction_df` arg should have same format as `sample_predictions_df` yielded from `iter_test()`.\n"
    "            ";

const char kWriteDoc[] =
    "Writes all your predictions to the appropriate CSV file.\n"
    "\n"
    "            Raises exception if called before completing the full `iter_test()` loop.\n"
    "            ";

#define COMPETITION_QUAL "make_env.<locals>.Competition."

PyObject* make_env_impl(Function* f, PyObject* const* args);
PyObject* error_impl(Function* f, PyObject* const* args);
PyObject* dir_impl(Function* f, PyObject* const* args);

const FunctionInfo kMakeEnv = {"make_env", "make_env", 0, {nullptr, nullptr}, nullptr, "()", make_env_impl};

struct MethodEntry {
    PyObject** key;  // the name in the class namespace
    FunctionInfo info;
    bool scoped;     // refers to the make_env scope
};

const MethodEntry kMethods[] = {
    {&names::iter_test,
     {"iter_test", COMPETITION_QUAL "iter_test", 1, {"self", nullptr}, kIterTestDoc, "(self)", iter_test_impl},
     true},
    {&names::predict,
     {"predict",
      COMPETITION_QUAL "predict",
      2,
      {"self", "predictions_df"},
      kPredictDoc,
      "(self, predictions_df)",
      predict_impl},
     true},
    {&names::write_submission_file,
     {"write_submission_file",
      COMPETITION_QUAL "write_submission_file",
      1,
      {"self", nullptr},
      kWriteDoc,
      "(self)",
      write_submission_file_impl},
     true},
    {&names::mangled_error,
     {"__error", COMPETITION_QUAL "__error", 2, {"self", "msg"}, nullptr, "(self, msg)", error_impl},
     false},
    {&names::mangled_read_csv,
     {"__read_csv",
      COMPETITION_QUAL "__read_csv",
      2,
      {"self", "file_name"},
      nullptr,
      "(self, file_name)",
      read_csv_impl},
     false},
    {&names::dunder_dir,
     {"__dir__", COMPETITION_QUAL "__dir__", 1, {"self", nullptr}, nullptr, "(self)", dir_impl},
     false},
};

PyObject** const kMembers[] = {&names::INIT, &names::AWAITING_PREDICT, &names::MADE_PREDICTION, &names::DONE};

// The namespace a class statement starts from: the metaclass's __prepare__(name, bases), or a
// dict where the metaclass has none.
py::Ref prepare_namespace(py::Handle meta, PyObject* name, PyObject* bases) {
    py::Ref prepare = meta.optional_attr(names::dunder_prepare);
    if (!prepare) return py::take(PyDict_New());
    py::Ref ns = prepare.call(name, bases);
    if (!PyMapping_Check(ns.get()))
        py::raise_format(
            PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
            PyType_Check(meta.get()) ? reinterpret_cast<PyTypeObject*>(meta.get())->tp_name : "<metaclass>",
            Py_TYPE(ns.get())->tp_name);
    return ns;
}

// class State(enum.Enum):
//     INIT = enum.auto()
//     AWAITING_PREDICT = enum.auto()
//     MADE_PREDICTION = enum.auto()
//     DONE = enum.auto()
// built as the class statement builds it: `enum` is read as a global for each member.
py::Ref build_state(PyObject* home) {
    py::Ref Enum = global(home, names::enum_).attr(names::Enum);
    py::Ref bases = py::tuple(Enum);
    py::Handle meta = reinterpret_cast<PyObject*>(Py_TYPE(Enum.get()));
    py::Ref ns = prepare_namespace(meta, names::State, bases.get());
    ns.set_item(names::dunder_module, names::competition);
    ns.set_item(names::dunder_qualname, names::qualname_State);
    for (PyObject** member : kMembers) ns.set_item(*member, global(home, names::enum_).attr(names::auto_).call().get());
    return meta.call(names::State, bases, ns);
}

// class Competition: ... built by calling type(name, (), namespace).
py::Ref build_competition(PyObject* scope, py::Handle State, PyObject* home) {
    py::Ref ns = py::take(PyDict_New());
    ns.set_item(names::dunder_module, names::competition);
    ns.set_item(names::dunder_qualname, names::qualname_Competition);
    ns.set_item(names::dunder_doc, py::str(kCompetitionDoc).get());
    ns.set_item(names::_state, State.attr(names::INIT).get());
    for (const MethodEntry& m : kMethods)
        ns.set_item(*m.key, function_new(&m.info, m.scoped ? scope : nullptr, home).get());
    py::Ref bases = py::take(PyTuple_New(0));
    py::Handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    return type.call(names::Competition, bases, ns);
}

// make_env(), whose guard is read through the global name as it is bound now:
//
//     def make_env():
//         if make_env.__called__:
//             raise Exception("You can only call `make_env()` once.")
//         class State(enum.Enum): ...
//         class Competition: ...
//         make_env.__called__ = True
//         return Competition()
PyObject* make_env_impl(Function* f, PyObject* const*) {
    py::Ref home = py::Ref::borrow(f->home.get());
    if (global(home.get(), names::make_env).attr(names::dunder_called).is_true())
        raise_plain("You can only call `make_env()` once.");
    py::Ref scope = scope_new(home.get());
    Scope* s = as_scope(scope.get());
    py::Ref State = build_state(home.get());
    s->State = py::Ref::borrow(State.get());
    py::Ref Competition = build_competition(scope.get(), State, home.get());
    s->Competition = py::Ref::borrow(Competition.get());
    global(home.get(), names::make_env).set_attr(names::dunder_called, Py_True);
    return Competition.call().release();
}

PyObject* error_impl(Function*, PyObject* const* args) { raise_plain(args[1]); }

PyObject* dir_impl(Function*, PyObject* const*) {
    PyObject* const listed[] = {names::dunder_dir, names::dunder_doc, names::iter_test, names::predict,
                                names::write_submission_file};
    py::Ref list = py::take(PyList_New(0));
    for (PyObject* name : listed) py::check(PyList_Append(list.get(), name));
    return list.release();
}

} // namespace

void raise_plain(PyObject* msg) {
    py::Ref exc = py::Handle(PyExc_Exception).call(msg);
    // raise ... from None: no cause, and the context is not displayed.
    PyException_SetCause(exc.get(), nullptr);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw py::Error();
}

void raise_plain(const char* msg) { raise_plain(py::str(msg).get()); }

void refuse(py::Handle self, PyObject* msg) { self.attr(names::mangled_error).call(msg); }

void refuse(py::Handle self, const char* msg) { refuse(self, py::str(msg).get()); }

namespace {

// A class variable of the scope read before make_env has bound it: a hook that runs while the
// class is being created (__set_name__, __init_subclass__) can already reach the methods.
// NameError, worded as the interpreter words it for a free variable that has no value yet.
[[noreturn]] void unbound_free_variable(PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000
    py::Ref msg = py::take(PyUnicode_FromFormat(
        "cannot access free variable '%U' where it is not associated with a value in enclosing scope", name));
#else
    py::Ref msg =
        py::take(PyUnicode_FromFormat("free variable '%U' referenced before assignment in enclosing scope", name));
#endif
    py::Ref exc = py::Handle(PyExc_NameError).call(msg);
#if PY_VERSION_HEX >= 0x030A0000
    // From 3.10 the interpreter's NameError carries the name.
    exc.set_attr(names::name, name);
#endif
    PyErr_SetObject(PyExc_NameError, exc.get());
    throw py::Error();
}

// The scope's class Competition and enumeration State, or NameError.
py::Ref scope_competition(Scope* scope) {
    if (!scope->Competition) unbound_free_variable(names::Competition);
    return py::Ref::borrow(scope->Competition.get());
}
py::Ref scope_state_enum(Scope* scope) {
    if (!scope->State) unbound_free_variable(names::State);
    return py::Ref::borrow(scope->State.get());
}

} // namespace

bool state_compare(Scope* scope, PyObject* member_name, int op) {
    py::Ref current = scope_competition(scope).attr(names::_state);
    py::Ref member = scope_state_enum(scope).attr(member_name);
    return py::compare(current.get(), member.get(), op);
}

void set_state(Scope* scope, PyObject* member_name) {
    py::Ref member = scope_state_enum(scope).attr(member_name);
    scope_competition(scope).set_attr(names::_state, member.get());
}

py::Ref make_env_function(PyObject* module) { return function_new(&kMakeEnv, nullptr, module); }

} // namespace competition
