"""A local score: a submission against known answers.

Rows are matched by PlayId and, within a PlayId, by their order: the k-th row of a PlayId in
the submission is scored against the k-th row of that PlayId in the answers. The two files must
hold the same PlayIds with the same number of rows each; anything else is refused.

Built in, chosen by the submission's columns (every column but PlayId):
- one column: a value per row; RMSE = sqrt(mean((p - y)^2)) and MAE = mean(|p - y|).
- two or more columns all named <prefix><number> (one prefix, distinct integers; a "-" right
  before the digits is a minus sign, so Yards-99 is the threshold -99): a cumulative
  distribution, P(y <= t) for each threshold t; the continuous ranked probability score
  CRPS = mean over rows and thresholds of (P(y <= t) - [y <= t])^2.
The answers for these are PlayId and one value column, y.

--metric FILE.py:FUNCTION calls FUNCTION(submission_df, answers_df) instead: the two frames
with their rows matched (row i of one is row i of the other, in the submission's order, index
0..n-1), all their columns kept. It returns a number, or a dict of names to numbers.
"""
import collections.abc
import importlib.util
import math
import os
import re
import sys
import traceback

import numpy as np
import pandas as pd

from .errors import KitError

NUMBERED = re.compile(r"^(.*?)(-?[0-9]+)$")
ROW = "__competition_kit_row__"


class Score(object):
    def __init__(self, rows, playids, description, values, notes=()):
        self.rows, self.playids, self.description = rows, playids, description
        self.values = list(values)  # (name, value)
        self.notes = list(notes)


def _some(values, limit=5):
    values = list(values)
    try:
        values = sorted(values)
    except TypeError:
        values = sorted(values, key=str)
    return ", ".join(str(v) for v in values[:limit]) + (", ..." if len(values) > limit else "")


def read_table(path, what):
    if not os.path.isfile(path):
        raise KitError("%s not found: %s" % (what, path))
    try:
        frame = pd.read_csv(path, low_memory=False)
    except Exception as e:
        text = str(e).strip()
        raise KitError("cannot read %s as CSV: %s" % (path, text.splitlines()[0] if text else type(e).__name__))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column" % path)
    blank = int(frame["PlayId"].isna().sum())
    if blank:
        raise KitError("%d row%s of %s %s no PlayId" % (blank, "" if blank == 1 else "s", path,
                                                       "has" if blank == 1 else "have"))
    return frame


def match(submission, answers):
    """(submission, answers) with their rows matched, in the submission's order, index 0..n-1;
    a KitError of one line when their PlayIds differ."""
    got = submission.groupby("PlayId", sort=False).size()
    want = answers.groupby("PlayId", sort=False).size()
    only_sub, only_ans = got.index.difference(want.index), want.index.difference(got.index)
    common = got.index.intersection(want.index)
    other = common[(got[common] != want[common]).values]
    if len(only_sub) or len(only_ans) or len(other):
        parts = []
        if len(only_sub):
            parts.append("%d only in the submission (%s)" % (len(only_sub), _some(only_sub)))
        if len(only_ans):
            parts.append("%d only in the answers (%s)" % (len(only_ans), _some(only_ans)))
        if len(other):
            parts.append("%d with another number of rows (%s)" % (len(other), _some(other)))
        raise KitError("the submission's PlayIds do not match the answers: %s" % "; ".join(parts))
    left = pd.DataFrame({"PlayId": submission["PlayId"].values,
                         ROW: submission.groupby("PlayId", sort=False).cumcount().values})
    right = answers.reset_index(drop=True)
    right[ROW] = answers.groupby("PlayId", sort=False).cumcount().values
    matched = left.merge(right, on=["PlayId", ROW], how="left", sort=False)
    return submission.reset_index(drop=True), matched.drop(columns=[ROW])


def thresholds(columns):
    """[(threshold, column)] in rising order when every column is <prefix><number> with one
    prefix and distinct numbers (two or more of them), else None."""
    found = [NUMBERED.match(str(c)) for c in columns]
    if len(columns) < 2 or not all(found):
        return None
    if len({m.group(1) for m in found}) != 1:
        return None
    pairs = sorted((int(m.group(2)), c) for m, c in zip(found, columns))
    if len({t for t, _ in pairs}) != len(pairs):
        return None
    return pairs


def _numbers(frame, columns, path):
    bad = [c for c in columns
           if not (pd.api.types.is_numeric_dtype(frame[c]) and not pd.api.types.is_bool_dtype(frame[c]))]
    if bad:
        raise KitError("%s has columns that are not numbers (%s)" % (path, _some(bad)))
    values = frame[list(columns)].to_numpy(dtype=float)
    missing = np.isnan(values).sum(axis=0)
    if missing.any():
        named = [c for c, k in zip(columns, missing) if k]
        raise KitError("%s has %d missing values (in %s); it cannot be scored"
                       % (path, int(missing.sum()), _some(named)))
    return values


def builtin(submission, answers, sub_path="the submission", ans_path="the answers"):
    predicted = [c for c in submission.columns if c != "PlayId"]
    truth = [c for c in answers.columns if c != "PlayId"]
    if len(truth) != 1:
        raise KitError("%s must have PlayId and one value column, it has %s" % (
            ans_path, ", ".join(map(str, truth)) if truth else "none"))
    rows, playids = len(submission), submission["PlayId"].nunique()
    y = _numbers(answers, truth, ans_path)[:, 0]
    if len(predicted) == 1:
        p = _numbers(submission, predicted, sub_path)[:, 0]
        e = p - y
        return Score(rows, playids, "one value per row (%s)" % predicted[0],
                     [("RMSE", math.sqrt(np.mean(e ** 2)) if rows else float("nan")),
                      ("MAE", float(np.mean(np.abs(e))) if rows else float("nan"))])
    pairs = thresholds(predicted)
    if pairs is None:
        raise KitError("cannot tell how to score %d prediction columns (%s): they are not one value, nor all "
                       "named <prefix><number>; pass --metric FILE.py:FUNCTION" % (len(predicted), _some(predicted)))
    return _distribution(submission, y, pairs, rows, playids, sub_path)


def _distribution(submission, y, pairs, rows, playids, sub_path):
    """The continuous ranked probability score of the cumulative distributions in the columns of
    pairs ((threshold, column), rising) against the true values y."""
    t = np.array([t for t, _ in pairs], dtype=float)
    F = _numbers(submission, [c for _, c in pairs], sub_path)
    step = (y[:, None] <= t[None, :]).astype(float)
    crps = float(np.mean((F - step) ** 2)) if rows else float("nan")
    notes = []
    odd = ((F < 0) | (F > 1)).any(axis=1)
    if F.shape[1] > 1:
        odd |= (np.diff(F, axis=1) < 0).any(axis=1)
    if odd.any():
        notes.append("%d of %d rows are not a cumulative distribution (values outside [0, 1], or falling as "
                     "the threshold rises); they are scored as they are" % (int(odd.sum()), rows))
    return Score(rows, playids, "a cumulative distribution over %d thresholds (%s to %s)" % (
        len(pairs), pairs[0][1], pairs[-1][1]), [("CRPS", crps)], notes)


def metric_parts(text):
    """(path, function name) of FILE.py:FUNCTION, checked as far as it can be without running it."""
    path, sep, name = text.rpartition(":")
    if not sep or not path or not name or not name.isidentifier():
        raise KitError("--metric takes FILE.py:FUNCTION, not %r" % text)
    if not os.path.isfile(path):
        raise KitError("metric file not found: %s" % path)
    return path, name


def _metric_traceback(exc, path):
    """The traceback of an error raised by the metric, from the metric's own frames on."""
    tb = exc.__traceback__
    here = os.path.dirname(os.path.abspath(__file__))
    while tb is not None and os.path.dirname(os.path.abspath(tb.tb_frame.f_code.co_filename)) == here:
        tb = tb.tb_next
    sys.stdout.flush()
    traceback.print_exception(type(exc), exc, tb)
    sys.stderr.flush()


def custom(submission, answers, text):
    path, name = metric_parts(text)
    directory = os.path.dirname(os.path.abspath(path))
    module_spec = importlib.util.spec_from_file_location("competition_kit_metric", path)
    module = importlib.util.module_from_spec(module_spec)
    sys.path.insert(0, directory)  # the metric's own helpers beside it
    try:
        try:
            module_spec.loader.exec_module(module)
        except Exception as e:
            _metric_traceback(e, path)
            raise KitError("cannot load the metric %s: %s; its traceback is above" % (path, type(e).__name__))
        function = getattr(module, name, None)
        if not callable(function):
            raise KitError("%s has no function %s" % (path, name))
        try:
            result = function(submission, answers)
        except Exception as e:
            _metric_traceback(e, path)
            raise KitError("the metric %s raised %s; its traceback is above" % (text, type(e).__name__))
    finally:
        try:
            sys.path.remove(directory)
        except ValueError:
            pass
    if isinstance(result, collections.abc.Mapping):
        pairs = list(result.items())
    else:
        pairs = [(name, result)]
    values = []
    for key, value in pairs:
        if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
            values.append((str(key), int(value)))
            continue
        try:
            values.append((str(key), float(value)))
        except (TypeError, ValueError):
            raise KitError("the metric %s returned %r for %s; expected a number (or a dict of names to numbers)"
                           % (text, value, key))
    return Score(len(submission), submission["PlayId"].nunique(), "with %s" % text, values)


def score(submission, answers, metric=None, sub_path="the submission", ans_path="the answers"):
    submission, answers = match(submission, answers)
    if metric is not None:
        return custom(submission, answers, metric)
    return builtin(submission, answers, sub_path, ans_path)


def report(result, out):
    out.write("scored %d rows of %d PlayIds: %s\n" % (result.rows, result.playids, result.description))
    for name, value in result.values:
        out.write(("%s: %d\n" if isinstance(value, int) else "%s: %.6f\n") % (name, value))
    for note in result.notes:
        out.write("note: %s\n" % note)


def score_files(submission_path, answers_path, metric=None, out=None):
    out = out or sys.stdout
    if metric is not None:
        metric_parts(metric)
    submission = read_table(submission_path, "submission")
    answers = read_table(answers_path, "answers")
    result = score(submission, answers, metric, submission_path, answers_path)
    report(result, out)
    return result
