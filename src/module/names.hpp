// The names the module itself uses: its globals, the protocol's states, the class statement's
// dunders. They are interned once at import (names_ready). The reader and the test loop keep
// tables of their own for the names only they use.
#pragma once

#include "py/names.hpp"

#define COMPETITION_MODULE_NAMES(X, AS)                       \
    X(_state)                                                 \
    X(AES)                                                    \
    X(AWAITING_PREDICT)                                       \
    X(b64decode)                                              \
    X(base64)                                                 \
    X(builtins)                                               \
    X(BytesIO)                                                \
    X(Competition)                                            \
    X(competition)                                            \
    X(copy)                                                   \
    X(DONE)                                                   \
    X(Enum)                                                   \
    X(Generator)                                              \
    X(INIT)                                                   \
    X(io)                                                     \
    X(isinstance)                                             \
    X(iter_test)                                              \
    X(MADE_PREDICTION)                                        \
    X(make_env)                                               \
    X(MODE_CBC)                                               \
    X(name)                                                   \
    X(open)                                                   \
    X(os)                                                     \
    X(pandas)                                                 \
    X(pd)                                                     \
    X(predict)                                                \
    X(print)                                                  \
    X(State)                                                  \
    X(StringIO)                                               \
    X(write_submission_file)                                  \
    AS(auto_, "auto")                                         \
    AS(collections_abc, "collections.abc")                    \
    AS(Crypto_Cipher, "Crypto.Cipher")                        \
    AS(dunder_all, "__all__")                                 \
    AS(dunder_called, "__called__")                           \
    AS(dunder_dir, "__dir__")                                 \
    AS(dunder_doc, "__doc__")                                 \
    AS(dunder_file, "__file__")                               \
    AS(dunder_module, "__module__")                           \
    AS(dunder_prepare, "__prepare__")                         \
    AS(dunder_qualname, "__qualname__")                       \
    AS(enum_, "enum")                                         \
    AS(mangled_error, "_Competition__error")                  \
    AS(mangled_read_csv, "_Competition__read_csv")            \
    AS(new_, "new")                                           \
    AS(qualname_Competition, "make_env.<locals>.Competition") \
    AS(qualname_State, "make_env.<locals>.State")             \
    AS(register_, "register")

namespace competition {
namespace names {
PY_NAMES_DECLARE(COMPETITION_MODULE_NAMES)
// Interns the names above (once); throws py::Error when one cannot be made.
void ready();
} // namespace names

} // namespace competition
