"""The module's loop against the literal loop (testsupport/literal.py) over random data sets and participants.

Each example writes a test set and a sample submission as CSV text (0 to 50 groups, shuffled
rows, int, float, str, bool, empty and mixed columns, PlayId as int, as float with missing values
or as str, int keys read as float in one file only (a blank key, or keys written as 3.0); sample
rows missing for some groups, several for others, and for keys without test rows), then plays
one participant against both loops: answers whose dtypes, row counts, row labels and classes
change from group to group, reminders, refused answers and sometimes a loop left before its
end. Everything yielded, printed, raised and written must be the same.
"""
import contextlib
import io
import json
import os
import random
import subprocess
import sys
import warnings

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.testing import assert_frame_equal

from testsupport import literal
from testsupport.literal import SUBMISSION
from testsupport.profiles import examples

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")

ALPHABET = "abcxyzAZ09 ,\"'é-_.;"
TEST_KINDS = ["int", "float", "str", "bool", "empty", "mixed"]
ANSWER_KINDS = ["int", "float", "str", "bool", "nan", "none", "mixed", "category", "datetime",
                "Int64"]


@pytest.fixture
def target(request):
    return literal.Target(request)


# ---------------------------------------------------------------------------------------------
# Data sets


def token(rng, letters=True):
    text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 6)))
    return ("k" + text) if letters else text


def cell(rng, kind):
    """The CSV text of one cell of a column of the given kind (None: an empty cell)."""
    if kind == "int":
        return str(rng.choice([rng.randint(-99, 99), rng.randint(-2 ** 62, 2 ** 62)]))
    if kind == "float":
        if rng.random() < 0.2:
            return None
        return rng.choice([repr(rng.uniform(-1e3, 1e3)), "0.5", "-0.0", "1e300", "3.0"])
    if kind == "str":
        return None if rng.random() < 0.1 else token(rng, letters=rng.random() < 0.7)
    if kind == "bool":
        return rng.choice(["True", "False"])
    if kind == "empty":
        return None
    return rng.choice([str(rng.randint(0, 9)), token(rng), "1.5", "True"])


def playid_texts(rng, kind, n):
    """n distinct PlayId texts of the given kind."""
    if kind == "int":
        pool = rng.sample(range(-60, 60), n)
        if rng.random() < 0.2:
            pool = [k + 2 ** 62 for k in pool]
        return [str(k) for k in pool]
    if kind == "float":
        values = set()
        while len(values) < n:
            values.add(rng.choice([round(rng.uniform(-50, 50), rng.randint(0, 3)),
                                   float(rng.randint(-5, 5))]))
        texts = [repr(v) for v in values]
        if "0.0" in texts and rng.random() < 0.5:
            texts.append("-0.0")  # a second spelling of the key 0.0: the same group
        return texts
    texts = set()
    while len(texts) < n:
        texts.add(rng.choice([token(rng), str(rng.randint(0, 20)), "k" + str(rng.randint(0, 20))]))
    texts = sorted(texts)
    rng.shuffle(texts)
    return [t if any(c.isalpha() for c in t) or i else "k" + t for i, t in enumerate(texts)]


def respell(rng, kind, text):
    """Another spelling of a PlayId text; for int and float keys one that parses as equal."""
    if text is None or rng.random() < 0.5:
        return text
    if kind == "int":
        sign, digits = ("-", text[1:]) if text.startswith("-") else ("+", text)
        return rng.choice([text + ".0", sign + "0" + digits, repr(float(text))])
    if kind == "float":
        return rng.choice([text + "0" if "e" not in text else text, repr(float(text) * 1.0),
                           "%.17e" % float(text)])
    return rng.choice([text, " " + text, text.upper()])


def key_order(text):
    """Sorts key texts as the parsed keys sort (numbers by value), missing keys last."""
    if text is None:
        return (2, 0.0, "")
    try:
        return (0, float(text), "")
    except ValueError:
        return (1, 0.0, text)


def dataset(rng, n_groups, key_kind, wide=False):
    """(test CSV bytes, sample CSV bytes) for one random data set; wide: hundreds of columns."""
    keys = playid_texts(rng, key_kind, n_groups + 4)
    rng.shuffle(keys)
    test_keys, extra_keys = keys[:n_groups], keys[n_groups:n_groups + rng.randint(0, 4)]
    missing_key = rng.random() < 0.3
    in_key_order = rng.random() < 0.4  # as most test sets come: sorted by PlayId

    def table(key_cells, columns):
        names = ["c%d" % i for i in range(len(columns))]
        where = rng.randint(0, len(names))
        header = names[:where] + ["PlayId"] + names[where:]
        rows = []
        for key in key_cells:
            values = [cell(rng, kind) for kind in columns]
            rows.append(values[:where] + [key] + values[where:])
        rng.shuffle(rows)
        if in_key_order:
            rows.sort(key=lambda row: key_order(row[where]))
        return literal.csv_bytes(header, rows)

    test_cells = []
    for key in test_keys:
        test_cells += [key] * rng.randint(1, 4)
    if missing_key:
        test_cells += [None] * rng.randint(0, 3)
    sample_cells = []
    for key in test_keys:
        if rng.random() < 0.8:  # sample rows missing for some groups, several for others
            sample_cells += [key] * rng.choice([1, 1, 1, 2, 3])
    for key in extra_keys:
        sample_cells += [key] * rng.randint(1, 2)
    if missing_key and rng.random() < 0.5:
        sample_cells += [None]
    if rng.random() < 0.3:  # the sample spells some keys its own way
        sample_cells = [respell(rng, key_kind, k) for k in sample_cells]
    if key_kind == "int" and rng.random() < 0.2:  # the test file writes its int keys as floats
        test_cells = [k if k is None else k + ".0" for k in test_cells]
    if wide:
        test_columns = [rng.choice(TEST_KINDS) for _ in range(rng.randint(40, 120))]
        sample_columns = [rng.choice(["float", "float", "int", "empty"]) for _ in range(rng.randint(150, 250))]
    else:
        test_columns = [rng.choice(TEST_KINDS) for _ in range(rng.randint(0, 4))]
        sample_columns = [rng.choice(TEST_KINDS) for _ in range(rng.choice([0, 1, 1, 2, 3]))]
    return table(test_cells, test_columns), table(sample_cells, sample_columns)


# ---------------------------------------------------------------------------------------------
# The participant


class Answer(pd.DataFrame):
    """A participant's DataFrame subclass; it records the values that insert receives."""
    inserted = []

    @property
    def _constructor(self):
        return Answer

    def insert(self, loc, column, value, *args, **kwargs):
        Answer.inserted.append((loc, column, value, type(value).__name__))
        return super().insert(loc, column, value, *args, **kwargs)


def column_values(rng, kind, n):
    if kind == "int":
        return pd.Series([rng.randint(-5, 5) for _ in range(n)], dtype="int64")
    if kind == "float":
        return pd.Series([rng.choice([rng.random(), float("nan")]) for _ in range(n)],
                         dtype="float64")
    if kind == "str":
        return pd.Series([token(rng) for _ in range(n)], dtype=object)
    if kind == "bool":
        return pd.Series([rng.random() < 0.5 for _ in range(n)], dtype=bool)
    if kind == "nan":
        return pd.Series([float("nan")] * n, dtype="float64")
    if kind == "none":
        return pd.Series([None] * n, dtype=object)
    if kind == "mixed":
        return pd.Series([rng.choice([1, "a", 2.5, None, True]) for _ in range(n)], dtype=object)
    if kind == "category":
        return pd.Series([rng.choice("pq") for _ in range(n)], dtype="category")
    if kind == "datetime":
        return pd.Series(pd.to_datetime([rng.randint(0, 10 ** 9) for _ in range(n)], unit="s"))
    return pd.Series([rng.choice([1, None]) for _ in range(n)], dtype="Int64")


def make_answer(rng, sample_df, kinds):
    """A new answer frame with the sample frame's columns, their kinds of values from kinds (a
    list, by position) or, when it is None, drawn anew; its rows and labels vary by group."""
    n = rng.choice([0, 1, 2, len(sample_df), len(sample_df)])
    labels = rng.choice(["range", "repeat", "str", "sample"])
    if labels == "range":
        index = pd.RangeIndex(n)
    elif labels == "repeat":
        index = pd.Index([0] * n)
    elif labels == "str":
        index = pd.Index(["r%d" % i for i in range(n)])
    else:
        index = sample_df.index if n == len(sample_df) else pd.RangeIndex(5, 5 + n)
    cls = Answer if rng.random() < 0.3 else pd.DataFrame
    columns = {}
    for i, column in enumerate(sample_df.columns):
        kind = kinds[i % len(kinds)] if kinds else rng.choice(ANSWER_KINDS)
        columns[column] = column_values(rng, kind, n).values
    return cls(columns, index=index, columns=list(sample_df.columns))


def wrong_answer(rng, sample_df):
    columns = list(sample_df.columns)
    choice = rng.randint(0, 4)
    if choice == 0:
        columns = columns + ["PlayId"]
    elif choice == 1:
        columns = columns[:-1] if columns else ["x"]
    elif choice == 2:
        columns = ["PlayId"] + columns
    elif choice == 3 and len(columns) > 1:
        columns = columns[::-1]
    else:
        columns = [c + "_" for c in columns] or ["y"]
    if list(columns) == list(sample_df.columns):
        columns.append("more")
    return pd.DataFrame({c: [1] for c in columns}, columns=columns)


def mutate(rng, test_group_df, sample_df):
    """Changes what was yielded in place, as participants do: a cell of each frame set to another
    value of its column, a derived column added, the sample frame's column index renamed. Any
    warning is an error here, but the one about a frame's layout in memory, which is not part of
    what is yielded."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.simplefilter("ignore", pd.errors.PerformanceWarning)
        if len(test_group_df) and len(test_group_df.columns):
            j = rng.randrange(len(test_group_df.columns))
            test_group_df.iloc[0, j] = test_group_df.iloc[-1, j]
            test_group_df["derived"] = 1
        if len(sample_df) and len(sample_df.columns):
            j = rng.randrange(len(sample_df.columns))
            sample_df.iloc[0, j] = sample_df.iloc[-1, j]
        if rng.random() < 0.5:  # the column index too: its name, and a label where pandas lets
            sample_df.columns.name = "renamed"
            labels = sample_df.columns.values
            if len(labels) and getattr(getattr(labels, "flags", None), "writeable", False):
                labels[-1] = "relabelled"


def outcome(call):
    """('ok', result) or ('raised', class name, args as text)."""
    try:
        return ("ok", call())
    except Exception as exc:  # the outcome being compared
        return ("raised", type(exc).__name__, repr(exc.args))


def participate(env, seed, path):
    """Plays one participant against env; returns the trace of what it saw."""
    trace = []
    out = io.StringIO()
    plan = random.Random(seed)
    stop_after = plan.choice([None] * 15 + [0, 1, 2])
    # Half the participants answer every group with the same kinds of values, as most do; the
    # others change them from group to group.
    kinds = [plan.choice(ANSWER_KINDS) for _ in range(4)] if plan.random() < 0.5 else None
    kept = None
    with contextlib.redirect_stdout(out):
        gen = env.iter_test()
        group = 0
        while True:
            rng = random.Random("%d-%d" % (seed, group))
            got = outcome(lambda: next(gen))
            if got[0] == "raised":
                trace.append(got)
                break
            item = got[1]
            if item is None:
                trace.append(("unexpected None",))
                break
            test_group_df, sample_df = item
            trace.append(("group", test_group_df.copy(), sample_df.copy()))
            if kept:  # a frame yielded earlier is still what it was
                trace.append(("kept", kept[0].copy(), kept[1]))
            if rng.random() < 0.1:
                kept = (test_group_df, test_group_df.copy())
            if rng.random() < 0.25:
                trace.append(("mutated", outcome(lambda: mutate(rng, test_group_df, sample_df))))
            for _ in range(rng.choice([0, 0, 0, 1, 2])):
                trace.append(("reminder", outcome(lambda: next(gen))))
            if rng.random() < 0.2:
                trace.append(("wrong", outcome(lambda: env.predict(wrong_answer(rng, sample_df)))))
            if rng.random() < 0.1:
                trace.append(("not a frame", outcome(lambda: env.predict(sample_df.to_dict()))))
            if rng.random() < 0.15:
                answer = sample_df  # the reference itself, filled in and passed back
                for i, column in enumerate(list(answer.columns)):
                    kind = kinds[i % len(kinds)] if kinds else rng.choice(ANSWER_KINDS)
                    answer[column] = column_values(rng, kind, len(answer)).values
            else:
                answer = make_answer(rng, sample_df, kinds)
            del Answer.inserted[:]
            trace.append(("answer", outcome(lambda: env.predict(answer))))
            trace.append(("answered", answer.copy(), list(Answer.inserted)))
            if rng.random() < 0.2:  # the frame is the caller's again: it may change it
                for column in answer.columns:
                    answer[column] = "changed"
            if group == stop_after:
                break
            group += 1
        trace.append(("state", type(env)._state.name))
        if os.path.exists(path):
            os.remove(path)
        trace.append(("write", outcome(env.write_submission_file)))
        if os.path.exists(path):
            with open(path, "rb") as f:
                trace.append(("file", f.read()))
        gen = None
    trace.append(("stdout", out.getvalue()))
    return trace


def assert_same_trace(got, expected):
    for step, (g, e) in enumerate(zip(got, expected)):
        context = "step %d: %r" % (step, e[0])
        assert g[0] == e[0], context
        if e[0] in ("group", "answered", "kept"):
            for g_frame, e_frame in zip(g[1:3], e[1:3]):
                if isinstance(e_frame, pd.DataFrame):
                    assert type(g_frame) is type(e_frame), context
                    assert_frame_equal(g_frame, e_frame, check_index_type=True, obj=context)
                    assert repr(g_frame.index) == repr(e_frame.index), context
                    assert [type(v) for v in g_frame.index] == [type(v) for v in e_frame.index]
                else:
                    assert g_frame == e_frame, context
        else:
            assert g == e, context
    assert len(got) == len(expected)


# ---------------------------------------------------------------------------------------------


COPY_ON_WRITE = [False]
if pd.__version__.startswith("2.") and hasattr(pd.options.mode, "copy_on_write"):
    COPY_ON_WRITE.append(True)  # pandas 2: with and without Copy-on-Write


@pytest.fixture(params=COPY_ON_WRITE, ids=lambda on: "cow" if on else "default")
def copy_on_write(request):
    if not request.param:
        yield False
        return
    with pd.option_context("mode.copy_on_write", True):
        yield True


@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_the_loop_does_the_literal_steps(target, tmp_path, submission_path, copy_on_write, wide):
    oracle_path = str(tmp_path / "oracle.csv")

    @settings(max_examples=examples(12 if wide else 60), deadline=None,
              suppress_health_check=[HealthCheck.too_slow], report_multiple_bugs=False)
    @given(n_groups=st.one_of(st.integers(0, 6), st.integers(0, 12 if wide else 50)),
           key_kind=st.sampled_from(["int", "float", "str"]),
           seed=st.integers(0, 2 ** 32 - 1))
    def check(n_groups, key_kind, seed):
        rng = random.Random(seed)
        test_csv, sample_csv = dataset(rng, n_groups, key_kind, wide)
        expected = participate(literal.make_env(test_csv, sample_csv, path=oracle_path), seed,
                               oracle_path)
        got = participate(target.env(test_csv, sample_csv), seed, SUBMISSION)
        assert_same_trace(got, expected)

    check()


def test_the_data_sets_cover_what_they_claim():
    """The generator of data sets makes the cases it is meant to make."""
    seen = set()
    for seed in range(120):
        rng = random.Random(seed)
        kind = ["int", "float", "str"][seed % 3]
        test_csv, sample_csv = dataset(rng, rng.randint(0, 50), kind)
        test_df, sample_df = literal.read_csv(test_csv), literal.read_csv(sample_csv)
        seen.add(("PlayId", kind, str(test_df["PlayId"].dtype)))
        seen.add(("PlayId dtypes", str(test_df["PlayId"].dtype), str(sample_df["PlayId"].dtype)))
        groups = literal.expected_groups(test_csv, sample_csv)
        keys = [k for k, _, _ in groups]
        seen.add(("groups", min(len(keys), 2)))
        counts = [len(s) for _, _, s in groups]
        seen.update(("sample rows", min(c, 2)) for c in counts)
        if set(sample_df["PlayId"].dropna()) - set(keys):
            seen.add("sample keys without test rows")
        if test_df["PlayId"].isna().any():
            seen.add("test rows without a key")
        if not test_df["PlayId"].dropna().is_monotonic_increasing:
            seen.add("shuffled")
        elif len(test_df) > 3 and not test_df["PlayId"].isna().any():
            seen.add("in key order")
        seen.update(("column", str(test_df[c].dtype)) for c in test_df.columns)
    for case in [("PlayId", "int", "int64"), ("PlayId", "float", "float64"),
                 ("PlayId dtypes", "float64", "int64"), ("PlayId dtypes", "int64", "float64"),
                 ("groups", 0), ("groups", 2), ("sample rows", 0), ("sample rows", 2),
                 "sample keys without test rows", "test rows without a key", "shuffled", "in key order",
                 ("column", "bool"), ("column", "float64"), ("column", "int64")]:
        assert case in seen, case
    assert any(c[0] == "PlayId" and c[1] == "str" for c in seen)


# ---------------------------------------------------------------------------------------------
# The version policy: under a pandas newer than any the fast paths are tested on, or one whose
# version cannot be read, the module takes the literal steps.

POLICY_CHILD = r"""
import json, os, random, sys
sys.path.insert(0, sys.argv[1])
import pandas as pd
import test_loop_differential as d
from testsupport.literal import SUBMISSION
from testsupport.module import load_module
from testsupport.sealing import sealed_inputs

PANDAS = os.path.dirname(os.path.abspath(pd.__file__)) + os.sep
seen = {"private": [], "groupby": []}

def note(what, name):
    # made by the module: native code entered from the participant's frames, not pandas' own
    if not sys._getframe(2).f_code.co_filename.startswith(PANDAS):
        seen[what].append(name)

def watch(cls, name, what="private"):
    # cls.name replaced by the same that notes each use: a method, a class method or an attribute
    owner = next((k for k in cls.__mro__ if name in vars(k)), None)
    if owner is None:
        return
    inner = vars(owner)[name]
    if isinstance(inner, classmethod):
        def method(c, *args, **kwargs):
            note(what, name)
            return inner.__func__(c, *args, **kwargs)
        setattr(cls, name, classmethod(method))
    elif callable(inner):
        def method(self, *args, **kwargs):
            note(what, name)
            return inner(self, *args, **kwargs)
        setattr(cls, name, method)
    else:
        def get(self):
            note(what, name)
            return inner.__get__(self, type(self))
        setattr(cls, name, property(get, lambda self, value: inner.__set__(self, value)))

# what the module reaches through the private interfaces it reads (pandas' compiled code reads
# frame._mgr and index._data itself, from whatever frame it is called from)
manager = type(pd.DataFrame({"a": [1]})._mgr)
for cls, name in [(manager, "is_consolidated"), (manager, "get_dtypes"), (manager, "blocks"),
                  (pd.DataFrame, "_consolidate_inplace"), (pd.DataFrame, "_clear_item_cache"),
                  (pd.Index, "_simple_new")]:
    watch(cls, name)
watch(pd.DataFrame, "groupby", "groupby")

real_version = pd.__version__
counts = []
for i, (seed, n_groups, key_kind, wide) in enumerate(json.loads(sys.argv[3])):
    test_csv, sample_csv = d.dataset(random.Random(seed), n_groups, key_kind, wide)
    m = load_module(os.path.join(sys.argv[2], "m%d" % i), sealed_inputs(test_csv, sample_csv))
    traces = {}
    for version in [real_version] + json.loads(sys.argv[4]):
        pd.__version__ = version
        for found in seen.values():
            del found[:]
        m.make_env.__called__ = False
        try:
            traces[version] = d.participate(m.make_env(), seed, SUBMISSION)
        finally:
            pd.__version__ = real_version
        counts.append([seed, version, len(seen["private"]), len(seen["groupby"])])
    for version, trace in traces.items():
        d.assert_same_trace(trace, traces[real_version])
print(json.dumps(counts))
"""

POLICY_CASES = [(11, 8, "int", False), (12, 8, "float", False), (13, 8, "str", False), (14, 5, "int", True)]


def test_a_pandas_newer_than_any_tested_gets_the_literal_steps(tmp_path, submission_path):
    """Under pandas.__version__ "4.0.0" (a major version newer than any tested) or "dev" (no
    version), the module yields, prints, raises and writes exactly what it does under the real
    version, and never reads a private interface of pandas: each group comes from the group-by
    and each answer is appended as it comes. The same watch sees the reads under the real version,
    so it does not miss them. In a child process: the watch replaces pandas' own attributes."""
    if literal.Target.literal:
        pytest.skip("the policy is the module's")
    fakes = ["4.0.0", "dev"]
    proc = subprocess.run([sys.executable, "-c", POLICY_CHILD, os.path.dirname(os.path.abspath(__file__)),
                           str(tmp_path), json.dumps(POLICY_CASES), json.dumps(fakes)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]
    counts = json.loads(proc.stdout.splitlines()[-1])
    assert len(counts) == len(POLICY_CASES) * (1 + len(fakes))
    for seed, version, private_reads, groupbys in counts:
        if version in fakes:
            assert (private_reads, groupbys) == (0, 1), (seed, version)
        else:
            assert private_reads > 0, (seed, version)
