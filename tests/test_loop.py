"""The test loop's generator as an object, and the edge cases of a participant's loop.

Expected files are those the literal loop (testsupport/literal.py) writes for the same participant code.
"""
import collections.abc
import contextlib
import gc
import io
import os
import sys
import warnings
import weakref

import pandas as pd
import pytest

from testsupport import literal
from testsupport.checks import refused
from testsupport.literal import (CONFIRMATION, MSG_COLUMNS, MSG_DONE, MSG_NEXT, MSG_ONCE,
                                 MSG_WRITE, REMINDER)

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")

# Groups 1, 2, 3 in that order; group 2 has no sample row, sample key 9 has no test row.
TEST = "PlayId,x,w\n3,a,1.5\n1,b,\n3,c,2.5\n2,d,0.5\n"
SAMPLE = "PlayId,y,z\n1,0,0\n3,1,1\n9,9,9\n3,2,2\n"
KEYS = [1, 2, 3]
SEND_REFUSED = "can't send non-None value to a just-started generator"
EXECUTING = "generator already executing"


@pytest.fixture
def target(request):
    return literal.Target(request)


def state(env):
    return type(env)._state.name


def finished(gen):
    with pytest.raises(StopIteration):
        next(gen)
    assert gen.close() is None


def answer(sample_df, value=7):
    """A fresh answer with the sample frame's columns and one row per sample row."""
    return pd.DataFrame({c: [value + i for i in range(len(sample_df))] for c in sample_df.columns},
                        index=sample_df.index)


def run_all(env, gen=None):
    """Answers every group of the loop and advances to its end."""
    for item in gen if gen is not None else env.iter_test():
        env.predict(answer(item[1]))


@contextlib.contextmanager
def stdout_to(stream):
    saved = sys.stdout
    sys.stdout = stream
    try:
        yield stream
    finally:
        sys.stdout = saved


def oracle_file(tmp_path, script, test_csv=TEST, sample_csv=SAMPLE):
    """The bytes the literal loop writes when script(env) has run against it."""
    path = str(tmp_path / "oracle.csv")
    env = literal.make_env(test_csv.encode(), sample_csv.encode(), path=path)
    with contextlib.redirect_stdout(io.StringIO()):
        script(env)
        env.write_submission_file()
    with open(path, "rb") as f:
        return f.read()


def written(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------------------------
# The generator object


def test_generator_object_runs_nothing_until_its_first_advance(target, capsys):
    env = target.env()  # no input files at all
    gen, other = env.iter_test(), env.iter_test()
    assert gen is not other
    assert isinstance(gen, collections.abc.Generator)
    assert isinstance(gen, collections.abc.Iterator)
    assert iter(gen) is gen
    assert gen.__name__ == "iter_test"
    assert gen.__qualname__ == "make_env.<locals>.Competition.iter_test"
    assert state(env) == "INIT"

    # The first input read is the sample submission; its failure finishes that generator only.
    refused(lambda: next(gen), "Failed to load input file [%s]."
            % target.input_path("sample_submission.csv"))
    finished(gen)
    assert state(env) == "INIT"
    refused(lambda: env.predict(pd.DataFrame()), MSG_NEXT)

    # The run is still unclaimed: the other generator, made before the failure, starts it.
    target.put_inputs(TEST, SAMPLE)
    test_group_df, sample_df = next(other)
    assert list(test_group_df["PlayId"]) == [1]
    assert state(env) == "AWAITING_PREDICT"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("test_csv, sample_csv", [
    ("Id,x\n1,a\n", SAMPLE),           # no PlayId to sort and group by: KeyError
    (TEST, "Id,y\n1,0\n"),             # no PlayId to select the sample rows by: KeyError
    (TEST, None),                      # sample submission missing: the load failure
    (TEST, ""),                        # nothing to parse: the load failure
])
def test_failed_first_advance_leaves_the_run_unclaimed(target, capsys, test_csv, sample_csv):
    env = target.env(test_csv, sample_csv)
    gen = env.iter_test()
    if sample_csv:
        with pytest.raises(KeyError):
            next(gen)
    else:
        refused(lambda: next(gen), "Failed to load input file [%s]."
                % target.input_path("sample_submission.csv"))
    finished(gen)
    assert state(env) == "INIT"
    refused(env.write_submission_file, MSG_WRITE)

    target.put_inputs(TEST, SAMPLE)
    gen = env.iter_test()
    assert [list(g["PlayId"]) for g, _ in [next(gen)]] == [[1]]
    assert state(env) == "AWAITING_PREDICT"
    assert capsys.readouterr().out == ""


def test_send(target, capsys):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    with pytest.raises(TypeError) as info:
        gen.send(1)
    assert str(info.value) == SEND_REFUSED
    assert state(env) == "INIT"

    # The refused send started nothing: send(None) is the first advance.
    test_group_df, sample_df = gen.send(None)
    assert list(test_group_df["PlayId"]) == [1]
    assert gen.send("ignored") is None
    assert capsys.readouterr().out == REMINDER + "\n"
    env.predict(answer(sample_df))
    test_group_df, sample_df = gen.send(object())
    assert list(test_group_df["PlayId"]) == [2]
    env.predict(answer(sample_df))
    test_group_df, sample_df = gen.send(None)
    env.predict(answer(sample_df))
    with pytest.raises(StopIteration):
        gen.send(5)
    assert state(env) == "DONE"
    with pytest.raises(StopIteration):
        gen.send(None)
    assert capsys.readouterr().out == ""


class Thrown(Exception):
    pass


def advance_to(env, gen, point):
    """Brings the generator to the given point of its life; returns the protocol state there."""
    if point == "created":
        return "INIT"
    item = next(gen)
    if point == "group":
        return "AWAITING_PREDICT"
    if point == "reminder":
        assert next(gen) is None
        return "AWAITING_PREDICT"
    if point == "answered":
        env.predict(answer(item[1]))
        return "MADE_PREDICTION"
    assert point == "finished"
    env.predict(answer(item[1]))
    run_all(env, gen)
    return "DONE"


@pytest.mark.parametrize("point", ["created", "group", "reminder", "answered", "finished"])
@pytest.mark.parametrize("how", ["close", "throw instance", "throw class"])
def test_close_and_throw_end_the_generator_without_a_transition(target, capsys, point, how):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    expected = advance_to(env, gen, point)
    capsys.readouterr()
    if how == "close":
        assert gen.close() is None
    elif how == "throw instance":
        exc = Thrown("thrown in")
        with pytest.raises(Thrown) as info:
            gen.throw(exc)
        assert info.value is exc
    else:
        with pytest.raises(Thrown):
            gen.throw(Thrown)
    assert state(env) == expected
    finished(gen)
    with pytest.raises(Thrown):  # a finished generator re-raises what is thrown into it
        gen.throw(Thrown("again"))
    assert capsys.readouterr().out == ""

    if point == "created":  # the run was never claimed: a new generator runs it through
        run_all(env)
        assert state(env) == "DONE"
    else:  # the run is over or can never end: every new generator is refused
        refused(lambda: next(env.iter_test()), MSG_ONCE)
        if expected != "DONE":
            refused(env.write_submission_file, MSG_WRITE)
    assert capsys.readouterr().out == ""


def throw_class_and_value(gen):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return gen.throw(Thrown, Thrown("pair"))


# (operation, whether the message is compared: the wording of an argument-count error is the
# interpreter's and names the type)
PROTOCOL_OPERATIONS = {
    "throw-int": (lambda gen: gen.throw(1), True),
    "throw-instance-and-value": (lambda gen: gen.throw(Thrown("x"), Thrown("y")), True),
    "throw-class-and-value": (throw_class_and_value, True),
    "throw-StopIteration": (lambda gen: gen.throw(StopIteration), True),
    "throw-GeneratorExit": (lambda gen: gen.throw(GeneratorExit), True),
    "throw-KeyboardInterrupt": (lambda gen: gen.throw(KeyboardInterrupt()), True),
    "send-nothing": (lambda gen: gen.send(), False),
    "close-argument": (lambda gen: gen.close(1), False),
}


@pytest.mark.parametrize("name", sorted(PROTOCOL_OPERATIONS))
@pytest.mark.parametrize("point", ["created", "group"])
def test_generator_protocol_matches_the_interpreters(target, tmp_path, name, point):
    """Unusual calls of send, throw and close behave as on the interpreter's own generator."""
    operation, with_message = PROTOCOL_OPERATIONS[name]

    def observe(env):
        gen = env.iter_test()
        advance_to(env, gen, point)
        outcome = []
        for call in (operation, next):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    result = call(gen)
                outcome.append(("returned", type(result).__name__))
            except BaseException as exc:  # the outcome being compared
                outcome.append(("raised", type(exc).__name__,
                                str(exc) if with_message or call is next else None))
        return outcome + [state(env)]

    with contextlib.redirect_stdout(io.StringIO()):
        expected = observe(literal.make_env(TEST.encode(), SAMPLE.encode(), path=None))
        assert observe(target.env(TEST, SAMPLE)) == expected


@pytest.mark.parametrize("inner", ["next", "send", "throw", "close"])
def test_advancing_from_inside_the_reminder_is_refused(target, capsys, inner):
    """A sys.stdout whose write advances the generator while it prints its reminder line."""
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    sample_df = next(gen)[1]
    seen = []

    class Reentrant(io.StringIO):
        def write(self, text):
            if not seen:
                try:
                    {"next": lambda: next(gen), "send": lambda: gen.send(None),
                     "throw": lambda: gen.throw(Thrown("inner")), "close": gen.close}[inner]()
                except BaseException as exc:
                    seen.append(exc)
                    raise
                seen.append(None)
            return super().write(text)

    with stdout_to(Reentrant()):
        with pytest.raises(ValueError) as info:
            next(gen)
    assert str(info.value) == EXECUTING
    assert len(seen) == 1 and seen[0] is info.value
    # The exception left the generator's body: it is finished, the group stays open.
    finished(gen)
    assert state(env) == "AWAITING_PREDICT"
    env.predict(answer(sample_df))
    assert state(env) == "MADE_PREDICTION"
    refused(lambda: next(env.iter_test()), MSG_ONCE)
    refused(env.write_submission_file, MSG_WRITE)
    assert capsys.readouterr().out == ""


def test_a_failing_print_finishes_the_generator(target, capsys):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    next(gen)

    class Broken(io.StringIO):
        def write(self, text):
            raise OSError("stdout is gone")

    with stdout_to(Broken()):
        with pytest.raises(OSError):
            next(gen)
    finished(gen)
    assert state(env) == "AWAITING_PREDICT"
    assert capsys.readouterr().out == ""


def test_lines_go_through_the_builtin_print(target, capsys, monkeypatch, submission_path):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    next(gen)
    with stdout_to(None):  # print itself does nothing without a sys.stdout
        assert next(gen) is None
    calls = []
    monkeypatch.setattr("builtins.print", lambda *args, **kwargs: calls.append((args, kwargs)))
    assert next(gen) is None
    env.predict(pd.DataFrame({"y": [1], "z": [2]}))
    run_all(env, gen)
    env.write_submission_file()
    monkeypatch.undo()
    assert calls == [((REMINDER,), {}), ((CONFIRMATION,), {})]
    assert capsys.readouterr().out == ""


def test_an_answer_given_while_the_reminder_prints_counts_from_the_next_advance(target, capsys):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    sample_df = next(gen)[1]

    class Answering(io.StringIO):
        def write(self, text):
            if state(env) == "AWAITING_PREDICT":
                env.predict(answer(sample_df))
            return super().write(text)

    with stdout_to(Answering()) as out:
        assert next(gen) is None  # the reminder was printed, so None is yielded all the same
    assert out.getvalue() == REMINDER + "\n"
    assert state(env) == "MADE_PREDICTION"
    assert list(next(gen)[0]["PlayId"]) == [2]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("point", ["created", "group", "reminder", "answered", "finished"])
def test_a_discarded_generator_is_collected_without_a_transition(target, capsys, point):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    expected = advance_to(env, gen, point)
    capsys.readouterr()
    ref = weakref.ref(gen)
    del gen
    gc.collect()
    assert ref() is None
    assert state(env) == expected
    assert capsys.readouterr().out == ""
    if expected == "AWAITING_PREDICT":
        # One transition is left to such a run: the answer to its open group.
        env.predict(pd.DataFrame({"y": [1], "z": [2]}))
        assert state(env) == "MADE_PREDICTION"
    if expected != "INIT":
        refused(lambda: next(env.iter_test()), MSG_ONCE)
    if expected != "DONE":
        refused(env.write_submission_file, MSG_WRITE)


def test_a_run_in_reference_cycles_is_collected(target, capsys):
    """A generator, its environment and the frames it served, tied together in cycles by the
    participant's code, are all freed once the participant lets go of them."""
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    test_group_df, sample_df = next(gen)
    env.predict(answer(sample_df))
    test_group_df, sample_df = next(gen)
    test_group_df.attrs["loop"] = gen  # through the generator's current group
    type(env).loop = gen               # through the environment's class
    refs = [weakref.ref(o) for o in (gen, env, type(env), test_group_df, sample_df)]
    del env, gen, test_group_df, sample_df
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)
    assert capsys.readouterr().out == ""


def test_reminders_hold_the_group_open(target, capsys):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    first = next(gen)
    for _ in range(3):
        assert next(gen) is None
    assert capsys.readouterr().out == (REMINDER + "\n") * 3
    assert state(env) == "AWAITING_PREDICT"

    # A participant loop that unpacks every item fails in its own code on a None item; the
    # generator stays suspended on the same group.
    with pytest.raises(TypeError):
        for test_group_df, sample_df in gen:
            pass
    assert capsys.readouterr().out == REMINDER + "\n"
    env.predict(answer(first[1]))
    assert list(next(gen)[0]["PlayId"]) == [2]
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------------------------
# Edge cases of a participant's loop


@pytest.mark.parametrize("after_break", ["discard", "resume"])
def test_break_before_the_final_advance(target, tmp_path, capsys, submission_path, after_break):
    env = target.env(TEST, SAMPLE)
    gen = env.iter_test()
    for i, (test_group_df, sample_df) in enumerate(gen):
        env.predict(answer(sample_df))
        if i == len(KEYS) - 1:
            break
    assert state(env) == "MADE_PREDICTION"
    refused(env.write_submission_file, MSG_WRITE)
    assert not os.path.exists(submission_path)
    refused(lambda: env.predict(pd.DataFrame({"y": [1], "z": [2]})), MSG_NEXT)

    if after_break == "discard":
        del gen
        gc.collect()
        assert state(env) == "MADE_PREDICTION"
        refused(lambda: next(env.iter_test()), MSG_ONCE)
        refused(env.write_submission_file, MSG_WRITE)
        assert not os.path.exists(submission_path)
    else:
        with pytest.raises(StopIteration):
            next(gen)
        assert state(env) == "DONE"
        env.write_submission_file()
        assert written(submission_path) == oracle_file(tmp_path, run_all)
    assert capsys.readouterr().out == ("" if after_break == "discard" else CONFIRMATION + "\n")


def test_second_generator(target, tmp_path, capsys, submission_path):
    env = target.env(TEST, SAMPLE)
    first, second = env.iter_test(), env.iter_test()
    test_group_df, sample_df = next(second)  # the second one made claims the run
    refused(lambda: next(first), MSG_ONCE)
    finished(first)
    assert state(env) == "AWAITING_PREDICT"
    env.predict(answer(sample_df))
    run_all(env, second)
    assert state(env) == "DONE"
    third = env.iter_test()
    refused(lambda: next(third), MSG_ONCE)
    finished(third)
    env.write_submission_file()
    assert written(submission_path) == oracle_file(tmp_path, run_all)
    assert capsys.readouterr().out == CONFIRMATION + "\n"


@pytest.mark.parametrize("test_csv, sample_csv", [
    ("PlayId,x\n", SAMPLE),                      # no rows
    ("PlayId,x\n,a\n,b\n", SAMPLE),              # rows without a PlayId form no group
    ("x,PlayId\n", "y,z\n1,2\n"),                # the sample's PlayId is never needed
])
def test_test_set_without_groups(target, tmp_path, capsys, submission_path, test_csv,
                                 sample_csv):
    env = target.env(test_csv, sample_csv)
    gen = env.iter_test()
    with pytest.raises(StopIteration):
        next(gen)
    assert state(env) == "DONE"
    refused(lambda: env.predict(None), MSG_DONE)
    refused(lambda: next(env.iter_test()), MSG_ONCE)
    env.write_submission_file()
    env.write_submission_file()
    expected = oracle_file(tmp_path, run_all, test_csv, sample_csv)
    assert expected == pd.DataFrame().to_csv(index=False).encode()
    assert written(submission_path) == expected
    assert capsys.readouterr().out == (CONFIRMATION + "\n") * 2


class Recorded(pd.DataFrame):
    """A participant's DataFrame subclass that records the insert calls made on it."""
    calls = []

    @property
    def _constructor(self):
        return Recorded

    def insert(self, loc, column, value, *args, **kwargs):
        Recorded.calls.append((loc, column, value, type(value)))
        return super().insert(loc, column, value, *args, **kwargs)


class Uncopyable(pd.DataFrame):
    @property
    def _constructor(self):
        return pd.DataFrame

    def copy(self, deep=True):
        raise RuntimeError("no copies of this frame")


@pytest.mark.parametrize("playids, keys", [
    ("3,1,3,2", [1, 2, 3]),
    ("3.5,1,3.5,", [1.0, 3.5]),
    ("c,a,c,b", ["a", "b", "c"]),
])
def test_dataframe_subclass_answers(target, tmp_path, capsys, submission_path, playids, keys):
    test_csv = "PlayId,x\n" + "".join("%s,%d\n" % (p, i) for i, p in enumerate(playids.split(",")))
    sample_csv = "PlayId,y\n" + "".join("%s,0\n" % k for k in keys)

    def script(env):
        answers = []
        for test_group_df, sample_df in env.iter_test():
            answers.append(Recorded({"y": [0.5] * len(sample_df)}, index=sample_df.index))
            env.predict(answers[-1])
            assert list(answers[-1].columns) == ["PlayId", "y"]
        return answers

    # insert is called on the caller's own frame, with the key as the group-by delivers it
    del Recorded.calls[:]
    env = target.env(test_csv, sample_csv)
    script(env)
    assert Recorded.calls == [(0, "PlayId", k, type(k)) for k in keys]
    env.write_submission_file()
    del Recorded.calls[:]
    assert written(submission_path) == oracle_file(tmp_path, script, test_csv, sample_csv)
    assert Recorded.calls == [(0, "PlayId", k, type(k)) for k in keys]
    assert capsys.readouterr().out == CONFIRMATION + "\n"


def test_an_error_in_copy_propagates_and_keeps_the_group_open(target, tmp_path, capsys,
                                                              submission_path):
    def script(env):
        gen = env.iter_test()
        sample_df = next(gen)[1]
        frame = Uncopyable({"y": [5], "z": [6]})
        with pytest.raises(RuntimeError):
            env.predict(frame)
        assert state(env) == "AWAITING_PREDICT"
        assert list(frame.columns) == ["PlayId", "y", "z"]  # the insert had been done
        refused(lambda: env.predict(frame), MSG_COLUMNS % sample_df.columns)
        env.predict(answer(sample_df))
        run_all(env, gen)

    env = target.env(TEST, SAMPLE)
    script(env)
    env.write_submission_file()
    assert written(submission_path) == oracle_file(tmp_path, script)
    assert capsys.readouterr().out == CONFIRMATION + "\n"


def test_an_error_in_append_propagates_and_keeps_the_group_open(target, tmp_path, capsys,
                                                                submission_path):
    """Duplicate columns, which the participant added to the reference, break the second append."""
    def script(env):
        gen = env.iter_test()
        sample_df = next(gen)[1]
        sample_df.insert(1, "y", 0, allow_duplicates=True)
        env.predict(pd.DataFrame([[1, 2, 3]], columns=["y", "y", "z"]))
        sample_df = next(gen)[1]
        with pytest.raises(Exception) as info:
            env.predict(pd.DataFrame({"y": [4], "z": [5]}))
        assert type(info.value) is not Exception  # pandas' own error, not a refusal
        assert state(env) == "AWAITING_PREDICT"
        return type(info.value), str(info.value)

    with contextlib.redirect_stdout(io.StringIO()):
        expected = script(literal.make_env(TEST.encode(), SAMPLE.encode(), path=None))
    assert script(target.env(TEST, SAMPLE)) == expected
    assert capsys.readouterr().out == ""


def test_columns_are_read_at_call_time(target, tmp_path, capsys, submission_path):
    def script(env):
        gen = env.iter_test()
        test_group_df, sample_df = next(gen)
        sample_df["extra"] = 1.0  # changes the reference itself, in place
        refused(lambda: env.predict(pd.DataFrame({"y": [1], "z": [2]})),
                MSG_COLUMNS % sample_df.columns)
        assert "extra" in str(sample_df.columns)
        env.predict(pd.DataFrame({"y": [1], "z": [2], "extra": [0.5]}))
        test_group_df, sample_df = next(gen)  # a fresh reference without the extra column
        sample_df.columns = ["Y", "Z"]
        refused(lambda: env.predict(pd.DataFrame({"y": [3], "z": [4]})),
                MSG_COLUMNS % sample_df.columns)
        env.predict(pd.DataFrame({"Y": [3], "Z": [4]}))
        test_group_df, sample_df = next(gen)
        env.predict(answer(sample_df))
        run_all(env, gen)

    env = target.env(TEST, SAMPLE)
    script(env)
    env.write_submission_file()
    assert written(submission_path) == oracle_file(tmp_path, script)
    assert capsys.readouterr().out == CONFIRMATION + "\n"


def test_one_answer_frame_reused_for_two_groups(target, tmp_path, capsys, submission_path):
    def script(env):
        gen = env.iter_test()
        frame = pd.DataFrame({"y": [1, 2], "z": ["a", "b"]})
        sample_df = next(gen)[1]
        env.predict(frame)
        assert list(frame.columns) == ["PlayId", "y", "z"]
        assert list(frame["PlayId"]) == [1, 1]
        sample_df = next(gen)[1]
        refused(lambda: env.predict(frame), MSG_COLUMNS % sample_df.columns)
        assert list(frame["PlayId"]) == [1, 1]  # a refusal leaves the frame alone
        del frame["PlayId"]
        frame["y"] = [3, 4]  # the first group's stored rows are a copy, so not affected
        env.predict(frame)
        assert list(frame["PlayId"]) == [2, 2]
        sample_df = next(gen)[1]
        sample_df["y"] = 10  # the reference itself, filled in and passed back
        sample_df["z"] = "s"
        env.predict(sample_df)
        assert list(sample_df.columns) == ["PlayId", "y", "z"]
        assert list(sample_df["PlayId"]) == [3, 3]
        run_all(env, gen)
        env.write_submission_file()

    script(target.env(TEST, SAMPLE))
    content = written(submission_path)
    assert content == oracle_file(tmp_path, script)
    assert content.decode().splitlines() == [
        "PlayId,y,z", "1,1,a", "1,2,b", "2,3,a", "2,4,b", "3,10,s", "3,10,s"]
    assert capsys.readouterr().out == CONFIRMATION + "\n"


def test_a_failed_write_prints_nothing_and_can_be_repeated(target, tmp_path, capsys,
                                                           submission_path):
    env = target.env(TEST, SAMPLE)
    run_all(env)
    os.mkdir(submission_path)
    try:
        with pytest.raises(OSError):
            env.write_submission_file()
    finally:
        os.rmdir(submission_path)
    assert capsys.readouterr().out == ""
    assert state(env) == "DONE"
    env.write_submission_file()
    assert written(submission_path) == oracle_file(tmp_path, run_all)
    assert capsys.readouterr().out == CONFIRMATION + "\n"
