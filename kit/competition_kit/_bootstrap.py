"""Runs a participant script as the platform would, timing the environment's calls.

Usage (by dry-run only): python _bootstrap.py SCRIPT BUNDLE STATS_JSON

The bundle comes first on sys.path, then the script's own directory. The module is imported
from the bundle and left as it is: the script's `import competition` receives a stand-in
module whose make_env hands out a stand-in environment. That one times each call into the
real environment, counts the groups, shows progress on stderr, and forwards everything else.
The measurements are written to STATS_JSON as the process ends.
"""
import atexit
import collections.abc
import json
import os
import runpy
import sys
import time
import traceback
import types

SCRIPT, BUNDLE, STATS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
TOTAL = int(os.environ.get("COMPETITION_KIT_TOTAL", "0") or 0)
clock = time.perf_counter

stats = {"error": None, "load": None, "env": [], "own": [], "write": None, "written": False, "groups": 0,
         "reminders": 0, "total": None}
started = clock()


class Progress(object):
    """Groups answered of the total, their rate and the time left: a tqdm bar when tqdm is
    installed, otherwise one line redrawn on a terminal, or a line every tenth of the way."""

    def __init__(self, total):
        self.total = total
        self.start = None
        self.last = 0.0
        self.next_tenth = 1
        self.bar = None
        self.open = True
        self.tty = hasattr(sys.stderr, "isatty") and sys.stderr.isatty()

    def begin(self):
        """Starts the clock of the rate: when the first group has been served."""
        if self.start is not None or not self.open:
            return
        self.start = clock()
        try:
            from tqdm import tqdm
            self.bar = tqdm(total=self.total or None, unit="group", file=sys.stderr, mininterval=0.25)
        except ImportError:
            pass

    def update(self, done):
        if not self.open or self.start is None:
            return
        if self.bar is not None:
            self.bar.update(1)
            return
        now = clock()
        if self.tty:
            if now - self.last < 0.25 and done != self.total:
                return
        elif self.total and done * 10 >= self.next_tenth * self.total:
            while done * 10 >= self.next_tenth * self.total:
                self.next_tenth += 1
        else:
            return
        self.last = now
        rate = done / max(now - self.start, 1e-9)
        if self.total:
            left = max(self.total - done, 0) / rate
            line = "%d/%d groups  %.0f groups/s  %.0fs left" % (done, self.total, rate, left)
        else:
            line = "%d groups  %.0f groups/s" % (done, rate)
        sys.stderr.write(("\r" + line + "  ") if self.tty else (line + "\n"))
        sys.stderr.flush()

    def close(self):
        if not self.open:
            return
        self.open = False
        if self.bar is not None:
            self.bar.close()
        elif self.tty and self.last:
            sys.stderr.write("\n")
            sys.stderr.flush()


progress = Progress(TOTAL)


class Clock(object):
    """Splits the time of each group between the environment (the advance that served it and
    the predict calls that answered it) and the participant (everything in between)."""

    def __init__(self):
        self.served_at = None  # when the current group was handed over
        self.env = 0.0         # environment time of the current group so far
        self.inside = 0.0      # time spent in predict since the hand-over

    def advance(self, step):
        begin = clock()
        served = False
        try:
            item = step()
            served = True
            return item
        finally:
            end = clock()
            if served and item is None and self.served_at is not None:
                # a reminder: the group stays open, and this advance counts as the environment's
                self.env += end - begin
                self.inside += end - begin
            else:
                if self.served_at is not None:  # the group before is done
                    stats["own"].append(begin - self.served_at - self.inside)
                    stats["env"].append(self.env)
                if stats["load"] is None:
                    stats["load"] = end - begin  # reading and decrypting, then the first group
                    self.env = 0.0
                    if served:
                        progress.begin()
                else:
                    self.env = end - begin
                self.inside = 0.0
                self.served_at = end if served else None

    def predict(self, call):
        begin = clock()
        try:
            return call()
        finally:
            spent = clock() - begin
            self.env += spent
            self.inside += spent


class TimedGenerator(collections.abc.Generator):
    """The generator of iter_test(), advanced through the clock."""

    def __init__(self, gen, timer):
        self._gen = gen
        self._timer = timer

    def _item(self, item):
        if item is None:
            stats["reminders"] += 1
        return item

    def __next__(self):
        return self._item(self._timer.advance(lambda: next(self._gen)))

    def send(self, value):
        return self._item(self._timer.advance(lambda: self._gen.send(value)))

    def throw(self, *args):
        return self._gen.throw(*args)

    def close(self):
        return self._gen.close()

    def __getattr__(self, name):  # gi_frame, __name__, ...
        return getattr(self._gen, name)


class TimedEnvironment(object):
    """Stands in for the environment object; forwards every other attribute to it."""

    def __init__(self, env):
        object.__setattr__(self, "_env", env)
        object.__setattr__(self, "_timer", Clock())

    def iter_test(self):
        return TimedGenerator(self._env.iter_test(), self._timer)

    def predict(self, predictions_df):
        result = self._timer.predict(lambda: self._env.predict(predictions_df))
        stats["groups"] += 1  # only an accepted answer gets here
        progress.update(stats["groups"])
        return result

    def write_submission_file(self):
        progress.close()
        begin = clock()
        try:
            result = self._env.write_submission_file()
        finally:
            stats["write"] = clock() - begin
        stats["written"] = True
        return result

    def __getattr__(self, name):
        return getattr(self._env, name)

    def __setattr__(self, name, value):
        setattr(self._env, name, value)

    def __dir__(self):
        return dir(self._env)

    def __repr__(self):
        return repr(self._env)


def save():
    progress.close()
    stats["total"] = clock() - started
    with open(STATS, "w") as f:
        json.dump(stats, f)


def stand_in(real):
    """A module that forwards to the real one, with a make_env that times the environment."""

    class ForwardingModule(types.ModuleType):
        def __getattr__(self, name):
            return getattr(real, name)

        def __dir__(self):
            return sorted(set(dir(real)) | set(self.__dict__))

    module = ForwardingModule(real.__name__, real.__doc__)
    for name in ("__file__", "__spec__", "__loader__", "__package__", "__all__"):
        if hasattr(real, name):
            setattr(module, name, getattr(real, name))

    def make_env():
        env = real.make_env()
        make_env.__called__ = True
        return TimedEnvironment(env)

    make_env.__called__ = bool(getattr(real.make_env, "__called__", False))
    make_env.__doc__ = real.make_env.__doc__
    module.make_env = make_env
    return module


def script_traceback(exc_type, exc, tb):
    """The traceback from the script's own first frame on (the runner's frames left out)."""
    first = tb
    while first is not None and os.path.abspath(first.tb_frame.f_code.co_filename) != SCRIPT:
        first = first.tb_next
    traceback.print_exception(exc_type, exc, first or tb)


def main():
    sys.path[0] = BUNDLE  # in place of this file's directory
    sys.path.insert(1, os.path.dirname(SCRIPT))
    import competition
    if os.path.dirname(os.path.abspath(competition.__file__ or "")) != BUNDLE:
        sys.stderr.write("competition-kit: error: the module was imported from %s, not from the bundle\n"
                         % competition.__file__)
        return 1
    sys.modules["competition"] = stand_in(competition)
    atexit.register(save)
    sys.argv = [SCRIPT]
    try:
        runpy.run_path(SCRIPT, run_name="__main__")
    except SystemExit:
        raise
    except BaseException:
        exc_type, exc, tb = sys.exc_info()
        stats["error"] = exc_type.__name__
        progress.close()
        script_traceback(exc_type, exc, tb)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
