"""Rehearsal as the platform runs it: notebooks in a kernel, the time limit, Ctrl-C, no standard
input, warnings and tracebacks at the participant's lines, the local score, and the host
commands' progress lines and interrupts."""
import importlib.util
import io
import os
import pty
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

from testsupport.module import MODULE_PATH

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit")
sys.path.insert(0, KIT)

from competition_kit import progress, score, sealing, synth  # noqa: E402
from testsupport.kit import kit  # noqa: E402  the command line, in-process

NOTEBOOKS = all(importlib.util.find_spec(m) is not None for m in ("nbclient", "nbformat", "ipykernel"))
needs_kernel = pytest.mark.skipif(not NOTEBOOKS, reason="nbclient and ipykernel are not installed here "
                                                        "(requirements/py3.6.txt and py3.13.txt pin them)")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([KIT, os.environ.get("PYTHONPATH", "")]))




def one_error_line(code, err, *parts, status=1):
    assert code == status and err.startswith("competition-kit: error: ") and err.count("\n") == 1, err
    for part in parts:
        assert part in err, err


def _default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)  # Python installs its own handler over the default


def run_kit(*args, **kw):
    return subprocess.run([sys.executable, "-m", "competition_kit"] + [str(a) for a in args],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=ENV, preexec_fn=_default_sigint, **kw)


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    """A bundle of 40 groups of about 5 rows, 2 sample rows each, prediction columns Yards0..2."""
    where = tmp_path_factory.mktemp("rehearsal")
    test, sample = synth.make_tables(40, rows_per_group=5, features=6, predictions=3, sample_rows=2)
    (where / "test.csv").write_bytes(test)
    (where / "sample_submission.csv").write_bytes(sample)
    code, out, err = kit("bundle", "--test", where / "test.csv", "--sample", where / "sample_submission.csv",
                         "--out", where / "bundle", "--module", MODULE_PATH)
    assert code == 0, err
    return where / "bundle"


LOOP = """import competition
env = competition.make_env()
for (test_df, sample_prediction_df) in env.iter_test():
    sample_prediction_df["Yards0"] = len(test_df)
    env.predict(sample_prediction_df)
env.write_submission_file()
"""

SLOW = LOOP.replace("import competition\n", "import time\nimport competition\n").replace(
    "    env.predict(", "    time.sleep(0.2)\n    env.predict(")


def script(tmp_path, text, name="script.py"):
    path = tmp_path / name
    path.write_text(text)
    return path


def notebook(tmp_path, cells, name="notebook.ipynb"):
    import nbformat
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_markdown_cell("# a title")] + [nbformat.v4.new_code_cell(c) for c in cells]
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    path = tmp_path / name
    nbformat.write(nb, str(path))
    return path


# -- notebooks ---------------------------------------------------------------------------------

@needs_kernel
def test_a_notebook_of_three_cells_runs_in_a_kernel(tmp_path, bundle, submission_path):
    nb = notebook(tmp_path, [
        "%time import competition\nimport os, sys\n"
        "print('first on sys.path:', sys.path[0])\nprint('cwd:', os.getcwd())",
        "env = competition.make_env()\nfor (test_df, sample_prediction_df) in env.iter_test():\n"
        "    sample_prediction_df['Yards0'] = len(test_df)\n    env.predict(sample_prediction_df)",
        "env.write_submission_file()",
    ])
    executed = tmp_path / "executed.ipynb"
    result = run_kit("dry-run", nb, "--bundle", bundle, "--output", executed)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "in a Jupyter kernel" in out and "first on sys.path: %s" % bundle in out
    assert "cwd: /vantor/working" in out  # the platform's working folder, as a script's
    assert "Wall time" in out  # the magic ran
    assert "40 of 40 groups answered" in out and "notebook: 3 code cells run" in out
    assert "submission check: ok (80 rows, 4 columns, 40 PlayIds" in out
    assert "40/40 groups" in result.stderr and "\r" not in result.stderr
    assert "WARNING" not in result.stderr  # no kernel chatter
    import nbformat
    done = nbformat.read(str(executed), as_version=4)
    code_cells = [c for c in done.cells if c.cell_type == "code"]
    assert [c.execution_count for c in code_cells] == [1, 2, 3]
    assert "first on sys.path" in "".join(o.get("text", "") for o in code_cells[0].outputs)
    assert "submission file has been saved" in "".join(o.get("text", "") for o in code_cells[2].outputs)
    assert len(pd.read_csv(submission_path)) == 80


@needs_kernel
def test_a_failing_cell_is_named_with_the_participants_traceback(tmp_path, bundle, submission_path):
    nb = notebook(tmp_path, [
        "import competition\nenv = competition.make_env()\ngen = env.iter_test()",
        "first = next(gen)\n\ndef answer(frame):\n    env.predict(frame)\n\nanswer(None)",
        "print('not reached')",
    ])
    executed = tmp_path / "out.ipynb"
    result = run_kit("dry-run", nb, "--bundle", bundle, "--output", executed)
    assert result.returncode == 1
    err = result.stderr
    assert err.splitlines()[-1] == ("competition-kit: error: the notebook failed in cell 3 (In [2]) with "
                                    "Exception; its traceback is above")
    assert "Exception: You must provide a DataFrame." in err and "answer(None)" in err and "in answer" in err
    for kit_part in ("competition-kit timing", "_timing", "_bootstrap", "TimedEnvironment", "\x1b["):
        assert kit_part not in err
    assert "not reached" not in result.stdout
    import nbformat
    done = nbformat.read(str(executed), as_version=4)
    assert [o.output_type for o in done.cells[2].outputs] == ["error"] and done.cells[3].outputs == []


@needs_kernel
def test_a_notebook_hits_the_time_limit_and_has_no_standard_input(tmp_path, bundle, submission_path):
    nb = notebook(tmp_path, [
        "try:\n    input('your name? ')\nexcept Exception as e:\n    print('input:', type(e).__name__)",
        SLOW.split("env.write_submission_file()")[0],
        "env.write_submission_file()",
    ])
    began = time.time()
    result = run_kit("dry-run", nb, "--bundle", bundle, "--time-limit", "2")
    assert time.time() - began < 60
    assert result.returncode == 124, result.stdout + result.stderr
    assert "input: StdinNotImplementedError" in result.stdout
    answered = int(re.search(r"total: [0-9.]+ s for (\d+) of 40 groups answered", result.stdout).group(1))
    assert 0 < answered < 40
    assert "per group, your code: median 2" in result.stdout  # about 200 ms a group
    last = result.stderr.splitlines()[-1]
    assert last.startswith("competition-kit: error: time limit of 2 s exceeded: the run was stopped after ")
    assert last.endswith("with %d of 40 groups answered" % answered)


def test_arguments_are_refused_in_one_line_before_anything_runs(tmp_path, bundle, monkeypatch):
    path = tmp_path / "n.ipynb"
    path.write_text("{}")
    missing = tmp_path / "missing"
    for output, message in ((missing / "out.ipynb", "the folder %s does not exist" % missing),
                            (tmp_path, "is a folder: give the executed notebook's file name")):
        code, out, err = kit("dry-run", path, "--bundle", bundle, "--output", output)
        one_error_line(code, err, "--output %s" % output, message)
        assert out == ""  # nothing ran
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "nbclient" else real(name, *a))
    one_error_line(*kit("dry-run", path, "--bundle", bundle)[::2],
                   "running a notebook needs nbclient", "pip install")
    code, out, err = kit("dry-run", tmp_path / "x.py", "--bundle", bundle, "--output", tmp_path / "o.ipynb")
    one_error_line(code, err, "script not found")
    (tmp_path / "x.py").write_text(LOOP)
    one_error_line(*kit("dry-run", tmp_path / "x.py", "--bundle", bundle, "--output", tmp_path / "o.ipynb")[::2],
                   "--output keeps an executed notebook")


# -- scripts: the time limit, Ctrl-C, standard input, warnings and tracebacks -------------------

def test_the_time_limit_stops_a_slow_loop_with_the_partial_summary(tmp_path, bundle, submission_path):
    began = time.time()
    result = run_kit("dry-run", script(tmp_path, SLOW), "--bundle", bundle, "--time-limit", "4")
    assert time.time() - began < 30
    assert result.returncode == 124, result.stdout + result.stderr
    match = re.search(r"total: ([0-9.]+) s for (\d+) of 40 groups answered", result.stdout)
    assert match and 4.0 <= float(match.group(1)) < 8 and int(match.group(2)) < 40
    assert "timing:" in result.stdout and "submission check" not in result.stdout
    assert re.search(r"competition-kit: error: time limit of 4 s exceeded: the run was stopped after [0-9.]+ s, "
                     r"with \d+ of 40 groups answered\n$", result.stderr)


def test_ctrl_c_prints_the_partial_summary_and_exits_130(tmp_path, bundle, submission_path):
    proc = subprocess.Popen([sys.executable, "-m", "competition_kit", "dry-run", str(script(tmp_path, SLOW)),
                             "--bundle", str(bundle)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, env=ENV, preexec_fn=_default_sigint)
    err_lines = []
    seen = threading.Event()

    def read_err():
        for line in proc.stderr:
            err_lines.append(line)
            if "/40 groups" in line:
                seen.set()

    reader = threading.Thread(target=read_err)
    reader.start()
    try:
        assert seen.wait(60), "".join(err_lines)
        proc.send_signal(signal.SIGINT)
        sent = time.time()
        out = proc.stdout.read()
        proc.wait(30)
        took = time.time() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
        reader.join()
    err = "".join(err_lines)
    assert proc.returncode == 130, out + err
    assert took < 5
    answered = int(re.search(r"for (\d+) of 40 groups answered", out).group(1))
    assert 0 < answered < 40
    assert "KeyboardInterrupt" in err and "time.sleep(0.2)" in err  # where the script was
    assert err.splitlines()[-1].startswith("competition-kit: error: interrupted after ")


def test_standard_input_is_closed_for_the_script(tmp_path, bundle, submission_path):
    result = run_kit("dry-run", script(tmp_path, "name = input('your name? ')\n"), "--bundle", bundle)
    assert result.returncode == 1
    assert "EOFError" in result.stderr and "name = input('your name? ')" in result.stderr


WARNS = """import warnings
import pandas as pd
import competition

class Loud(pd.DataFrame):
    @property
    def _constructor(self):
        return Loud

    def insert(self, *args, **kwargs):  # called by the module's predict
        warnings.warn("inserted", UserWarning, stacklevel=2)
        return pd.DataFrame.insert(self, *args, **kwargs)

warnings.simplefilter("always")
env = competition.make_env()
for n, (test_df, sample_prediction_df) in enumerate(env.iter_test()):
    answer = Loud(sample_prediction_df) if n == 0 else sample_prediction_df
    env.predict(answer)  # line 18
env.write_submission_file()
env.predict(answer)  # line 20
"""


def test_warnings_and_tracebacks_show_the_participants_lines(tmp_path, bundle, submission_path):
    path = script(tmp_path, WARNS)
    result = run_kit("dry-run", path, "--bundle", bundle)
    err = result.stderr
    assert "%s:18: UserWarning: inserted" % path in err, err
    assert err.count("Traceback (most recent call last):") == 1
    tb = err[err.index("Traceback"):]
    assert tb.splitlines()[1] == '  File "%s", line 20, in <module>' % path
    assert "Exception: You have already made predictions for the full test set." in tb
    for kit_part in ("competition-kit timing", "_timing", "_bootstrap", "runpy", "TimedEnvironment"):
        assert kit_part not in err
    assert err.splitlines()[-1] == ("competition-kit: error: the participant script failed with Exception; "
                                    "its traceback is above")


def _pandas_warns_of_fragmentation():
    frame = pd.DataFrame(index=range(2))
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for i in range(120):
            frame["c%d" % i] = 0.0
    return any("fragmented" in str(w.message) for w in caught)


@pytest.mark.skipif(not _pandas_warns_of_fragmentation(), reason="this pandas has no fragmentation warning")
def test_a_pandas_warning_raised_inside_predict_names_the_participants_line(tmp_path, submission_path):
    test, sample = synth.make_tables(3, rows_per_group=2, features=1, predictions=120)
    (tmp_path / "test.csv").write_bytes(test)
    (tmp_path / "sample_submission.csv").write_bytes(sample)
    assert kit("bundle", "--test", tmp_path / "test.csv", "--sample", tmp_path / "sample_submission.csv",
               "--out", tmp_path / "b", "--module", MODULE_PATH)[0] == 0
    path = script(tmp_path, """import warnings
import pandas as pd
import competition
env = competition.make_env()
for (test_df, sample_prediction_df) in env.iter_test():
    answer = pd.DataFrame(index=sample_prediction_df.index)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for c in sample_prediction_df.columns:
            answer[c] = 0.5
    env.predict(answer)  # line 11: the module's insert finds the frame fragmented
env.write_submission_file()
""")
    result = run_kit("dry-run", path, "--bundle", tmp_path / "b")
    assert result.returncode == 0, result.stderr
    assert "%s:11: PerformanceWarning: DataFrame is highly fragmented" % path in result.stderr


def test_the_progress_is_redrawn_only_on_a_terminal(tmp_path, bundle, submission_path):
    path = script(tmp_path, LOOP.replace("    env.predict(", "    __import__('time').sleep(0.02)\n    env.predict("))
    plain = run_kit("dry-run", path, "--bundle", bundle)
    assert plain.returncode == 0 and "\r" not in plain.stderr and "40/40 groups" in plain.stderr
    master, slave = pty.openpty()
    try:
        command = [sys.executable, "-m", "competition_kit", "dry-run", str(path), "--bundle", str(bundle)]
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave, env=ENV)
        os.close(slave)
        shown = b""
        while True:
            try:
                piece = os.read(master, 4096)
            except OSError:  # the other end closed
                break
            if not piece:
                break
            shown += piece
        assert proc.wait(60) == 0
    finally:
        os.close(master)
    assert b"\r" in shown and b"40/40" in shown


# -- the score ---------------------------------------------------------------------------------

def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_the_readme_examples_score_as_computed_by_hand(tmp_path):
    # the cumulative distribution: thresholds 0, 1, 2
    #   PlayId 1, y = 1: steps 0 1 1, errors 0.2 -0.4 0.0 -> squares 0.04 0.16 0.00
    #   PlayId 2, y = 2: steps 0 0 1, errors 0.5  1.0 0.0 -> squares 0.25 1.00 0.00
    #   CRPS = 1.45 / 6 = 0.241667
    sub = write(tmp_path, "cdf.csv", "PlayId,Yards0,Yards1,Yards2\n1,0.2,0.6,1.0\n2,0.5,1.0,1.0\n")
    ans = write(tmp_path, "answers.csv", "PlayId,Yards\n1,1\n2,2\n")
    code, out, err = kit("score", sub, "--answers", ans)
    assert code == 0, err
    assert out == ("scored 2 rows of 2 PlayIds: a cumulative distribution over 3 thresholds (Yards0 to Yards2)\n"
                   "CRPS: 0.241667\n")
    # one value per row, matched by PlayId and order within it (the answers' rows in another order):
    #   errors 3-2 = 1, 5-5 = 0, 0-2 = -2 -> RMSE = sqrt(5/3) = 1.290994, MAE = 3/3 = 1
    sub = write(tmp_path, "point.csv", "PlayId,Yards\n1,3\n1,5\n2,0\n")
    ans = write(tmp_path, "point_answers.csv", "PlayId,Yards\n2,2\n1,2\n1,5\n")
    code, out, err = kit("score", sub, "--answers", ans)
    assert code == 0, err
    assert out == "scored 3 rows of 2 PlayIds: one value per row (Yards)\nRMSE: 1.290994\nMAE: 1.000000\n"
    result = score.score(pd.read_csv(str(sub)), pd.read_csv(str(ans)))
    assert result.values[0][1] == pytest.approx(np.sqrt(5 / 3)) and result.values[1][1] == pytest.approx(1.0)


def test_thresholds_are_read_from_the_column_names():
    assert score.thresholds(["Yards-1", "Yards-99", "Yards0", "Yards99"]) == [
        (-99, "Yards-99"), (-1, "Yards-1"), (0, "Yards0"), (99, "Yards99")]
    assert score.thresholds(["t1", "t2"]) == [(1, "t1"), (2, "t2")]
    assert score.thresholds(["a1", "b2"]) is None  # two prefixes
    assert score.thresholds(["t1", "t01"]) is None  # one threshold twice
    assert score.thresholds(["t1"]) is None and score.thresholds(["t1", "x"]) is None


def test_a_distribution_against_numpy_and_a_note_for_odd_rows(tmp_path):
    rng = np.random.default_rng(3)
    t = np.arange(-5, 6)
    F = np.sort(rng.random((30, len(t))), axis=1)
    F[0, 3] = 1.5  # out of [0, 1]
    y = rng.integers(-6, 7, size=30)
    ids = np.repeat(np.arange(10), 3)
    sub = pd.DataFrame(F, columns=["Yards%d" % v for v in t])
    sub.insert(0, "PlayId", ids)
    ans = pd.DataFrame({"PlayId": ids[::-1], "Yards": y[::-1]})  # each PlayId's rows keep their order reversed...
    ans = ans.iloc[np.argsort(-ans.index.values, kind="stable")]  # ...and are put back in order
    result = score.score(sub, ans)
    want = np.mean((F - (y[:, None] <= t[None, :])) ** 2)
    assert result.values == [("CRPS", pytest.approx(want))]
    assert result.notes == ["1 of 30 rows are not a cumulative distribution (values outside [0, 1], or falling "
                            "as the threshold rises); they are scored as they are"]


def test_a_custom_metric(tmp_path):
    sub = write(tmp_path, "s.csv", "PlayId,Yards\n1,3\n1,5\n2,0\n")
    ans = write(tmp_path, "a.csv", "PlayId,Yards,Weight\n2,2,1\n1,2,2\n1,5,1\n")
    write(tmp_path, "helpers.py", "def absolute(a):\n    return a.abs()\n")
    write(tmp_path, "metric.py", """from helpers import absolute

def weighted(submission, answers):
    assert list(submission.index) == list(answers.index) == [0, 1, 2]
    assert list(submission["PlayId"]) == list(answers["PlayId"])
    error = absolute(submission["Yards"] - answers["Yards"])
    return {"weighted MAE": (error * answers["Weight"]).sum() / answers["Weight"].sum(), "rows": len(error)}

def single(submission, answers):
    return 0.5

def broken(submission, answers):
    return submission["nope"]

def odd(submission, answers):
    return "high"
""")
    code, out, err = kit("score", sub, "--answers", ans, "--metric", "%s:weighted" % (tmp_path / "metric.py"))
    assert code == 0, err
    # |3-2|*2 + |5-5|*1 + |0-2|*1 = 4, over weights 4 -> 1.0
    assert out.splitlines()[1:] == ["weighted MAE: 1.000000", "rows: 3"]
    code, out, err = kit("score", sub, "--answers", ans, "--metric", "%s:single" % (tmp_path / "metric.py"))
    assert out.splitlines()[1:] == ["single: 0.500000"]
    code, out, err = kit("score", sub, "--answers", ans, "--metric", "%s:broken" % (tmp_path / "metric.py"))
    assert code == 1 and "KeyError" in err and 'return submission["nope"]' in err
    assert err.splitlines()[-1].startswith("competition-kit: error: the metric ") and "score.py" not in err
    one_error_line(*kit("score", sub, "--answers", ans, "--metric", "%s:odd" % (tmp_path / "metric.py"))[::2],
                   "returned 'high'")
    one_error_line(*kit("score", sub, "--answers", ans, "--metric", "%s:absent" % (tmp_path / "metric.py"))[::2],
                   "has no function absent")
    one_error_line(*kit("score", sub, "--answers", ans, "--metric", tmp_path / "metric.py")[::2],
                   "--metric takes FILE.py:FUNCTION")
    one_error_line(*kit("score", sub, "--answers", ans, "--metric", "nowhere.py:f")[::2], "metric file not found")


@pytest.mark.parametrize("submission,answers,message", [
    ("PlayId,Yards\n1,1\n2,2\n", "PlayId,Yards\n1,1\n3,2\n",
     "the submission's PlayIds do not match the answers: 1 only in the submission (2); 1 only in the answers (3)"),
    ("PlayId,Yards\n1,1\n1,2\n", "PlayId,Yards\n1,1\n",
     "the submission's PlayIds do not match the answers: 1 with another number of rows (1)"),
    ("PlayId,Yards\n1,\n2,2\n", "PlayId,Yards\n1,1\n2,2\n", "has 1 missing values (in Yards); it cannot be scored"),
    ("PlayId,Yards\n1,x\n", "PlayId,Yards\n1,1\n", "has columns that are not numbers (Yards)"),
    ("PlayId,a,b\n1,1,2\n", "PlayId,Yards\n1,1\n", "cannot tell how to score 2 prediction columns (a, b)"),
    ("PlayId,Yards\n1,1\n", "PlayId,Yards,Other\n1,1,1\n", "must have PlayId and one value column"),
    ("Id,Yards\n1,1\n", "PlayId,Yards\n1,1\n", "has no PlayId column"),
    ("PlayId,Yards\n,1\n", "PlayId,Yards\n1,1\n", "1 row of"),
])
def test_the_score_refuses_in_one_line(tmp_path, submission, answers, message):
    sub, ans = write(tmp_path, "s.csv", submission), write(tmp_path, "a.csv", answers)
    one_error_line(*kit("score", sub, "--answers", ans)[::2], message)


def test_dry_run_scores_after_the_check(tmp_path, bundle, submission_path):
    test = pd.read_csv(io.BytesIO(synth.make_tables(40, rows_per_group=5, features=6, predictions=3,
                                                    sample_rows=2)[0]))
    ids = np.repeat(np.sort(test["PlayId"].unique()), 2)
    answers = tmp_path / "answers.csv"
    pd.DataFrame({"PlayId": ids, "Yards": 1}).to_csv(str(answers), index=False)
    # the script answers 0.0 for Yards1 and Yards2 and the row count for Yards0
    result = run_kit("dry-run", script(tmp_path, LOOP), "--bundle", bundle, "--answers", answers)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    at = [i for i, l in enumerate(lines) if l.startswith("submission check: ok")][0]
    assert lines[at + 1] == ("scored 80 rows of 40 PlayIds: a cumulative distribution over 3 thresholds "
                             "(Yards0 to Yards2)")
    written = pd.read_csv(submission_path)
    F = written[["Yards0", "Yards1", "Yards2"]].to_numpy(float)
    assert lines[at + 2] == "CRPS: %.6f" % np.mean((F - (1 <= np.array([0, 1, 2]))) ** 2)
    assert lines[at + 3].startswith("note: 80 of 80 rows are not a cumulative distribution")
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", bundle, "--metric", "m.py:f")
    one_error_line(code, err, "--metric scores against --answers")
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", bundle, "--answers", tmp_path / "none.csv")
    one_error_line(code, err, "answers not found")


# -- host commands: progress lines, memory, Ctrl-C ------------------------------------------------

def test_host_commands_print_a_line_per_phase_for_large_inputs(tmp_path, monkeypatch):
    test, sample = synth.make_tables(50, rows_per_group=4, features=5, predictions=3)
    (tmp_path / "test.csv").write_bytes(test)
    (tmp_path / "sample_submission.csv").write_bytes(sample)
    code, out, err = kit("seal", tmp_path / "test.csv", "--out", tmp_path / "small")
    assert code == 0 and err == ""  # small inputs: quiet
    monkeypatch.setattr(progress, "LARGE", 0)
    code, out, err = kit("seal", tmp_path / "test.csv", tmp_path / "sample_submission.csv", "--out", tmp_path / "s")
    assert code == 0, err
    size = progress.size(len(test))
    assert re.search(r"^test\.csv: read %s in [0-9.]+ s \([0-9.]+ [kMG]?B/s\)$" % re.escape(size), err, re.M), err
    rows = len(test.splitlines()) - 1
    parsed = r"^test\.csv: parsed %s \(%d rows, 8 columns\) in [0-9.]+ s" % (re.escape(size), rows)
    assert re.search(parsed, err, re.M), err
    assert re.search(r"^test\.csv: sealed %s into %s in " % (re.escape(size), re.escape(progress.size(
        sealing.sealed_size(len(test))))), err, re.M), err
    assert "sample_submission.csv: sealed" in err and "\r" not in err
    code, out, err = kit("bundle", "--test", tmp_path / "test.csv", "--sample", tmp_path / "sample_submission.csv",
                         "--out", tmp_path / "b", "--module", MODULE_PATH)
    assert code == 0 and err.count(": read ") == 2 and err.count(": sealed ") == 2, err
    code, out, err = kit("inspect", tmp_path / "b")
    assert code == 0 and re.search(r"^test\.csv\.encrypted and sample_submission\.csv\.encrypted: decrypted and "
                                   r"parsed [0-9.]+ [kMG]?B in memory in ", err, re.M), err
    # on a terminal, each phase is one line redrawn in place and left as the plain line
    monkeypatch.setattr(progress, "is_terminal", lambda stream=None: True)
    monkeypatch.setattr(progress, "REDRAW", 0.0)
    monkeypatch.setattr(sealing, "SEAL_CHUNK", 1200)
    code, out, err = kit("seal", tmp_path / "test.csv", "--out", tmp_path / "t")
    assert code == 0 and "\rtest.csv: sealing" in err and re.search(r"\r *\rtest\.csv: sealed ", err), repr(err)


def test_sealing_in_pieces_is_the_format_whole(tmp_path, monkeypatch):
    import base64
    from Crypto.Cipher import AES
    for n in (0, 1, 11, 12, 13, 47, 48, 1000):
        data = bytes(range(256)) * (n // 256) + bytes(range(n % 256))
        text = base64.b64encode(data)
        fill = 16 - len(text) % 16
        whole = AES.new(sealing.KEY, AES.MODE_CBC, sealing.IV).encrypt(text + bytes([fill]) * fill)
        monkeypatch.setattr(sealing, "SEAL_CHUNK", 12)
        assert sealing.seal_bytes(data) == whole and len(whole) == sealing.sealed_size(n)
        path = sealing.write_sealed(str(tmp_path), bytearray(data))
        with open(path, "rb") as f:
            assert f.read() == whole
        # and back, read in pieces of any size (the kit's own checks read sealed files so)
        for chunk in (16, 48, 1 << 20):
            assert b"".join(sealing.unsealed_pieces(path, chunk)) == data
        os.remove(path)
        monkeypatch.undo()


def test_the_counting_reader_parses_as_pandas_does(tmp_path):
    csv = (b"PlayId,i,f,s,b,n,d\n3,1,0.5,x,True,,2026-01-01\n1,2,1e-3,\"y, z\",False,7,2026-01-02\n"
           b"3,-4,,w,True,,2026-01-03\n")
    (tmp_path / "c.csv").write_bytes(csv)
    data = sealing.read_input(str(tmp_path / "c.csv"))
    assert bytes(data) == csv
    pd.testing.assert_frame_equal(sealing.read_plain_csv(data), pd.read_csv(io.BytesIO(csv), sep=",", low_memory=False))
    with pytest.raises(Exception):
        sealing.read_plain_csv(b"PlayId,x\n1,\xff\n")


def test_ctrl_c_stops_a_seal_at_once_and_leaves_nothing(tmp_path):
    big = tmp_path / "test.csv"
    with open(str(big), "wb") as f:
        f.write(b"PlayId,x,y\n")
        block = b"".join(b"%d,%d,0.25\n" % (i % 977, i) for i in range(100000))
        for _ in range(80):  # about 150 MB: seconds of parsing, and its phases are shown
            f.write(block)
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "competition_kit", "seal", str(big), "--out", str(out)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, env=ENV, preexec_fn=_default_sigint)
    err_lines = []
    parsing = threading.Event()

    def read_err():
        for line in proc.stderr:
            err_lines.append(line)
            if line.startswith("test.csv: read "):
                parsing.set()

    reader = threading.Thread(target=read_err)
    reader.start()
    try:
        assert parsing.wait(60), "".join(err_lines)
        time.sleep(0.3)  # well into the parse, which is one long call into pandas
        sent = time.time()
        proc.send_signal(signal.SIGINT)
        proc.wait(30)
        took = time.time() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
        reader.join()
    assert proc.returncode == 130, "".join(err_lines)
    assert not any(l.startswith("test.csv: parsed") for l in err_lines)  # it was stopped while parsing
    assert err_lines[-1] == "competition-kit: error: interrupted\n"
    assert took < 2, took  # within a second, with room for a loaded machine
    assert not out.exists() and sorted(os.listdir(str(tmp_path))) == ["test.csv"]


@needs_kernel
def test_the_demo_keeps_a_bundle_to_start_from_with_a_notebook_starter(tmp_path, submission_path):
    kept = tmp_path / "demo"
    result = run_kit("demo", "--groups", 30, "--rows-per-group", 3, "--features", 4, "--predictions", 5,
                     "--module", MODULE_PATH, "--keep", kept)
    assert result.returncode == 0, result.stdout + result.stderr
    assert sorted(os.listdir(str(kept))) == ["answers.csv", "baseline.py", "bundle", "data"]
    assert "kept in %s" % kept in result.stdout
    one_error_line(*kit("demo", "--groups", 3, "--module", MODULE_PATH, "--keep", kept)[::2],
                   "a new or an empty folder")
    starter = tmp_path / "my_model.ipynb"
    assert kit("starter", "--bundle", kept / "bundle", "--out", starter)[0] == 0
    result = run_kit("dry-run", starter, "--bundle", kept / "bundle", "--answers", kept / "answers.csv")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "notebook: 3 code cells run" in result.stdout and "submission check: ok (30 rows, 6 columns" in result.stdout
    assert "CRPS: " in result.stdout
