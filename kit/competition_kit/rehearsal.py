"""Participant side: run a notebook script or notebook against a bundle as the platform would.

The participant's code runs in a child: a Python process for a script, a Jupyter kernel for a
notebook, both of this interpreter. The child writes one record per event (_timing.py); this
process reads them as they come, shows the progress on stderr, enforces the time limit, passes
Ctrl-C on, and prints the timing summary (a partial one when the run was stopped) and the
check of the written submission, then its score when answers are given.
"""
import os
import signal
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

from . import progress
from .module import KitError, load, module_in
from .sealing import SUFFIX, remove_quietly, sealed_column, sealed_header

WORKING = "/vantor/working"
SUBMISSION = os.path.join(WORKING, "submission.csv")
BOOTSTRAP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_bootstrap.py")  # run by its path: see there
TIME_LIMIT_STATUS = 124  # as timeout(1)
GRACE = {"time": 1.0, "interrupt": 2.0}  # seconds a stopped child gets before it is killed
clock = progress.clock


class Stopped(KitError):
    """The run was stopped from outside: status 124 for the time limit, 128 + N for signal N."""

    def __init__(self, message, status):
        KitError.__init__(self, message)
        self.status = status


def ensure_working_dir():
    try:
        os.makedirs(WORKING, exist_ok=True)
    except OSError as e:
        raise KitError("cannot create %s (%s); create it yourself, or run where it can be created"
                       % (WORKING, e.strerror or e))
    if not os.access(WORKING, os.W_OK):
        raise KitError("%s is not writable; the submission cannot be written there" % WORKING)


def _file_state(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _ms(values):
    if not values:
        return "-"
    a = np.asarray(values) * 1e3
    return "median %.2f ms, p95 %.2f ms" % (np.median(a), np.percentile(a, 95))


def _some(values, limit=5):
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (", ..." if len(values) > limit else "")


def expected_rows(test, sample):
    """The sample rows that the test loop serves: those of the test set's PlayIds."""
    return sample[sample["PlayId"].isin(test["PlayId"].dropna().unique())]


def check_submission(test, sample, path=SUBMISSION):
    """Problems of the written submission against the sample submission (empty when fine):
    the columns, the rows of each PlayId, and missing values. The expected rows are the sample
    rows of the PlayIds that the test set serves (test needs only its PlayId column)."""
    expected = expected_rows(test, sample)["PlayId"]
    return check_written(expected.groupby(expected).size(), list(sample.columns), path)


SUBMISSION_CHUNK = 20000  # rows of the written submission read at a time


def check_written(want, columns, path=SUBMISSION):
    """Problems of the written submission at path (empty when fine): want is the number of
    rows expected of each PlayId (a Series indexed by PlayId), columns the sample submission's.
    The file is read in pieces, so that the check takes little memory beside the run."""
    if not os.path.isfile(path):
        return ["no submission file was written at %s" % path]
    counts, na, rows, written_columns = [], None, 0, None
    try:
        for chunk in pd.read_csv(path, chunksize=SUBMISSION_CHUNK):
            if written_columns is None:
                written_columns = list(chunk.columns)
                na = chunk.isna().sum() * 0
            rows += len(chunk)
            na += chunk.isna().sum()
            if "PlayId" in chunk.columns:
                counts.append(chunk["PlayId"].dropna().value_counts())
    except Exception as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        return ["cannot read %s as CSV: %s" % (path, reason)]
    if written_columns is None:
        return ["cannot read %s as CSV: it is empty" % path]
    problems = []
    if written_columns != list(columns):
        missing = [c for c in columns if c not in written_columns]
        extra = [c for c in written_columns if c not in columns]
        detail = []
        if missing:
            detail.append("missing %s" % _some(missing))
        if extra:
            detail.append("extra %s" % _some(extra))
        problems.append("columns differ from the sample submission's (%s)" % ("; ".join(detail) or "order"))
    if rows != int(want.sum()):
        problems.append("%d rows, the sample submission has %d for the test PlayIds" % (rows, int(want.sum())))
    if "PlayId" in written_columns:
        got = pd.concat(counts).groupby(level=0).sum() if counts else pd.Series([], dtype="int64")
        absent, extra = want.index.difference(got.index), got.index.difference(want.index)
        common = want.index.intersection(got.index)
        other = common[(want[common] != got[common]).values]
        if len(absent):
            problems.append("%d PlayIds have no rows (%s)" % (len(absent), _some(absent)))
        if len(extra):
            problems.append("%d PlayIds are not in the sample submission's test rows (%s)" % (len(extra), _some(extra)))
        if len(other):
            problems.append("%d PlayIds have another number of rows than in the sample submission (%s)"
                            % (len(other), _some(other)))
        blank = rows - int(got.sum())
        if blank:
            problems.append("%d rows have no PlayId" % blank)
    na = na[na > 0]
    if len(na):
        problems.append("%d missing values (in %s)" % (int(na.sum()), _some(na.index)))
    return problems


class Records(object):
    """What the child has recorded so far (see _timing.py), read as it grows."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = b""
        self.before = self.load = self.write = self.error = None
        self.written = False
        self.env, self.own = [], []
        self.spent = 0.0
        self.reminders = 0
        self.empty = []  # the PlayIds of groups served an empty sample frame

    @property
    def answered(self):
        return len(self.env)

    def per_group(self):
        return self.spent / len(self.env) if self.env else None

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return
        self.offset += len(data)
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        for line in lines:
            fields = line.decode("ascii", "replace").split()
            if not fields:
                continue
            kind, values = fields[0], fields[1:]
            try:
                if kind == "A":
                    env, own = float(values[0]), float(values[1])
                    self.env.append(env)
                    self.own.append(own)
                    self.spent += env + own
                elif kind == "B":
                    self.before = float(values[0])
                elif kind == "L":
                    self.load = float(values[0])
                elif kind == "R":
                    self.reminders += 1
                elif kind == "W":
                    self.write, self.written = float(values[0]), values[1] == "1"
                elif kind == "X":
                    self.error = values[0]
                elif kind == "E":
                    self.empty.append(" ".join(values))
            except (IndexError, ValueError):
                continue


def _s(value):
    return "%.3f s" % value if value is not None else "-"


def summary(records, total, elapsed, out, cells=None):
    out.write("timing:\n")
    out.write("  before the loop: %s\n" % _s(records.before))
    out.write("  load (first advance): %s\n" % _s(records.load))
    out.write("  per group, environment (advance + predict): %s\n" % _ms(records.env))
    out.write("  per group, your code: %s\n" % _ms(records.own))
    out.write("  write: %s\n" % _s(records.write))
    if cells:
        slowest = max(cells, key=lambda c: c[1])
        out.write("  notebook: %d code cell%s run, the slowest cell %d (%.3f s)\n" % (
            len(cells), "" if len(cells) == 1 else "s", slowest[0], slowest[1]))
    out.write("  total: %.3f s for %d of %d groups answered\n" % (elapsed or 0.0, records.answered, total))
    if records.reminders:
        out.write("  %d advances found the current group unanswered (the module printed a reminder)\n"
                  % records.reminders)
    if records.empty:
        out.write("  %d group%s served an empty sample frame (PlayId %s): the sample submission has no rows "
                  "for %s\n" % (len(records.empty), " was" if len(records.empty) == 1 else "s were",
                                _some(records.empty), "it" if len(records.empty) == 1 else "them"))


class Stopper(object):
    """Ctrl-C (and SIGTERM) while the participant's code runs, and the time limit.

    A signal does not stop this process: it is noted, and the runner passes it on to the child
    and then waits for the child to end (killing it after a grace period, or at a second signal),
    so that the partial summary can be printed."""

    def __init__(self, time_limit=None):
        self.limit = time_limit
        self.reason = None
        self.signum = None
        self.signals = 0
        self.started = self.ended = None
        self._saved = {}

    def __enter__(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                previous = signal.getsignal(signum)
                if previous == signal.SIG_IGN:
                    continue  # an ignored signal stays ignored (nohup, a background job)
                signal.signal(signum, self.on_signal)
                self._saved[signum] = previous
            except (ValueError, OSError):  # not the main thread
                pass
        return self

    def __exit__(self, *exc):
        for signum, previous in self._saved.items():
            signal.signal(signum, previous)
        self._saved.clear()
        return False

    def on_signal(self, signum, frame=None):
        self.signals += 1
        if self.reason is None:
            self.reason, self.signum = "interrupt", signum

    def start(self):
        self.started = clock()

    def end(self):
        """The participant's code has ended (or was stopped): the run's time is fixed."""
        if self.ended is None and self.started is not None:
            self.ended = clock()

    def elapsed(self):
        if self.started is None:
            return 0.0
        return (self.ended if self.ended is not None else clock()) - self.started

    def check(self):
        """The reason to stop the run, if any: "interrupt" or "time"."""
        if self.reason is None and self.limit and self.started is not None and self.elapsed() > self.limit:
            self.reason = "time"
        return self.reason

    def status(self):
        return TIME_LIMIT_STATUS if self.reason == "time" else 128 + (self.signum or signal.SIGINT)


def _signal_group(proc, signum):
    try:
        os.killpg(proc.pid, signum)
    except OSError:
        try:
            proc.send_signal(signum)
        except OSError:
            pass


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
        records.read()
        groups.update(records.answered, records.per_group())
        reason = stopper.check()
        if reason and sent is None:
            sent, sent_at = (signal.SIGINT if reason == "interrupt" else signal.SIGTERM), clock()
            _signal_group(proc, sent)
        elif sent is not None and sent != signal.SIGKILL and (
                clock() - sent_at > GRACE[reason] or stopper.signals > 1):
            sent = signal.SIGKILL
            _signal_group(proc, sent)
    stopper.end()
    if sent is not None:
        _signal_group(proc, signal.SIGKILL)  # whatever the script started in its session
    records.read()
    groups.update(records.answered, records.per_group())
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
    if not os.path.isfile(script):
        raise KitError("script not found: %s" % script)
    if not os.path.isdir(bundle):
        raise KitError("bundle not found: %s" % bundle)
    notebook = script.lower().endswith(".ipynb")
    check_output(output, script)
    if metric is not None and answers is None:
        raise KitError("--metric scores against --answers: give both")
    if answers is not None and not os.path.isfile(answers):
        raise KitError("answers not found: %s" % answers)
    _parse_metric(metric)  # a bad --metric is refused before the run, not after it
    if notebook:
        from . import notebook as nb_runner
        nb_runner.check_available(python)
        nb = nb_runner.read(script)
    if not os.path.isfile(os.path.join(bundle, "sample_submission.csv" + SUFFIX)):
        raise KitError("missing sample_submission.csv%s in %s" % (SUFFIX, bundle))
    load(module_in(bundle))  # a module that cannot load here is one line now, not the child's traceback
    total = served_groups(bundle)
    ensure_working_dir()
    before = _file_state(SUBMISSION)
    fd, records_path = tempfile.mkstemp(prefix="competition-kit-", suffix=".records")
    os.close(fd)
    records = Records(records_path)
    groups = progress.Groups(total)
    cells = None
    outcome = None
    try:
        out.write("running %s against %s (%d groups)%s, in %s\n" % (
            script, bundle, total, " in a Jupyter kernel" if notebook else "", WORKING))
        out.flush()
        with Stopper(time_limit) as stopper:
            if notebook:
                outcome = nb_runner.Outcome()
                nb_runner.run(nb, script, bundle, records, stopper, groups, python, output, outcome, WORKING)
                stopper.end()
                failure, cells = outcome.failure, outcome.cells
            else:
                code = run_script(script, bundle, records, stopper, groups, python)
                failure = None
                if code != 0:
                    failure = ("the participant script failed with %s; its traceback is above" % records.error
                               if records.error else "the participant script failed: it exited with status %d" % code)
    finally:
        groups.close()
        remove_quietly(records_path)
    sys.stderr.flush()
    summary(records, total, stopper.elapsed(), out, cells)
    out.flush()
    if stopper.reason == "time":
        raise Stopped("time limit of %s s exceeded: the run was stopped after %.1f s, with %d of %d groups answered"
                      % (_number(time_limit), stopper.elapsed(), records.answered, total), stopper.status())
    if stopper.reason:
        raise Stopped("interrupted after %.1f s, with %d of %d groups answered"
                      % (stopper.elapsed(), records.answered, total), stopper.status())
    after = _file_state(SUBMISSION)
    if after is None or after == before:
        problems = ["%s %s" % (SUBMISSION, "was not written" if after is None else "was not rewritten by this run")]
        if not records.written:
            problems[0] += " (write_submission_file() was not called, or did not succeed)"
    else:
        want, columns = expected_counts(bundle)
        problems = check_written(want, columns)
    if problems:
        out.write("submission check failed:\n" + "".join("  - %s\n" % p for p in problems))
    else:
        out.write("submission check: ok (%d rows, %d columns, %d PlayIds, no missing values) at %s\n"
                  % (int(want.sum()), len(columns), len(want), SUBMISSION))
    out.flush()
    if outcome is not None and outcome.output_error:
        raise KitError(outcome.output_error)
    if failure:
        raise KitError(failure)
    if problems:
        return 1
    if answers is not None:
        from .score import score_files
        score_files(SUBMISSION, answers, metric, out)
    return 0


def _number(x):
    return ("%d" % x) if float(x).is_integer() else ("%g" % x)
