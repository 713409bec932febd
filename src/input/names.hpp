// The names only the reader uses, interned on its first call (input_names_ready).
#pragma once

#include "py/names.hpp"

#define COMPETITION_INPUT_NAMES(X, AS) \
    X(decode)                          \
    X(decrypt)                         \
    X(dirname)                         \
    X(join)                            \
    X(low_memory)                      \
    X(path)                            \
    X(read)                            \
    X(read_csv)                        \
    X(sep)                             \
    X(utf8)                            \
    AS(dunder_enter, "__enter__")      \
    AS(dunder_name, "__name__")        \
    AS(dunder_exit, "__exit__")

namespace competition {
namespace input_names {
PY_NAMES_DECLARE(COMPETITION_INPUT_NAMES)
// Interns the names above (once); throws py::Error when one cannot be made.
void ready();
} // namespace input_names

} // namespace competition
