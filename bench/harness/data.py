"""The generated competition data: the shapes measured, the sealed bundle the module reads, and
the participant's answers."""
import os
import shutil

import numpy as np

from competition_kit import synth
from competition_kit.sealing import seal_bytes

from .target import module_path

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


def tables(shape_name, groups, seed):
    """The test and sample CSV bytes of `groups` groups at a shape."""
    shape = SHAPES[shape_name]
    test, sample = synth.make_tables(groups, shape["rows_per_group"], shape["features"],
                                     shape["predictions"], 1, seed=seed, kinds=shape["kinds"])
    if shape.get("blank_keys"):
        test = blank_keys(test, shape["blank_keys"])
    return test, sample


def groups_for_size(megabytes):
    """How many groups at the real shape make a CSV of about that size."""
    shape = SHAPES["real"]
    return synth.groups_for_size(megabytes, shape["rows_per_group"], shape["features"], kinds=shape["kinds"])


def blank_keys(test_csv, n):
    """The test CSV with the PlayId (its first column) of n evenly spaced rows left blank."""
    lines = test_csv.split(b"\n")
    assert lines[0].startswith(b"PlayId,")
    rows = [i for i in range(1, len(lines)) if lines[i]]
    for i in rows[len(rows) // (2 * n)::max(1, len(rows) // n)][:n]:
        lines[i] = lines[i][lines[i].index(b","):]
    return b"\n".join(lines)


def make_bundle(directory, test_csv, sample_csv):
    """A copy of the module beside both inputs, plain and sealed."""
    os.makedirs(directory, exist_ok=True)
    shutil.copy(module_path(), directory)
    for name, data in (("test.csv", test_csv), ("sample_submission.csv", sample_csv)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
        with open(os.path.join(directory, name + ".encrypted"), "wb") as f:
            f.write(seal_bytes(data))


def participant_values(predictions, count=64, seed=7):
    """Answers like a baseline's: a cumulative distribution over the prediction columns, a ramp
    from 0 to 1 around a centre that varies from group to group."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.3, 0.7, count) * predictions
    width = max(2.0, predictions / 10.0)
    x = np.arange(predictions)[None, :]
    return np.clip((x - centres[:, None]) / width + 0.5, 0.0, 1.0)
