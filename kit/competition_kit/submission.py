"""The check of a written submission against the sample submission: its columns, the rows of
each PlayId and missing values, read in pieces so that it takes little memory beside a run."""
import os

import pandas as pd

from .child import WORKING

SUBMISSION = os.path.join(WORKING, "submission.csv")
SUBMISSION_CHUNK = 20000  # rows of the written submission read at a time


def file_state(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _some(values, limit=5):
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (", ..." if len(values) > limit else "")


def expected_rows(test, sample):
    """The sample rows that the test loop serves: those of the test set's PlayIds."""
    return sample[sample["PlayId"].isin(test["PlayId"].dropna().unique())]


def check_submission(test, sample, path=SUBMISSION):
    """Problems of the written submission against the sample submission (empty when fine):
    the columns, the rows of each PlayId, and missing values. The expected rows are the sample
    rows of the PlayIds that the test set serves (test needs only its PlayId column)."""
    expected = expected_rows(test, sample)["PlayId"]
    return check_written(expected.groupby(expected).size(), list(sample.columns), path)


def check_written(want, columns, path=SUBMISSION):
    """Problems of the written submission at path (empty when fine): want is the number of
    rows expected of each PlayId (a Series indexed by PlayId), columns the sample submission's.
    The file is read in pieces, so that the check takes little memory beside the run."""
    if not os.path.isfile(path):
        return ["no submission file was written at %s" % path]
    try:
        written = _read_in_pieces(path)
    except Exception as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        return ["cannot read %s as CSV: %s" % (path, reason)]
    if written is None:
        return ["cannot read %s as CSV: it is empty" % path]
    written_columns, rows, na, counts = written
    problems = _column_problems(written_columns, list(columns))
    if rows != int(want.sum()):
        problems.append("%d rows, the sample submission has %d for the test PlayIds" % (rows, int(want.sum())))
    if "PlayId" in written_columns:
        problems += _row_problems(want, counts, rows)
    na = na[na > 0]
    if len(na):
        problems.append("%d missing values (in %s)" % (int(na.sum()), _some(na.index)))
    return problems


def _read_in_pieces(path):
    """(columns, rows, missing values by column, [PlayId counts of each piece]) of the CSV at
    path, or None when it is empty."""
    counts, na, rows, written_columns = [], None, 0, None
    for chunk in pd.read_csv(path, chunksize=SUBMISSION_CHUNK):
        if written_columns is None:
            written_columns = list(chunk.columns)
            na = chunk.isna().sum() * 0
        rows += len(chunk)
        na += chunk.isna().sum()
        if "PlayId" in chunk.columns:
            counts.append(chunk["PlayId"].dropna().value_counts())
    return None if written_columns is None else (written_columns, rows, na, counts)


def _column_problems(written_columns, columns):
    if written_columns == columns:
        return []
    missing = [c for c in columns if c not in written_columns]
    extra = [c for c in written_columns if c not in columns]
    detail = []
    if missing:
        detail.append("missing %s" % _some(missing))
    if extra:
        detail.append("extra %s" % _some(extra))
    return ["columns differ from the sample submission's (%s)" % ("; ".join(detail) or "order")]


def _row_problems(want, counts, rows):
    """The PlayIds without rows, not expected, or with another number of rows than want, and
    rows without a PlayId."""
    problems = []
    got = pd.concat(counts).groupby(level=0).sum() if counts else pd.Series([], dtype="int64")
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
    blank = rows - int(got.sum())
    if blank:
        problems.append("%d rows have no PlayId" % blank)
    return problems
