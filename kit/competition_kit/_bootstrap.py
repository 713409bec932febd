"""Runs a participant script as the platform would, timing the environment's calls.

Usage (by dry-run only): python _bootstrap.py SCRIPT BUNDLE STATS_JSON
The environment is left as the module builds it; the timing wraps its bound methods on the
instance, and progress goes to stderr.
"""
import atexit
import json
import os
import runpy
import sys
import time

SCRIPT, BUNDLE, STATS = sys.argv[1], sys.argv[2], sys.argv[3]
TOTAL = int(os.environ.get("COMPETITION_KIT_TOTAL", "0") or 0)

stats = {"load": None, "env": [], "own": [], "write": None, "groups": 0, "started": time.time()}


class Progress(object):
    def __init__(self, total):
        self.total = total
        self.start = time.time()
        self.last = 0.0
        self.bar = None
        self.tty = sys.stderr.isatty()
        self.next_line = 0.1
        try:
            from tqdm import tqdm
            self.bar = tqdm(total=total or None, unit="group", file=sys.stderr, mininterval=0.25)
        except ImportError:
            pass

    def update(self, done):
        if self.bar is not None:
            self.bar.update(1)
            return
        now = time.time()
        if self.tty:
            if now - self.last < 0.25 and done != self.total:
                return
        elif not self.total or done < self.next_line * self.total:
            return  # not a terminal: a line at every tenth of the way
        else:
            self.next_line += 0.1
        self.last = now
        rate = done / max(now - self.start, 1e-9)
        if self.total:
            left = (self.total - done) / rate if rate else 0
            line = "  %d/%d groups  %.0f groups/s  %ds left" % (done, self.total, rate, left)
        else:
            line = "  %d groups  %.0f groups/s" % (done, rate)
        sys.stderr.write(("\r" + line + " ") if self.tty else (line + "\n"))
        sys.stderr.flush()

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.tty:
            sys.stderr.write("\n")


def instrument(env):
    progress = Progress(TOTAL)
    iter_test, predict, write = env.iter_test, env.predict, env.write_submission_file
    state = {"yielded_at": None, "advance": 0.0, "predict": 0.0}

    class Timed(object):
        def __init__(self, gen):
            self.gen = gen

        def __iter__(self):
            return self

        def _timed(self, step):
            now = time.perf_counter()
            if state["yielded_at"] is not None:  # the participant's own time for the last group
                stats["own"].append(now - state["yielded_at"] - state["predict"])
                stats["env"].append(state["advance"] + state["predict"])
            try:
                item = step()
            finally:
                done = time.perf_counter()
                if stats["load"] is None:
                    stats["load"] = done - now
                    state["advance"] = 0.0
                else:
                    state["advance"] = done - now
                state["predict"] = 0.0
                state["yielded_at"] = done
            return item

        def __next__(self):
            return self._timed(lambda: next(self.gen))

        next = __next__

        def send(self, value):
            return self._timed(lambda: self.gen.send(value))

        def throw(self, *args):
            return self.gen.throw(*args)

        def close(self):
            return self.gen.close()

    def timed_iter_test():
        return Timed(iter_test())

    def timed_predict(predictions_df):
        t = time.perf_counter()
        try:
            return predict(predictions_df)
        finally:
            state["predict"] += time.perf_counter() - t
            stats["groups"] += 1
            progress.update(stats["groups"])

    def timed_write():
        t = time.perf_counter()
        try:
            return write()
        finally:
            stats["write"] = time.perf_counter() - t
            progress.close()

    env.iter_test = timed_iter_test
    env.predict = timed_predict
    env.write_submission_file = timed_write
    return env


def save():
    stats["total"] = time.time() - stats.pop("started")
    with open(STATS, "w") as f:
        json.dump(stats, f)


sys.path.insert(0, os.path.abspath(BUNDLE))
import competition  # noqa: E402  (the bundle's module, first on the path)

_real_make_env = competition.make_env


def make_env():
    return instrument(_real_make_env())


# The module's guard reads the flag of whatever its global make_env is bound to.
make_env.__called__ = False
competition.make_env = make_env
atexit.register(save)
sys.argv = [SCRIPT]
runpy.run_path(SCRIPT, run_name="__main__")
