"""The load: the first advance of the generator (both inputs decrypted and parsed, the groups
indexed, the first group served) against a plain pd.read_csv of the same CSV bytes from memory,
and the peak memory of each; each measurement in a fresh process (run.py --child)."""
import io
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pandas as pd

from . import RUN
from .data import groups_for_size, make_bundle, tables
from .memory import peak, reset_peak, rss
from .target import load_copy, module_path

INPUTS = ("sample_submission.csv", "test.csv")


def child_load(kind, directory):
    """In a fresh process: the time and peak memory growth of one load, printed as JSON."""
    if kind == "plain":
        data = []
        for name in INPUTS:
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
    out = subprocess.check_output([sys.executable, RUN, "--child", kind, directory],
                                  env=dict(os.environ, COMPETITION_MODULE=module_path()))
    return json.loads(out.decode().strip().splitlines()[-1])


def load_row(directory, groups, csv_bytes, repeats):
    """The medians of `repeats` loads of each kind, alternating so that drift hits both alike."""
    file_size = sum(os.path.getsize(os.path.join(directory, name + ".encrypted")) for name in INPUTS)
    plain, module = [], []
    for _ in range(repeats):
        plain.append(run_child("plain", directory))
        module.append(run_child("module", directory))

    def med(runs, key):
        return float(np.median([r[key] for r in runs]))

    row = {"csv_mb": csv_bytes / 1e6, "file_mb": file_size / 1e6, "groups": groups,
           "plain_s": med(plain, "seconds"), "module_s": med(module, "seconds"),
           "plain_peak_mb": med(plain, "peak") / 1e6, "module_peak_mb": med(module, "peak") / 1e6,
           "runs": repeats, "cpu_share": min(r["cpu_share"] for r in plain + module)}
    row["ratio"] = row["module_s"] / row["plain_s"]
    row["peak_over_plain_in_files"] = (row["module_peak_mb"] - row["plain_peak_mb"]) / row["file_mb"]
    return row


def bench_load(sizes, repeats, work):
    """One row per CSV size (MB), at the real shape."""
    rows = []
    for mb in sizes:
        groups = groups_for_size(mb)
        t = time.time()
        test, sample = tables("real", groups, seed=mb)
        directory = os.path.join(work, "load-%d" % mb)
        make_bundle(directory, test, sample)
        row = load_row(directory, groups, len(test) + len(sample), repeats)
        rows.append(row)
        print("load %4d MB: module %.3f s, plain %.3f s (x%.2f); peak %.0f MB vs %.0f MB (%.0f s)" % (
            mb, row["module_s"], row["plain_s"], row["ratio"], row["module_peak_mb"], row["plain_peak_mb"],
            time.time() - t), flush=True)
        shutil.rmtree(directory)
    return rows
