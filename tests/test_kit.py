"""The host and participant kit: seal, inspect, bundle, dry-run, and the synthetic data."""
import base64
import io
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from Crypto.Cipher import AES

from testsupport.module import MODULE_PATH

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit")
sys.path.insert(0, KIT)

from competition_kit import rehearsal, synth  # noqa: E402
from competition_kit.module import fresh_env, load  # noqa: E402
from testsupport.kit import kit  # noqa: E402  the command line, in-process

MIXED = (b"PlayId,i,f,s,b,n,d\n"
         b"3,1,0.5,x,True,,2026-01-01\n"
         b"1,2,1e-3,\"y, z\",False,7,2026-01-02\n"
         b"3,-4,,w,True,,2026-01-03\n")
SAMPLE = b"PlayId,t1,t2\n1,0,0\n3,0,0\n"


def one_error_line(code, err, *parts):
    assert code == 1 and err.startswith("competition-kit: error: ") and err.count("\n") == 1, err
    for part in parts:
        assert part in err


@pytest.fixture
def csvs(tmp_path):
    (tmp_path / "test.csv").write_bytes(MIXED)
    (tmp_path / "sample_submission.csv").write_bytes(SAMPLE)
    return tmp_path


def bundle(csvs, target, *extra):
    return kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
               "--out", target, "--module", MODULE_PATH, *extra)


def test_sealed_files_are_the_shipped_format_and_load_as_the_plain_csv(csvs, tmp_path):
    code, out, err = kit("seal", csvs / "test.csv", csvs / "sample_submission.csv", "--out", tmp_path / "sealed")
    assert code == 0 and err == ""
    assert sorted(os.listdir(str(tmp_path / "sealed"))) == ["sample_submission.csv.encrypted", "test.csv.encrypted"]
    for name, plain in (("test.csv", MIXED), ("sample_submission.csv", SAMPLE)):
        # the format, decrypted by hand: base64 of the CSV bytes, then PKCS#7 fill
        sealed = (tmp_path / "sealed" / (name + ".encrypted")).read_bytes()
        text = AES.new(b"sample-aes-key16", AES.MODE_CBC, b"sample-iv-16byte").decrypt(sealed)
        fill = text[-1]
        assert 1 <= fill <= 16 and text[-fill:] == bytes([fill]) * fill
        assert base64.b64decode(text[:-fill], validate=True) == plain
    env = fresh_env(load(MODULE_PATH))
    for name, plain in (("test.csv", MIXED), ("sample_submission.csv", SAMPLE)):
        got = env._Competition__read_csv(str(tmp_path / "sealed" / name))
        want = pd.read_csv(io.BytesIO(plain), sep=",", low_memory=False)
        pd.testing.assert_frame_equal(got, want)
    got = env._Competition__read_csv(str(tmp_path / "sealed" / "test.csv"))
    dtypes = [str(t) for t in got.dtypes[["PlayId", "i", "f", "b", "n"]]]
    assert dtypes == ["int64"] * 2 + ["float64", "bool", "float64"]
    assert got["s"].tolist() == ["x", "y, z", "w"] and got["b"].dtype == bool and got["n"].isna().sum() == 2


def test_synthetic_tables_seal_and_load_with_their_dtypes(tmp_path):
    test, sample = synth.make_tables(30, rows_per_group=4, features=12, predictions=5, sample_rows=2, seed=3)
    (tmp_path / "test.csv").write_bytes(test)
    assert kit("seal", tmp_path / "test.csv", "--out", tmp_path / "sealed")[0] == 0
    got = fresh_env(load(MODULE_PATH))._Competition__read_csv(str(tmp_path / "sealed" / "test.csv"))
    want, _ = synth.make_frames(30, rows_per_group=4, features=12, predictions=5, sample_rows=2, seed=3)
    pd.testing.assert_frame_equal(got, want, check_dtype=False)  # object or str for text
    kinds = {str(t) for t in got.dtypes}
    assert {"int64", "float64", "bool"} <= kinds and ({"object", "str"} & kinds)


def test_the_encoder_writes_what_pandas_writes():
    t = synth.Table()
    t.add("PlayId", "int", np.array([7, -12, 0, 123456789012, -1], dtype=np.int64))
    t.add("x", "float", np.array([0.5, -0.0, np.nan, -1234.0001, 0.0001]))
    t.add("big", "float", np.array([1e6, -3.25, 10.0, 99999.9999, 0.1]))
    t.add("flag", "flag", np.array([True, False, False, True, True]))
    t.add("word", "text", (np.array([2, 0, 1, 1, 0]), ("a", "bb", "ccc")))
    t.add("at", "time", np.array(["2026-01-01T00:00:00", "2026-12-31T23:59:59.5", "2026-01-01T00:00:00.000001",
                                  "2027-02-28T12:00:00", "2026-06-01T00:00:01"], dtype="datetime64[us]"))
    expected = t.frame().to_csv(index=False).encode()
    assert t.csv() == expected
    assert t.csv(chunk_rows=2) == expected
    empty = synth.Table()
    empty.add("PlayId", "int", np.array([], dtype=np.int64))
    assert empty.csv() == b"PlayId\n"
    test, sample = synth.draw(25, rows_per_group=6, features=18, predictions=4, sample_rows=3, seed=5)
    assert test.csv() == synth.to_csv_bytes(test.frame())
    assert sample.csv() == synth.to_csv_bytes(sample.frame())


def test_synthetic_data_has_the_requested_shape():
    test, sample = synth.make_frames(200, rows_per_group=20, features=13, predictions=7, sample_rows=2, seed=1)
    sizes = test.groupby("PlayId").size()
    assert len(sizes) == 200 and 15 <= sizes.mean() <= 25 and sizes.min() >= 1
    assert test.shape[1] == 3 + 13 and sample.shape == (400, 8)
    assert sorted(sample["PlayId"].unique()) == sorted(sizes.index)
    assert not test["PlayId"].is_monotonic_increasing  # rows are shuffled across groups
    assert synth.make_tables(50, seed=2) == synth.make_tables(50, seed=2) != synth.make_tables(50, seed=4)


def test_seal_warns_about_test_playids_without_sample_rows_when_allowed(tmp_path):
    (tmp_path / "test.csv").write_bytes(b"PlayId,x\n1,1\n2,2\n5,5\n,6\n")
    (tmp_path / "sample_submission.csv").write_bytes(b"PlayId,t\n1,0\n")
    code, out, err = kit("seal", tmp_path / "test.csv", tmp_path / "sample_submission.csv", "--out", tmp_path / "o",
                         "--allow-unmatched", "--allow-dtype-mismatch")
    assert code == 0
    assert ("warning: the test PlayIds are float64 and the sample PlayIds int64 (1 test row without a PlayId "
            "makes the column float)") in err
    assert "warning: 2 test PlayIds without sample rows (2.0, 5.0): they are served an empty sample frame" in err
    assert "warning: 1 test row without a PlayId value; they are never served" in err


@pytest.mark.parametrize("content,message", [
    (None, "file not found"),
    (b"x,y\n1,2\n", "has no PlayId column"),
    (b'PlayId,x\n"1,2\n', "cannot read"),
    (b"", "cannot read"),
    (b"PlayId,x\n1,\xff\n", "it is not UTF-8 text (byte 0xff at offset 11); save it as UTF-8"),
    (b"PlayId;x\n1;2,5\n", "its first line is separated by semicolons: the module reads only comma-separated files"),
    (b"PlayId\tx\n1\t2\n", "separated by tabs"),
])
def test_bad_input_is_one_line_and_leaves_nothing(tmp_path, content, message):
    good = tmp_path / "good.csv"
    good.write_bytes(SAMPLE)
    bad = tmp_path / "bad.csv"
    if content is not None:
        bad.write_bytes(content)
    code, out, err = kit("seal", good, bad, "--out", tmp_path / "out")
    one_error_line(code, err, message, str(bad))
    assert not (tmp_path / "out").exists()  # the good file was not written either


def test_seal_refuses_clashing_names_and_a_file_as_directory(csvs, tmp_path):
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "test.csv").write_bytes(MIXED)
    code, out, err = kit("seal", csvs / "test.csv", tmp_path / "other" / "test.csv", "--out", tmp_path / "o")
    one_error_line(code, err, "two inputs would both be written as test.csv.encrypted")
    code, out, err = kit("seal", csvs / "test.csv", "--out", csvs / "test.csv")
    one_error_line(code, err, "exists and is not a directory")
    assert (csvs / "test.csv").read_bytes() == MIXED


def test_a_failed_write_leaves_no_file(csvs, tmp_path, monkeypatch):
    from competition_kit import sealing as hosting

    calls, write_sealed = [], hosting.write_sealed

    def failing(directory, data, *args):  # the second file cannot be written
        calls.append(1)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return write_sealed(directory, data, *args)

    monkeypatch.setattr(hosting, "write_sealed", failing)
    out_dir = tmp_path / "o"
    code, out, err = kit("seal", csvs / "test.csv", csvs / "sample_submission.csv", "--out", out_dir)
    one_error_line(code, err, "No space left on device")
    assert not out_dir.exists()
    out_dir.mkdir()
    (out_dir / "keep").write_bytes(b"x")
    calls[:] = []
    code, out, err = kit("seal", csvs / "test.csv", csvs / "sample_submission.csv", "--out", out_dir)
    assert code == 1 and os.listdir(str(out_dir)) == ["keep"]  # no temporary left either
    calls[:] = []
    code, out, err = bundle(csvs, tmp_path / "b")
    assert code == 1 and sorted(os.listdir(str(tmp_path))) == ["o", "sample_submission.csv", "test.csv"]


def test_bundle_inspect_and_their_errors(csvs, tmp_path):
    target = tmp_path / "bundle"
    code, out, err = bundle(csvs, target)
    assert code == 0
    assert sorted(os.listdir(str(target))) == sorted(["test.csv.encrypted", "sample_submission.csv.encrypted",
                                                      "manifest.json", "competition.py", os.path.basename(MODULE_PATH)])
    # bundling again replaces the bundle; a directory of other things is refused
    assert bundle(csvs, target)[0] == 0
    code, out, err = kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
                         "--out", csvs, "--module", MODULE_PATH)
    one_error_line(code, err, "is not a bundle")
    code, out, err = kit("bundle", "--test", csvs / "test.csv", "--sample", csvs / "sample_submission.csv",
                         "--out", tmp_path / "b2", "--module", csvs / "test.csv")
    one_error_line(code, err, "is not a built competition module")
    assert not (tmp_path / "b2").exists()

    code, out, err = kit("inspect", target)
    assert code == 0, err
    assert "test.csv: 3 rows, 7 columns" in out and "sample_submission.csv: 2 rows, 3 columns" in out
    assert "PlayId:int64, i:int64, f:float64" in out and "b:bool" in out
    assert "groups: 2; rows per group: min 1, median 1.5, max 2" in out
    assert "PlayIds only in test: 0" in out and "PlayIds only in sample: 0" in out
    assert sorted(os.listdir(str(target))) == sorted(["test.csv.encrypted", "sample_submission.csv.encrypted",
                                                      "manifest.json", "competition.py", os.path.basename(MODULE_PATH)])

    os.remove(str(target / "test.csv.encrypted"))
    one_error_line(*kit("inspect", target)[::2], "missing test.csv.encrypted")
    one_error_line(*kit("inspect", tmp_path / "nowhere")[::2], "not a directory")


def test_inspect_of_sealed_files_lists_unmatched_playids(tmp_path, monkeypatch):
    (tmp_path / "test.csv").write_bytes(b"PlayId,x\n1,1\n2,2\n2,3\n")
    (tmp_path / "sample_submission.csv").write_bytes(b"PlayId,t\n1,0\n9,0\n8,0\n")
    kit("seal", tmp_path / "test.csv", tmp_path / "sample_submission.csv", "--out", tmp_path / "s", "--allow-unmatched")
    monkeypatch.setenv("COMPETITION_MODULE", MODULE_PATH)  # no module in a folder of sealed files
    code, out, err = kit("inspect", tmp_path / "s")
    assert code == 0, err
    assert "PlayIds only in test: 1 (2)" in out and "PlayIds only in sample: 2 (8, 9)" in out


def test_inspect_reports_a_damaged_file(csvs, tmp_path):
    target = tmp_path / "bundle"
    bundle(csvs, target)
    (target / "test.csv.encrypted").write_bytes(b"0" * 17)
    code, out, err = kit("inspect", target)
    one_error_line(code, err, "Failed to load input file [%s]." % (target / "test.csv.encrypted"))


SCRIPT = """
import collections.abc
import os
print("cwd:", os.getcwd())
import competition
env = competition.make_env()
gen = env.iter_test()
assert isinstance(gen, collections.abc.Generator)
for (test_df, sample_prediction_df) in gen:
    sample_prediction_df["Yards0"] = len(test_df)
    env.predict(sample_prediction_df)
env.write_submission_file()
try:
    competition.make_env()
except Exception as e:
    print("second make_env:", e)
"""


def dry_run(tmp_path, script, groups=40, sample_of=None):
    test, sample = synth.make_tables(groups, rows_per_group=5, features=6, predictions=3, sample_rows=2)
    (tmp_path / "test.csv").write_bytes(test)
    (tmp_path / "sample_submission.csv").write_bytes(sample if sample_of is None else sample_of(sample))
    code, out, err = bundle(tmp_path, tmp_path / "bundle", "--allow-unmatched")
    assert code == 0, err
    (tmp_path / "script.py").write_text(script)
    return subprocess.run([sys.executable, "-m", "competition_kit", "dry-run", str(tmp_path / "script.py"),
                           "--bundle", str(tmp_path / "bundle")],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join([KIT, os.environ.get("PYTHONPATH", "")])))


def test_dry_run_of_a_small_bundle(tmp_path, submission_path):
    result = dry_run(tmp_path, SCRIPT)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "(40 groups)" in out and "40 groups answered" in out
    assert "second make_env: You can only call `make_env()` once." in out
    assert "cwd: /vantor/working" in out  # where a hosted notebook runs, as a notebook here
    for line in ("load (first advance):", "per group, environment (advance + predict): median",
                 "per group, your code: median", "submission check: ok (80 rows, 4 columns, 40 PlayIds"):
        assert line in out
    assert "40/40" in result.stderr  # the progress, with or without tqdm
    written = pd.read_csv(submission_path)
    assert len(written) == 80 and list(written.columns) == ["PlayId", "Yards0", "Yards1", "Yards2"]
    assert (written.groupby("PlayId")["Yards0"].nunique() == 1).all() and written["Yards0"].min() >= 1


def test_dry_run_failures(tmp_path, submission_path, monkeypatch):
    result = dry_run(tmp_path, "import competition\n\n"
                               "def model():\n    raise RuntimeError('my model broke')\n\nmodel()\n")
    assert result.returncode == 1
    assert "RuntimeError: my model broke" in result.stderr and "runpy" not in result.stderr
    assert "in model" in result.stderr  # the script's own frames
    assert "the participant script failed" in result.stderr.splitlines()[-1]

    # a loop that leaves rows out: the submission check fails
    result = dry_run(tmp_path, SCRIPT.replace("env.predict(sample_prediction_df)",
                                              "env.predict(sample_prediction_df.iloc[:1])"))
    assert result.returncode == 1 and "40 rows, the sample submission has 80" in result.stdout
    assert "40 PlayIds have another number of rows" in result.stdout

    # a loop that never writes: the file there is not taken for this run's
    result = dry_run(tmp_path, SCRIPT.replace("env.write_submission_file()", ""))
    assert result.returncode == 1
    assert "was not rewritten by this run (write_submission_file() was not called" in result.stdout

    # groups served an empty sample frame: the participant's code fails on them, and the summary
    # and the check still say what happened, naming those PlayIds
    def without_some_rows(sample):
        lines = sample.splitlines(True)
        return b"".join(lines[:1] + lines[7:])  # the first three PlayIds' rows (two each) left out
    result = dry_run(tmp_path, SCRIPT.replace("    env.predict(", "    sample_prediction_df.iloc[0]\n    env.predict("),
                     sample_of=without_some_rows)
    assert result.returncode == 1 and "IndexError" in result.stderr
    sample = pd.read_csv(tmp_path / "sample_submission.csv")
    first = sorted(set(pd.read_csv(tmp_path / "test.csv")["PlayId"]) - set(sample["PlayId"]))
    assert len(first) == 3
    assert "1 group was served an empty sample frame (PlayId %s)" % first[0] in result.stdout  # where it failed
    assert "timing:" in result.stdout and "submission check failed" in result.stdout
    assert result.stderr.splitlines()[-1].startswith("competition-kit: error: the participant script failed")

    code, out, err = kit("dry-run", tmp_path / "nope.py", "--bundle", tmp_path / "bundle")
    one_error_line(code, err, "script not found")
    monkeypatch.setattr(rehearsal, "WORKING", str(tmp_path / "script.py" / "working"))
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", tmp_path / "bundle")
    one_error_line(code, err, "cannot create %s" % (tmp_path / "script.py" / "working"))
    os.remove(str(tmp_path / "bundle" / os.path.basename(MODULE_PATH)))
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", tmp_path / "bundle")
    one_error_line(code, err, "no competition module for this interpreter")


def test_check_submission_names_what_is_wrong(tmp_path):
    test = pd.DataFrame({"PlayId": [1, 1, 2, 3]})
    sample = pd.DataFrame({"PlayId": [1, 2, 2, 3, 4], "a": 0.0, "b": 0.0})
    path = str(tmp_path / "s.csv")
    sample.iloc[:4].to_csv(path, index=False)
    assert rehearsal.check_submission(test, sample, path) == []
    pd.DataFrame({"PlayId": [1, 2, 5, 5], "b": [0, None, 0, 0], "a": 0}).to_csv(path, index=False)
    problems = rehearsal.check_submission(test, sample, path)
    assert problems == ["columns differ from the sample submission's (order)",
                        "1 PlayIds have no rows (3)",
                        "1 PlayIds are not in the sample submission's test rows (5)",
                        "1 PlayIds have another number of rows than in the sample submission (2)",
                        "1 missing values (in b)"]
    (tmp_path / "s.csv").write_bytes(b"")
    assert rehearsal.check_submission(test, sample, path)[0].startswith("cannot read")


def test_dry_run_does_not_parse_the_test_set_before_the_run(tmp_path, submission_path, monkeypatch):
    from competition_kit import module, rehearsal as r
    read = []
    monkeypatch.setattr(module, "read_inputs", lambda *a, **k: read.append(a))  # the module's whole parse
    started = r.run_script
    monkeypatch.setattr(r, "run_script", lambda *a, **k: read.append("run") or started(*a, **k))
    streamed = r.test_playids
    monkeypatch.setattr(r, "test_playids", lambda *a: read.append("test PlayIds") or streamed(*a))
    dry_run(tmp_path, "")  # makes the bundle
    (tmp_path / "script.py").write_text(SCRIPT)
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", tmp_path / "bundle")
    assert code == 0, out + err
    assert read == ["run"]  # the manifest's counts before, its record of unserved PlayIds after
    os.remove(str(tmp_path / "bundle" / "manifest.json"))  # without it: the PlayId column, as a stream
    read[:] = []
    code, out, err = kit("dry-run", tmp_path / "script.py", "--bundle", tmp_path / "bundle")
    assert code == 0 and "(40 groups)" in out and read == ["test PlayIds", "run", "test PlayIds"], out + err


STARTER_SAMPLES = {
    "a distribution": lambda sample: sample,  # Yards0..Yards2
    "numbers and text": lambda sample: b"PlayId,t,label,n\n" + b"".join(
        line.split(b",")[0] + b",0,x,7\n" for line in sample.splitlines()[1:]),
}


@pytest.mark.parametrize("kind", sorted(STARTER_SAMPLES))
def test_the_starter_passes_the_check_for_the_bundles_own_columns(tmp_path, submission_path, kind):
    dry_run(tmp_path, "", sample_of=STARTER_SAMPLES[kind])
    starter = tmp_path / "my_model.py"
    code, out, err = kit("starter", "--bundle", tmp_path / "bundle", "--out", starter)
    assert code == 0 and out.startswith("wrote %s; try it: competition-kit dry-run" % starter), err
    text = starter.read_text()
    assert "sample_prediction_df[sample_prediction_df.columns] = predict_group(" in text
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([KIT, os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-m", "competition_kit", "dry-run", str(starter), "--bundle",
                             str(tmp_path / "bundle")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, env=env)
    assert result.returncode == 0 and "submission check: ok" in result.stdout, result.stdout + result.stderr
    written = pd.read_csv(submission_path)
    if kind == "a distribution":  # a cumulative distribution: from 0 to 1, rising
        values = written[["Yards0", "Yards1", "Yards2"]].to_numpy()
        assert (np.diff(values, axis=1) >= 0).all() and values.min() >= 0 and values.max() <= 1
    else:
        assert (written["t"] == 0).all() and (written["label"] == "x").all()
    one_error_line(*kit("starter", "--bundle", tmp_path / "bundle", "--out", starter)[::2], "exists")
    one_error_line(*kit("starter", "--bundle", tmp_path, "--out", tmp_path / "x.py")[::2],
                   "no sample_submission.csv.encrypted")
