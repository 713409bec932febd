"""Bundles that import anywhere: the self-contained module, load failures as one line, checked
inputs, the bundle's folder, its manifest, and bundles for several interpreters."""
import glob
import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import sysconfig

import pytest

from testsupport.module import MODULE_PATH

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit")
ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, KIT)

from testsupport.kit import kit  # noqa: E402  the command line, in-process

SANITIZED = bool(os.environ.get("COMPETITION_SANITIZED"))
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
HERE = "%d.%d" % sys.version_info[:2]
TEST = b"PlayId,x\n1,1.5\n1,2.5\n2,3.5\n3,4.5\n"
SAMPLE = b"PlayId,t\n1,0\n2,0\n3,0\n"
SCRIPT = """
import sys
import competition
env = competition.make_env()
for test_df, sample_df in env.iter_test():
    sample_df["t"] = len(test_df)
    env.predict(sample_df)
env.write_submission_file()
print("ran on CPython %d.%d with %s" % (sys.version_info[0], sys.version_info[1],
                                         competition.__file__.rsplit("/", 1)[1]))
"""




def kit_process(python, *args, **kwargs):
    env = dict(os.environ, PYTHONPATH=KIT)
    env.pop("COMPETITION_MODULE", None)
    return subprocess.run([python, "-m", "competition_kit"] + [str(a) for a in args], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, **kwargs)


def one_line(code, err, *parts):
    assert code == 1 and err.startswith("competition-kit: error: ") and err.count("\n") == 1, err
    for part in parts:
        assert part in err, err


def write_inputs(directory, test=TEST, sample=SAMPLE):
    directory.mkdir(exist_ok=True)
    (directory / "test.csv").write_bytes(test)
    (directory / "sample_submission.csv").write_bytes(sample)
    return directory


def bundle(inputs, target, *extra):
    if not any(a == "--module" or a == "--python" for a in extra):
        extra = ("--module", MODULE_PATH) + extra
    return kit("bundle", "--test", inputs / "test.csv", "--sample", inputs / "sample_submission.csv",
               "--out", target, *extra)


# --- the module file itself ------------------------------------------------------------------

def needed_libraries(path):
    text = subprocess.run(["readelf", "-d", path], stdout=subprocess.PIPE, universal_newlines=True,
                          check=True).stdout
    return sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", text))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer build links the shared C++ runtime")
@pytest.mark.skipif(shutil.which("readelf") is None or shutil.which("nm") is None, reason="needs binutils")
def test_module_needs_only_the_c_library_and_exports_only_its_init():
    allowed = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
    needed = needed_libraries(MODULE_PATH)
    assert needed and set(needed) <= allowed, needed
    exported = subprocess.run(["nm", "-D", "--defined-only", MODULE_PATH], stdout=subprocess.PIPE,
                              universal_newlines=True, check=True).stdout.split()
    assert exported[2::3] == ["PyInit_competition"], exported


@pytest.mark.parametrize("order", ["ssl and hashlib first", "the module first"])
def test_module_and_the_interpreters_openssl_in_one_process(tmp_path, order):
    # the interpreter's ssl and hashlib load the system's libcrypto: both must keep working
    # beside the module's own, whichever comes first
    target = tmp_path / "b"
    assert bundle(write_inputs(tmp_path / "in"), target)[0] == 0
    first, then = "import ssl, hashlib", "import competition"
    if order == "the module first":
        first, then = then, first
    script = "\n".join([
        "import sys", "sys.path.insert(0, %r)" % str(target), first,
        then,
        "env = competition.make_env()",
        "sizes = [len(t) for t, s in env.iter_test() if env.predict(s.assign(t=0)) is None]",
        "ctx = ssl.create_default_context()",
        "print(sizes, hashlib.sha256(b'abc').hexdigest()[:8], ssl.OPENSSL_VERSION.split()[0])",
    ])
    result = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[2, 1, 1] ba7816bf OpenSSL\n"


# --- failures to load the module, as one line --------------------------------------------------

def other_interpreters_module():
    """A module built for another CPython than this one, renamed for this one, or None."""
    for path in built_modules():
        if not os.path.basename(path).endswith(EXT_SUFFIX):
            return path
    return None


def shared_object(tmp_path, name, code, *link):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("needs a C compiler to make the shared object")
    (tmp_path / (name + ".c")).write_text(code)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(tmp_path / name), str(tmp_path / (name + ".c"))] + list(link),
                   check=True)
    return str(tmp_path / name)


def module_needing_a_missing_library(tmp_path):
    library = shared_object(tmp_path, "libabsent.so.1", "int absent_function(void) { return 1; }\n",
                            "-Wl,-soname,libabsent.so.1")
    made = shared_object(tmp_path, "needs.so", "int absent_function(void);\n"
                         "void *PyInit_competition(void) { absent_function(); return 0; }\n",
                         "-Wl,--no-as-needed", library)
    os.remove(library)
    return made


@pytest.mark.parametrize("kind", ["not a module", "missing library", "no init function", "another interpreter"])
def test_every_failure_to_load_the_module_is_one_line(tmp_path, kind):
    target = tmp_path / "b"
    assert bundle(write_inputs(tmp_path / "in"), target)[0] == 0
    here = target / ("competition" + EXT_SUFFIX)
    if kind == "not a module":
        here.write_bytes(b"\x7fELF but not really" * 10)
        expect = ["cannot load the competition module"]
    elif kind == "missing library":
        shutil.copyfile(module_needing_a_missing_library(tmp_path), str(here))
        expect = ["cannot load the competition module", "libabsent.so.1"]
    elif kind == "no init function":
        shutil.copyfile(shared_object(tmp_path, "other.so", "int other_function(void) { return 1; }\n"), str(here))
        expect = ["cannot load the competition module", "PyInit_competition"]
    else:
        other = other_interpreters_module()
        if other is None:
            pytest.skip("no module built for another CPython here (run.sh test builds them)")
        with open(other, "rb") as f:
            if b"built for" not in f.read():
                pytest.skip("the module does not check the interpreter it is loaded into yet")
        shutil.copyfile(other, str(here))
        built_for = re.search(r"cpython-3(\d+)", os.path.basename(other)).group(1)
        expect = ["cannot load the competition module", "built for CPython 3.%s" % built_for, HERE]
    # in a child process: a module for another interpreter must not take this one down
    for command in (["inspect", target], ["dry-run", tmp_path / "script.py", "--bundle", target]):
        (tmp_path / "script.py").write_text(SCRIPT)
        result = kit_process(sys.executable, *command)
        one_line(result.returncode, result.stderr, *expect)
        assert result.stdout == ""


# --- checked inputs ----------------------------------------------------------------------------

REFUSED = {
    "no test rows": (b"PlayId,x\n", SAMPLE, "--allow-empty", "the test set has no rows"),
    "string and integer PlayIds": (TEST, b"PlayId,t\na1,0\na2,0\n", "--allow-unmatched",
                                   "no test PlayId has a sample row (test PlayIds are int64, sample PlayIds "),
    "no PlayId values": (b"PlayId,x\n,1\n,2\n", SAMPLE, "--allow-unmatched", "no test row has a PlayId value"),
}


@pytest.mark.parametrize("command", ["bundle", "seal"])
@pytest.mark.parametrize("case", sorted(REFUSED))
def test_inputs_the_module_would_serve_nothing_from_are_refused_unless_allowed(tmp_path, command, case):
    test, sample, flag, message = REFUSED[case]
    inputs = write_inputs(tmp_path / "in", test, sample)
    out_dir = tmp_path / "out"

    def run(*extra):
        if command == "bundle":
            return bundle(inputs, out_dir, *extra)
        return kit("seal", inputs / "test.csv", inputs / "sample_submission.csv", "--out", out_dir, *extra)

    code, out, err = run()
    one_line(code, err, message, flag)
    assert sorted(os.listdir(str(tmp_path))) == ["in"]  # nothing half-written
    (out_dir).mkdir()
    one_line(*run()[::2], message)
    assert os.listdir(str(out_dir)) == []  # an empty folder is left as it was
    code, out, err = run(flag)
    assert code == 0, err
    assert "error" not in err and ("warning: " in err)
    assert "test.csv.encrypted" in os.listdir(str(out_dir))


def test_warnings_about_what_is_never_served_and_names_never_read(tmp_path):
    inputs = write_inputs(tmp_path / "in", b"PlayId,x\n1,1\n2,2\n,3\n", b"PlayId,t\n1,0\n7,0\n8,0\n")
    code, out, err = bundle(inputs, tmp_path / "b")
    assert code == 0, err
    assert err.splitlines() == [
        "warning: 1 test row without a PlayId value; they are never served",
        "warning: 1 test PlayId without sample rows (2.0)",
        "warning: 2 sample PlayIds without test rows (7, 8); they are never served",
    ]
    (inputs / "train.csv").write_bytes(TEST)
    code, out, err = kit("seal", inputs / "train.csv", inputs / "test.csv", "--out", tmp_path / "s")
    assert code == 0
    assert ("warning: the module reads only test.csv.encrypted and sample_submission.csv.encrypted; "
            "it will not read train.csv.encrypted") in err
    code, out, err = kit("bundle", "--test", inputs / "sample_submission.csv", "--sample", inputs / "test.csv",
                         "--out", tmp_path / "swapped", "--module", MODULE_PATH, "--allow-unmatched")
    assert "warning: --test is %s: it is sealed as test.csv.encrypted" % (inputs / "sample_submission.csv") in err


# --- the bundle's folder -----------------------------------------------------------------------

def test_bundle_folder_mode_and_an_empty_folder_filled_in_place(tmp_path):
    inputs = write_inputs(tmp_path / "in")
    assert kit("seal", inputs / "test.csv", "--out", tmp_path / "sealed")[0] == 0
    assert bundle(inputs, tmp_path / "new")[0] == 0
    mode = lambda p: stat.S_IMODE(os.stat(str(p)).st_mode)
    assert mode(tmp_path / "new") == mode(tmp_path / "sealed")

    kept = tmp_path / "kept"
    kept.mkdir()
    os.chmod(str(kept), 0o2750)
    inode = os.stat(str(kept)).st_ino
    code, out, err = bundle(inputs, kept)
    assert code == 0, err
    assert os.stat(str(kept)).st_ino == inode and mode(kept) == 0o2750
    assert sorted(os.listdir(str(kept))) == sorted(
        ["manifest.json", "sample_submission.csv.encrypted", "test.csv.encrypted", os.path.basename(MODULE_PATH)])
    # bundled again: replaced whole, with the mode it had
    assert bundle(inputs, kept)[0] == 0 and mode(kept) == 0o2750
    assert [n for n in os.listdir(str(tmp_path)) if n.startswith(".")] == []


def test_modules_for_one_interpreter_twice_are_refused(tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copyfile(MODULE_PATH, str(other / os.path.basename(MODULE_PATH)))
    code, out, err = bundle(write_inputs(tmp_path / "in"), tmp_path / "b", "--module", MODULE_PATH,
                            "--module", other / os.path.basename(MODULE_PATH))
    one_line(code, err, "two modules for CPython %s" % HERE)
    for bad, message in (("2.7", "expected a version from 3.6 to 3.13"), (str(tmp_path / "nope"), "interpreter not found")):
        one_line(*bundle(write_inputs(tmp_path / "in"), tmp_path / "b", "--python", bad)[::2], message)
    assert not (tmp_path / "b").exists()


# --- the manifest ------------------------------------------------------------------------------

def test_manifest_records_the_files_and_verify_names_the_one_that_differs(tmp_path):
    rows = b"".join(b"%d,%d.25\n" % (i // 3, i) for i in range(600))
    inputs = write_inputs(tmp_path / "in", b"PlayId,x\n" + rows, b"PlayId,t\n" + b"".join(
        b"%d,0\n" % i for i in range(200)))
    target = tmp_path / "b"
    assert bundle(inputs, target)[0] == 0
    manifest = json.loads((target / "manifest.json").read_text())
    sealed = target / "test.csv.encrypted"
    assert manifest["files"]["test.csv.encrypted"]["rows"] == 600
    assert manifest["files"]["test.csv.encrypted"]["groups"] == 200
    assert manifest["files"]["test.csv.encrypted"]["size"] == os.path.getsize(str(sealed))
    assert manifest["files"]["sample_submission.csv.encrypted"]["rows"] == 200
    assert manifest["python"] == [HERE]
    code, out, err = kit("inspect", "--verify", target)
    assert code == 0 and out.count(": ok (") == 3 and "serves CPython %s" % HERE in out, err

    original = sealed.read_bytes()
    sealed.write_bytes(original[:len(original) // 3 // 16 * 16])  # still decrypts and parses
    code, out, err = kit("inspect", target)
    assert code == 0
    assert "warning: test.csv.encrypted differs from the manifest" in err
    assert "the manifest records 600 rows in 200 groups" in err and "manifest: 1 file differs" in out
    code, out, err = kit("inspect", "--verify", target)
    one_line(code, err, "test.csv.encrypted differs from the manifest")
    assert "test.csv.encrypted: DIFFERS: %d bytes, the manifest records %d" % (
        len(original) // 3 // 16 * 16, len(original)) in out
    assert "sample_submission.csv.encrypted: ok" in out

    # the same size, other bytes: a file replaced by another sealing
    sealed.write_bytes(original)
    other = bytearray(original)
    other[100] ^= 1
    (target / "sample_submission.csv.encrypted").write_bytes(bytes(other[:os.path.getsize(
        str(target / "sample_submission.csv.encrypted"))]))
    code, out, err = kit("inspect", "--verify", target)
    one_line(code, err, "sample_submission.csv.encrypted differs")
    assert "same size, another SHA-256" in out and "test.csv.encrypted: ok" in out
    os.remove(str(target / os.path.basename(MODULE_PATH)))
    one_line(*kit("inspect", "--verify", target)[::2], os.path.basename(MODULE_PATH))

    os.remove(str(target / "manifest.json"))
    one_line(*kit("inspect", "--verify", target)[::2], "no manifest.json")
    (target / "manifest.json").write_text("{not json")
    one_line(*kit("inspect", "--verify", target)[::2], "cannot read")


# --- several interpreters ----------------------------------------------------------------------

def built_modules():
    """Modules the test job built (COMPETITION_BUILT_MODULES), else those under build/py*."""
    listed = os.environ.get("COMPETITION_BUILT_MODULES")
    paths = listed.split(os.pathsep) if listed else glob.glob(os.path.join(ROOT, "build", "py3.*", "competition*.so"))
    return sorted(p for p in paths if p and os.path.isfile(p))


def interpreters():
    """Interpreters with pandas and pycryptodome (COMPETITION_INTERPRETERS, else the test job's
    venvs), with their module suffix: [(python, suffix)]."""
    listed = os.environ.get("COMPETITION_INTERPRETERS")
    paths = listed.split(os.pathsep) if listed else glob.glob(os.path.join(ROOT, ".venv", "py3.*", "bin", "python"))
    found = []
    for python in sorted(p for p in paths if p and os.path.isfile(p)):
        answer = subprocess.run([python, "-c", "import sysconfig, pandas, Crypto; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
        if answer.returncode == 0:
            found.append((python, answer.stdout.strip()))
    return found


def run_by(python, script, bundle_dir, submission):
    if os.path.exists(submission):
        os.remove(submission)
    result = subprocess.run([python, str(script)], cwd=str(bundle_dir), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True,
                            env=dict(os.environ, PYTHONPATH=str(bundle_dir)))
    assert result.returncode == 0, result.stderr
    with open(submission) as f:
        assert f.read().splitlines() == ["PlayId,t", "1,2", "2,1", "3,1"]
    return result.stdout.splitlines()[-1]


@pytest.mark.skipif(SANITIZED, reason="the other interpreters' modules are not sanitized builds")
def test_a_bundle_for_two_interpreters_runs_on_each(tmp_path, submission_path):
    modules = built_modules()
    pairs = sorted(((python, m) for python, suffix in interpreters() for m in modules if m.endswith(suffix)),
                   key=lambda pair: [int(d) for d in re.findall(r"cpython-3(\d+)", pair[1])])
    pairs = [pairs[0], pairs[-1]] if len(pairs) >= 2 else []
    if len({m for _, m in pairs}) < 2:
        pytest.skip("needs modules built for two CPython versions and their venvs (run.sh test makes them)")
    target = tmp_path / "b"
    code, out, err = bundle(write_inputs(tmp_path / "in"), target, "--module", pairs[0][1], "--module", pairs[1][1])
    assert code == 0, err
    versions = [subprocess.run([p, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                               stdout=subprocess.PIPE, universal_newlines=True).stdout.strip() for p, _ in pairs]
    assert "serves CPython %s, %s" % tuple(versions) in out
    (tmp_path / "script.py").write_text(SCRIPT)
    for (python, module), version in zip(pairs, versions):
        line = run_by(python, tmp_path / "script.py", target, submission_path)
        assert line == "ran on CPython %s with %s" % (version, os.path.basename(module))
        result = kit_process(python, "inspect", target)
        assert result.returncode == 0 and "serves CPython %s, %s" % tuple(versions) in result.stdout


@pytest.mark.skipif(SANITIZED, reason="builds the module afresh, without the sanitizers")
@pytest.mark.skipif(shutil.which("cmake", path=os.pathsep.join([os.path.dirname(sys.executable),
                                                               os.environ.get("PATH", "")])) is None,
                    reason="needs cmake")
def test_bundle_builds_the_module_from_the_source_tree(tmp_path, submission_path):
    builds = tmp_path / "builds"
    target = tmp_path / "b"
    code, out, err = bundle(write_inputs(tmp_path / "in"), target, "--python", sys.executable,
                            "--build-dir", builds, "--source", ROOT)
    assert code == 0, err
    assert "building the module for CPython %s" % HERE in err
    assert out.strip() == "bundle ready: %s (serves CPython %s)" % (target, HERE)
    built = builds / ("py" + HERE) / ("competition" + EXT_SUFFIX)
    assert os.listdir(str(target)).count("competition" + EXT_SUFFIX) == 1
    (tmp_path / "script.py").write_text(SCRIPT)
    assert run_by(sys.executable, tmp_path / "script.py", target, submission_path).startswith("ran on CPython " + HERE)
    # the build folder is kept and reused: nothing to do the second time
    before = os.stat(str(built)).st_mtime_ns
    assert bundle(write_inputs(tmp_path / "in"), target, "--python", sys.executable, "--build-dir", builds)[0] == 0
    assert os.stat(str(built)).st_mtime_ns == before
    one_line(*bundle(write_inputs(tmp_path / "in"), tmp_path / "c", "--python", sys.executable,
                     "--source", tmp_path)[::2], "is not the competition module's source tree")


def test_python_all_finds_each_supported_cpython_once(monkeypatch, tmp_path):
    from competition_kit import hosting
    found = hosting.find_interpreters(["all", HERE]) if any(hosting._candidates(v) for v in hosting.SUPPORTED) else []
    if not found:
        pytest.skip("no CPython 3.6 to 3.13 in pyenv or on PATH")
    versions = [i.version for i in found]
    assert len(versions) == len(set(versions)) and set(versions) <= set(hosting.SUPPORTED)
    for interpreter in found:
        assert interpreter.ext_name.startswith("competition.cpython-3") and interpreter.ext_name.endswith(".so")
    # a version pyenv lacks is named in the error; nothing is searched beyond pyenv and PATH
    monkeypatch.setenv("PYENV_ROOT", str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(hosting.KitError, match="no CPython 3.8 found"):
        hosting.find_interpreters(["3.8"])
