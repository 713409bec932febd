"""The participant's loop over an environment, every phase of every group timed apart.

The participant fills the yielded sample frame (`sample_prediction_df.iloc[0, :] = values`) and
passes it back. Each group's advance (`next()`), `predict()` and the fill are timed, the advance
and predict also in CPU time; the fill is timed again on a consolidated copy of the same frame.
Warnings are counted by the phase they arise in.
"""
import contextlib
import gc
import io
import time
import warnings

import numpy as np

PHASES = ("load", "advance", "predict", "fill", "reference fill", "write")
SAME_FRAMES = 3  # groups whose yielded frames are compared across the environments

if hasattr(time, "thread_time"):
    thread_time = time.thread_time
else:  # Python 3.6
    def thread_time():
        """CPU time of this thread."""
        return time.clock_gettime(time.CLOCK_THREAD_CPUTIME_ID)


def nblocks(frame):
    """How many blocks hold the frame's columns (1 when consolidated and of one dtype)."""
    try:
        return len(frame._mgr.blocks)
    except AttributeError:
        return -1


def same_frames(a, b):
    """Whether two lists of yielded (test, sample) frames hold the same labels, dtypes and values."""
    def same(x, y):
        return (x.shape == y.shape and x.columns.equals(y.columns) and x.index.equals(y.index)
                and list(x.dtypes) == list(y.dtypes) and x.equals(y))
    return len(a) == len(b) and all(same(x[0], y[0]) and same(x[1], y[1]) for x, y in zip(a, b))


class Warned(object):
    """Warnings counted by the phase they arose in, and the first few of their messages."""

    def __init__(self):
        self.counts = dict.fromkeys(PHASES, 0)
        self.messages = []

    def account(self, phase, new):
        self.counts[phase] += len(new)
        for w in new:
            text = "%s: %s" % (w.category.__name__, str(w.message).strip().splitlines()[0][:120])
            if len(self.messages) < 6 and (phase, text) not in self.messages:
                self.messages.append((phase, text))


class Record(object):
    """The seconds of every phase of every group of one loop, wall-clock and CPU."""

    def __init__(self):
        self.served, self.predicts, self.fills, self.ref_fills = [], [], [], []
        self.cpu_served, self.cpu_predicts = [], []  # the same phases in CPU time: robust to a busy machine
        self.end = self.cpu_end = 0.0  # the last advance, which ends the loop
        self.blocks = {"test": [], "sample": []}
        self.kept = []
        self.groups = 0
        self.warned = Warned()

    def group(self, env, gen, item, v, caught):
        """One group: the participant's fill, predict(), the same fill on a consolidated copy, and
        the advance to the next group, whose item it returns (None at the end)."""
        pc, tt = time.perf_counter, thread_time
        test_df, sample = item
        self.blocks["test"].append(nblocks(test_df))
        self.blocks["sample"].append(nblocks(sample))
        if self.groups < SAME_FRAMES:  # kept to compare what each environment yields
            self.kept.append((test_df.copy(), sample.copy()))
        w0 = len(caught)
        t0 = pc()
        sample.iloc[0, :] = v
        t1 = pc()
        w1 = len(caught)
        c2 = tt()
        t2 = pc()
        env.predict(sample)
        t3 = pc()
        c3 = tt()
        w2 = len(caught)
        # the same frame, consolidated (a deep copy consolidates), made after predict() so that
        # nothing the benchmark adds runs between the advance, the fill and predict()
        reference = (sample.drop(columns=["PlayId"]) if "PlayId" in sample.columns else sample).copy()
        t4 = pc()
        reference.iloc[0, :] = v
        t5 = pc()
        w3 = len(caught)
        c6 = tt()
        t6 = pc()
        item = next(gen, None)
        t7 = pc()
        c7 = tt()
        self.fills.append(t1 - t0)
        self.predicts.append(t3 - t2)
        self.cpu_predicts.append(c3 - c2)
        self.ref_fills.append(t5 - t4)
        if item is None:
            self.end, self.cpu_end = t7 - t6, c7 - c6
        else:
            self.served.append(t7 - t6)
            self.cpu_served.append(c7 - c6)
        if caught:
            for phase, new in (("fill", caught[w0:w1]), ("predict", caught[w1:w2]),
                               ("reference fill", caught[w2:w3]), ("advance", caught[w3:])):
                self.warned.account(phase, new)
            del caught[:]
        self.groups += 1
        return item

    def figures(self, first, loop, cpu, write):
        """The per-run figures: medians per group in µs, the whole loop and the write in seconds."""
        g = self.groups
        served = np.array(self.served)
        predicts = np.array(self.predicts)
        steps = served + predicts[1:]  # group g: the advance that served it and its predict, g >= 1
        cpu_steps = np.array(self.cpu_served) + np.array(self.cpu_predicts)[1:]

        def us(a):
            return float(np.median(a)) * 1e6 if len(a) else float("nan")

        return {
            "groups": g, "first_advance_s": first, "loop_s": loop, "write_s": write,
            "cpu_share": cpu / loop,  # below 1 when the process waited for a core: a busy machine
            "advance_us": us(served), "predict_us": us(predicts), "step_us": us(steps),
            "mean_us": (served.sum() + self.end + predicts.sum()) / g * 1e6, "end_advance_us": self.end * 1e6,
            "cpu_mean_us": (sum(self.cpu_served) + self.cpu_end + sum(self.cpu_predicts)) / g * 1e6,
            "fill_us": us(self.fills), "reference_fill_us": us(self.ref_fills), "cpu_step_us": us(cpu_steps),
            "warnings": self.warned.counts, "messages": self.warned.messages, "frames": self.kept,
            "blocks_test": int(max(self.blocks["test"])), "blocks_sample": int(max(self.blocks["sample"])),
        }


def timed_write(env):
    """The seconds of env.write_submission_file(), its printing kept off the output."""
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        env.write_submission_file()
        return time.perf_counter() - t0


def drive(env, values):
    """The participant's loop over env: fill each yielded sample frame, pass it back. Returns the
    figures of the run (see Record.figures), with the warnings by phase."""
    record = Record()
    gc.collect()
    start = time.perf_counter()
    cpu_start = time.process_time()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gen = env.iter_test()
        t0 = time.perf_counter()
        item = next(gen, None)
        first = time.perf_counter() - t0
        record.warned.account("load", caught)
        del caught[:]
        while item is not None:
            item = record.group(env, gen, item, values[record.groups % len(values)], caught)
        loop = time.perf_counter() - start
        cpu = time.process_time() - cpu_start
        if record.groups == 0:
            raise RuntimeError("the environment served no group")
        write = timed_write(env)
        record.warned.account("write", caught)
    return record.figures(first, loop, cpu, write)
