"""Synthetic competition data: a time series per PlayId, with features of mixed dtypes."""
import io

import numpy as np
import pandas as pd


def make_frames(groups, rows_per_group=20, features=40, predictions=200, sample_rows=1, seed=0,
                shuffle=True):
    """Returns (test_df, sample_df).

    test_df: `groups` PlayIds of about `rows_per_group` rows each (a step counter, a clock, and
    `features` feature columns: floats, integers, categories as text, flags), rows shuffled
    across groups as a real export would be. sample_df: `sample_rows` rows per PlayId with
    `predictions` prediction columns of zeros.
    """
    rng = np.random.default_rng(seed)
    sizes = np.clip(rng.poisson(rows_per_group, groups), 1, None) if rows_per_group > 1 \
        else np.ones(groups, dtype=np.int64)
    play_ids = np.arange(1000, 1000 + groups, dtype=np.int64)
    n = int(sizes.sum())
    key = np.repeat(play_ids, sizes)
    step = np.arange(n) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    columns = {"PlayId": key, "Step": step,
               "Time": pd.Timestamp("2026-01-01") + pd.to_timedelta(step * 100, unit="ms")}
    # a random walk per group for the float features: time-series-like values
    base = rng.normal(size=groups)
    starts = np.cumsum(sizes) - sizes
    kinds = ("float", "float", "int", "float", "text", "flag")
    for i in range(features):
        kind = kinds[i % len(kinds)]
        name = "f%02d" % i
        if kind == "float":
            noise = rng.normal(scale=0.1, size=n)
            walk = np.cumsum(noise)
            before_group = np.repeat(walk[starts] - noise[starts], sizes)
            columns[name] = np.round(np.repeat(base, sizes) + walk - before_group, 4)
        elif kind == "int":
            columns[name] = rng.integers(0, 120, size=n)
        elif kind == "text":
            columns[name] = np.array(["north", "south", "east", "west"])[rng.integers(0, 4, size=n)]
        else:
            columns[name] = rng.random(n) < 0.3
    test = pd.DataFrame(columns)
    test["Time"] = test["Time"].dt.strftime("%Y-%m-%d %H:%M:%S.%f")
    if shuffle:
        test = test.sample(frac=1.0, random_state=seed).reset_index(drop=True)
    sample_key = np.repeat(play_ids, sample_rows)
    sample = pd.DataFrame(np.zeros((len(sample_key), predictions)),
                          columns=["Yards%d" % i for i in range(predictions)])
    sample.insert(0, "PlayId", sample_key)
    return test, sample


def to_csv_bytes(frame):
    buf = io.StringIO()
    frame.to_csv(buf, index=False)
    return buf.getvalue().encode("utf-8")


def make_tables(groups, rows_per_group=20, features=40, predictions=200, sample_rows=1, seed=0):
    """The CSV bytes of (test.csv, sample_submission.csv)."""
    test, sample = make_frames(groups, rows_per_group, features, predictions, sample_rows, seed)
    return to_csv_bytes(test), to_csv_bytes(sample)


def groups_for_size(megabytes, rows_per_group=20, features=40):
    """About how many groups make a test.csv of the given size."""
    probe_test, _ = make_frames(200, rows_per_group, features, 1, 1, seed=1)
    per_group = len(to_csv_bytes(probe_test)) / 200.0
    return max(1, int(megabytes * 1e6 / per_group))
