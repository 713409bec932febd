"""Benchmarks of the competition module, each figure a ratio measured side by side in one run.

    python bench/run.py            the full run (CSV sizes 10 MB to 1 GB, 1k to 30k groups)
    python bench/run.py --quick    a run of under a minute (CI runs it so that it never rots)

Load: the first advance of the generator (both inputs decrypted and parsed, the groups indexed,
the first group served) against a plain pd.read_csv of the same CSV bytes from memory, and the
peak memory of each; each measurement in a fresh process. Loop: advance plus predict per group
against the pandas work no implementation can avoid (taking the group's rows and its sample rows,
the insert into the caller's frame, one copy), at several numbers of groups. Write:
write_submission_file against a plain to_csv of the same frame. Every figure is the median of
several repeats. Results go to bench/results/ as markdown and a PNG plot.
"""
import argparse
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "kit"))

from competition_kit import synth  # noqa: E402
from competition_kit.sealing import seal_bytes  # noqa: E402

SUBMISSION = "/vantor/working/submission.csv"


def module_path():
    path = os.environ.get("COMPETITION_MODULE")
    if path:
        return path
    import importlib.util
    return importlib.util.find_spec("competition").origin


def load_copy(directory):
    import importlib.util
    path = os.path.join(directory, os.path.basename(module_path()))
    module_spec = importlib.util.spec_from_file_location("competition", path)
    m = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(m)
    m.make_env.__called__ = False  # a second load of one file shares the first one's function
    return m


def make_bundle(directory, test_csv, sample_csv):
    os.makedirs(directory, exist_ok=True)
    shutil.copy(module_path(), directory)
    for name, data in (("test.csv", test_csv), ("sample_submission.csv", sample_csv)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
        with open(os.path.join(directory, name + ".encrypted"), "wb") as f:
            f.write(seal_bytes(data))


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


def child_load(kind, directory):
    """In a fresh process: the time and peak memory growth of one load."""
    if kind == "plain":
        data = []
        for name in ("sample_submission.csv", "test.csv"):
            with open(os.path.join(directory, name), "rb") as f:
                data.append(f.read())
        base = rss()
        reset_peak()
        t = time.perf_counter()
        for d in data:
            pd.read_csv(io.BytesIO(d), sep=",", low_memory=False)
        seconds = time.perf_counter() - t
    else:
        m = load_copy(directory)
        gen = m.make_env().iter_test()
        base = rss()
        reset_peak()
        t = time.perf_counter()
        next(gen)
        seconds = time.perf_counter() - t
    print(json.dumps({"seconds": seconds, "peak": peak() - base}))


def run_child(kind, directory):
    out = subprocess.check_output([sys.executable, __file__, "--child", kind, directory],
                                  env=dict(os.environ, COMPETITION_MODULE=module_path()))
    return json.loads(out.decode().strip().splitlines()[-1])


def bench_load(sizes, repeats, work):
    rows = []
    for mb in sizes:
        groups = synth.groups_for_size(mb, rows_per_group=20, features=40)
        t = time.time()
        test, sample = synth.make_tables(groups, 20, 40, 10, 1, seed=mb)
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
               "plain_peak_mb": med(plain, "peak") / 1e6, "module_peak_mb": med(module, "peak") / 1e6}
        row["ratio"] = row["module_s"] / row["plain_s"]
        row["peak_over_plain_in_files"] = (row["module_peak_mb"] - row["plain_peak_mb"]) / row["file_mb"]
        rows.append(row)
        print("load %4d MB: module %.3f s, plain %.3f s (x%.2f); peak %.0f MB vs %.0f MB (setup %.0f s)" % (
            mb, row["module_s"], row["plain_s"], row["ratio"], row["module_peak_mb"], row["plain_peak_mb"],
            time.time() - t), flush=True)
        shutil.rmtree(directory)
    return rows


# ---- the loop and the writer ----------------------------------------------------------------

def floor_per_group(test_csv, sample_csv):
    """The unavoidable pandas work of one group, over every group."""
    test = pd.read_csv(io.BytesIO(test_csv), sep=",", low_memory=False)
    sample = pd.read_csv(io.BytesIO(sample_csv), sep=",", low_memory=False)
    keys = test["PlayId"].to_numpy()
    order = np.argsort(keys, kind="stable")
    uniq, starts = np.unique(keys[order], return_index=True)
    bounds = list(starts) + [len(order)]
    skeys = sample["PlayId"].to_numpy()
    sorder = np.argsort(skeys, kind="stable")
    sstarts = np.searchsorted(skeys[sorder], uniq, side="left")
    sends = np.searchsorted(skeys[sorder], uniq, side="right")
    body = sample.drop(columns=["PlayId"])
    t = time.perf_counter()
    for g, key in enumerate(uniq.tolist()):
        test.take(order[bounds[g]:bounds[g + 1]])
        answer = body.take(sorder[sstarts[g]:sends[g]])
        answer.insert(0, "PlayId", key)
        answer.copy()
    return (time.perf_counter() - t) / len(uniq)


def module_loop(directory):
    """Per-group time of advance plus predict, the write time, and a plain to_csv of the same
    frame."""
    m = load_copy(directory)
    env = m.make_env()
    gen = env.iter_test()
    item = next(gen)  # the load: measured separately
    t = time.perf_counter()
    n = 0
    while item is not None:  # nothing is kept: the floor keeps nothing either
        env.predict(item[1])
        n += 1
        item = next(gen, None)
    per_group = (time.perf_counter() - t) / n
    os.makedirs(os.path.dirname(SUBMISSION), exist_ok=True)
    with contextlib.redirect_stdout(io.StringIO()):
        t = time.perf_counter()
        env.write_submission_file()
        write = time.perf_counter() - t
    with open(SUBMISSION, "rb") as f:
        written = f.read()
    frame = pd.read_csv(io.BytesIO(written), sep=",", low_memory=False)  # the same frame, for to_csv
    fd, plain_path = tempfile.mkstemp(suffix=".csv")
    os.close(fd)
    t = time.perf_counter()
    frame.to_csv(plain_path, index=False)
    plain_write = time.perf_counter() - t
    with open(plain_path, "rb") as f:
        same = f.read() == written
    os.remove(plain_path)
    return per_group, write, plain_write, same


def bench_loop(group_counts, repeats, work):
    rows = []
    for groups in group_counts:
        test, sample = synth.make_tables(groups, 20, 20, 10, 1, seed=groups)
        directory = os.path.join(work, "loop-%d" % groups)
        make_bundle(directory, test, sample)
        runs, floors = [], []
        for _ in range(repeats):
            runs.append(module_loop(directory))
            floors.append(floor_per_group(test, sample))
        row = {"groups": groups,
               "module_us": float(np.median([r[0] for r in runs])) * 1e6,
               "floor_us": float(np.median(floors)) * 1e6,
               "write_s": float(np.median([r[1] for r in runs])),
               "plain_write_s": float(np.median([r[2] for r in runs])),
               "same_file": all(r[3] for r in runs)}
        row["ratio"] = row["module_us"] / row["floor_us"]
        row["write_ratio"] = row["write_s"] / row["plain_write_s"]
        rows.append(row)
        print("loop %6d groups: %.0f us per group, floor %.0f us (x%.2f); write %.3f s vs %.3f s (x%.2f)" % (
            groups, row["module_us"], row["floor_us"], row["ratio"], row["write_s"], row["plain_write_s"],
            row["write_ratio"]), flush=True)
        shutil.rmtree(directory)
    return rows


# ---- report ---------------------------------------------------------------------------------

def versions():
    import platform
    return "Python %s, pandas %s, numpy %s" % (platform.python_version(), pd.__version__, np.__version__)


def report(load, loop, out_dir, quick, elapsed):
    os.makedirs(out_dir, exist_ok=True)
    lines = ["# Benchmark results", "",
             "%s run of `bench/run.py`%s on %s; %d cores. Each figure is the median of repeated runs; "
             "every ratio compares two measurements taken side by side in the same run. Took %.0f s." % (
                 "A quick" if quick else "A full", " --quick" if quick else "", versions(), os.cpu_count(), elapsed),
             "", "## Load: the first advance against a plain `pd.read_csv` of the same bytes", "",
             "| CSV MB | file MB | first advance s | plain read_csv s | ratio (budget 1.15) "
             "| peak MB | plain peak MB | extra peak, in file sizes (budget 1.0) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in load:
        lines.append("| %.0f | %.0f | %.3f | %.3f | %.2f | %.0f | %.0f | %.2f |" % (
            r["csv_mb"], r["file_mb"], r["module_s"], r["plain_s"], r["ratio"], r["module_peak_mb"],
            r["plain_peak_mb"], r["peak_over_plain_in_files"]))
    lines += ["", "## Loop: advance plus predict per group against the pandas floor", "",
              "| groups | per group µs | floor µs | ratio (budget 1.5) | write s | plain to_csv s "
              "| write ratio (budget 1.2) | same bytes |",
              "|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in loop:
        lines.append("| %d | %.0f | %.0f | %.2f | %.3f | %.3f | %.2f | %s |" % (
            r["groups"], r["module_us"], r["floor_us"], r["ratio"], r["write_s"], r["plain_write_s"],
            r["write_ratio"], "yes" if r["same_file"] else "NO"))
    if len(loop) > 1:
        lines += ["", "Per-group growth from %d to %d groups: x%.2f (budget 1.2); the floor's: x%.2f." % (
            loop[0]["groups"], loop[-1]["groups"], loop[-1]["module_us"] / loop[0]["module_us"],
            loop[-1]["floor_us"] / loop[0]["floor_us"])]
    lines += ["", "![per-group cost and load time](%s)" % "plot.png", ""]
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(lines))
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump({"load": load, "loop": loop, "versions": versions()}, f, indent=1)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    g = [r["groups"] for r in loop]
    a.plot(g, [r["module_us"] for r in loop], "o-", label="advance + predict")
    a.plot(g, [r["floor_us"] for r in loop], "s--", label="pandas floor")
    a.set_xscale("log")
    a.set_xlabel("groups")
    a.set_ylabel("µs per group")
    a.set_ylim(bottom=0)
    a.set_title("Per-group cost")
    a.legend()
    s = [r["csv_mb"] for r in load]
    if not load:
        b.set_visible(False)
    b.plot(s, [r["module_s"] for r in load], "o-", label="first advance")
    b.plot(s, [r["plain_s"] for r in load], "s--", label="plain read_csv")
    if load:
        b.set_xscale("log")
        b.set_yscale("log")
    b.set_xlabel("CSV MB")
    b.set_ylabel("seconds")
    b.set_title("Load time")
    b.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "plot.png"), dpi=110)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        return child_load(sys.argv[2], sys.argv[3])
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes, one repeat")
    p.add_argument("--parts", default="load,loop", help="load, loop or both (default)")
    p.add_argument("--out", default=None, help="results directory (default bench/results, or a "
                                               "temporary one for --quick)")
    args = p.parse_args()
    sizes, groups, repeats = ([2, 8], [300, 1000], 1) if args.quick else ([10, 100, 1000], [1000, 3000, 10000, 30000], 3)
    out_dir = args.out or (tempfile.mkdtemp(prefix="bench-") if args.quick else os.path.join(HERE, "results"))
    work = tempfile.mkdtemp(prefix="competition-bench-")
    saved = open(SUBMISSION, "rb").read() if os.path.exists(SUBMISSION) else None
    start = time.time()
    try:
        parts = args.parts.split(",")
        load = bench_load(sizes, repeats, work) if "load" in parts else []
        loop = bench_loop(groups, repeats, work) if "loop" in parts else []
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if saved is not None:
            with open(SUBMISSION, "wb") as f:
                f.write(saved)
        elif os.path.exists(SUBMISSION):
            os.remove(SUBMISSION)
    report(load, loop, out_dir, args.quick, time.time() - start)
    print("results in %s" % out_dir)


if __name__ == "__main__":
    main()
