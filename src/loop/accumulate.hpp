// The accumulated predictions of a run: submission_df (in the make_env scope) followed by the
// answers accepted since it was last joined.
//
// Joining each answer to submission_df at once copies every earlier answer again, so a run of N
// groups would cost N^2. An answer that joining would only stack under the others waits instead,
// and the waiting answers are merged in runs of 32, level by level, so that neither a predict
// nor the writer joins many frames at once; answers of a numeric shape wait as the arrays of
// their blocks, stacked once (stacking.hpp). "Only stack" means: a plain DataFrame (not a
// subclass, default flags, no attrs) with the columns and dtypes of submission_df, which is
// itself plain, and a copy that pandas' own DataFrame.copy made of a plain frame (any other plain
// copy is copied once more, so that no later change of the caller's reaches it). Any other
// answer is joined at once, as one append per answer joins it, so that what that append raises
// is raised by the predict that gave the answer.
#pragma once

#include <cstddef>

#include "module/scope.hpp"

namespace competition {

// Readies the accumulation's type (once, at import); throws py::Error.
void accumulation_type_ready();

// Starts the accumulation of a run whose submission_df has just been set to a new empty frame.
void accumulation_reset(Scope* scope);

// One accepted answer joining the accumulated predictions: `answer` is the tagged copy of
// `predictions_df`. Undone when it goes out of scope without commit(), so that a predict that
// fails after joining (the state could not be moved on) leaves the accumulated predictions as
// they were.
struct Accumulation;

class Joining {
public:
    explicit Joining(Scope* scope) : scope_(scope) {}
    Joining(const Joining&) = delete;
    Joining& operator=(const Joining&) = delete;
    ~Joining();

    // `copy_method` is predictions_df.copy as it was looked up for the call that made `answer`.
    void join(PyObject* predictions_df, PyObject* copy_method, PyObject* answer);
    // Where predictions_df.copy() would be pandas' own copy of a plain frame and the answer would
    // only be stacked, stacks a copy of its blocks instead, without the frame: true when done.
    // (DataFrame.copy first merges blocks of one dtype, which an inserted key of the dtype of
    // the predictions makes it do for every answer.)
    bool stack_copy_of(PyObject* predictions_df, PyObject* copy_method);
    void commit() noexcept { undo_ = Undo(); }

private:
    // What the answer changed, to be undone unless committed: one of three things, once.
    struct Undo {
        enum class Kind { nothing, stacked, queued, joined_at_once };
        Kind kind = Kind::nothing;
        std::size_t stacked = 0;   // stacked: the answers stacked once this one was
        PyObject* frame = nullptr; // borrowed. queued: the waiting answer; joined: submission_df after
        py::Ref before;            // joined: submission_df before
    };

    bool stack(Accumulation* acc, PyObject* answer, bool copy);
    void queue(Accumulation* acc, PyObject* answer);
    void join_at_once(Accumulation* acc, PyObject* answer);

    Scope* scope_;
    Undo undo_;
};

// Joins the waiting answers to submission_df, as the writer needs it. Nothing is lost when it
// throws: the answers wait on.
void accumulation_flush(Scope* scope);

} // namespace competition
