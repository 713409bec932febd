"""A participant's starter for a bundle's own columns: the loop, a model function to replace,
and the answer written into the columns the sample frame has (so that it passes the check)."""
import json
import os

from .errors import KitError
from .sealing import SUFFIX, sealed_head, write_atomically

HEADER = '''"""A starter for this competition: the loop as the platform runs it, and a model to replace.

Each group's answer fills the columns the sample frame already has (never add one: predict()
takes exactly the sample frame's columns, and the submission check wants them in that order).
"""
import numpy as np
import pandas as pd

import competition

# the columns of each answer, in order (the sample submission's, after PlayId), and their dtypes there
COLUMNS = %(columns)s
DTYPES = %(dtypes)s
'''

MODEL_DISTRIBUTION = '''THRESHOLDS = np.array(%(thresholds)s, dtype=float)  # the number in each column's name


def predict_group(test_df, sample_prediction_df):
    """Your model: a frame of this group's answer, one row per row of sample_prediction_df and
    the columns COLUMNS. The columns hold a cumulative distribution, P(y <= threshold); this
    starting point rises from 0 to 1 around the middle threshold, the same for every row."""
    middle, spread = np.median(THRESHOLDS), max(1.0, np.ptp(THRESHOLDS) / 10)
    ramp = np.clip((THRESHOLDS - middle) / spread + 0.5, 0.0, 1.0)
    return pd.DataFrame(np.tile(ramp, (len(sample_prediction_df), 1)), index=sample_prediction_df.index,
                        columns=COLUMNS)
'''

MODEL_VALUES = '''

def predict_group(test_df, sample_prediction_df):
    """Your model: a frame of this group's answer, one row per row of sample_prediction_df and
    the columns COLUMNS. This starting point answers 0.0 in every number column and keeps the
    sample's own value in the others."""
    answer = {}
    for column in COLUMNS:
        if DTYPES[column].startswith(("int", "uint", "float", "bool")):
            answer[column] = np.zeros(len(sample_prediction_df))
        else:
            answer[column] = sample_prediction_df[column].to_numpy()
    return pd.DataFrame(answer, index=sample_prediction_df.index, columns=COLUMNS)
'''

LOOP = '''env = competition.make_env()
for (test_df, sample_prediction_df) in env.iter_test():
    sample_prediction_df[sample_prediction_df.columns] = predict_group(test_df, sample_prediction_df)
    env.predict(sample_prediction_df)
'''

WRITE = '''env.write_submission_file()  # /vantor/working/submission.csv
'''


def starter_source(sample):
    """The parts (head and model, loop, write) of a starter for a sample submission frame."""
    from .score import thresholds
    columns = [c for c in sample.columns if c != "PlayId"]
    dtypes = {c: str(t) for c, t in zip(sample.columns, sample.dtypes) if c != "PlayId"}
    head = HEADER % {"columns": _listing(columns), "dtypes": _listing(dtypes)}
    found = thresholds(columns) if len(columns) > 1 else None
    if found is not None:
        by_name = dict((name, value) for value, name in found)
        model = "\n" + MODEL_DISTRIBUTION % {"thresholds": [by_name[c] for c in columns]}
    else:
        model = MODEL_VALUES
    return [head + model, LOOP, WRITE]


def _listing(value):
    text = repr(value)
    return text if len(text) <= 90 else json.dumps(value, indent=4)


def write_starter(bundle, out):
    """Writes a starter script (.py) or notebook (.ipynb) for the bundle's sample columns to out."""
    path = os.path.join(bundle, "sample_submission.csv" + SUFFIX)
    if not os.path.isfile(path):
        raise KitError("no sample_submission.csv%s in %s: pass the bundle's folder" % (SUFFIX, bundle))
    if not out.lower().endswith((".py", ".ipynb")):
        raise KitError("--out %s: a starter is a script (.py) or a notebook (.ipynb)" % out)
    if os.path.exists(out):
        raise KitError("%s exists: the starter does not overwrite a file" % out)
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise KitError("--out %s: the folder %s does not exist" % (out, folder))
    try:
        sample = sealed_head(path)
    except (ValueError, KeyError) as e:
        raise KitError("cannot read %s: %s" % (path, e))
    if "PlayId" not in sample.columns:
        raise KitError("the sample submission in %s has no PlayId column" % bundle)
    parts = starter_source(sample)
    if out.lower().endswith(".ipynb"):
        cells = [{"cell_type": "code", "execution_count": None, "metadata": {}, "outputs": [],
                  "source": part.splitlines(True)} for part in parts]
        nb = {"cells": cells, "metadata": {"kernelspec": {"display_name": "Python 3", "language": "python",
                                                          "name": "python3"},
                                           "language_info": {"name": "python"}},
              "nbformat": 4, "nbformat_minor": 4}
        data = json.dumps(nb, indent=1) + "\n"
    else:
        data = "\n\n".join(parts[:1]) + "\n\n" + "".join(parts[1:])
    write_atomically(out, data.encode("utf-8"))
    return out
