"""The protocol of the test loop as a state machine: random sequences of calls against a model.

The model is the table of transitions: from the protocol state and from where each generator
stands it predicts every outcome (the group yielded, None with the reminder line, StopIteration,
the refusal and its message, the confirmation line and the file), and the machine checks each
against the environment, with ``_state`` after every step. The groups and the file expected for
the model's accepted answers come from the literal loop (testsupport/literal.py).
"""
import gc
import os
import weakref

import pandas as pd
import pytest
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, rule,
                                 run_state_machine_as_test)
from pandas.testing import assert_frame_equal

from testsupport import literal
from testsupport.checks import refused
from testsupport.literal import (CONFIRMATION, MSG_COLUMNS, MSG_DONE, MSG_FRAME, MSG_NEXT,
                                 MSG_ONCE, MSG_WRITE, REMINDER, SUBMISSION)
from testsupport.profiles import examples

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")

HOW = st.sampled_from(["next", "send None", "send value"])
CALLS = ["advance the loop"] * 3 + ["advance"] * 2 + ["answer"] * 3 + ["predict"] * 2 + [
    "iter_test", "end a generator", "write_submission_file", "set _state on the instance"]
ENDS = ["close", "throw", "discard"]
KINDS = ["good", "sample", "wrong", "extra PlayId", "not a frame"]
MEMBERS = ["INIT", "AWAITING_PREDICT", "MADE_PREDICTION", "DONE"]
SEND_REFUSED = "can't send non-None value to a just-started generator"


class Thrown(Exception):
    pass


@st.composite
def small_datasets(draw):
    """(test CSV bytes, sample CSV bytes): up to four groups, a few columns, shuffled rows."""
    kind = draw(st.sampled_from(["int", "float", "str"]))
    n = draw(st.integers(0, 4))
    pool = {"int": ["-3", "0", "2", "7", "11", "40"],
            "float": ["-2.5", "0.0", "1.25", "3.0", "8.5", "1e3"],
            "str": ["a", "b2", "zz", "k 1", "Q", "é"]}[kind]
    keys = draw(st.lists(st.sampled_from(pool), min_size=n + 1, max_size=n + 1, unique=True))
    test_keys, other_key = keys[:n], keys[n]
    test_rows = [[k, str(i)] for i, k in enumerate(
        sum(([k] * draw(st.integers(1, 3)) for k in test_keys), []))]
    if kind != "int" and draw(st.booleans()):
        test_rows.append([None, "no key"])
    test_rows = draw(st.permutations(test_rows))
    width = draw(st.integers(0, 2))
    sample_rows = []
    for k in test_keys + [other_key]:
        for j in range(draw(st.integers(0, 2))):
            sample_rows.append([k] + [str(j + c) for c in range(width)])
    sample_rows = draw(st.permutations(sample_rows))
    return (literal.csv_bytes(["PlayId", "x"], test_rows),
            literal.csv_bytes(["PlayId"] + ["t%d" % c for c in range(width)], sample_rows))


class Gen:
    """A generator made by iter_test(), with where the model says it stands."""

    def __init__(self, gen):
        self.gen = gen
        self.status = "created"  # created, suspended, finished


class ProtocolMachine(RuleBasedStateMachine):
    target = None   # set by the test: the implementation under test,
    capsys = None   # pytest's capture of standard output
    scratch = None  # and a directory of its own

    def __init__(self):
        super().__init__()
        self.env = None

    # -- helpers --------------------------------------------------------------------------

    def printed(self, expected=""):
        assert self.capsys.readouterr().out == expected

    def refused(self, call, message):
        refused(call, message)

    def serve(self, g, call):
        """An advance that must yield the next group, or end the loop after the last one."""
        self.position += 1
        if self.position == len(self.groups):
            with pytest.raises(StopIteration):
                call()
            g.status = "finished"
            self.state = "DONE"
            return
        item = call()
        assert type(item) is tuple and len(item) == 2
        key, test_group_df, sample_df = self.groups[self.position]
        assert_frame_equal(item[0], test_group_df, check_index_type="equiv")
        assert_frame_equal(item[1], sample_df, check_index_type="equiv")
        self.sample = item[1]  # the live reference, as the participant holds it
        g.status = "suspended"
        self.state = "AWAITING_PREDICT"

    def expected_file(self):
        submission_df = pd.DataFrame()
        for frame in self.accepted:
            submission_df = literal.append(submission_df, frame)
        path = os.path.join(self.scratch, "expected.csv")
        submission_df.to_csv(path, index=False)
        with open(path, "rb") as f:
            return f.read()

    # -- the machine ----------------------------------------------------------------------

    @initialize(data=small_datasets())
    def start(self, data):
        test_csv, sample_csv = data
        self.groups = literal.expected_groups(test_csv, sample_csv)
        self.env = self.target.env(test_csv, sample_csv)
        self.state = "INIT"
        self.position = -1     # index of the group last yielded
        self.sample = None     # the sample frame last yielded
        self.accepted = []     # what the model has stored, in order
        self.gens = []         # every generator made, in order
        self.loop = None       # the one that claimed the run
        if os.path.exists(SUBMISSION):
            os.remove(SUBMISSION)
        self.capsys.readouterr()  # whatever an earlier, failed run left behind
        self.iter_test()

    # One rule draws the participant's next call, so that every kind of call stays possible in
    # every run; the weights favour the calls that move a run forward.
    @rule(call=st.sampled_from(CALLS), pick=st.integers(0, 2), how=HOW,
          kind=st.sampled_from(KINDS), rows=st.integers(0, 3), other_instance=st.booleans(),
          member=st.sampled_from(MEMBERS), end=st.sampled_from(ENDS))
    def call(self, call, pick, how, kind, rows, other_instance, member, end):
        live = [g for g in self.gens if g.gen is not None]
        g = live[pick % len(live)] if live else None
        if call == "iter_test":
            if len(self.gens) < 3:
                self.iter_test()
        elif call == "advance the loop":
            if self.loop is not None and self.loop.status == "suspended":
                self.advance(self.loop, how)
        elif call == "answer":  # mostly good, sometimes another kind, while a group is open
            if self.state == "AWAITING_PREDICT":
                self.predict(kind if pick == 0 else "good", rows, other_instance)
        elif call == "predict":
            self.predict(kind, rows, other_instance)
        elif call == "write_submission_file":
            self.write_submission_file()
        elif call == "set _state on the instance":
            # An instance attribute _state is never read by the protocol.
            self.env._state = getattr(type(type(self.env)._state), member)
            self.printed()
        elif g is None:
            pass
        elif call == "advance":
            self.advance(g, how)
        else:
            getattr(self, end)(g)

    def iter_test(self):
        gen = self.env.iter_test()
        assert gen.__name__ == "iter_test"
        self.gens.append(Gen(gen))
        self.printed()

    def advance(self, g, how):
        call = {"next": lambda: next(g.gen), "send None": lambda: g.gen.send(None),
                "send value": lambda: g.gen.send(("ignored", 1))}[how]
        out = ""
        event("advance a %s generator in %s" % (g.status, self.state))
        if g.status == "finished":
            with pytest.raises(StopIteration):
                call()
        elif g.status == "created" and how == "send value":
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == SEND_REFUSED
        elif g.status == "created" and self.state != "INIT":
            self.refused(call, MSG_ONCE)
            g.status = "finished"
        elif g.status == "created":
            self.loop = g
            self.serve(g, call)
        elif self.state == "AWAITING_PREDICT":
            assert call() is None
            out = REMINDER + "\n"
        else:
            assert self.state == "MADE_PREDICTION"
            self.serve(g, call)
        self.printed(out)

    def close(self, g):
        event("close a %s generator" % g.status)
        assert g.gen.close() is None
        g.status = "finished"
        self.printed()

    def throw(self, g):
        event("throw into a %s generator" % g.status)
        exc = Thrown()
        with pytest.raises(Thrown) as info:
            g.gen.throw(exc)
        assert info.value is exc
        g.status = "finished"
        self.printed()

    def discard(self, g):
        event("discard a %s generator" % g.status)
        ref = weakref.ref(g.gen)
        g.gen = None
        gc.collect()
        assert ref() is None
        g.status = "finished"
        self.printed()

    def predict(self, kind, rows, other_instance):
        expected_columns = (list(self.groups[self.position][2].columns)
                            if 0 <= self.position < len(self.groups) else ["t0"])
        if kind == "good":
            frame = pd.DataFrame({c: [10 * self.position + r for r in range(rows)]
                                  for c in expected_columns}, columns=expected_columns)
        elif kind == "sample":
            frame = self.sample if self.sample is not None else pd.DataFrame()
        elif kind == "wrong":
            frame = pd.DataFrame({c: [1] for c in expected_columns[::-1] + ["w"]})
        elif kind == "extra PlayId":
            frame = pd.DataFrame({c: [1] for c in ["PlayId"] + expected_columns})
        else:
            frame = [[1] * len(expected_columns)]
        before = frame.copy() if isinstance(frame, pd.DataFrame) else list(frame)
        event("predict %s in %s" % (kind, self.state))
        # A second instance of the class shares the protocol and the run.
        env = type(self.env)() if other_instance else self.env
        good = (isinstance(frame, pd.DataFrame) and self.sample is not None
                and list(frame.columns) == list(self.sample.columns))
        if self.state == "DONE":
            self.refused(lambda: env.predict(frame), MSG_DONE)
        elif self.state != "AWAITING_PREDICT":
            self.refused(lambda: env.predict(frame), MSG_NEXT)
        elif not isinstance(frame, pd.DataFrame):
            self.refused(lambda: env.predict(frame), MSG_FRAME)
        elif not good:
            self.refused(lambda: env.predict(frame), MSG_COLUMNS % self.sample.columns)
        else:
            assert env.predict(frame) is None
            key = self.groups[self.position][0]
            before.insert(0, "PlayId", key)
            assert_frame_equal(frame, before)  # the caller's own frame gained the key
            self.accepted.append(before.copy())
            self.state = "MADE_PREDICTION"
            self.printed()
            return
        # A refusal leaves the caller's object as it was.
        if isinstance(frame, pd.DataFrame):
            assert_frame_equal(frame, before)
        else:
            assert frame == before
        self.printed()

    def write_submission_file(self):
        existed = os.path.exists(SUBMISSION)
        event("write in %s" % self.state)
        if self.state != "DONE":
            self.refused(self.env.write_submission_file, MSG_WRITE)
            assert os.path.exists(SUBMISSION) == existed
            self.printed()
            return
        assert self.env.write_submission_file() is None
        with open(SUBMISSION, "rb") as f:
            assert f.read() == self.expected_file()
        self.printed(CONFIRMATION + "\n")

    @invariant()
    def protocol_state(self):
        if self.env is not None:
            assert type(self.env)._state.name == self.state
            assert type(type(self.env)._state).__qualname__ == "make_env.<locals>.State"


def test_protocol(request, capsys, tmp_path, submission_path):
    ProtocolMachine.target = literal.Target(request)
    ProtocolMachine.capsys = capsys
    ProtocolMachine.scratch = str(tmp_path)
    run_state_machine_as_test(ProtocolMachine, settings=settings(
        max_examples=examples(60), stateful_step_count=30, deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
        report_multiple_bugs=False))
