"""Participant side: run a participant script or notebook against a bundle as the platform would.

The participant's code runs in a child (child.py): a Python process for a script, a Jupyter
kernel for a notebook (notebook.py), both of this interpreter. A dry run is three steps:
prepare checks every argument and the bundle before anything runs; run starts the child, shows
its progress on stderr, enforces the time limit and passes Ctrl-C on; check_and_score prints the
timing summary (a partial one when the run was stopped), the check of the written submission,
then its score when answers are given.
"""
import os
import signal
import subprocess
import sys
import tempfile

import pandas as pd

from . import progress
from .child import BOOTSTRAP, WORKING, Records, Stopper, clock, signal_group, summary
from .errors import KitError, Stopped
from .module import load, module_in
from .sealing import SUFFIX, remove_quietly, sealed_column, sealed_header
from .submission import SUBMISSION, check_submission, check_written, file_state  # noqa: F401 (check_submission)


def ensure_working_dir():
    try:
        os.makedirs(WORKING, exist_ok=True)
    except OSError as e:
        raise KitError("cannot create %s (%s); create it yourself, or run where it can be created"
                       % (WORKING, e.strerror or e))
    if not os.access(WORKING, os.W_OK):
        raise KitError("%s is not writable; the submission cannot be written there" % WORKING)


def run_script(script, bundle, records, stopper, groups, python=None):
    """Runs the script in a child interpreter (its own session, so that the terminal's Ctrl-C
    reaches this process only, and standard input closed); returns its exit status."""
    cmd = [python or sys.executable, BOOTSTRAP, os.path.abspath(script), os.path.abspath(bundle), records.path]
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, start_new_session=True, cwd=WORKING)
    stopper.start()
    sent, sent_at = None, None
    while True:
        try:
            code = proc.wait(timeout=0.1)
            break
        except subprocess.TimeoutExpired:
            pass
        records.refresh(groups)
        reason = stopper.check()
        if reason and sent is None:
            sent, sent_at = (signal.SIGINT if reason == "interrupt" else signal.SIGTERM), clock()
            signal_group(proc, sent)
        elif sent is not None and sent != signal.SIGKILL and stopper.overdue(sent_at):
            sent = signal.SIGKILL
            signal_group(proc, sent)
    stopper.end()
    if sent is not None:
        signal_group(proc, signal.SIGKILL)  # whatever the script started in its session
    records.refresh(groups)
    return code


def _parse_metric(metric):
    if metric is None:
        return None
    from .score import metric_parts
    return metric_parts(metric)


def check_output(output, script):
    """A KitError now, before anything runs, when the executed notebook could not be kept at
    output."""
    if output is None:
        return
    if not script.lower().endswith(".ipynb"):
        raise KitError("--output keeps an executed notebook, and %s is not one (.ipynb)" % script)
    folder = os.path.dirname(os.path.abspath(output))
    if os.path.isdir(output):
        raise KitError("--output %s is a folder: give the executed notebook's file name" % output)
    if not os.path.isdir(folder):
        raise KitError("--output %s: the folder %s does not exist" % (output, folder))
    if not os.access(folder, os.W_OK | os.X_OK):
        raise KitError("--output %s: the folder %s is not writable" % (output, folder))


def _manifest_entry(bundle, name):
    """The manifest's entry for the sealed file name when the file there has the recorded size,
    else None."""
    import json
    try:
        with open(os.path.join(bundle, "manifest.json"), "rb") as f:
            entry = json.loads(f.read().decode("utf-8"))["files"][name + SUFFIX]
        if int(entry["size"]) == os.path.getsize(os.path.join(bundle, name + SUFFIX)):
            return entry
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        pass
    return None


def served_groups(bundle):
    """The number of groups the bundle's test set serves: its manifest's count when the sealed
    file is the one the manifest records (by size), else counted from the file's PlayId column,
    read as a stream (no whole parse of the test set here)."""
    path = os.path.join(bundle, "test.csv" + SUFFIX)
    if not os.path.isfile(path):
        raise KitError("missing test.csv%s in %s" % (SUFFIX, bundle))
    entry = _manifest_entry(bundle, "test.csv")
    if entry is not None and "groups" in entry:
        return int(entry["groups"])
    return len(test_playids(bundle))


def test_playids(bundle):
    """The PlayIds the test set serves, from its sealed file, read here as a stream."""
    try:
        ids = sealed_column(os.path.join(bundle, "test.csv" + SUFFIX))
    except (KeyError, ValueError) as e:
        raise KitError("cannot read the PlayIds of test.csv%s in %s: %s" % (SUFFIX, bundle, e))
    return pd.DataFrame({"PlayId": ids.dropna().unique()})


def expected_counts(bundle):
    """(rows expected of each PlayId, the sample submission's columns): the sample's PlayId
    column, read as a stream, less the sample PlayIds the test set does not serve (from the
    manifest when both files are the ones it records, else from the test set's PlayId column)."""
    path = os.path.join(bundle, "sample_submission.csv" + SUFFIX)
    try:
        columns = sealed_header(path)
        ids = sealed_column(path)
    except (KeyError, ValueError) as e:
        raise KitError("cannot read the PlayIds of sample_submission.csv%s in %s: %s" % (SUFFIX, bundle, e))
    entry = _manifest_entry(bundle, "sample_submission.csv")
    if entry is not None and "unserved" in entry and _manifest_entry(bundle, "test.csv") is not None:
        ids = ids[~ids.isin(entry["unserved"])]
    else:
        ids = ids[ids.isin(test_playids(bundle)["PlayId"])]
    return ids.groupby(ids).size(), columns


def dry_run(script, bundle, out=None, python=None, time_limit=None, output=None, answers=None, metric=None):
    """Runs a script or notebook against bundle; returns 0 when it ran and its submission
    checks out (and, with answers, was scored), 1 when the check failed. Every argument is
    checked before anything runs; the test set is not parsed here (its group count comes from
    the manifest, its PlayIds for the check are read after the run). When the participant's
    code has ended, the summary and the check are printed whatever its outcome; then a run
    that failed raises a KitError (after the participant's traceback), one stopped by the time
    limit or a signal raises Stopped after the partial summary."""
    out = out or sys.stdout
    rehearsal = prepare(script, bundle, python, output, answers, metric)
    ran = run(rehearsal, out, python, time_limit, output)
    return check_and_score(rehearsal, ran, out, time_limit, answers, metric)


class Rehearsal(object):
    """What prepare found: the participant's code, the bundle, its group count and the state of
    the submission file before the run."""

    def __init__(self, script, bundle, nb, total, before):
        self.script, self.bundle, self.nb, self.total, self.before = script, bundle, nb, total, before


class Ran(object):
    """What run left: the child's records, the Stopper, the failure (a message, or None), the
    notebook's cells and outcome (None for a script)."""

    def __init__(self, records, stopper, failure, cells=None, outcome=None):
        self.records, self.stopper, self.failure, self.cells, self.outcome = records, stopper, failure, cells, outcome


def prepare(script, bundle, python=None, output=None, answers=None, metric=None):
    """Checks every argument and the bundle before anything runs (a KitError for the first
    problem); returns the Rehearsal to run."""
    if not os.path.isfile(script):
        raise KitError("script not found: %s" % script)
    if not os.path.isdir(bundle):
        raise KitError("bundle not found: %s" % bundle)
    check_output(output, script)
    if metric is not None and answers is None:
        raise KitError("--metric scores against --answers: give both")
    if answers is not None and not os.path.isfile(answers):
        raise KitError("answers not found: %s" % answers)
    _parse_metric(metric)  # a bad --metric is refused before the run, not after it
    nb = None
    if script.lower().endswith(".ipynb"):
        from . import notebook as nb_runner
        nb_runner.check_available(python)
        nb = nb_runner.read(script)
    if not os.path.isfile(os.path.join(bundle, "sample_submission.csv" + SUFFIX)):
        raise KitError("missing sample_submission.csv%s in %s" % (SUFFIX, bundle))
    load(module_in(bundle))  # a module that cannot load here is one line now, not the child's traceback
    total = served_groups(bundle)
    ensure_working_dir()
    return Rehearsal(script, bundle, nb, total, file_state(SUBMISSION))


def run(rehearsal, out, python=None, time_limit=None, output=None):
    """Runs the participant's code in its child, with progress on stderr; returns what it left
    (Ran) once the code has ended or was stopped."""
    script, bundle, notebook = rehearsal.script, rehearsal.bundle, rehearsal.nb is not None
    fd, records_path = tempfile.mkstemp(prefix="competition-kit-", suffix=".records")
    os.close(fd)
    records = Records(records_path)
    groups = progress.Groups(rehearsal.total)
    try:
        out.write("running %s against %s (%d groups)%s, in %s\n" % (
            script, bundle, rehearsal.total, " in a Jupyter kernel" if notebook else "", WORKING))
        out.flush()
        with Stopper(time_limit) as stopper:
            if notebook:
                from . import notebook as nb_runner
                outcome = nb_runner.Outcome()
                nb_runner.run(rehearsal.nb, script, bundle, records, stopper, groups, python, output, outcome, WORKING)
                stopper.end()
                return Ran(records, stopper, outcome.failure, outcome.cells, outcome)
            code = run_script(script, bundle, records, stopper, groups, python)
            return Ran(records, stopper, _script_failure(code, records))
    finally:
        groups.close()
        remove_quietly(records_path)


def _script_failure(code, records):
    if code == 0:
        return None
    if records.error:
        return "the participant script failed with %s; its traceback is above" % records.error
    return "the participant script failed: it exited with status %d" % code


def check_and_score(rehearsal, ran, out, time_limit=None, answers=None, metric=None):
    """Prints the summary, raises Stopped for a stopped run, prints the check of the written
    submission, raises a KitError for a failed run, then scores a submission that checks out
    when answers are given. Returns 0, or 1 when the check failed."""
    records, stopper, total = ran.records, ran.stopper, rehearsal.total
    sys.stderr.flush()
    summary(records, total, stopper.elapsed(), out, ran.cells)
    out.flush()
    if stopper.reason == "time":
        raise Stopped("time limit of %s s exceeded: the run was stopped after %.1f s, with %d of %d groups answered"
                      % (_number(time_limit), stopper.elapsed(), records.answered, total), stopper.status())
    if stopper.reason:
        raise Stopped("interrupted after %.1f s, with %d of %d groups answered"
                      % (stopper.elapsed(), records.answered, total), stopper.status())
    problems = _submission_check(rehearsal, records, out)
    if ran.outcome is not None and ran.outcome.output_error:
        raise KitError(ran.outcome.output_error)
    if ran.failure:
        raise KitError(ran.failure)
    if problems:
        return 1
    if answers is not None:
        from .score import score_files
        score_files(SUBMISSION, answers, metric, out)
    return 0


def _submission_check(rehearsal, records, out):
    """Prints the check of the submission this run wrote; returns its problems."""
    after = file_state(SUBMISSION)
    if after is None or after == rehearsal.before:
        problems = ["%s %s" % (SUBMISSION, "was not written" if after is None else "was not rewritten by this run")]
        if not records.written:
            problems[0] += " (write_submission_file() was not called, or did not succeed)"
    else:
        want, columns = expected_counts(rehearsal.bundle)
        problems = check_written(want, columns)
    if problems:
        out.write("submission check failed:\n" + "".join("  - %s\n" % p for p in problems))
    else:
        out.write("submission check: ok (%d rows, %d columns, %d PlayIds, no missing values) at %s\n"
                  % (int(want.sum()), len(columns), len(want), SUBMISSION))
    out.flush()
    return problems


def _number(x):
    return ("%d" % x) if float(x).is_integer() else ("%g" % x)
