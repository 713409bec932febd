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
    py::Ref Enum = py::unchecked::getattr(enum_mod.get(), names::Enum);
    if (!Enum) return py::Ref();
    py::Ref bases = py::unchecked::tuple(Enum.get());
    if (!bases) return py::Ref();
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(Enum.get()));
    py::Ref name = py::Ref::steal(PyUnicode_FromString("State"));
    if (!name) return py::Ref();
    py::Ref ns;
    py::Ref prepare = py::Ref::steal(PyObject_GetAttr(meta, names::dunder_prepare));
    if (prepare) {
        ns = py::unchecked::call(prepare.get(), name.get(), bases.get());
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
    if (PyObject_SetItem(ns.get(), names::dunder_module, module.get()) < 0) return py::Ref();
    if (PyObject_SetItem(ns.get(), names::dunder_qualname, qualname.get()) < 0) return py::Ref();
    for (PyObject** member : kMembers) {
        py::Ref e = lookup_global(home, names::enum_);
        if (!e) return py::Ref();
        py::Ref auto_ = py::unchecked::getattr(e.get(), names::auto_);
        if (!auto_) return py::Ref();
        py::Ref value = py::unchecked::call(auto_.get());
        if (!value) return py::Ref();
        if (PyObject_SetItem(ns.get(), *member, value.get()) < 0) return py::Ref();
    }
    return py::unchecked::call(meta, name.get(), bases.get(), ns.get());
}

// class Competition: built by calling type(name, (), namespace).
py::Ref build_competition(PyObject* scope, PyObject* State, PyObject* home) {
    py::Ref ns = py::Ref::steal(PyDict_New());
    if (!ns) return py::Ref();
    py::Ref module = py::Ref::steal(PyUnicode_FromString("competition"));
    py::Ref qualname = py::Ref::steal(PyUnicode_FromString("make_env.<locals>.Competition"));
    py::Ref doc = py::Ref::steal(PyUnicode_FromString(kCompetitionDoc));
    if (!module || !qualname || !doc) return py::Ref();
    if (PyDict_SetItem(ns.get(), names::dunder_module, module.get()) < 0 ||
        PyDict_SetItem(ns.get(), names::dunder_qualname, qualname.get()) < 0 ||
        PyDict_SetItem(ns.get(), names::dunder_doc, doc.get()) < 0)
        return py::Ref();
    py::Ref init = py::unchecked::getattr(State, names::INIT);
    if (!init || PyDict_SetItem(ns.get(), names::_state, init.get()) < 0) return py::Ref();
    for (const MethodEntry& m : kMethods) {
        py::Ref fn = function_new(&m.info, m.scoped ? scope : nullptr, home);
        if (!fn || PyDict_SetItemString(ns.get(), m.key, fn.get()) < 0) return py::Ref();
    }
    py::Ref name = py::Ref::steal(PyUnicode_FromString("Competition"));
    py::Ref bases = py::Ref::steal(PyTuple_New(0));
    if (!name || !bases) return py::Ref();
    return py::unchecked::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
}

PyObject* make_env_impl(Function* f, PyObject* const*) {
    py::Ref home_ref = py::Ref::borrow(f->home);
    PyObject* home = home_ref.get();
    // The guard, through the global name as it is bound now.
    {
        py::Ref self_fn = lookup_global(home, names::make_env);
        if (!self_fn) return nullptr;
        py::Ref called = py::unchecked::getattr(self_fn.get(), names::dunder_called);
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
        if (PyObject_SetAttr(self_fn.get(), names::dunder_called, Py_True) < 0) return nullptr;
    }
    return py::unchecked::call(Competition.get()).release();
}

} // namespace

void raise_plain(PyObject* msg) {
    py::Ref exc = py::call(PyExc_Exception, msg);
    // raise ... from None: no cause, and the context is not displayed.
    PyException_SetCause(exc.get(), nullptr);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw py::Error();
}

void raise_plain(const char* msg) { raise_plain(py::str(msg).get()); }

void refuse(PyObject* self, PyObject* msg) { py::attr(self, names::mangled_error).call(msg); }

void refuse(PyObject* self, const char* msg) { refuse(self, py::str(msg).get()); }

namespace {

// A class variable of the scope read before make_env has bound it: a hook that runs while the
// class is being created (__set_name__, __init_subclass__) can already reach the methods.
// NameError, worded as the interpreter words it for a free variable that has no value yet.
[[noreturn]] void unbound_free_variable(PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000
    py::Ref msg = py::take(PyUnicode_FromFormat(
        "cannot access free variable '%U' where it is not associated with a value in enclosing scope", name));
#else
    py::Ref msg = py::take(
        PyUnicode_FromFormat("free variable '%U' referenced before assignment in enclosing scope", name));
#endif
    py::Ref exc = py::call(PyExc_NameError, msg);
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
    return py::Ref::borrow(scope->Competition);
}
py::Ref scope_state_enum(Scope* scope) {
    if (!scope->State) unbound_free_variable(names::State);
    return py::Ref::borrow(scope->State);
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

// The forms that report by their result, until their callers move to exceptions.
bool refuse_unchecked(PyObject* self, PyObject* msg) {
    return py::boundary(false, [&] { refuse(self, msg); return true; });
}
bool refuse_unchecked(PyObject* self, const char* msg) {
    return py::boundary(false, [&] { refuse(self, msg); return true; });
}
int state_is(Scope* scope, PyObject* member_name, int op) {
    return py::boundary(-1, [&] { return int(state_compare(scope, member_name, op)); });
}
bool set_state_unchecked(Scope* scope, PyObject* member_name) {
    return py::boundary(false, [&] { set_state(scope, member_name); return true; });
}

PyObject* error_impl(Function*, PyObject* const* args) { raise_plain(args[1]); }

PyObject* dir_impl(Function*, PyObject* const*) {
    return Py_BuildValue("[sssss]", "__dir__", "__doc__", "iter_test", "predict", "write_submission_file");
}

py::Ref make_env_function(PyObject* module) { return function_new(&kMakeEnv, nullptr, module); }

} // namespace competition
