"""The main job: make a realistic data set, bundle it, rehearse a baseline against it and score it."""
import io
import os
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from . import synth
from .bundling import bundle
from .errors import KitError
from .rehearsal import SUBMISSION, dry_run

BASELINE = '''"""A baseline: each play's predicted distribution is a ramp around its first float feature's mean."""
import numpy as np
import pandas as pd

import competition

env = competition.make_env()
for (test_df, sample_prediction_df) in env.iter_test():
    n = sample_prediction_df.shape[1]
    numeric = test_df.select_dtypes("float")
    level = float(numeric.iloc[:, 0].mean()) if numeric.shape[1] else 0.0
    centre = n / 2 + 10 * level
    ramp = np.clip((np.arange(n) - centre) / 20.0 + 0.5, 0.0, 1.0)
    predictions = pd.DataFrame(np.tile(ramp, (len(sample_prediction_df), 1)),
                               index=sample_prediction_df.index, columns=sample_prediction_df.columns)
    env.predict(predictions)
env.write_submission_file()
'''


def answers_for(test_csv, predictions, seed=0):
    """Known answers for the synthetic test set: for each PlayId a number of yards near where
    the baseline centres its ramp (so that the baseline scores well, but not perfectly). The
    CSV bytes of PlayId and Yards, one row per PlayId as the sample submission has."""
    header = test_csv[:test_csv.index(b"\n")].decode("utf-8").split(",")
    columns = ["PlayId"] + (["f00"] if "f00" in header else [])
    test = pd.read_csv(io.BytesIO(test_csv), usecols=columns)
    level = test.groupby("PlayId")["f00"].mean() if "f00" in columns else test.groupby("PlayId").size() * 0.0
    rng = np.random.default_rng(seed + 1)
    yards = np.clip(np.rint(predictions / 2 + 10 * level.values + rng.normal(scale=6.0, size=len(level))),
                    0, predictions - 1).astype(np.int64)
    return pd.DataFrame({"PlayId": level.index, "Yards": yards}).to_csv(index=False).encode("utf-8")


def run_demo(groups=3000, rows_per_group=20, features=40, predictions=200, seed=0, module=None, out=None,
             keep=None):
    """Makes the data set, bundles it in a temporary folder (or keep, a new or empty folder,
    where it all stays), rehearses the baseline against it and scores it against the data set's
    answers; returns dry-run's exit status. The submission stays at /vantor/working/submission.csv."""
    out = out or sys.stdout
    began = time.time()
    if keep is not None:
        if os.path.exists(keep) and (not os.path.isdir(keep) or os.listdir(keep)):
            raise KitError("--keep %s: give a new or an empty folder" % keep)
        os.makedirs(keep, exist_ok=True)
        work = os.path.abspath(keep)
    else:
        work = tempfile.mkdtemp(prefix="competition-demo-")
    try:
        t = time.time()
        test, sample = synth.make_tables(groups, rows_per_group, features, predictions, seed=seed)
        data = os.path.join(work, "data")
        os.makedirs(data)
        answers = os.path.join(work, "answers.csv")  # what the host knows and the bundle hides
        for path, content in ((os.path.join(data, "test.csv"), test),
                              (os.path.join(data, "sample_submission.csv"), sample),
                              (answers, answers_for(test, predictions, seed))):
            with open(path, "wb") as f:
                f.write(content)
        out.write("made %d groups of about %d rows, %d features, %d prediction columns "
                  "(test.csv %.1f MB, sample_submission.csv %.1f MB) in %.1f s\n"
                  % (groups, rows_per_group, features, predictions, len(test) / 1e6, len(sample) / 1e6,
                     time.time() - t))
        del test, sample
        t = time.time()
        target = bundle(os.path.join(data, "test.csv"), os.path.join(data, "sample_submission.csv"),
                        os.path.join(work, "bundle"), module)
        out.write("bundled in %.1f s\n" % (time.time() - t))
        script = os.path.join(work, "baseline.py")
        with open(script, "w") as f:
            f.write(BASELINE)
        out.flush()
        code = dry_run(script, target, out, answers=answers)
        if code == 0:
            out.write("the demo's submission is at %s (demo took %.1f s)\n" % (SUBMISSION, time.time() - began))
        if keep is not None:
            out.write("kept in %s: data/ (the plain inputs), bundle/, baseline.py, answers.csv; for example:\n"
                      "  competition-kit starter --bundle %s --out my_model.py\n"
                      "  competition-kit dry-run my_model.py --bundle %s --answers %s\n"
                      % (work, target, target, answers))
        return code
    finally:
        if keep is None:
            shutil.rmtree(work, ignore_errors=True)
