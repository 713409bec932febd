"""The test loop's own machinery against what a participant's code can do to it: state reachable
from Python, the rules for joining answers (copies that share the caller's data included), a
predict that fails part way, the exact row labels of what is yielded, the reader looked up for
each input, and keys that read as float in one file only.

Each case runs the same participant script against the module and against the literal steps
(testsupport/literal.py) and compares what both saw and wrote.
"""
import contextlib
import io
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

from testsupport import literal
from testsupport.module import MODULE_PATH
from testsupport.sealing import sealed_inputs

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")

HERE = os.path.dirname(os.path.abspath(__file__))
# 40 groups, so that waiting answers are merged at least once (runs of 32).
N = 40
TEST = "PlayId,x\n" + "".join("%d,%d\n" % (k, k * 10) for k in range(1, N + 1))
SAMPLE = "PlayId,y,z\n" + "".join("%d,0,0\n" % k for k in range(1, N + 1))


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # what the call did is what is compared
        return ("raised", type(exc).__name__, str(exc))


def play(env, script, path):
    """Runs script(env) and returns (its trace, the state, the written bytes or None)."""
    if os.path.exists(path):
        os.remove(path)
    with contextlib.redirect_stdout(io.StringIO()):
        trace = script(env)
        written = outcome(env.write_submission_file)
    data = None
    if os.path.exists(path):
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
    return trace, type(env)._state.name, written[0], data


def same_as_literal(env_with, tmp_path, script, test=TEST, sample=SAMPLE):
    _, env = env_with(test, sample)
    got = play(env, script, literal.SUBMISSION)
    oracle = str(tmp_path / "oracle.csv")
    expected = play(literal.make_env(test.encode(), sample.encode(), path=oracle), script, oracle)
    assert got == expected
    return got


def answer(sample_df, value):
    return pd.DataFrame({c: [value] * len(sample_df) for c in sample_df.columns}, index=sample_df.index)


# ---- joining answers -----------------------------------------------------------------------

needs_flags = pytest.mark.skipif(not hasattr(pd.DataFrame, "flags"), reason="pandas without flags")


@needs_flags
def test_an_answer_refusing_duplicate_labels_is_refused_by_its_own_predict(env_with, tmp_path, submission_path):
    def script(env):
        trace = []
        for i, (_, sample_df) in enumerate(env.iter_test()):
            a = answer(sample_df, i)
            a.index = [0] * len(a)  # every answer has the row label 0
            if i == 3:
                strict = a.set_flags(allows_duplicate_labels=False)
                trace.append(outcome(lambda: env.predict(strict)))
                trace.append(type(env)._state.name)
            trace.append(outcome(lambda: env.predict(a)))
        return trace

    trace, state, written, data = same_as_literal(env_with, tmp_path, script)
    assert trace[3][:2] == ("raised", "DuplicateLabelError") and trace[4] == "AWAITING_PREDICT"
    assert state == "DONE" and written == "ok" and data.count(b"\n") == N + 1


class SelfCopy(pd.DataFrame):
    """A subclass whose copy() hands back the frame itself."""
    @property
    def _constructor(self):
        return SelfCopy

    def copy(self, deep=True):
        return self


class SharedCopy(pd.DataFrame):
    """A subclass whose copy() hands back a plain DataFrame that the caller keeps and changes."""
    _metadata = ["shadow"]

    @property
    def _constructor(self):
        return SharedCopy

    def copy(self, deep=True):
        self.shadow = pd.DataFrame(pd.DataFrame.copy(self))  # a plain frame over the copy's data
        return self.shadow


@pytest.mark.parametrize("kind", ["copy returns self", "attrs", "changed after predict",
                                  "copy shares numbers", "copy shares text"])
def test_answers_are_joined_as_they_were_when_accepted(env_with, tmp_path, submission_path, kind):
    def script(env):
        reused = None
        for i, (_, sample_df) in enumerate(env.iter_test()):
            if kind == "copy returns self":
                reused = SelfCopy(answer(sample_df, i)) if reused is None else reused
                if "PlayId" in reused.columns:
                    del reused["PlayId"]
                reused.iloc[:, :] = i
                env.predict(reused)
            elif kind.startswith("copy shares"):
                numbers = kind.endswith("numbers")
                a = SharedCopy(answer(sample_df, i if numbers else str(i)))
                env.predict(a)
                for block in a.shadow._mgr.blocks:  # changed in place after predict() accepted it
                    block.values[block.mgr_locs.as_array != 0] = -1 if numbers else "-1"
            else:
                a = answer(sample_df, i)
                if kind == "attrs":
                    a.attrs["group"] = i
                env.predict(a)
                a.iloc[:, :] = -1  # the caller's frame is its own again
        return []

    if kind == "copy returns self" or kind.startswith("copy shares"):
        # Some pandas releases keep a view of the only non-empty frame they join, so the literal
        # steps would write the first answer as the caller changed it later: not done here.
        _, env = env_with(TEST, SAMPLE)
        _, state, written, data = play(env, script, literal.SUBMISSION)
    else:
        _, state, written, data = same_as_literal(env_with, tmp_path, script)
    assert written == "ok" and b"-1" not in data
    rows = data.decode().splitlines()[1:]
    assert [r.split(",")[1] for r in rows] == [str(i) for i in range(N)]


@pytest.mark.parametrize("name", ["append", "flags", "attrs", "_clear_item_cache"])
def test_a_column_named_like_a_frame_attribute_is_a_prediction_column_like_any_other(
        env_with, tmp_path, submission_path, name):
    """Where pandas' DataFrame has no attribute of a name (append from pandas 2, flags before 1.2,
    the item cache from 3), frame.<name> is the column of that name: joining the answers (one of
    another dtype, joined at once) must neither call it nor read it as the frame's own."""
    sample = "PlayId,%s\n" % name + "".join("%d,0\n" % k for k in range(1, N + 1))

    def script(env):
        trace = []
        for i, (_, sample_df) in enumerate(env.iter_test()):
            sample_df[name] = ["text" if i == 1 else 1.5] * len(sample_df)
            trace.append(outcome(lambda: env.predict(sample_df)))
        return trace

    trace, _, written, data = same_as_literal(env_with, tmp_path, script, sample=sample)
    assert trace == [("ok", None)] * N and written == "ok" and data.count(b"text") == 1


def test_a_dataframe_copy_put_in_place_before_the_run_is_called_for_every_answer(env_with, monkeypatch):
    """predict() copies an answer as the literal steps do: where DataFrame.copy is not pandas' own,
    the replacement is called for every answer, stacked ones too."""
    calls = []
    real = pd.DataFrame.copy

    def copy(self, deep=True):
        calls.append(deep)
        return real(self, deep=deep)

    monkeypatch.setattr(pd.DataFrame, "copy", copy)
    _, env = env_with(TEST, SAMPLE)
    called = []
    with contextlib.redirect_stdout(io.StringIO()):
        for i, (_, sample_df) in enumerate(env.iter_test()):
            a = answer(sample_df, i)
            before = len(calls)
            env.predict(a)
            called.append(len(calls) > before)
    assert len(called) == N and all(called)


@pytest.mark.parametrize("shape", ["text answers merged in runs", "numeric answers, then another dtype"])
def test_a_predict_that_fails_while_joining_changes_nothing(env_with, submission_path, monkeypatch, shape):
    """An interrupt inside a join: that predict fails, its answer is not taken and the state
    stays; the corrected call that follows is taken, and nothing accepted before is lost."""
    fail = {"on": False}
    real = pd.concat

    def concat(*args, **kwargs):
        if fail["on"]:
            fail["on"] = False
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    def value(i):
        return "v%d" % i if shape.startswith("text") else i

    monkeypatch.setattr(pd, "concat", concat)
    monkeypatch.setattr(pd.core.reshape.concat, "concat", concat)  # what DataFrame.append calls
    _, env = env_with(TEST, SAMPLE)
    with contextlib.redirect_stdout(io.StringIO()):
        gen = env.iter_test()
        for i in range(N):
            _, sample_df = next(gen)
            if i == 33:  # 32 answers wait (the first was joined at once): a join comes first
                fail["on"] = True
                odd = answer(sample_df, "odd" if shape.startswith("numeric") else value(99))
                with pytest.raises(KeyboardInterrupt):
                    env.predict(odd)
                assert type(env)._state.name == "AWAITING_PREDICT"
            env.predict(answer(sample_df, value(i)))
        with pytest.raises(StopIteration):
            next(gen)
        env.write_submission_file()
    with open(submission_path) as f:
        rows = f.read().splitlines()[1:]
    assert [r.split(",") for r in rows] == [[str(k), str(value(k - 1)), str(value(k - 1))] for k in range(1, N + 1)]


# ---- row labels ----------------------------------------------------------------------------

LABEL_CASES = {
    "sorted": ("PlayId,x\n1,a\n1,b\n2,c\n3,d\n3,e\n", "PlayId,y\n1,0\n2,0\n3,0\n"),
    "interleaved": ("PlayId,x\n1,a\n2,b\n1,c\n2,d\n1,e\n", "PlayId,y\n2,0\n1,0\n2,1\n"),
    "descending": ("PlayId,x\n3,a\n2,b\n1,c\n", "PlayId,y\n3,0\n1,0\n"),
    "one group, whole sample": ("PlayId,x\n5,a\n5,b\n", "PlayId,y\n5,0\n"),
    "gaps in the sample": ("PlayId,x\n1,a\n2,b\n", "PlayId,y\n1,0\n2,0\n1,1\n9,9\n1,2\n"),
    "no sample rows": ("PlayId,x\n1,a\n2,b\n", "PlayId,y\n7,0\n"),
    "empty sample": ("PlayId,x\n1,a\n2,b\n", "PlayId,y\n"),
    "text keys": ("PlayId,x\nb,1\na,2\nb,3\n", "PlayId,y\na,0\nb,0\nb,1\n"),
    "float keys": ("PlayId,x\n2.5,1\n1.5,2\n2.5,3\n", "PlayId,y\n1.5,0\n2.5,0\n"),
}


@pytest.mark.parametrize("case", sorted(LABEL_CASES))
def test_row_labels_are_those_of_the_literal_steps_type_included(env_with, case):
    test, sample = LABEL_CASES[case]
    _, env = env_with(test, sample)
    oracle = literal.make_env(test.encode(), sample.encode(), path=os.devnull)

    def labels(e):
        out = []
        for test_group_df, sample_df in e.iter_test():
            out.append((repr(test_group_df.index), repr(sample_df.index)))
            e.predict(sample_df)
        return out

    assert labels(env) == labels(oracle)


# ---- the reader, looked up for each input -----------------------------------------------------

def yielded_groups(env):
    out = []
    with contextlib.redirect_stdout(io.StringIO()):
        for test_df, sample_df in env.iter_test():
            out.append((test_df.to_dict("split"), repr(test_df.index), sample_df.to_dict("split"),
                        repr(sample_df.index)))
            env.predict(sample_df)
    return out


@pytest.mark.parametrize("patch", [
    ("factorize", 1, ValueError), ("factorize", 2, ValueError),
    ("factorize", 1, KeyboardInterrupt), ("factorize", 2, KeyboardInterrupt),
    ("__version__", 3, None), ("__version__", "3\udc80", None),
], ids=["test keys fail", "sample keys fail", "interrupt on test keys", "interrupt on sample keys",
        "version not text", "version not ascii"])
def test_an_error_while_the_indexed_walk_is_built(env_with, monkeypatch, patch):
    # An ordinary error building the faster walk means the literal groups; an interrupt ends the
    # advance that met it.
    test, sample = "PlayId,x\n3,a\n1,b\n2,c\n1,d\n3,e\n", "PlayId,y\n1,0\n2,0\n3,0\n3,1\n"
    expected = yielded_groups(env_with(test, sample)[1])
    name, value, error = patch
    if name == "__version__":
        monkeypatch.setattr(pd, "__version__", value)
    else:
        real, calls = pd.factorize, []

        def factorize(*args, **kwargs):
            calls.append(args)
            if len(calls) == value:
                raise error("factorize failed")
            return real(*args, **kwargs)

        monkeypatch.setattr(pd, "factorize", factorize)
    _, env = env_with(test, sample)
    if error is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            next(env.iter_test())
    else:
        assert yielded_groups(env) == expected
    if name == "factorize":
        assert len(calls) >= value  # the faster walk was tried and met the error


def test_the_reader_is_looked_up_for_each_input(env_with):
    _, env = env_with(TEST, SAMPLE)
    cls = type(env)
    original = cls._Competition__read_csv
    calls = []

    def first(self, file_name):
        calls.append(("first", file_name))
        cls._Competition__read_csv = second
        return original(self, file_name)

    def second(self, file_name):
        calls.append(("second", file_name))
        return original(self, file_name)

    cls._Competition__read_csv = first
    next(env.iter_test())
    assert calls == [("first", "sample_submission.csv"), ("second", "test.csv")]


# ---- state out of Python's reach -------------------------------------------------------------

SCRAMBLE = textwrap.dedent("""\
    import gc, importlib.util, sys, io, contextlib
    module_spec = importlib.util.spec_from_file_location("competition", sys.argv[1])
    m = importlib.util.module_from_spec(module_spec); module_spec.loader.exec_module(m)
    env = m.make_env()
    ours = lambda o: type(o).__module__ == "competition" or type(o).__name__.startswith("competition.")

    def scramble(roots):
        # every mutable container of one kind that our objects refer to, emptied or overwritten
        for root in roots:
            for r in gc.get_referents(root):
                if sys.argv[2] == "containers" and isinstance(r, (list, dict, set, bytearray)):
                    r.clear()
                elif sys.argv[2] == "arrays" and isinstance(r, np.ndarray) and r.flags.writeable and r.size:
                    r[...] = r.flat[0] * 0 + 10 ** 6 if r.dtype.kind in "iu" else r.flat[0]

    with contextlib.redirect_stdout(io.StringIO()):
        gen = env.iter_test()
        try:
            for i, (test_df, sample_df) in enumerate(gen):
                scope = [r for r in gc.get_referents(type(env).predict) if type(r).__name__ == "scope"]
                roots = [gen] + scope + [r for s in scope for r in gc.get_referents(s)
                                         if type(r).__name__ == "accumulation"]
                scramble(roots)
                env.predict(sample_df)
            env.write_submission_file()
        except Exception as exc:  # a Python error is fine; a crash is not
            print("raised", type(exc).__name__, file=sys.stderr)
    print("survived", file=sys.stderr)
""")


@pytest.mark.parametrize("kind", ["containers", "arrays"])
def test_state_reachable_from_python_cannot_crash_the_module(tmp_path, submission_path, kind):
    files = sealed_inputs("PlayId,x\n" + "".join("%d,%d\n" % (k % 7, k) for k in range(40)),
                          "PlayId,y\n" + "".join("%d,0\n" % k for k in range(7)))
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    target = tmp_path / os.path.basename(MODULE_PATH)
    target.write_bytes(open(MODULE_PATH, "rb").read())
    script = tmp_path / "scramble.py"
    script.write_text(SCRAMBLE)
    result = subprocess.run([sys.executable, str(script), str(target), kind],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 0, result.stderr.decode()[-2000:]
    assert b"survived" in result.stderr


# ---- working copies built chunk by chunk ----------------------------------------------------

@pytest.mark.parametrize("order", ["in key order", "shuffled"])
def test_a_large_test_set_is_served_as_the_literal_steps_serve_it(env_with, order):
    """Enough rows that the working copies are built in several chunks: every group, at chunk
    boundaries too, is what the literal group-by and mask give."""
    rng = np.random.RandomState(7)
    n_groups, per_group = 2400, 22
    keys = np.repeat(np.arange(n_groups) * 3 + 100, per_group)
    if order == "shuffled":
        rng.shuffle(keys)
    test = pd.DataFrame({"PlayId": keys, "f": rng.rand(len(keys)).round(3),
                         "i": rng.randint(0, 9, len(keys)), "t": rng.choice(["a", "b"], len(keys))})
    sample = pd.DataFrame({"PlayId": np.arange(n_groups) * 3 + 100, "y": 0.5, "z": 1})
    _, env = env_with(test.to_csv(index=False), sample.to_csv(index=False))
    test_df = literal.read_csv(test.to_csv(index=False).encode())
    sample_df = literal.read_csv(sample.to_csv(index=False).encode())
    expected = iter(test_df.sort_values(by=["PlayId"]).groupby("PlayId"))
    for got_test, got_sample in env.iter_test():
        key, group = next(expected)
        group = group.sort_index()
        pd.testing.assert_frame_equal(got_test, group, check_index_type=True)
        assert repr(got_test.index) == repr(group.index)
        want = sample_df[sample_df["PlayId"] == key].drop(columns=["PlayId"])
        pd.testing.assert_frame_equal(got_sample, want, check_index_type=True)
        assert repr(got_sample.index) == repr(want.index)
        env.predict(got_sample)
    assert type(env)._state.name == "DONE"


# ---- keys that read as float ----------------------------------------------------------------

@pytest.mark.parametrize("keys", ["blank test keys", "test keys written as floats", "blank sample keys"])
def test_keys_that_read_as_float_keep_the_indexed_walk(env_with, tmp_path, submission_path, monkeypatch, keys):
    """A blank PlayId in a few rows (or keys written as 20170907000000.0) reads the whole column
    as float against the other file's int keys. The groups are still served from the working
    copies, not by the group-by, and are what the literal steps give: rows of a missing key are
    never served, sample rows match as == matches float and int. Every sample frame is in as few
    blocks as its dtypes allow, so no predict warns about fragmentation."""
    n_groups, width = 60, 120
    ids = [20170907000000 + 37 * k for k in range(n_groups)]
    test_keys = [str(k) for k in ids for _ in range(3)]
    sample_keys = [str(k) for k in ids]
    if keys == "blank test keys":
        test_keys[5] = test_keys[100] = ""
    elif keys == "test keys written as floats":
        test_keys = [k + ".0" for k in test_keys]
    else:
        sample_keys[7] = ""
    test = "PlayId,x\n" + "".join("%s,%d\n" % (k, i) for i, k in enumerate(test_keys[::-1]))
    header = ",".join("y%d" % c for c in range(width))
    sample = "PlayId," + header + "\n" + "".join(k + "," + ",".join(["0.5"] * width) + "\n" for k in sample_keys)

    def script(env):
        seen = []
        for test_df, sample_df in env.iter_test():
            seen.append((test_df.to_dict("split"), repr(test_df.index), repr(sample_df.index),
                         sample_df.shape, [str(t) for t in sample_df.dtypes.unique()]))
            fragmented.append(not sample_df._mgr.is_consolidated())
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", pd.errors.PerformanceWarning)
                sample_df["y0"] = 1.0
                env.predict(sample_df)
            warned.extend(str(w.category) for w in caught if issubclass(w.category, pd.errors.PerformanceWarning))
        return seen

    fragmented, warned = [], []
    expected = play(literal.make_env(test.encode(), sample.encode(), path=str(tmp_path / "o.csv")), script,
                    str(tmp_path / "o.csv"))
    fragmented, warned, grouped, masked = [], [], [], []
    real_groupby, real_eq = pd.DataFrame.groupby, pd.Series.__eq__
    monkeypatch.setattr(pd.DataFrame, "groupby", lambda *a, **k: grouped.append(a[1:]) or real_groupby(*a, **k))
    monkeypatch.setattr(pd.Series, "__eq__", lambda s, o: masked.append(s.name) or real_eq(s, o))
    _, env = env_with(test, sample)
    got = play(env, script, literal.SUBMISSION)
    monkeypatch.undo()
    assert got == expected and got[1] == "DONE"
    assert grouped == [] and masked == []  # served from the working copies, not by the steps
    assert not any(fragmented) and warned == []
