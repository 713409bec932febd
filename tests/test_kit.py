"""The host and participant kit: seal, inspect, bundle, dry-run."""
import io
import os
import subprocess
import sys

import pandas as pd
import pytest

from conftest import MODULE_PATH

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit")
sys.path.insert(0, KIT)

from competition_kit import cli, synth  # noqa: E402
from competition_kit.module import fresh_env, load  # noqa: E402

MIXED = (b"PlayId,i,f,s,b,n,d\n"
         b"3,1,0.5,x,True,,2026-01-01\n"
         b"1,2,1e-3,\"y, z\",False,7,2026-01-02\n"
         b"3,-4,,w,True,,2026-01-03\n")
SAMPLE = b"PlayId,t1,t2\n1,0,0\n3,0,0\n"


def kit(*args):
    """Runs the command line in-process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        code = cli.main([str(a) for a in args])
    finally:
        sys.stdout, sys.stderr = saved
    return code, out.getvalue(), err.getvalue()


@pytest.fixture
def csvs(tmp_path):
    (tmp_path / "test.csv").write_bytes(MIXED)
    (tmp_path / "sample_submission.csv").write_bytes(SAMPLE)
    return tmp_path


def test_sealed_files_load_through_the_module_as_the_plain_csv(csvs, tmp_path):
    code, out, err = kit("seal", csvs / "test.csv", csvs / "sample_submission.csv", "--out", tmp_path / "sealed")
    assert code == 0 and err == ""
    env = fresh_env(load(MODULE_PATH))
    for name, plain in (("test.csv", MIXED), ("sample_submission.csv", SAMPLE)):
        got = env._Competition__read_csv(str(tmp_path / "sealed" / name))
        pd.testing.assert_frame_equal(got, pd.read_csv(io.BytesIO(plain), sep=",", low_memory=False))
    assert sorted(os.listdir(str(tmp_path / "sealed"))) == ["sample_submission.csv.encrypted", "test.csv.encrypted"]


def test_seal_warns_about_test_playids_without_sample_rows(tmp_path):
    (tmp_path / "test.csv").write_bytes(b"PlayId,x\n1,1\n2,2\n5,5\n")
    (tmp_path / "sample_submission.csv").write_bytes(b"PlayId,t\n1,0\n")
    code, out, err = kit("seal", tmp_path / "test.csv", tmp_path / "sample_submission.csv", "--out", tmp_path / "o")
    assert code == 0 and "warning: 2 test PlayIds without sample rows (2, 5)" in err


@pytest.mark.parametrize("content,message", [
    (None, "file not found"),
    (b"x,y\n1,2\n", "has no PlayId column"),
    (b'PlayId,x\n"1,2\n', "cannot read"),
    (b"", "cannot read"),
])
def test_bad_input_is_one_line_and_leaves_nothing(tmp_path, content, message):
    good = tmp_path / "good.csv"
    good.write_bytes(SAMPLE)
    bad = tmp_path / "bad.csv"
    if content is not None:
        bad.write_bytes(content)
    code, out, err = kit("seal", good, bad, "--out", tmp_path / "out")
    assert code == 1 and message in err and err.count("\n") == 1
    assert err.startswith("competition-kit: error: ")
    assert not (tmp_path / "out").exists()  # the good file was not written either


def test_bundle_inspect_and_their_errors(csvs, tmp_path):
    target = tmp_path / "bundle"
    code, out, err = kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
                         "--out", target, "--module", MODULE_PATH)
    assert code == 0
    assert sorted(os.listdir(str(target))) == sorted(
        ["test.csv.encrypted", "sample_submission.csv.encrypted", os.path.basename(MODULE_PATH)])
    # bundling again replaces the bundle; a directory of other things is refused
    assert kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
               "--out", target, "--module", MODULE_PATH)[0] == 0
    code, out, err = kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
                         "--out", csvs, "--module", MODULE_PATH)
    assert code == 1 and "is not a bundle" in err

    code, out, err = kit("inspect", target)
    assert code == 0
    assert "test.csv: 3 rows, 7 columns" in out
    assert "groups: 2; rows per group: min 1, median 1.5, max 2" in out
    assert "PlayIds only in test: 0" in out and "PlayIds only in sample: 0" in out

    os.remove(str(target / "test.csv.encrypted"))
    code, out, err = kit("inspect", target)
    assert code == 1 and "missing test.csv.encrypted" in err


def test_inspect_reports_a_damaged_file(csvs, tmp_path):
    target = tmp_path / "bundle"
    kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv", "--out", target,
        "--module", MODULE_PATH)
    (target / "test.csv.encrypted").write_bytes(b"0" * 17)
    code, out, err = kit("inspect", target)
    assert code == 1 and "Failed to load input file [" in err


SCRIPT = """
import competition
env = competition.make_env()
for (test_df, sample_prediction_df) in env.iter_test():
    sample_prediction_df["Yards0"] = len(test_df)
    env.predict(sample_prediction_df)
env.write_submission_file()
"""


def dry_run(tmp_path, script, groups=40):
    test, sample = synth.make_tables(groups, rows_per_group=5, features=6, predictions=3, sample_rows=2)
    (tmp_path / "test.csv").write_bytes(test)
    (tmp_path / "sample_submission.csv").write_bytes(sample)
    kit("bundle", "--test", tmp_path / "test.csv", "--sample", tmp_path / "sample_submission.csv",
        "--out", tmp_path / "bundle", "--module", MODULE_PATH)
    (tmp_path / "script.py").write_text(script)
    return subprocess.run([sys.executable, "-m", "competition_kit.cli", "dry-run", str(tmp_path / "script.py"),
                           "--bundle", str(tmp_path / "bundle")],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          env=dict(os.environ, PYTHONPATH=KIT))


def test_dry_run_of_a_small_bundle(tmp_path, submission_path):
    result = dry_run(tmp_path, SCRIPT)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "(40 groups)" in out and "40 groups answered" in out
    for line in ("load (first advance):", "per group, environment (advance + predict): median",
                 "per group, your code: median", "submission check: ok"):
        assert line in out
    assert "40/40" in result.stderr  # the progress, with or without tqdm
    written = pd.read_csv(submission_path)
    assert len(written) == 80 and list(written.columns) == ["PlayId", "Yards0", "Yards1", "Yards2"]


def test_dry_run_failures(tmp_path, submission_path):
    result = dry_run(tmp_path, "raise RuntimeError('my model broke')\n")
    assert result.returncode == 1
    assert "RuntimeError: my model broke" in result.stderr
    assert "the participant script failed" in result.stderr.splitlines()[-1]

    # a loop that leaves groups out: the submission check fails
    result = dry_run(tmp_path, SCRIPT.replace("env.predict(sample_prediction_df)",
                                              "env.predict(sample_prediction_df.iloc[:1])"))
    assert result.returncode == 1 and "40 rows, the sample submission has 80" in result.stdout

    code, out, err = kit("dry-run", tmp_path / "nope.py", "--bundle", tmp_path / "bundle")
    assert code == 1 and "script not found" in err
    os.remove(str(tmp_path / "bundle" / os.path.basename(MODULE_PATH)))
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", tmp_path / "bundle")
    assert code == 1 and "no competition module" in err
