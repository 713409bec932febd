"""Participant side: run a notebook script against a bundle as the platform would."""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

from .module import KitError, module_in, read_inputs

WORKING = "/vantor/working"
SUBMISSION = os.path.join(WORKING, "submission.csv")


def ensure_working_dir():
    try:
        os.makedirs(WORKING, exist_ok=True)
    except OSError as e:
        raise KitError("cannot create %s (%s); create it, or run where it can be created" % (
            WORKING, e.strerror or e))
    if not os.access(WORKING, os.W_OK):
        raise KitError("%s is not writable" % WORKING)


def _ms(values):
    if not values:
        return "-"
    a = np.asarray(values) * 1e3
    return "median %.2f ms, p95 %.2f ms" % (np.median(a), np.percentile(a, 95))


def check_submission(test, sample, path=SUBMISSION):
    """Problems of the written submission against the sample submission (empty when fine)."""
    if not os.path.isfile(path):
        return ["no submission file was written at %s" % path]
    written = pd.read_csv(path, low_memory=False)
    problems = []
    test_ids = set(test["PlayId"].dropna().unique())
    expected = sample[sample["PlayId"].isin(test_ids)]
    if list(written.columns) != list(sample.columns):
        problems.append("columns differ from the sample submission's")
    if len(written) != len(expected):
        problems.append("%d rows, the sample submission has %d for the test PlayIds" % (len(written), len(expected)))
    if "PlayId" in written.columns:
        ids = set(written["PlayId"].dropna().unique())
        if ids != test_ids:
            problems.append("PlayIds differ from the test set's (%d missing, %d extra)" % (
                len(test_ids - ids), len(ids - test_ids)))
    missing = int(written.isna().sum().sum())
    if missing:
        problems.append("%d missing values" % missing)
    return problems


def dry_run(script, bundle, out=None, python=None):
    """Runs script against bundle; returns 0 when it ran and its submission checks out."""
    out = out or sys.stdout
    if not os.path.isfile(script):
        raise KitError("script not found: %s" % script)
    if not os.path.isdir(bundle):
        raise KitError("bundle not found: %s" % bundle)
    module = module_in(bundle)
    test, sample = read_inputs(bundle, module)
    total = int(test["PlayId"].nunique()) if "PlayId" in test.columns else 0
    ensure_working_dir()
    if os.path.exists(SUBMISSION):
        os.remove(SUBMISSION)  # a stale file must not pass for this run's
    here = os.path.dirname(os.path.abspath(__file__))
    fd, stats_path = tempfile.mkstemp(prefix="competition-kit-", suffix=".json")
    os.close(fd)
    try:
        env = dict(os.environ, COMPETITION_KIT_TOTAL=str(total))
        out.write("running %s against %s (%d groups)\n" % (script, bundle, total))
        out.flush()
        code = subprocess.call([python or sys.executable, os.path.join(here, "_bootstrap.py"),
                                os.path.abspath(script), os.path.abspath(bundle), stats_path], env=env)
        if code != 0:
            raise KitError("the participant script failed (exit status %d); its traceback is above" % code)
        with open(stats_path) as f:
            stats = json.load(f)
    finally:
        os.remove(stats_path)
    out.write("timing:\n")
    out.write("  load (first advance): %s\n" % ("%.3f s" % stats["load"] if stats["load"] is not None else "-"))
    out.write("  per group, environment (advance + predict): %s\n" % _ms(stats["env"]))
    out.write("  per group, your code: %s\n" % _ms(stats["own"]))
    out.write("  write: %s\n" % ("%.3f s" % stats["write"] if stats["write"] is not None else "-"))
    out.write("  total: %.3f s for %d groups answered\n" % (stats["total"], stats["groups"]))
    problems = check_submission(test, sample)
    if problems:
        out.write("submission check failed:\n" + "".join("  - %s\n" % p for p in problems))
        return 1
    out.write("submission check: ok (%s)\n" % SUBMISSION)
    return 0
