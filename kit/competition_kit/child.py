"""The child process a participant's code runs in, as the script and the notebook runners share it:
the bootstrap it starts with, the records it writes (read here as they grow), the clock, the
grace a stopped child gets, and the Stopper that turns Ctrl-C, SIGTERM and the time limit into
a stop."""
import os
import signal

import numpy as np

from . import progress

WORKING = "/vantor/working"  # the platform's working directory: the child runs there
BOOTSTRAP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_bootstrap.py")  # run by its path: see there
TIME_LIMIT_STATUS = 124  # as timeout(1)
GRACE = {"time": 1.0, "interrupt": 2.0}  # seconds a stopped child gets before it is killed
clock = progress.clock


def _ms(values):
    if not values:
        return "-"
    a = np.asarray(values) * 1e3
    return "median %.2f ms, p95 %.2f ms" % (np.median(a), np.percentile(a, 95))


def _some(values, limit=5):
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (", ..." if len(values) > limit else "")


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

    def refresh(self, groups):
        """Reads what is new and shows it on the progress line groups."""
        self.read()
        groups.update(self.answered, self.per_group())

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

    def handled(self):
        """The signals this Stopper handles while it is entered."""
        return list(self._saved)

    def overdue(self, since):
        """Whether a child asked to stop at since has had its grace (or a second signal came)."""
        return clock() - since > GRACE[self.reason] or self.signals > 1

    def status(self):
        return TIME_LIMIT_STATUS if self.reason == "time" else 128 + (self.signum or signal.SIGINT)


def signal_group(proc, signum):
    try:
        os.killpg(proc.pid, signum)
    except OSError:
        try:
            proc.send_signal(signum)
        except OSError:
            pass
