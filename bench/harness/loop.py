"""The loop: the participant's loop driven over the module under test, the floor and the literal
steps, in the same run and on the same data, at each planned shape and count.

The module and the floor run alternately, so that drift hits both; the literal steps once, at
fewer counts. A run projected (from the last count's) to take longer than the cap is made once,
or not at all. The written files are compared byte for byte, and the first groups' yielded frames
with the floor's.
"""
import hashlib
import os
import shutil
import sys
import time

import numpy as np

import literal_steps

from .data import SHAPES, make_bundle, participant_values, tables
from .floor import FloorEnv
from .participant import drive, same_frames
from .rows import same_bytes
from .target import SUBMISSION, load_copy

# the per-run figures of which a summary holds the median over the runs
MEDIANS = ["first_advance_s", "loop_s", "write_s", "advance_us", "predict_us", "step_us", "mean_us",
           "end_advance_us", "fill_us", "reference_fill_us", "plain_write_s", "cpu_step_us", "cpu_mean_us"]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run_module(directory, values, scratch):
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


RUNNERS = {"module": run_module, "floor": run_floor, "literal": run_literal}
LABELS = {"module": "module", "floor": "floor", "literal": "literal steps"}


def summarize(runs):
    """The median over repeated runs of each per-run figure."""
    out = {"runs": len(runs)}
    for k in MEDIANS:
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


def seconds(run):
    return run["loop_s"] + run["write_s"]


class Projection(object):
    """How long one run of each environment took at each shape's last count, to project the next
    count's against the cap."""

    def __init__(self, cap):
        self.cap, self.last = cap, {}  # (kind, shape) -> (groups, seconds of one run)

    def runs(self, kind, shape, groups, repeats):
        """How many runs fit the time cap: 0 to skip, with the projected seconds of one run."""
        if (kind, shape) not in self.last:
            return repeats, None
        g0, s0 = self.last[(kind, shape)]
        projected = s0 * groups / float(g0)
        if projected > self.cap:
            return 0, projected
        return (repeats if projected * repeats <= self.cap else 1), projected

    def over(self, projected):
        return projected is not None and projected > self.cap

    def skipped(self, projected):
        return {"skipped": "projected %.0f s per run, over the cap of %.0f s" % (projected, self.cap)}

    def record(self, kind, shape, groups, seconds_of_one):
        self.last[(kind, shape)] = (groups, seconds_of_one)


class Case(object):
    """One shape at one count: its sealed bundle, the participant's answers, and the scratch
    directory where the other environments write."""

    def __init__(self, shape, groups, directory, scratch):
        self.shape, self.groups, self.directory, self.scratch = shape, groups, directory, scratch
        self.values = participant_values(SHAPES[shape]["predictions"])

    def run(self, kind, r, n):
        result = RUNNERS[kind](self.directory, self.values, self.scratch)
        progress(self.shape, self.groups, LABELS[kind], r, n, result)
        return result


def alternate(case, counts):
    """counts: {"module": runs, "floor": runs}; the runs made in alternating order."""
    runs = {"module": [], "floor": []}
    for r in range(max(counts.values())):
        for kind in ("module", "floor") if r % 2 == 0 else ("floor", "module"):  # drift hits both
            if r < counts[kind]:
                runs[kind].append(case.run(kind, r, counts[kind]))
    return runs


def module_and_floor(row, case, projection, repeats):
    """The module's and the floor's summaries into the row; returns the floor's runs."""
    counts, projected = {}, {}
    for kind in ("module", "floor"):
        counts[kind], projected[kind] = projection.runs(kind, case.shape, case.groups, repeats)
    # the module's figure needs its floor; without the module's, the floor's is not made either
    counts["floor"] = max(counts["floor"], 1) if counts["module"] else 0
    runs = alternate(case, counts)
    if runs["floor"]:
        row["same_frames"] = all(same_frames(r["frames"], runs["floor"][0]["frames"]) for r in runs["module"])
    for kind in ("module", "floor"):
        if runs[kind]:
            row[kind] = summarize(runs[kind])
            projection.record(kind, case.shape, case.groups, float(np.median([seconds(x) for x in runs[kind]])))
        elif projection.over(projected[kind]):
            row[kind] = projection.skipped(projected[kind])
        else:
            row[kind] = {"skipped": "the module's run was not made"}
    return runs["floor"]


def literal(row, case, projection, floor_runs):
    """The literal steps' summary into the row: one run, unless projected over the cap."""
    n, projected = projection.runs("literal", case.shape, case.groups, 1)
    if not n:
        row["literal"] = projection.skipped(projected)
        return
    run = case.run("literal", 0, 1)
    if floor_runs:
        row["same_frames"] = row.get("same_frames", True) and same_frames(run["frames"], floor_runs[0]["frames"])
    row["literal"] = summarize([run])
    projection.record("literal", case.shape, case.groups, seconds(run))


def bench_loop(plan, work, scratch, max_run_seconds):
    """plan: [(shape name, groups, with the literal steps, runs)]; one result row per entry."""
    rows = []
    projection = Projection(max_run_seconds)
    for shape, groups, with_literal, repeats in plan:
        t = time.time()
        test, sample = tables(shape, groups, seed=groups)
        directory = os.path.join(work, "loop-%s-%d" % (shape, groups))
        make_bundle(directory, test, sample)
        case = Case(shape, groups, directory, scratch)
        row = {"shape": shape, "groups": groups, "csv_mb": (len(test) + len(sample)) / 1e6}
        del test, sample
        floor_runs = module_and_floor(row, case, projection, repeats)
        if with_literal:
            literal(row, case, projection, floor_runs)
        rows.append(row)
        print(describe(row) + " (%.0f s)" % (time.time() - t), flush=True)
        shutil.rmtree(directory)
    return rows


def progress(shape, groups, kind, r, n, run):
    print("  %s, %d groups: %s run %d of %d, %.0f s" % (shape, groups, kind, r + 1, n, seconds(run)),
          file=sys.stderr, flush=True)


def describe(row):
    """The row in one line, as the run goes."""
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
