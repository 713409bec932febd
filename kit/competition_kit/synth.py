"""Synthetic competition data: a time series per PlayId, with features of mixed dtypes.

The tables are drawn as plain numpy columns and written to CSV by a vectorised encoder: every
field is laid out as a fixed-width block of bytes, unused positions hold a filler byte, and one
pass over the whole block drops the filler. The text is the same that pandas' ``to_csv`` writes
for these columns, produced at a few hundred MB/s, so data sets of a gigabyte take seconds.
"""
import io

import numpy as np
import pandas as pd

START = "2026-01-01"
DIRECTIONS = ("north", "south", "east", "west")
KINDS = ("float", "float", "int", "float", "text", "flag")
DECIMALS = 4
CHUNK_ROWS = 1 << 16
_FILL = 0  # never part of CSV text


class Table(object):
    """Named columns held as numpy arrays, with how each one is written:

    ("int", int64 array), ("float", float64 array rounded to DECIMALS, NaN for missing),
    ("flag", bool array), ("text", (codes, vocabulary)), ("time", datetime64[us] array).
    """

    def __init__(self):
        self.names, self.kinds, self.values = [], [], []

    def add(self, name, kind, values):
        self.names.append(name)
        self.kinds.append(kind)
        self.values.append(values)

    def __len__(self):
        kind, values = self.kinds[0], self.values[0]
        return len(values[0] if kind == "text" else values)

    def take(self, order):
        """The same columns, rows in the given order."""
        out = Table()
        for name, kind, values in zip(self.names, self.kinds, self.values):
            if kind == "text":
                out.add(name, kind, (values[0][order], values[1]))
            else:
                out.add(name, kind, values[order])
        return out

    def frame(self, time_as_text=True):
        """The table as a DataFrame, with the dtypes that reading its CSV back gives."""
        columns = {}
        for name, kind, values in zip(self.names, self.kinds, self.values):
            if kind == "text":
                columns[name] = np.array(values[1], dtype=object)[values[0]]
            elif kind == "time" and time_as_text:
                columns[name] = np.char.replace(np.datetime_as_string(values, unit="us"), "T", " ").astype(object)
            else:
                columns[name] = values
        return pd.DataFrame(columns, columns=self.names)

    def csv(self, chunk_rows=CHUNK_ROWS):
        """The CSV bytes: a header row, then one line per row, no index column."""
        parts = [(",".join(self.names) + "\n").encode("utf-8")]
        n = len(self)
        for start in range(0, n, chunk_rows):
            stop = min(n, start + chunk_rows)
            fields = [_encode(kind, values, start, stop) for kind, values in zip(self.kinds, self.values)]
            parts.append(_join_rows(fields, stop - start))
        return b"".join(parts)


def draw(groups, rows_per_group=20, features=40, predictions=200, sample_rows=1, seed=0, shuffle=True,
         kinds=None):
    """The two tables, as `Table` objects: (test, sample). See make_frames."""
    if groups < 0 or rows_per_group < 1 or features < 0 or predictions < 0 or sample_rows < 1:
        raise ValueError("groups >= 0, rows_per_group >= 1, features >= 0, predictions >= 0 "
                         "and sample_rows >= 1 are required")
    kinds = _kinds(kinds)
    rng = np.random.default_rng(seed)
    sizes = np.clip(rng.poisson(rows_per_group, groups), 1, None) if rows_per_group > 1 \
        else np.ones(groups, dtype=np.int64)
    sizes = sizes.astype(np.int64)
    play_ids = np.arange(1000, 1000 + groups, dtype=np.int64)
    n = int(sizes.sum())
    starts = np.cumsum(sizes) - sizes
    step = np.arange(n, dtype=np.int64) - np.repeat(starts, sizes)
    test = Table()
    test.add("PlayId", "int", np.repeat(play_ids, sizes))
    test.add("Step", "int", step)
    test.add("Time", "time", np.datetime64(START, "us") + (step * 100000).astype("timedelta64[us]"))
    # a random walk per group for the float features: time-series-like values
    base = rng.normal(size=groups)
    for i in range(features):
        _add_feature(test, "f%02d" % i, kinds[i % len(kinds)], rng, n, base, starts, sizes)
    if shuffle and n:
        # rows shuffled across groups, as a real export would be
        order = pd.DataFrame(index=pd.RangeIndex(n)).sample(frac=1.0, random_state=seed).index.values
        test = test.take(order)
    sample = Table()
    sample.add("PlayId", "int", np.repeat(play_ids, sample_rows))
    zeros = np.zeros(groups * sample_rows)
    for i in range(predictions):
        sample.add("Yards%d" % i, "float", zeros)
    return test, sample


def _add_feature(test, name, kind, rng, n, base, starts, sizes):
    """One feature column of the kind, n rows: a float is a random walk per group from the group's base."""
    if kind == "float":
        noise = rng.normal(scale=0.1, size=n)
        walk = np.cumsum(noise)
        if n:
            before_group = np.repeat(walk[starts] - noise[starts], sizes)
        else:
            before_group = walk
        test.add(name, "float", np.round(np.repeat(base, sizes) + walk - before_group, DECIMALS))
    elif kind == "int":
        test.add(name, "int", rng.integers(0, 120, size=n).astype(np.int64))
    elif kind == "text":
        test.add(name, "text", (rng.integers(0, len(DIRECTIONS), size=n), DIRECTIONS))
    else:
        test.add(name, "flag", rng.random(n) < 0.3)


def make_frames(groups, rows_per_group=20, features=40, predictions=200, sample_rows=1, seed=0,
                shuffle=True, kinds=None):
    """Returns (test_df, sample_df).

    test_df: `groups` PlayIds (1000, 1001, ...) of about `rows_per_group` rows each (a step
    counter, a clock as text, and `features` feature columns: floats, integers, categories as
    text, flags), rows shuffled across groups as a real export would be. sample_df:
    `sample_rows` rows per PlayId with `predictions` prediction columns of zeros.

    `kinds`, when given, is the sequence of feature kinds ("float", "int", "text", "flag") that
    the feature columns take in turn; the default is KINDS.
    """
    test, sample = draw(groups, rows_per_group, features, predictions, sample_rows, seed, shuffle, kinds)
    return test.frame(), sample.frame()


def to_csv_bytes(frame):
    """Any DataFrame as CSV bytes, the way the tables are written (no index column)."""
    buf = io.StringIO()
    frame.to_csv(buf, index=False)
    return buf.getvalue().encode("utf-8")


def make_tables(groups, rows_per_group=20, features=40, predictions=200, sample_rows=1, seed=0,
                kinds=None):
    """The CSV bytes of (test.csv, sample_submission.csv)."""
    test, sample = draw(groups, rows_per_group, features, predictions, sample_rows, seed, kinds=kinds)
    return test.csv(), sample.csv()


def groups_for_size(megabytes, rows_per_group=20, features=40, kinds=None):
    """About how many groups make a test.csv of the given size."""
    probe, _ = draw(200, rows_per_group, features, 1, 1, seed=1, kinds=kinds)
    per_group = len(probe.csv()) / 200.0
    return max(1, int(megabytes * 1e6 / per_group))


def _kinds(kinds):
    if kinds is None:
        return KINDS
    kinds = tuple(kinds)
    unknown = [k for k in kinds if k not in ("float", "int", "text", "flag")]
    if not kinds or unknown:
        raise ValueError("kinds must be a non-empty sequence of 'float', 'int', 'text' and 'flag'")
    return kinds


# -- the encoder ---------------------------------------------------------------------------

def _digits(a, width):
    """Decimal digits of the non-negative int64 array a, right-aligned in `width` columns,
    leading zeros as filler (a zero keeps its one digit)."""
    if width == 0:
        return np.empty((len(a), 0), dtype=np.uint8)
    dtype = np.int32 if width <= 9 else np.int64  # narrower division is much faster
    a = a.astype(dtype, copy=False)
    powers = 10 ** np.arange(width - 1, -1, -1, dtype=dtype)
    out = ((a[:, None] // powers) % 10 + 48).astype(np.uint8)
    length = 1 + (a[:, None] >= powers[:-1][::-1][None, :]).sum(axis=1) if width > 1 \
        else np.ones(len(a), dtype=np.int64)
    out[np.arange(width)[None, :] < (width - length)[:, None]] = _FILL
    return out


def _width(a):
    return len(str(int(a.max()))) if len(a) else 1


def _encode_int(v):
    a = np.abs(v)
    sign = np.where(v < 0, ord("-"), _FILL).astype(np.uint8)[:, None]
    return np.hstack([sign, _digits(a, _width(a))])


def _encode_float(x):
    missing = np.isnan(x)
    q = np.rint(np.where(missing, 0.0, x) * 10 ** DECIMALS).astype(np.int64)
    a = np.abs(q)
    whole, frac = a // 10 ** DECIMALS, a % 10 ** DECIMALS
    sign = np.where(np.signbit(x) & ~missing, ord("-"), _FILL).astype(np.uint8)[:, None]  # -0.0 too
    # the fraction: DECIMALS digits, trailing zeros dropped, at least one digit kept
    frac = frac.astype(np.int32)
    powers = 10 ** np.arange(DECIMALS - 1, -1, -1, dtype=np.int32)
    fdigits = ((frac[:, None] // powers) % 10 + 48).astype(np.uint8)
    trailing = np.zeros(len(x), dtype=np.int32)
    for k in range(1, DECIMALS):
        trailing += (frac % 10 ** k == 0)
    fdigits[np.arange(DECIMALS)[None, :] >= (DECIMALS - trailing)[:, None]] = _FILL
    dot = np.full((len(x), 1), ord("."), dtype=np.uint8)
    out = np.hstack([sign, _digits(whole, _width(whole)), dot, fdigits])
    out[missing] = _FILL  # an empty field
    return out


def _lookup(codes, words):
    encoded = [w.encode("utf-8") for w in words]
    if any(c in w for w in encoded for c in (b",", b'"', b"\n", b"\r")) or any(not w for w in encoded):
        raise ValueError("text values must not need quoting")
    width = max(len(w) for w in encoded)
    table = np.full((len(encoded), width), _FILL, dtype=np.uint8)
    for i, w in enumerate(encoded):
        table[i, :len(w)] = np.frombuffer(w, dtype=np.uint8)
    return table[codes]


def _encode(kind, values, start, stop):
    if kind == "int":
        return _encode_int(values[start:stop])
    if kind == "float":
        return _encode_float(values[start:stop])
    if kind == "flag":
        return _lookup(values[start:stop].astype(np.int64), ("False", "True"))
    if kind == "text":
        return _lookup(values[0][start:stop], values[1])
    if kind == "time":
        text = np.datetime_as_string(values[start:stop], unit="us").astype("S")
        out = text.view(np.uint8).reshape(len(text), text.itemsize).copy()
        out[out == ord("T")] = ord(" ")
        return out
    raise ValueError("unknown column kind %r" % (kind,))


def _join_rows(fields, rows):
    """One line per row from the fields' byte blocks: commas between, a line break after."""
    width = sum(f.shape[1] for f in fields) + len(fields)
    block = np.full((rows, width), _FILL, dtype=np.uint8)
    at = 0
    for i, f in enumerate(fields):
        block[:, at:at + f.shape[1]] = f
        at += f.shape[1]
        block[:, at] = ord(",") if i < len(fields) - 1 else ord("\n")
        at += 1
    flat = block.ravel()
    return flat[flat != _FILL].tobytes()
