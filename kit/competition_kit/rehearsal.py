"""Participant side: run a notebook script against a bundle as the platform would."""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

from .module import KitError, module_in, read_inputs
from .sealing import remove_quietly

WORKING = "/vantor/working"
SUBMISSION = os.path.join(WORKING, "submission.csv")


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
    rows of the PlayIds that the test set serves."""
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


def _summary(stats, out):
    out.write("timing:\n")
    out.write("  load (first advance): %s\n" % ("%.3f s" % stats["load"] if stats["load"] is not None else "-"))
    out.write("  per group, environment (advance + predict): %s\n" % _ms(stats["env"]))
    out.write("  per group, your code: %s\n" % _ms(stats["own"]))
    out.write("  write: %s\n" % ("%.3f s" % stats["write"] if stats["write"] is not None else "-"))
    out.write("  total: %.3f s for %d groups answered\n" % (stats["total"] or 0.0, stats["groups"]))
    if stats.get("reminders"):
        out.write("  %d advances found the current group unanswered (the module printed a reminder)\n"
                  % stats["reminders"])


def dry_run(script, bundle, out=None, python=None):
    """Runs script against bundle in a child interpreter; returns 0 when it ran and its
    submission checks out. A script that fails raises a KitError after its traceback."""
    out = out or sys.stdout
    if not os.path.isfile(script):
        raise KitError("script not found: %s" % script)
    if not os.path.isdir(bundle):
        raise KitError("bundle not found: %s" % bundle)
    test, sample = read_inputs(bundle, module_in(bundle))
    for name, frame in (("test.csv", test), ("sample_submission.csv", sample)):
        if "PlayId" not in frame.columns:
            raise KitError("%s in %s has no PlayId column" % (name, bundle))
    total = int(test["PlayId"].nunique())
    ensure_working_dir()
    before = _file_state(SUBMISSION)
    here = os.path.dirname(os.path.abspath(__file__))
    fd, stats_path = tempfile.mkstemp(prefix="competition-kit-", suffix=".json")
    os.close(fd)
    try:
        env = dict(os.environ, COMPETITION_KIT_TOTAL=str(total))
        out.write("running %s against %s (%d groups)\n" % (script, bundle, total))
        out.flush()
        code = subprocess.call([python or sys.executable, os.path.join(here, "_bootstrap.py"),
                                os.path.abspath(script), os.path.abspath(bundle), stats_path], env=env)
        try:
            with open(stats_path) as f:
                stats = json.load(f)
        except ValueError:  # the child ended before it could write them
            stats = None
    finally:
        remove_quietly(stats_path)
    sys.stderr.flush()
    if stats is not None and stats["load"] is not None:
        _summary(stats, out)
    out.flush()
    if code != 0:
        if stats is not None and stats.get("error"):
            raise KitError("the participant script failed with %s; its traceback is above" % stats["error"])
        raise KitError("the participant script failed: it exited with status %d" % code)
    after = _file_state(SUBMISSION)
    if after is None or after == before:
        problems = ["%s %s" % (SUBMISSION, "was not written" if after is None else "was not rewritten by this run")]
        if stats is not None and not stats["written"]:
            problems[0] += " (write_submission_file() was not called, or did not succeed)"
    else:
        problems = check_submission(test, sample)
    if problems:
        out.write("submission check failed:\n" + "".join("  - %s\n" % p for p in problems))
        return 1
    expected = expected_rows(test, sample)
    out.write("submission check: ok (%d rows, %d columns, %d PlayIds, no missing values) at %s\n"
              % (len(expected), sample.shape[1], expected["PlayId"].nunique(), SUBMISSION))
    return 0
