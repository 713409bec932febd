"""Benchmarks of the competition module, each figure measured side by side in one run.

    python bench/run.py                  the full run on this interpreter; report in bench/results/
    python bench/run.py --quick          a short run (CI runs it so that it never rots)
    python bench/run.py --json FILE      measure only: the figures of this interpreter as JSON
    python bench/run.py --report DIR     the tables and plots from the JSON files in DIR

`./run.sh bench [--quick]` runs the loop on every interpreter of the test matrix (each writes
its JSON) and the load on the newest, then draws one report from all of them.

Loop: a participant's loop over the environment, at a shape like a real competition's (about
22 rows and 40 columns of floats, integers and text per group; a sample submission of PlayId and
199 prediction columns), and at today's small shape. The participant fills the yielded sample
frame (`sample_prediction_df.iloc[0, :] = values`) and passes it back. Every group's advance
(`next()`), `predict()` and the participant's fill are timed apart; the figures are medians per
group. The same loop drives, in the same run and on the same data:

- the module under test (COMPETITION_MODULE, or the installed `competition`);
- the literal steps: the documented pandas calls in the documented order (bench/literal_steps.py);
- the floor: the least public pandas can do on consolidated frames. One sorted, consolidated
  copy of each input at load; per group a positional slice and one copy of the test rows and of
  the sample rows, the insert of PlayId into the participant's frame and one copy of it; the
  copies collected and concatenated once, at the write.

The participant's fill is timed again on a consolidated copy of the same yielded frame (its
budget takes the faster of that and the floor's own fill), and the module's write against a plain `to_csv` of the consolidated accumulated frame. The three written
files are compared byte for byte, and the frames yielded for the first groups with the floor's.
Warnings are counted by where they arise. Advance and predict are also timed in CPU time, and each
run's share of a core is recorded: below 0.9 the machine was busy and the wall-clock figures are
inflated. A run projected to take longer than --max-run-seconds is made once, or not at all.

Load: the first advance of the generator (both inputs decrypted and parsed, the groups indexed,
the first group served) against a plain pd.read_csv of the same CSV bytes from memory, and the
peak memory of each; each measurement in a fresh process.

Budgets are reported as pass or miss; nothing here asserts them.
"""
import argparse
import contextlib
import gc
import glob
import hashlib
import io
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "kit"))
sys.path.insert(0, HERE)

from competition_kit import synth  # noqa: E402
from competition_kit.sealing import seal_bytes  # noqa: E402
import literal_steps  # noqa: E402

SUBMISSION = "/vantor/working/submission.csv"

# 37 features which, with PlayId, Step (integers) and Time (text), make 40 columns:
# 28 float, 9 int, 3 text
REAL_KINDS = ("float", "float", "float", "int") * 7 + \
    ("float", "text", "float", "float", "text", "float", "float", "float", "float")
SHAPES = {
    "real": dict(rows_per_group=22, features=37, predictions=199, kinds=REAL_KINDS,
                 label="real: ~22 rows x 40 columns (28 float, 9 int, 3 text); PlayId + 199 predictions"),
    "small": dict(rows_per_group=20, features=20, predictions=10, kinds=None,
                  label="small (the earlier benchmark's): ~20 rows x 23 columns; PlayId + 10 predictions"),
}
# the real shape's data with PlayId left blank in a few test rows: the column reads as float
# against the sample's int keys (compare with the real shape at the same count: the same data)
SHAPES["blank"] = dict(SHAPES["real"], blank_keys=5,
                       label="blank: the real shape's data with PlayId blank in 5 test rows (read as float)")

# big_repeats: the runs at counts of 20,000 groups and more, where one run's median is steady
FULL = dict(real=[1000, 3000, 10000, 30000], small=[3000], blank=[3000], literal=[1000], repeats=3, big_repeats=2,
            load_sizes=[10, 100, 1000], load_repeats=3, max_run_seconds=240.0)
QUICK = dict(real=[200, 600], small=[200], blank=[600], literal=[200], repeats=1, big_repeats=1,
             load_sizes=[2, 8], load_repeats=1, max_run_seconds=60.0)

BUDGETS = dict(floor=1.1, pandas3_us=400.0, literal_pandas3=5.0, literal_other=3.0, flat=1.1,
               fill=1.5, write=1.05, load=1.15, peak_files=1.0)


def module_path():
    path = os.environ.get("COMPETITION_MODULE")
    if path:
        return path
    import importlib.util
    found = importlib.util.find_spec("competition")
    if found is None:
        sys.exit("no module to measure: set COMPETITION_MODULE to a built competition*.so, "
                 "or install the module")
    return found.origin


def load_copy(directory):
    import importlib.util
    path = os.path.join(directory, os.path.basename(module_path()))
    module_spec = importlib.util.spec_from_file_location("competition", path)
    m = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(m)
    m.make_env.__called__ = False  # a second load of one file shares the first one's function
    return m


def blank_keys(test_csv, n):
    """The test CSV with the PlayId (its first column) of n evenly spaced rows left blank."""
    lines = test_csv.split(b"\n")
    assert lines[0].startswith(b"PlayId,")
    rows = [i for i in range(1, len(lines)) if lines[i]]
    for i in rows[len(rows) // (2 * n)::max(1, len(rows) // n)][:n]:
        lines[i] = lines[i][lines[i].index(b","):]
    return b"\n".join(lines)


def make_bundle(directory, test_csv, sample_csv):
    os.makedirs(directory, exist_ok=True)
    shutil.copy(module_path(), directory)
    for name, data in (("test.csv", test_csv), ("sample_submission.csv", sample_csv)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
        with open(os.path.join(directory, name + ".encrypted"), "wb") as f:
            f.write(seal_bytes(data))


def versions():
    """The interpreter and libraries measured; pyarrow where it is installed (pandas then reads text
    as Arrow strings), which also names the results apart."""
    try:
        import pyarrow
        arrow = pyarrow.__version__
    except ImportError:
        arrow = None
    tag = "py%d.%d" % sys.version_info[:2] + ("-pyarrow" if arrow else "")
    return {"python": platform.python_version(), "pandas": pd.__version__, "numpy": np.__version__,
            "pyarrow": arrow, "tag": tag}


def libraries(v):
    """Python x, pandas y (and pyarrow z): how a result is named in the tables."""
    return "Python %s, pandas %s" % (v["python"], v["pandas"]) + (", pyarrow %s" % v["pyarrow"] if v.get("pyarrow") else "")


def pandas_major(version):
    return int(version.split(".")[0])


# ---- memory, from /proc --------------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


# ---- load ---------------------------------------------------------------------------------

def child_load(kind, directory):
    """In a fresh process: the time and peak memory growth of one load."""
    if kind == "plain":
        data = []
        for name in ("sample_submission.csv", "test.csv"):
            with open(os.path.join(directory, name), "rb") as f:
                data.append(f.read())
        base = rss()
        reset_peak()
        cpu = time.process_time()
        t = time.perf_counter()
        for d in data:
            pd.read_csv(io.BytesIO(d), sep=",", low_memory=False)
        seconds = time.perf_counter() - t
    else:
        m = load_copy(directory)
        gen = m.make_env().iter_test()
        base = rss()
        reset_peak()
        cpu = time.process_time()
        t = time.perf_counter()
        next(gen)
        seconds = time.perf_counter() - t
    cpu = time.process_time() - cpu
    print(json.dumps({"seconds": seconds, "peak": peak() - base, "cpu_share": cpu / seconds}))


def run_child(kind, directory):
    out = subprocess.check_output([sys.executable, __file__, "--child", kind, directory],
                                  env=dict(os.environ, COMPETITION_MODULE=module_path()))
    return json.loads(out.decode().strip().splitlines()[-1])


def bench_load(sizes, repeats, work):
    shape = SHAPES["real"]
    rows = []
    for mb in sizes:
        groups = synth.groups_for_size(mb, shape["rows_per_group"], shape["features"], kinds=shape["kinds"])
        t = time.time()
        test, sample = synth.make_tables(groups, shape["rows_per_group"], shape["features"],
                                         shape["predictions"], 1, seed=mb, kinds=shape["kinds"])
        directory = os.path.join(work, "load-%d" % mb)
        make_bundle(directory, test, sample)
        file_size = os.path.getsize(os.path.join(directory, "test.csv.encrypted")) + \
            os.path.getsize(os.path.join(directory, "sample_submission.csv.encrypted"))
        plain, module = [], []
        for _ in range(repeats):  # alternating, so that drift hits both alike
            plain.append(run_child("plain", directory))
            module.append(run_child("module", directory))
        med = lambda runs, key: float(np.median([r[key] for r in runs]))
        row = {"csv_mb": (len(test) + len(sample)) / 1e6, "file_mb": file_size / 1e6, "groups": groups,
               "plain_s": med(plain, "seconds"), "module_s": med(module, "seconds"),
               "plain_peak_mb": med(plain, "peak") / 1e6, "module_peak_mb": med(module, "peak") / 1e6,
               "runs": repeats, "cpu_share": min(r["cpu_share"] for r in plain + module)}
        row["ratio"] = row["module_s"] / row["plain_s"]
        row["peak_over_plain_in_files"] = (row["module_peak_mb"] - row["plain_peak_mb"]) / row["file_mb"]
        rows.append(row)
        print("load %4d MB: module %.3f s, plain %.3f s (x%.2f); peak %.0f MB vs %.0f MB (%.0f s)" % (
            mb, row["module_s"], row["plain_s"], row["ratio"], row["module_peak_mb"], row["plain_peak_mb"],
            time.time() - t), flush=True)
        shutil.rmtree(directory)
    return rows


# ---- the floor ------------------------------------------------------------------------------

class FloorEnv(object):
    """The least work public pandas calls can do for the loop, on consolidated frames. It keeps
    no protocol state and checks nothing: it only does the work every implementation must do."""

    def __init__(self, directory, path):
        self.directory, self.path, self.kept = directory, path, []

    def _read(self, name):
        with open(os.path.join(self.directory, name), "rb") as f:
            return pd.read_csv(io.BytesIO(f.read()), sep=",", low_memory=False)

    def iter_test(self):
        sample = self._read("sample_submission.csv")
        test = self._read("test.csv")
        if test["PlayId"].isna().any():  # rows of a missing key belong to no group
            test = test[test["PlayId"].notna()]
        keys = test["PlayId"].to_numpy()
        order = np.argsort(keys, kind="stable")  # by group, rows in file order within a group
        uniq, starts = np.unique(keys[order], return_index=True)
        bounds = starts.tolist() + [len(order)]
        rows = test.take(order).copy()  # a deep copy consolidates the blocks
        skeys = sample["PlayId"].to_numpy()
        sorder = np.argsort(skeys, kind="stable")
        sstarts = np.searchsorted(skeys[sorder], uniq, side="left").tolist()
        sends = np.searchsorted(skeys[sorder], uniq, side="right").tolist()
        body = sample.drop(columns=["PlayId"]).take(sorder).copy()
        del test, sample
        for g, key in enumerate(uniq.tolist()):
            self.key = key
            yield rows.iloc[bounds[g]:bounds[g + 1]].copy(), body.iloc[sstarts[g]:sends[g]].copy()

    def predict(self, predictions_df):
        predictions_df.insert(0, "PlayId", self.key)
        self.kept.append(predictions_df.copy())

    def accumulated(self):
        return pd.concat(self.kept) if self.kept else pd.DataFrame()

    def write_submission_file(self):
        self.accumulated().to_csv(self.path, index=False)


# ---- the participant's loop -----------------------------------------------------------------

def participant_values(predictions, count=64, seed=7):
    """Answers like a baseline's: a cumulative distribution over the prediction columns, a ramp
    from 0 to 1 around a centre that varies from group to group."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.3, 0.7, count) * predictions
    width = max(2.0, predictions / 10.0)
    x = np.arange(predictions)[None, :]
    return np.clip((x - centres[:, None]) / width + 0.5, 0.0, 1.0)


def nblocks(frame):
    """How many blocks hold the frame's columns (1 when consolidated and of one dtype)."""
    try:
        return len(frame._mgr.blocks)
    except AttributeError:
        return -1


SAME_FRAMES = 3  # groups whose yielded frames are compared across the environments


def same_frames(a, b):
    """Whether two lists of yielded (test, sample) frames hold the same labels, dtypes and values."""
    def same(x, y):
        return (x.shape == y.shape and x.columns.equals(y.columns) and x.index.equals(y.index)
                and list(x.dtypes) == list(y.dtypes) and x.equals(y))
    return len(a) == len(b) and all(same(x[0], y[0]) and same(x[1], y[1]) for x, y in zip(a, b))


if hasattr(time, "thread_time"):
    thread_time = time.thread_time
else:  # Python 3.6
    def thread_time():
        """CPU time of this thread."""
        return time.clock_gettime(time.CLOCK_THREAD_CPUTIME_ID)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def drive(env, values):
    """The participant's loop over env: fill each yielded sample frame, pass it back. Returns the
    timings (seconds) of every phase of every group, and the warnings by phase."""
    pc, tt = time.perf_counter, thread_time
    served, predicts, fills, ref_fills = [], [], [], []
    cpu_served, cpu_predicts = [], []  # the same phases in CPU time: robust to a busy machine
    counts = {"load": 0, "advance": 0, "predict": 0, "fill": 0, "reference fill": 0, "write": 0}
    messages = []
    blocks = {"test": [], "sample": []}
    kept = []

    def account(phase, new):
        counts[phase] += len(new)
        for w in new:
            text = "%s: %s" % (w.category.__name__, str(w.message).strip().splitlines()[0][:120])
            if len(messages) < 6 and (phase, text) not in [(p, m) for p, m in messages]:
                messages.append((phase, text))

    gc.collect()
    start = pc()
    cpu_start = time.process_time()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gen = env.iter_test()
        t0 = pc()
        item = next(gen, None)
        first = pc() - t0
        account("load", caught)
        del caught[:]
        g = 0
        end = cpu_end = 0.0
        while item is not None:
            test_df, sample = item
            blocks["test"].append(nblocks(test_df))
            blocks["sample"].append(nblocks(sample))
            if g < SAME_FRAMES:  # kept to compare what each environment yields
                kept.append((test_df.copy(), sample.copy()))
            v = values[g % len(values)]
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
            fills.append(t1 - t0)
            predicts.append(t3 - t2)
            cpu_predicts.append(c3 - c2)
            ref_fills.append(t5 - t4)
            if item is None:
                end = t7 - t6
                cpu_end = c7 - c6
            else:
                served.append(t7 - t6)
                cpu_served.append(c7 - c6)
            if caught:
                account("fill", caught[w0:w1])
                account("predict", caught[w1:w2])
                account("reference fill", caught[w2:w3])
                account("advance", caught[w3:])
                del caught[:]
            g += 1
        loop = pc() - start
        cpu = time.process_time() - cpu_start
        if g == 0:
            raise RuntimeError("the environment served no group")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            t0 = pc()
            env.write_submission_file()
            write = pc() - t0
        account("write", caught)
    served = np.array(served)
    predicts = np.array(predicts)
    steps = served + predicts[1:]  # group g: the advance that served it and its predict, g >= 1
    cpu_steps = np.array(cpu_served) + np.array(cpu_predicts)[1:]
    us = lambda a: float(np.median(a)) * 1e6 if len(a) else float("nan")
    return {
        "groups": g, "first_advance_s": first, "loop_s": loop, "write_s": write,
        "cpu_share": cpu / loop,  # below 1 when the process waited for a core: a busy machine
        "advance_us": us(served), "predict_us": us(predicts), "step_us": us(steps),
        "mean_us": (served.sum() + end + predicts.sum()) / g * 1e6, "end_advance_us": end * 1e6,
        "cpu_mean_us": (sum(cpu_served) + cpu_end + sum(cpu_predicts)) / g * 1e6,
        "fill_us": us(fills), "reference_fill_us": us(ref_fills), "cpu_step_us": us(cpu_steps),
        "warnings": counts, "messages": messages, "frames": kept,
        "blocks_test": int(max(blocks["test"])), "blocks_sample": int(max(blocks["sample"])),
    }


def run_module(directory, values):
    m = load_copy(directory)
    r = drive(m.make_env(), values)
    r["file"] = digest(SUBMISSION)
    return r


def run_literal(directory, values, scratch):
    path = os.path.join(scratch, "literal.csv")
    r = drive(literal_steps.make_env(directory, path), values)
    r["file"] = digest(path)
    os.remove(path)
    return r


def run_floor(directory, values, scratch):
    path = os.path.join(scratch, "floor.csv")
    env = FloorEnv(directory, path)
    r = drive(env, values)
    r["file"] = digest(path)
    os.remove(path)
    # the reference for the module's write: a plain to_csv of the consolidated accumulated frame
    frame = env.accumulated().copy()
    env.kept = []
    plain = os.path.join(scratch, "plain.csv")
    t = time.perf_counter()
    frame.to_csv(plain, index=False)
    r["plain_write_s"] = time.perf_counter() - t
    r["plain_file"] = digest(plain)
    os.remove(plain)
    return r


def summarize(kind, runs):
    """The median over repeated runs of each per-run figure."""
    keys = ["first_advance_s", "loop_s", "write_s", "advance_us", "predict_us", "step_us", "mean_us",
            "end_advance_us", "fill_us", "reference_fill_us", "plain_write_s", "cpu_step_us", "cpu_mean_us"]
    out = {"runs": len(runs)}
    for k in keys:
        if k in runs[0]:
            out[k] = float(np.median([r[k] for r in runs]))
    for k in ("blocks_test", "blocks_sample"):
        out[k] = max(r[k] for r in runs)
    out["cpu_share"] = min(r["cpu_share"] for r in runs)
    out["warnings"] = {p: max(r["warnings"][p] for r in runs) for p in runs[0]["warnings"]}
    out["messages"] = runs[0]["messages"]
    out["files"] = sorted(set(r["file"] for r in runs))
    if "plain_file" in runs[0]:
        out["plain_files"] = sorted(set(r["plain_file"] for r in runs))
    return out


def bench_loop(plan, work, scratch, max_run_seconds):
    """plan: [(shape name, groups, with the literal steps, runs)]; one result row per entry."""
    rows = []
    last = {}  # (kind, shape) -> (groups, seconds of one run): for the projection of the next

    def runs_for(kind, shape, groups, repeats):
        """How many runs fit the time cap: 0 to skip, with the projected seconds of one run."""
        if (kind, shape) not in last:
            return repeats, None
        g0, s0 = last[(kind, shape)]
        projected = s0 * groups / float(g0)
        if projected > max_run_seconds:
            return 0, projected
        return (repeats if projected * repeats <= max_run_seconds else 1), projected

    for shape_name, groups, with_literal, repeats in plan:
        shape = SHAPES[shape_name]
        t = time.time()
        test, sample = synth.make_tables(groups, shape["rows_per_group"], shape["features"],
                                         shape["predictions"], 1, seed=groups, kinds=shape["kinds"])
        if shape.get("blank_keys"):
            test = blank_keys(test, shape["blank_keys"])
        directory = os.path.join(work, "loop-%s-%d" % (shape_name, groups))
        make_bundle(directory, test, sample)
        values = participant_values(shape["predictions"])
        row = {"shape": shape_name, "groups": groups, "csv_mb": (len(test) + len(sample)) / 1e6}
        del test, sample
        n_module, p_module = runs_for("module", shape_name, groups, repeats)
        n_floor, p_floor = runs_for("floor", shape_name, groups, repeats)
        # the module's figure needs its floor; without the module's, the floor's is not made either
        n_floor = max(n_floor, 1) if n_module else 0
        module_runs, floor_runs = [], []
        for r in range(max(n_module, n_floor)):
            order = ("module", "floor") if r % 2 == 0 else ("floor", "module")  # drift hits both
            for kind in order:
                if kind == "module" and r < n_module:
                    module_runs.append(run_module(directory, values))
                    progress(shape_name, groups, kind, r, n_module, module_runs[-1])
                elif kind == "floor" and r < n_floor:
                    floor_runs.append(run_floor(directory, values, scratch))
                    progress(shape_name, groups, kind, r, n_floor, floor_runs[-1])
        if floor_runs:
            row["same_frames"] = all(same_frames(r["frames"], floor_runs[0]["frames"]) for r in module_runs)
        for kind, runs, projected in (("module", module_runs, p_module), ("floor", floor_runs, p_floor)):
            if runs:
                row[kind] = summarize(kind, runs)
                last[(kind, shape_name)] = (groups, float(np.median([x["loop_s"] + x["write_s"] for x in runs])))
            elif projected is not None and projected > max_run_seconds:
                row[kind] = {"skipped": "projected %.0f s per run, over the cap of %.0f s" % (
                    projected, max_run_seconds)}
            else:
                row[kind] = {"skipped": "the module's run was not made"}
        if with_literal:
            n_literal, p_literal = runs_for("literal", shape_name, groups, 1)
            if n_literal:
                runs = [run_literal(directory, values, scratch)]
                progress(shape_name, groups, "literal steps", 0, 1, runs[0])
                if floor_runs:
                    row["same_frames"] = row.get("same_frames", True) and \
                        same_frames(runs[0]["frames"], floor_runs[0]["frames"])
                row["literal"] = summarize("literal", runs)
                last[("literal", shape_name)] = (groups, runs[0]["loop_s"] + runs[0]["write_s"])
            else:
                row["literal"] = {"skipped": "projected %.0f s per run, over the cap of %.0f s" % (
                    p_literal, max_run_seconds)}
        rows.append(row)
        print(describe(row) + " (%.0f s)" % (time.time() - t), flush=True)
        shutil.rmtree(directory)
    return rows


def progress(shape, groups, kind, r, n, run):
    print("  %s, %d groups: %s run %d of %d, %.0f s" % (shape, groups, kind, r + 1, n, run["loop_s"] + run["write_s"]),
          file=sys.stderr, flush=True)


def describe(row):
    parts = ["loop %-5s %6d groups" % (row["shape"], row["groups"])]
    m, f = row["module"], row["floor"]
    if "step_us" in m:
        parts.append("module %.0f us (advance %.0f + predict %.0f)" % (m["step_us"], m["advance_us"], m["predict_us"]))
    else:
        parts.append("module not measured (%s)" % m["skipped"])
    if "step_us" in f:
        parts.append("floor %.0f us" % f["step_us"])
    lit = row.get("literal")
    if lit and "step_us" in lit:
        parts.append("literal %.0f us" % lit["step_us"])
    if "step_us" in m:
        parts.append("fill %.0f us vs %.0f us consolidated" % (m["fill_us"], m["reference_fill_us"]))
        if "plain_write_s" in f:
            parts.append("write %.3f s vs to_csv %.3f s" % (m["write_s"], f["plain_write_s"]))
        parts.append("same output: %s" % same_bytes(row))
    return ", ".join(parts)


def same_bytes(row):
    """'yes' when every written file matches the floor's (and the literal steps', when measured),
    and the first groups' yielded frames match too."""
    if row.get("same_frames") is False:
        return "NO (frames)"
    files = set()
    for kind in ("module", "floor", "literal"):
        files.update(row.get(kind, {}).get("files", []))
        files.update(row.get(kind, {}).get("plain_files", []))  # the reference to_csv's
    return "yes" if len(files) == 1 else ("NO" if files else "-")


# ---- report ---------------------------------------------------------------------------------

def fmt_us(v):
    return "-" if v is None or v != v else "{:,.0f}".format(v)


def verdict(ok):
    return "pass" if ok else "**miss**"


def measured(row, kind):
    r = row.get(kind)
    return r if r and "step_us" in r else None


BUDGET_NAMES = [
    "advance + predict at most %.1f times the floor (every count)" % BUDGETS["floor"],
    "at most %.0f µs per group on pandas 3 (every count)" % BUDGETS["pandas3_us"],
    "at least %.0f times (pandas 3) or %.0f times (others) faster than the literal steps" % (
        BUDGETS["literal_pandas3"], BUDGETS["literal_other"]),
    "flat: the per-group cost grows at most %.1f times from the first count to any later one" % BUDGETS["flat"],
    "the participant's fill at most %.1f times the same fill on a consolidated frame (every count)" % BUDGETS["fill"],
    "write at most %.2f times a plain to_csv of the consolidated accumulated frame (largest count)" % BUDGETS["write"],
    "load at most %.2f times a plain read_csv (every size)" % BUDGETS["load"],
    "extra peak memory of the load at most %.0f file size (every size)" % BUDGETS["peak_files"],
    "no warning from the module's own work (load, advance, predict, write)",
    "the written file byte-identical to the floor's and the literal steps' (and the first yielded frames equal)",
    "blank test keys: advance + predict at most %.1f times the real shape's at the same count" % BUDGETS["floor"],
]


def fill_ratio(row):
    """The module's fill of its yielded frames against the same fill on a consolidated frame: the
    consolidated copy filled in the same loop, or the floor's own (consolidated) yielded frames,
    whichever was faster, so that neither reference's noise favours the module."""
    m, f = row["module"], measured(row, "floor")
    reference = min(m["reference_fill_us"], f["fill_us"]) if f else m["reference_fill_us"]
    return m["fill_us"] / reference


def budgets(result):
    """{budget name: (figure, verdict)} for one interpreter's result, at the real shape; the
    verdict is "-" where the figure was not measured or the budget does not apply."""
    out = {}
    name = iter(BUDGET_NAMES)
    major = pandas_major(result["versions"]["pandas"])
    real = [r for r in result["loop"] if r["shape"] == "real"]
    mod = [r for r in real if measured(r, "module")]
    both = [r for r in mod if measured(r, "floor")]
    lit = [r for r in mod if measured(r, "literal")]
    missing = ("not measured", "-")

    worst = max(((r["module"]["step_us"] / r["floor"]["step_us"], r["groups"]) for r in both), default=None)
    out[next(name)] = ("x%.2f (at %d groups)" % worst, verdict(worst[0] <= BUDGETS["floor"])) if worst else missing
    worst = max(((r["module"]["step_us"], r["groups"]) for r in mod), default=None)
    key = next(name)
    if major < 3:
        out[key] = ("n/a", "-")
    else:
        out[key] = ("%s µs (at %d groups)" % (fmt_us(worst[0]), worst[1]),
                    verdict(worst[0] <= BUDGETS["pandas3_us"])) if worst else missing
    need = BUDGETS["literal_pandas3"] if major >= 3 else BUDGETS["literal_other"]
    worst = min(((r["literal"]["step_us"] / r["module"]["step_us"], r["groups"]) for r in lit), default=None)
    out[next(name)] = ("x%.1f (at %d groups)" % worst, verdict(worst[0] >= need)) if worst else missing
    key = next(name)
    if len(mod) >= 2:
        growth = max(r["module"]["step_us"] for r in mod[1:]) / mod[0]["module"]["step_us"]
        out[key] = ("x%.2f (%d to %d groups)" % (growth, mod[0]["groups"], mod[-1]["groups"]),
                    verdict(growth <= BUDGETS["flat"]))
    else:
        out[key] = missing
    worst = max(((fill_ratio(r), r["groups"]) for r in mod), default=None)
    out[next(name)] = ("x%.2f (at %d groups)" % worst, verdict(worst[0] <= BUDGETS["fill"])) if worst else missing
    key = next(name)
    if both:
        r = both[-1]
        ratio = r["module"]["write_s"] / r["floor"]["plain_write_s"]
        out[key] = ("x%.2f (at %d groups)" % (ratio, r["groups"]), verdict(ratio <= BUDGETS["write"]))
    else:
        out[key] = missing
    load = result.get("load") or []
    key = next(name)
    worst = max((r["ratio"] for r in load), default=None)
    out[key] = ("x%.2f" % worst, verdict(worst <= BUDGETS["load"])) if load else ("not measured here", "-")
    key = next(name)
    worst = max((r["peak_over_plain_in_files"] for r in load), default=None)
    out[key] = ("%.2f file sizes" % worst, verdict(worst <= BUDGETS["peak_files"])) if load \
        else ("not measured here", "-")
    key = next(name)
    if mod:
        n = sum(r["module"]["warnings"][p] for r in mod for p in ("load", "advance", "predict", "write"))
        out[key] = ("%d warnings" % n, verdict(n == 0))
    else:
        out[key] = missing
    key = next(name)
    rows = [r for r in result["loop"] if measured(r, "module")]
    if rows:
        bad = [r["groups"] for r in rows if same_bytes(r) != "yes"]
        out[key] = ("all identical" if not bad else "differs at %s groups" % bad, verdict(not bad))
    else:
        out[key] = missing
    key = next(name)
    clean = {r["groups"]: r for r in mod}
    pairs = [(r["module"]["step_us"] / clean[r["groups"]]["module"]["step_us"], r["groups"])
             for r in result["loop"] if r["shape"] == "blank" and measured(r, "module") and r["groups"] in clean]
    worst = max(pairs, default=None)
    out[key] = ("x%.2f (at %d groups)" % worst, verdict(worst[0] <= BUDGETS["floor"])) if worst else missing
    return out


def interpreter_title(result):
    v = result["versions"]
    return "%s, numpy %s" % (libraries(v), v["numpy"])


def loop_tables(result):
    lines = ["### Loop: median µs per group (advance and predict of the environment, without the participant's fill)", "",
             "| shape | groups | advance | predict | advance + predict | mean (CPU time) | floor | ratio to floor "
             "(budget %.1f) | literal steps | literal / module | runs | CPU share | advance + predict in CPU "
             "time: module / floor (ratio) |" % BUDGETS["floor"],
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
    for r in result["loop"]:
        m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
        cells = [r["shape"], "{:,}".format(r["groups"])]
        if m:
            cells += [fmt_us(m["advance_us"]), fmt_us(m["predict_us"]), fmt_us(m["step_us"]),
                      "%s (%s)" % (fmt_us(m["mean_us"]), fmt_us(m.get("cpu_mean_us")))]
        else:
            cells += ["not measured: " + r["module"]["skipped"], "", "", ""]
        cells.append(fmt_us(f["step_us"]) if f else "-")
        cells.append("%.2f" % (m["step_us"] / f["step_us"]) if m and f else "-")
        if lit:
            cells += [fmt_us(lit["step_us"]), "x%.1f" % (lit["step_us"] / m["step_us"]) if m else "-"]
        elif r.get("literal"):
            cells += ["not measured: " + r["literal"]["skipped"], "-"]
        else:
            cells += ["-", "-"]
        runs = "module %d, floor %d" % (m["runs"] if m else 0, f["runs"] if f else 0)
        if lit:
            runs += ", literal %d" % lit["runs"]
        cells.append(runs)
        shares = [x["cpu_share"] for x in (m, f, lit) if x and "cpu_share" in x]
        cells.append("%.2f" % min(shares) if shares else "-")
        if m and f and "cpu_step_us" in m and "cpu_step_us" in f:
            cells.append("%s / %s (%.2f)" % (fmt_us(m["cpu_step_us"]), fmt_us(f["cpu_step_us"]),
                                             m["cpu_step_us"] / f["cpu_step_us"]))
        else:
            cells.append("-")
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "### The participant's fill, the write, warnings and blocks", "",
              "| shape | groups | fill of the yielded frame µs | same fill, consolidated copy µs | ratio to the "
              "lower of this and the floor's (budget %.1f) | floor's fill µs | literal's fill µs | write s | plain to_csv s | ratio (budget %.2f) "
              "| same file and frames | module warnings: load / advance / predict / write | warnings in the fill "
              "| blocks of the yielded test / sample frames |" % (BUDGETS["fill"], BUDGETS["write"]),
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---:|---|"]
    for r in result["loop"]:
        m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
        if not m:
            continue
        w = m["warnings"]
        cells = [r["shape"], "{:,}".format(r["groups"]), fmt_us(m["fill_us"]), fmt_us(m["reference_fill_us"]),
                 "%.2f" % fill_ratio(r), fmt_us(f["fill_us"]) if f else "-",
                 fmt_us(lit["fill_us"]) if lit else "-", "%.3f" % m["write_s"],
                 "%.3f" % f["plain_write_s"] if f else "-",
                 "%.2f" % (m["write_s"] / f["plain_write_s"]) if f else "-", same_bytes(r),
                 "%d / %d / %d / %d" % (w["load"], w["advance"], w["predict"], w["write"]), "%d" % w["fill"],
                 "%d / %d" % (m["blocks_test"], m["blocks_sample"])]
        lines.append("| " + " | ".join(cells) + " |")
    msgs = []
    for r in result["loop"]:
        m = measured(r, "module")
        for phase, text in (m or {}).get("messages", []):
            if (phase, text) not in msgs:
                msgs.append((phase, text))
    if msgs:
        lines += ["", "Warnings seen in the module's runs (by phase):", ""]
        lines += ["- %s: `%s`" % (p, t) for p, t in msgs[:8]]
    return lines


def load_table(result):
    lines = ["### Load: the first advance against a plain `pd.read_csv` of the same bytes (real shape)", "",
             "| CSV MB | file MB | groups | first advance s | plain read_csv s | ratio (budget %.2f) "
             "| peak MB | plain peak MB | extra peak, in file sizes (budget %.1f) | runs | CPU share |" % (
                 BUDGETS["load"], BUDGETS["peak_files"]),
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in result["load"]:
        lines.append("| %.0f | %.0f | {:,} | %.3f | %.3f | %.2f | %.0f | %.0f | %.2f | %d | %.2f |".format(
            r["groups"]) % (r["csv_mb"], r["file_mb"], r["module_s"], r["plain_s"], r["ratio"],
                            r["module_peak_mb"], r["plain_peak_mb"], r["peak_over_plain_in_files"],
                            r.get("runs", 0), r.get("cpu_share", float("nan"))))
    return lines


def busy_note(results):
    """A warning when some loop run got less than 90% of a core: its figures are inflated."""
    low = []
    for r in results:
        shares = [row[k].get("cpu_share", 1.0) for row in r["loop"] for k in ("module", "floor", "literal")
                  if measured(row, k)] + [row.get("cpu_share", 1.0) for row in r.get("load") or []]
        if shares and min(shares) < 0.9:
            low.append("%s (%.2f)" % (libraries(r["versions"]), min(shares)))
    if not low:
        return []
    return ["**The machine was busy**: some runs got less than 90%% of a core (lowest CPU share: %s); "
            "their per-group figures are inflated and noisy (the CPU-time column of the loop tables is less "
            "affected)." % ", ".join(low), ""]


def budget_table(results):
    lines = ["| budget | " + " | ".join(libraries(r["versions"]) for r in results) + " |",
             "|---|" + "---|" * len(results)]
    table = [budgets(r) for r in results]
    for name in BUDGET_NAMES:
        cells = ["%s, %s" % t[name] if t[name][1] != "-" else t[name][0] for t in table]
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    return lines


def summary_table(result):
    """The real shape's loop figures of one interpreter, in a few columns (for the README)."""
    lines = ["| groups | advance µs | predict µs | advance + predict µs | floor µs | ratio | literal steps µs "
             "| fill of the yielded frame / of a consolidated copy µs |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in result["loop"]:
        if r["shape"] != "real":
            continue
        m, f, lit = measured(r, "module"), measured(r, "floor"), measured(r, "literal")
        if not m:
            lines.append("| {:,} | not measured: {} | | | | | | |".format(r["groups"], r["module"]["skipped"]))
            continue
        lines.append("| {:,} | {} | {} | {} | {} | {} | {} | {} / {} |".format(
            r["groups"], fmt_us(m["advance_us"]), fmt_us(m["predict_us"]), fmt_us(m["step_us"]),
            fmt_us(f["step_us"]) if f else "-", "%.2f" % (m["step_us"] / f["step_us"]) if f else "-",
            fmt_us(lit["step_us"]) if lit else "-", fmt_us(m["fill_us"]), fmt_us(m["reference_fill_us"])))
    return lines


def intro(results):
    quick = any(r["quick"] for r in results)
    return ("%s run of `bench/run.py%s` on %d cores, %s. Loop figures are medians per group over the "
            "groups of a run, then the median over the runs; every ratio compares figures measured side by "
            "side in the same run on the same interpreter. \"advance + predict\" is the environment's own "
            "work per group; the participant's fill (`sample_prediction_df.iloc[0, :] = values`) is timed "
            "apart. The mean per group (the loop's advances, the last one included, and predicts, over the "
            "groups) shows what the median hides: work done once every so many groups. The floor is the "
            "least public pandas can do on consolidated frames (slices of one sorted "
            "copy, one copy per yielded frame, the insert, one copy of the answer); the literal steps are the "
            "documented pandas calls in their order, measured at fewer groups (see the runs column)." % (
                "A quick" if quick else "A full", " --quick" if quick else "", results[0]["cores"],
                results[0].get("date", "")))


def report(results, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    results = sorted(results, key=lambda r: ([int(x) for x in r["versions"]["python"].split(".")[:2]],
                                             bool(r["versions"].get("pyarrow"))))
    lines = ["# Benchmark results", "", intro(results), ""]
    shapes = [s for s in SHAPES if any(row["shape"] == s for r in results for row in r["loop"])]
    lines += ["Shapes:", ""] + ["- %s" % SHAPES[s]["label"] for s in shapes] + [""]
    lines += ["## Budgets (real shape)", ""] + busy_note(results) + budget_table(results) + [""]
    for r in results:
        lines += ["## %s" % interpreter_title(r), "",
                  "Took %.0f s; module %s." % (r["elapsed_s"], os.path.basename(r.get("module", "?"))), ""]
        if r["loop"]:
            lines += loop_tables(r) + [""]
        if r.get("load"):
            lines += load_table(r) + [""]
    if any(r["loop"] for r in results):
        lines += ["![per-group cost against groups, for each pandas](plot.png)", ""]
    if any(r.get("load") for r in results):
        lines += ["![load time against CSV size](load.png)", ""]
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(lines))
    plot(results, out_dir)
    if os.path.abspath(out_dir) == os.path.join(HERE, "results") and not any(r["quick"] for r in results):
        update_readme(results)


README_BEGIN = "<!-- bench results: written by `bench/run.py --report` -->"
README_END = "<!-- end of bench results -->"


def update_readme(results):
    """The summary of a full run into the README's Performance section, between its markers."""
    path = os.path.join(ROOT, "README.md")
    with open(path) as f:
        text = f.read()
    if text.count(README_BEGIN) != 1 or text.count(README_END) != 1:
        print("README.md has no bench results markers: not updated", file=sys.stderr)
        return
    lines = [intro(results), "", "Budgets (real shape):", ""] + busy_note(results) + budget_table(results) + [""]
    for r in results:
        if r["loop"]:
            lines += ["%s, real shape:" % interpreter_title(r), ""] + summary_table(r) + [""]
    if any(r["loop"] for r in results):
        lines += ["![per-group cost against groups, for each pandas](bench/results/plot.png)", ""]
    if any(r.get("load") for r in results):
        lines += ["![load time against CSV size](bench/results/load.png)", ""]
    head, rest = text.split(README_BEGIN)
    _, tail = rest.split(README_END)
    with open(path, "w") as f:
        f.write(head + README_BEGIN + "\n" + "\n".join(lines) + README_END + tail)
    print("summary written to README.md")


def plot(results, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker  # noqa: F401
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    with_loop = [r for r in results if r["loop"]]
    if with_loop:
        cols = min(2, len(with_loop))
        nrows = (len(with_loop) + cols - 1) // cols
        fig, axes = plt.subplots(nrows, cols, figsize=(6.2 * cols, 4.4 * nrows), squeeze=False)
        for ax in axes.ravel()[len(with_loop):]:
            ax.set_visible(False)
        for ax, result in zip(axes.ravel(), with_loop):
            real = [r for r in result["loop"] if r["shape"] == "real"]

            def series(kind, key, style, label):
                pts = [(r["groups"], r[kind][key]) for r in real if measured(r, kind)]
                if pts:
                    ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label)

            series("module", "step_us", "o-", "module: advance + predict")
            series("floor", "step_us", "s--", "floor (public pandas)")
            series("literal", "step_us", "^", "literal steps")
            series("module", "fill_us", "x:", "participant's fill, yielded frame")
            series("module", "reference_fill_us", "+:", "same fill, consolidated copy")
            if pandas_major(result["versions"]["pandas"]) >= 3:
                ax.axhline(BUDGETS["pandas3_us"], color="grey", lw=0.8, ls="-.", label="budget 400 µs")
            ax.set_xscale("log")
            ax.set_yscale("log")
            ticks = sorted(set(r["groups"] for r in real))
            ax.set_xticks(ticks)
            ax.set_xticklabels(["{:,}".format(t) for t in ticks])
            ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
            ax.set_xlabel("groups")
            ax.set_ylabel("µs per group (median)")
            ax.set_title(libraries(result["versions"]))
            ax.grid(True, which="major", alpha=0.3)
            ax.legend(fontsize=7)
        fig.suptitle("Per-group cost at the real shape")
        fig.tight_layout()
        fig.savefig(os.path.join(out_dir, "plot.png"), dpi=100)
        plt.close(fig)
    with_load = [r for r in results if r.get("load")]
    if with_load:
        fig, ax = plt.subplots(figsize=(6.2, 4.4))
        for result in with_load:
            s = [r["csv_mb"] for r in result["load"]]
            tag = "pandas %s" % result["versions"]["pandas"]
            ax.plot(s, [r["module_s"] for r in result["load"]], "o-", label="first advance, " + tag)
            ax.plot(s, [r["plain_s"] for r in result["load"]], "s--", label="plain read_csv, " + tag)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("CSV MB")
        ax.set_ylabel("seconds")
        ax.set_title("Load time")
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(os.path.join(out_dir, "load.png"), dpi=100)
        plt.close(fig)


# ---- main -----------------------------------------------------------------------------------

def counts(text):
    return [int(x) for x in text.split(",") if x]


def measure(args):
    cfg = dict(QUICK if args.quick else FULL)
    for key in ("real", "small", "blank", "literal"):
        value = getattr(args, key + "_groups")
        if value is not None:
            cfg[key] = counts(value)
    if args.load_sizes is not None:
        cfg["load_sizes"] = counts(args.load_sizes)
    if args.repeats:
        cfg["repeats"] = cfg["big_repeats"] = cfg["load_repeats"] = args.repeats
    if args.max_run_seconds:
        cfg["max_run_seconds"] = args.max_run_seconds
    parts = args.parts.split(",")
    runs = lambda g: cfg["big_repeats"] if g >= 20000 else cfg["repeats"]
    plan = [("real", g, g in cfg["literal"], runs(g)) for g in cfg["real"]] + \
           [("small", g, False, runs(g)) for g in cfg["small"]] + \
           [("blank", g, False, runs(g)) for g in cfg["blank"]]
    work = tempfile.mkdtemp(prefix="competition-bench-")
    directory = os.path.dirname(SUBMISSION)
    made_directory = not os.path.isdir(directory)
    os.makedirs(directory, exist_ok=True)
    saved = open(SUBMISSION, "rb").read() if os.path.exists(SUBMISSION) else None
    scratch = tempfile.mkdtemp(prefix=".bench-", dir=directory)  # beside the module's output
    start = time.time()
    try:
        loop = bench_loop(plan, work, scratch, cfg["max_run_seconds"]) if "loop" in parts else []
        load = bench_load(cfg["load_sizes"], cfg["load_repeats"], work) if "load" in parts else []
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)
        if saved is not None:
            with open(SUBMISSION, "wb") as f:
                f.write(saved)
        elif os.path.exists(SUBMISSION):
            os.remove(SUBMISSION)
        if made_directory:
            with contextlib.suppress(OSError):
                os.rmdir(directory)
    return {"versions": versions(), "quick": args.quick, "cores": os.cpu_count(), "module": module_path(),
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "elapsed_s": time.time() - start,
            "config": cfg, "loop": loop, "load": load}


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        return child_load(sys.argv[2], sys.argv[3])
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small counts and sizes, one run each")
    p.add_argument("--parts", default="loop,load", help="loop, load or both (default)")
    p.add_argument("--json", default=None, help="measure only and write the figures to this file")
    p.add_argument("--report", default=None, metavar="DIR",
                   help="no measurement: the report from the *.json files in DIR")
    p.add_argument("--out", default=None, help="results directory (default bench/results, or a "
                                               "temporary one for --quick)")
    p.add_argument("--real-groups", default=None, help="group counts at the real shape, e.g. 1000,3000")
    p.add_argument("--small-groups", default=None, help="group counts at the small shape")
    p.add_argument("--blank-groups", default=None, help="group counts at the real shape with a few blank "
                                                        "test keys (compare: the real shape at the same count)")
    p.add_argument("--literal-groups", default=None, help="counts (of the real ones) at which the "
                                                          "literal steps run too")
    p.add_argument("--load-sizes", default=None, help="CSV sizes in MB for the load, e.g. 10,100")
    p.add_argument("--repeats", type=int, default=None, help="runs per measurement")
    p.add_argument("--max-run-seconds", type=float, default=None,
                   help="a run projected to take longer is not made (default 240, quick 60)")
    args = p.parse_args()
    if not args.json:
        out_dir = args.out or (tempfile.mkdtemp(prefix="bench-") if args.quick else os.path.join(HERE, "results"))
    if args.report:
        files = sorted(glob.glob(os.path.join(args.report, "*.json")))
        if not files:
            sys.exit("no results (*.json) in %s" % args.report)
        results = []
        for path in files:
            with open(path) as f:
                results.append(json.load(f))
        if os.path.abspath(args.report) != os.path.abspath(out_dir):
            os.makedirs(out_dir, exist_ok=True)
            for old in glob.glob(os.path.join(out_dir, "py*.json")):
                os.remove(old)
            for path in files:
                shutil.copy(path, out_dir)
        report(results, out_dir)
        print("results in %s" % out_dir)
        return
    result = measure(args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
        print("figures in %s" % args.json)
        return
    os.makedirs(out_dir, exist_ok=True)
    for old in glob.glob(os.path.join(out_dir, "py*.json")):
        os.remove(old)
    with open(os.path.join(out_dir, "%s.json" % result["versions"]["tag"]), "w") as f:
        json.dump(result, f, indent=1)
    report([result], out_dir)
    print("results in %s" % out_dir)


if __name__ == "__main__":
    main()
