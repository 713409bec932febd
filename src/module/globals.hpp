// Module-wide state: the module's namespace, the objects bound at import, interned names.
#pragma once

#include "py/ref.hpp"

namespace competition {

// Interned names used across the module, created once at import.
#define COMPETITION_NAMES(X)                                                                   \
    X(pd, "pd") X(os, "os") X(base64, "base64") X(AES, "AES") X(BytesIO, "BytesIO")            \
    X(make_env, "make_env") X(called, "__called__") X(state, "_state") X(enum_, "enum")        \
    X(Enum, "Enum") X(auto_, "auto") X(prepare, "__prepare__") X(module, "__module__")         \
    X(qualname, "__qualname__") X(doc, "__doc__") X(INIT, "INIT")                              \
    X(AWAITING_PREDICT, "AWAITING_PREDICT") X(MADE_PREDICTION, "MADE_PREDICTION")              \
    X(DONE, "DONE") X(error, "_Competition__error") X(read_csv_m, "_Competition__read_csv")    \
    X(print, "print") X(isinstance, "isinstance") X(open, "open") X(file, "__file__")          \
    X(path, "path") X(dirname, "dirname") X(join, "join") X(new_, "new") X(MODE_CBC, "MODE_CBC") \
    X(decrypt, "decrypt") X(decode, "decode") X(utf8, "utf8") X(b64decode, "b64decode")       \
    X(read, "read") X(enter, "__enter__") X(exit, "__exit__") X(read_csv, "read_csv")          \
    X(sep, "sep") X(low_memory, "low_memory") X(DataFrame, "DataFrame") X(PlayId, "PlayId")    \
    X(sort_values, "sort_values") X(by, "by") X(groupby, "groupby") X(sort_index, "sort_index") \
    X(drop, "drop") X(columns, "columns") X(take, "take") X(insert, "insert") X(copy, "copy")  \
    X(append, "append") X(concat, "concat") X(to_csv, "to_csv") X(index, "index")              \
    X(equals, "equals") X(dtypes, "dtypes") X(factorize, "factorize") X(sort, "sort")          \
    X(Index, "Index") X(get_indexer, "get_indexer") X(argsort, "argsort") X(kind, "kind")       \
    X(stable, "stable") X(tolist, "tolist") X(values, "values") X(dtype, "dtype")             \
    X(RangeIndex, "RangeIndex") X(start, "start") X(step, "step") X(to_numpy, "to_numpy")     \
    X(bincount, "bincount") X(cumsum, "cumsum") X(minlength, "minlength")                      \
    X(register_, "register") X(Generator, "Generator") X(name, "__name__")

namespace names {
#define COMPETITION_DECLARE_NAME(id, text) extern PyObject* id;
COMPETITION_NAMES(COMPETITION_DECLARE_NAME)
#undef COMPETITION_DECLARE_NAME
} // namespace names

struct Function;
struct Scope;

// What one module object owns beside its namespace: the objects its import bound, so that the
// reader can tell when a caller rebound a global or one of the attributes it calls through them
// (AES.new, AES.MODE_CBC, base64.b64decode). Each import of the module file (a fresh import
// after the module was removed from sys.modules, say) makes a module object with a state and a
// namespace of its own.
struct ModuleState {
    PyObject* bound_AES;
    PyObject* bound_AES_new;
    PyObject* bound_MODE_CBC;
    PyObject* bound_base64;
    PyObject* bound_b64decode;
    PyObject* bound_BytesIO;
};

// The module object's state; null once the module has been torn down.
ModuleState* module_state(PyObject* module);

// What belongs to the interpreter rather than to one module object: the builtins and their
// functions the module compares with, the numpy module.
struct Globals {
    PyObject* builtins = nullptr;    // the builtins namespace (strong)
    PyObject* builtin_isinstance = nullptr;
    PyObject* builtin_open = nullptr;
    PyObject* numpy = nullptr;       // imported when the first test loop starts
};
extern Globals g;

bool init_names();

// The value of a global name as a function of the module object `module` would see it when it
// runs: that module's namespace first, then the builtins. NameError when neither has it. New
// reference. The forms with a function or a scope look in the namespace of the module object
// that made it.
py::Ref lookup_global(PyObject* module, PyObject* name);
py::Ref lookup_global(const Function* f, PyObject* name);
py::Ref lookup_global(const Scope* scope, PyObject* name);

// Calls the builtin print (as the scope's module looks it up now) with one argument.
bool print_line(const Scope* scope, PyObject* text);

} // namespace competition
