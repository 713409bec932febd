// The accumulated predictions of a run: submission_df followed by the pending answers.
#pragma once

#include "module/scope.hpp"

namespace competition {

// Adds one accepted answer (the tagged copy) after the others. An answer with the columns and
// dtypes of the accumulated frame waits in the pending list, since joining it is plain stacking;
// any other answer is joined at once, exactly as one append per answer joins it, so that what
// that append would raise is raised now.
// sample_columns is the column index the answer was checked against (before PlayId was added).
bool accumulate(Scope* scope, PyObject* answer, PyObject* sample_columns);

// Joins the pending answers to submission_df.
bool flush(Scope* scope);

// Merges full runs of pending answers into one frame each. Only an interrupt or the like
// fails it (false); an ordinary error leaves the answers as they were, to be joined later.
bool compact(Scope* scope);

// Forgets the pending answers and what is known of submission_df's shape.
void reset_accumulation(Scope* scope);

} // namespace competition
