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
from .module import KitError, module_in
from .sealing import read_sealed, remove_quietly

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
    if not os.path.isfile(path):
        return ["no submission file was written at %s" % path]
    try:
        written = pd.read_csv(path, low_memory=False)
    except Exception as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        return ["cannot read %s as CSV: %s" % (path, reason)]
    problems = []
    if list(written.columns) != list(sample.columns):
        missing = [c for c in sample.columns if c not in written.columns]
        extra = [c for c in written.columns if c not in sample.columns]
        detail = []
        if missing:
            detail.append("missing %s" % _some(missing))
        if extra:
            detail.append("extra %s" % _some(extra))
        problems.append("columns differ from the sample submission's (%s)" % ("; ".join(detail) or "order"))
    expected = expected_rows(test, sample)
    if len(written) != len(expected):
        problems.append("%d rows, the sample submission has %d for the test PlayIds" % (len(written), len(expected)))
    if "PlayId" in written.columns:
        want = expected.groupby("PlayId").size()
        got = written.groupby("PlayId").size()
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
        blank = int(written["PlayId"].isna().sum())
        if blank:
            problems.append("%d rows have no PlayId" % blank)
    na = written.isna().sum()
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
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, start_new_session=True)
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


def dry_run(script, bundle, out=None, python=None, time_limit=None, output=None, answers=None, metric=None):
    """Runs a script or notebook against bundle; returns 0 when it ran and its submission
    checks out (and, with answers, was scored), 1 when the check failed. A run that fails
    raises a KitError after the participant's traceback; one stopped by the time limit or a
    signal raises Stopped after the partial summary."""
    out = out or sys.stdout
    if not os.path.isfile(script):
        raise KitError("script not found: %s" % script)
    if not os.path.isdir(bundle):
        raise KitError("bundle not found: %s" % bundle)
    notebook = script.lower().endswith(".ipynb")
    if output is not None and not notebook:
        raise KitError("--output keeps an executed notebook, and %s is not one (.ipynb)" % script)
    if metric is not None and answers is None:
        raise KitError("--metric scores against --answers: give both")
    if answers is not None and not os.path.isfile(answers):
        raise KitError("answers not found: %s" % answers)
    _parse_metric(metric)  # a bad --metric is refused before the run, not after it
    if notebook:
        from . import notebook as nb_runner
        nb_runner.check_available(python)
        nb = nb_runner.read(script)
    test, sample = read_sealed(bundle, module_in(bundle), ("test.csv", "sample_submission.csv"))
    for name, frame in (("test.csv", test), ("sample_submission.csv", sample)):
        if "PlayId" not in frame.columns:
            raise KitError("%s in %s has no PlayId column" % (name, bundle))
    test = pd.DataFrame({"PlayId": test["PlayId"].dropna().unique()})  # all the check needs of it
    total = len(test)
    ensure_working_dir()
    before = _file_state(SUBMISSION)
    fd, records_path = tempfile.mkstemp(prefix="competition-kit-", suffix=".records")
    os.close(fd)
    records = Records(records_path)
    groups = progress.Groups(total)
    cells = None
    try:
        out.write("running %s against %s (%d groups)%s\n" % (
            script, bundle, total, " in a Jupyter kernel" if notebook else ""))
        out.flush()
        with Stopper(time_limit) as stopper:
            if notebook:
                outcome = nb_runner.run(nb, script, bundle, records, stopper, groups, python, output)
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
    if stopper.reason or records.load is not None:
        summary(records, total, stopper.elapsed(), out, cells)
    out.flush()
    if stopper.reason == "time":
        raise Stopped("time limit of %s s exceeded: the run was stopped after %.1f s, with %d of %d groups answered"
                      % (_number(time_limit), stopper.elapsed(), records.answered, total), stopper.status())
    if stopper.reason:
        raise Stopped("interrupted after %.1f s, with %d of %d groups answered"
                      % (stopper.elapsed(), records.answered, total), stopper.status())
    if failure:
        raise KitError(failure)
    after = _file_state(SUBMISSION)
    if after is None or after == before:
        problems = ["%s %s" % (SUBMISSION, "was not written" if after is None else "was not rewritten by this run")]
        if not records.written:
            problems[0] += " (write_submission_file() was not called, or did not succeed)"
    else:
        problems = check_submission(test, sample)
    if problems:
        out.write("submission check failed:\n" + "".join("  - %s\n" % p for p in problems))
        return 1
    expected = expected_rows(test, sample)
    out.write("submission check: ok (%d rows, %d columns, %d PlayIds, no missing values) at %s\n"
              % (len(expected), sample.shape[1], expected["PlayId"].nunique(), SUBMISSION))
    if answers is not None:
        from .score import score_files
        out.flush()
        score_files(SUBMISSION, answers, metric, out)
    return 0


def _number(x):
    return ("%d" % x) if float(x).is_integer() else ("%g" % x)
