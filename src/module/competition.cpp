// make_env and the environment it builds: the enumeration State, the class Competition.
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

const FunctionInfo kMakeEnv = {"make_env", "make_env", 0, {nullptr, nullptr}, nullptr, "()", make_env_impl};

struct MethodEntry {
    const char* key;  // the name in the class namespace
    FunctionInfo info;
    bool scoped;      // refers to the make_env scope
};

const MethodEntry kMethods[] = {
    {"iter_test", {"iter_test", COMPETITION_QUAL "iter_test", 1, {"self", nullptr}, kIterTestDoc,
                   "(self)", iter_test_impl}, true},
    {"predict", {"predict", COMPETITION_QUAL "predict", 2, {"self", "predictions_df"}, kPredictDoc,
                 "(self, predictions_df)", predict_impl}, true},
    {"write_submission_file", {"write_submission_file", COMPETITION_QUAL "write_submission_file", 1,
                               {"self", nullptr}, kWriteDoc, "(self)", write_submission_file_impl}, true},
    {"_Competition__error", {"__error", COMPETITION_QUAL "__error", 2, {"self", "msg"}, nullptr,
                             "(self, msg)", error_impl}, false},
    {"_Competition__read_csv", {"__read_csv", COMPETITION_QUAL "__read_csv", 2, {"self", "file_name"},
                                nullptr, "(self, file_name)", read_csv_impl}, false},
    {"__dir__", {"__dir__", COMPETITION_QUAL "__dir__", 1, {"self", nullptr}, nullptr, "(self)",
                 dir_impl}, false},
};

PyObject** const kMembers[] = {&names::INIT, &names::AWAITING_PREDICT, &names::MADE_PREDICTION,
                               &names::DONE};

// class State(enum.Enum): INIT = enum.auto(); ... built as the class statement builds it.
py::Ref build_state(PyObject* home) {
    py::Ref enum_mod = lookup_global(home, names::enum_);
    if (!enum_mod) return py::Ref();
    py::Ref Enum = py::getattr(enum_mod.get(), names::Enum);
    if (!Enum) return py::Ref();
    py::Ref bases = py::tuple(Enum.get());
    if (!bases) return py::Ref();
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(Enum.get()));
    py::Ref name = py::Ref::steal(PyUnicode_FromString("State"));
    if (!name) return py::Ref();
    py::Ref ns;
    py::Ref prepare = py::Ref::steal(PyObject_GetAttr(meta, names::prepare));
    if (prepare) {
        ns = py::call(prepare.get(), name.get(), bases.get());
        if (!ns) return py::Ref();
        if (!PyMapping_Check(ns.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
                         Py_TYPE(ns.get())->tp_name);
            return py::Ref();
        }
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Ref();
        PyErr_Clear();
        ns = py::Ref::steal(PyDict_New());
        if (!ns) return py::Ref();
    }
    py::Ref module = py::Ref::steal(PyUnicode_FromString("competition"));
    py::Ref qualname = py::Ref::steal(PyUnicode_FromString("make_env.<locals>.State"));
    if (!module || !qualname) return py::Ref();
    if (PyObject_SetItem(ns.get(), names::module, module.get()) < 0) return py::Ref();
    if (PyObject_SetItem(ns.get(), names::qualname, qualname.get()) < 0) return py::Ref();
    for (PyObject** member : kMembers) {
        py::Ref e = lookup_global(home, names::enum_);
        if (!e) return py::Ref();
        py::Ref auto_ = py::getattr(e.get(), names::auto_);
        if (!auto_) return py::Ref();
        py::Ref value = py::call(auto_.get());
        if (!value) return py::Ref();
        if (PyObject_SetItem(ns.get(), *member, value.get()) < 0) return py::Ref();
    }
    return py::call(meta, name.get(), bases.get(), ns.get());
}

// class Competition: built by calling type(name, (), namespace).
py::Ref build_competition(PyObject* scope, PyObject* State, PyObject* home) {
    py::Ref ns = py::Ref::steal(PyDict_New());
    if (!ns) return py::Ref();
    py::Ref module = py::Ref::steal(PyUnicode_FromString("competition"));
    py::Ref qualname = py::Ref::steal(PyUnicode_FromString("make_env.<locals>.Competition"));
    py::Ref doc = py::Ref::steal(PyUnicode_FromString(kCompetitionDoc));
    if (!module || !qualname || !doc) return py::Ref();
    if (PyDict_SetItem(ns.get(), names::module, module.get()) < 0 ||
        PyDict_SetItem(ns.get(), names::qualname, qualname.get()) < 0 ||
        PyDict_SetItem(ns.get(), names::doc, doc.get()) < 0)
        return py::Ref();
    py::Ref init = py::getattr(State, names::INIT);
    if (!init || PyDict_SetItem(ns.get(), names::state, init.get()) < 0) return py::Ref();
    for (const MethodEntry& m : kMethods) {
        py::Ref fn = function_new(&m.info, m.scoped ? scope : nullptr, home);
        if (!fn || PyDict_SetItemString(ns.get(), m.key, fn.get()) < 0) return py::Ref();
    }
    py::Ref name = py::Ref::steal(PyUnicode_FromString("Competition"));
    py::Ref bases = py::Ref::steal(PyTuple_New(0));
    if (!name || !bases) return py::Ref();
    return py::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
}

PyObject* make_env_impl(Function* f, PyObject* const*) {
    py::Ref home_ref = py::Ref::borrow(f->home);
    PyObject* home = home_ref.get();
    // The guard, through the global name as it is bound now.
    {
        py::Ref self_fn = lookup_global(home, names::make_env);
        if (!self_fn) return nullptr;
        py::Ref called = py::getattr(self_fn.get(), names::called);
        if (!called) return nullptr;
        int truth = PyObject_IsTrue(called.get());
        if (truth < 0) return nullptr;
        if (truth) {
            raise_plain("You can only call `make_env()` once.");
            return nullptr;
        }
    }
    py::Ref scope = scope_new(home);
    if (!scope) return nullptr;
    Scope* s = as_scope(scope.get());
    py::Ref State = build_state(home);
    if (!State) return nullptr;
    py::assign(&s->State, State.get());
    py::Ref Competition = build_competition(scope.get(), State.get(), home);
    if (!Competition) return nullptr;
    py::assign(&s->Competition, Competition.get());
    {
        py::Ref self_fn = lookup_global(home, names::make_env);
        if (!self_fn) return nullptr;
        if (PyObject_SetAttr(self_fn.get(), names::called, Py_True) < 0) return nullptr;
    }
    return py::call(Competition.get()).release();
}

} // namespace

void raise_plain(PyObject* msg) {
    py::Ref exc = py::call(PyExc_Exception, msg);
    if (!exc) return;
    // raise ... from None: no cause, and the context is not displayed.
    PyException_SetCause(exc.get(), nullptr);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_plain(const char* msg) {
    py::Ref text = py::Ref::steal(PyUnicode_FromString(msg));
    if (text) raise_plain(text.get());
}

bool refuse(PyObject* self, PyObject* msg) {
    py::Ref error = py::getattr(self, names::error);
    if (!error) return false;
    return bool(py::call(error.get(), msg));
}

bool refuse(PyObject* self, const char* msg) {
    py::Ref text = py::Ref::steal(PyUnicode_FromString(msg));
    return text && refuse(self, text.get());
}

namespace {

// A class variable of the scope read before make_env has bound it: a hook that runs while the
// class is being created (__set_name__, __init_subclass__) can already reach the methods.
// NameError, worded as the interpreter words it for a free variable that has no value yet.
void unbound_free_variable(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
    py::Ref msg = py::Ref::steal(PyUnicode_FromFormat(
        "cannot access free variable '%s' where it is not associated with a value in enclosing scope", name));
#else
    py::Ref msg = py::Ref::steal(
        PyUnicode_FromFormat("free variable '%s' referenced before assignment in enclosing scope", name));
#endif
    if (!msg) return;
    py::Ref exc = py::call(PyExc_NameError, msg.get());
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030A0000
    // From 3.10 the interpreter's NameError carries the name.
    py::Ref name_obj = py::Ref::steal(PyUnicode_FromString(name));
    if (!name_obj || PyObject_SetAttrString(exc.get(), "name", name_obj.get()) < 0) return;
#endif
    PyErr_SetObject(PyExc_NameError, exc.get());
}

// The scope's class Competition and enumeration State, or null with NameError.
py::Ref scope_competition(Scope* scope) {
    if (!scope->Competition) unbound_free_variable("Competition");
    return py::Ref::borrow(scope->Competition);
}
py::Ref scope_state_enum(Scope* scope) {
    if (!scope->State) unbound_free_variable("State");
    return py::Ref::borrow(scope->State);
}

} // namespace

int state_is(Scope* scope, PyObject* member_name, int op) {
    // Competition._state, then State.<member>: the order in which the comparison reads them.
    py::Ref Competition = scope_competition(scope);
    if (!Competition) return -1;
    py::Ref current = py::getattr(Competition.get(), names::state);
    if (!current) return -1;
    py::Ref State = scope_state_enum(scope);
    if (!State) return -1;
    py::Ref member = py::getattr(State.get(), member_name);
    if (!member) return -1;
    return py::compare(current.get(), member.get(), op);
}

bool set_state(Scope* scope, PyObject* member_name) {
    // Competition._state = State.<member>: the value is read first.
    py::Ref State = scope_state_enum(scope);
    if (!State) return false;
    py::Ref member = py::getattr(State.get(), member_name);
    if (!member) return false;
    py::Ref Competition = scope_competition(scope);
    return Competition && PyObject_SetAttr(Competition.get(), names::state, member.get()) == 0;
}

PyObject* error_impl(Function*, PyObject* const* args) {
    raise_plain(args[1]);
    return nullptr;
}

PyObject* dir_impl(Function*, PyObject* const*) {
    return Py_BuildValue("[sssss]", "__dir__", "__doc__", "iter_test", "predict", "write_submission_file");
}

py::Ref make_env_function(PyObject* module) { return function_new(&kMakeEnv, nullptr, module); }

} // namespace competition
