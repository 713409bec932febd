"""Bundles that import anywhere: the self-contained module, load failures as one line, checked
inputs, the bundle's folder, its manifest, and bundles for several interpreters."""
import glob
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


def module_needing_a_newer_glibc(tmp_path):
    """A copy of the module whose newest glibc version need reads GLIBC_9.99 (the name patched in
    its string table: the loader matches names, so it is not found)."""
    data = bytearray(open(MODULE_PATH, "rb").read())
    names = set(re.findall(rb"\x00(GLIBC_2\.[0-9]{2})\x00", bytes(data)))
    if not names:
        pytest.skip("the module asks for no GLIBC_2.NN version")
    newest = max(names, key=lambda n: int(n.split(b".")[1]))
    patched = bytes(data).replace(b"\x00" + newest + b"\x00", b"\x00GLIBC_9.99\x00")
    path = tmp_path / "newer" / os.path.basename(MODULE_PATH)
    path.parent.mkdir()
    path.write_bytes(patched)
    return str(path)


@pytest.mark.parametrize("kind", ["not a module", "missing library", "no init function", "another interpreter",
                                  "newer glibc"])
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
    elif kind == "newer glibc":
        shutil.copyfile(module_needing_a_newer_glibc(tmp_path), str(here))
        expect = ["cannot load the competition module", "it needs glibc 9.99 or later, this system has glibc 2.",
                  "GLIBC_9.99"]
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
    # inputs every participant would fail on
    "PlayId not the sample's first column": (TEST, b"t,PlayId\n0,1\n0,2\n0,3\n", "--allow-playid-not-first",
                                             "PlayId is column 2 of the sample submission, not the first"),
    "a blank test PlayId": (TEST + b",5.5\n", SAMPLE, "--allow-dtype-mismatch",
                            "the test PlayIds are float64 and the sample PlayIds int64 (1 test row without a "
                            "PlayId makes the column float)"),
    "some test PlayIds without sample rows": (
        TEST + b"4,5.5\n", SAMPLE, "--allow-unmatched",
        "1 test PlayId without sample rows (4): it is served an empty sample frame"),
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
    code, out, err = bundle(inputs, tmp_path / "b", "--allow-unmatched", "--allow-dtype-mismatch")
    assert code == 0, err
    assert err.splitlines() == [
        "warning: the test PlayIds are float64 and the sample PlayIds int64 (1 test row without a PlayId makes the "
        "column float): every group is matched across kinds, many times slower",
        "warning: 1 test PlayId without sample rows (2.0): it is served an empty sample frame",
        "warning: 1 test row without a PlayId value; they are never served",
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
    assert sorted(os.listdir(str(kept))) == sorted([
        "manifest.json", "sample_submission.csv.encrypted", "test.csv.encrypted", "competition.py",
        os.path.basename(MODULE_PATH)])
    # bundled again: replaced whole, with the mode it had, and (a shared folder) its group
    gid = os.stat(str(kept)).st_gid
    if os.geteuid() == 0:
        gid = gid + 4321
        os.chown(str(kept), -1, gid)
        os.chmod(str(kept), 0o2750)
    assert bundle(inputs, kept)[0] == 0 and mode(kept) == 0o2750
    assert {os.stat(str(p)).st_gid for p in [kept] + list(kept.iterdir())} == {gid}
    assert [n for n in os.listdir(str(tmp_path)) if n.startswith(".")] == []


def test_modules_for_one_interpreter_twice_are_refused(tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    shutil.copyfile(MODULE_PATH, str(other / os.path.basename(MODULE_PATH)))
    code, out, err = bundle(write_inputs(tmp_path / "in"), tmp_path / "b", "--module", MODULE_PATH,
                            "--module", other / os.path.basename(MODULE_PATH))
    one_line(code, err, "two modules for CPython %s on x86_64" % HERE)
    for bad, message in (("2.7", "expected a version from 3.6 to 3.15"),
                         (str(tmp_path / "nope"), "interpreter not found")):
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
    assert code == 0 and out.count(": ok (") == 4 and "serves CPython %s" % HERE in out, err

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
        probe = "import sysconfig, pandas, Crypto; print(sysconfig.get_config_var('EXT_SUFFIX'))"
        answer = subprocess.run([python, "-c", probe],
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
    from competition_kit import interpreters as hosting
    found = hosting.find_interpreters(["all", HERE]) if any(hosting._candidates(v) for v in hosting.SUPPORTED) else []
    if not found:
        pytest.skip("no CPython 3.6 to 3.15 in pyenv or on PATH")
    versions = [i.version for i in found]
    assert len(versions) == len(set(versions)) and set(versions) <= set(hosting.SUPPORTED)
    for interpreter in found:
        assert interpreter.ext_name.startswith("competition.cpython-3") and interpreter.ext_name.endswith(".so")
    # a version pyenv lacks is named in the error; nothing is searched beyond pyenv and PATH
    monkeypatch.setenv("PYENV_ROOT", str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(hosting.KitError, match="no CPython 3.8 found"):
        hosting.find_interpreters(["3.8"])


# --- what a module file needs, read from the ELF file --------------------------------------------

def objdump_glibc(path):
    text = subprocess.run(["objdump", "-T", path], stdout=subprocess.PIPE, universal_newlines=True).stdout
    found = [tuple(int(p) for p in v.split(".")) for v in re.findall(r"GLIBC_([0-9.]+)\)?\s", text)]
    return max(found) if found else None


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs binutils")
def test_the_elf_reader_agrees_with_objdump(tmp_path):
    from competition_kit import elf
    paths = sorted(set(built_modules() + [MODULE_PATH, module_needing_a_missing_library(tmp_path)]))
    newer = None
    try:
        newer = module_needing_a_newer_glibc(tmp_path)
    except pytest.skip.Exception:
        pass
    for path in paths + ([newer] if newer else []):
        info = elf.describe(path)
        assert info.glibc == objdump_glibc(path), path
        header = subprocess.run(["objdump", "-f", path], stdout=subprocess.PIPE, universal_newlines=True).stdout
        assert {"x86_64": "x86-64", "aarch64": "aarch64"}.get(info.machine, info.machine) in header, (path, header)
    assert elf.describe(MODULE_PATH).exports_init
    other = shared_object(tmp_path, "other.so", "int other_function(void) { return 1; }\n")
    assert not elf.describe(other).exports_init
    # what is not a shared object is refused, never misread
    cc = shutil.which("cc") or shutil.which("gcc")
    junk = {"text": b"PlayId,x\n1,2\n", "cut": open(MODULE_PATH, "rb").read()[:40],
            "elf header only": open(MODULE_PATH, "rb").read()[:64]}
    for name, data in junk.items():
        (tmp_path / name).write_bytes(data)
        with pytest.raises(elf.NotAModule):
            elf.describe(str(tmp_path / name))
    if cc:
        (tmp_path / "o.c").write_text("int f(void) { return 1; }\n")
        subprocess.run([cc, "-c", "-o", str(tmp_path / "o.o"), str(tmp_path / "o.c")], check=True)
        with pytest.raises(elf.NotAModule, match="not a shared object"):
            elf.describe(str(tmp_path / "o.o"))


def test_a_module_that_cannot_load_here_says_what_is_missing(tmp_path, monkeypatch):
    from competition_kit import elf, module
    newer = module_needing_a_newer_glibc(tmp_path)
    with pytest.raises(module.KitError,
                       match=r"it needs glibc 9\.99 or later, this system has glibc 2\.\d+ \(.*GLIBC_9\.99"):
        module.load(newer)
    monkeypatch.setattr(elf, "this_glibc", lambda: None)  # as on musl
    with pytest.raises(module.KitError,
                       match=r"it needs glibc 9\.99 or later, and this system's C library is not glibc"):
        module.load(newer)
    monkeypatch.setattr(elf, "this_machine", lambda: "aarch64")
    with pytest.raises(module.KitError, match="it is a module for x86_64, this machine is aarch64"):
        module.load(newer)


def foreign(tmp_path, machine=183, name="competition.cpython-312-aarch64-linux-gnu.so"):
    """A copy of the module marked as one for another machine (aarch64 by default)."""
    data = bytearray(open(MODULE_PATH, "rb").read())
    data[18:20] = machine.to_bytes(2, "little")
    (tmp_path / "foreign").mkdir(exist_ok=True)
    path = tmp_path / "foreign" / name
    path.write_bytes(bytes(data))
    return path


def test_module_files_are_checked_before_bundling(tmp_path):
    inputs = write_inputs(tmp_path / "in")
    junk = tmp_path / "junk" / os.path.basename(MODULE_PATH)
    junk.parent.mkdir()
    junk.write_bytes(b"#!/bin/sh\necho not a module\n")
    one_line(*bundle(inputs, tmp_path / "b", "--module", junk)[::2],
             "is not a built competition module: not an ELF file")
    one_line(*bundle(inputs, tmp_path / "b", "--module", module_needing_a_missing_library(tmp_path))[::2],
             "needs.so is not a built competition module")
    newer = module_needing_a_newer_glibc(tmp_path)
    one_line(*bundle(inputs, tmp_path / "b", "--module", newer)[::2],
             "does not load on %s: it needs glibc 9.99 or later" % sys.executable, "--allow-unloadable")
    one_line(*bundle(inputs, tmp_path / "b", "--module", MODULE_PATH, "--module", foreign(tmp_path))[::2],
             "the modules are for several architectures (aarch64: competition.cpython-312-aarch64-linux-gnu.so; "
             "x86_64: %s)" % os.path.basename(MODULE_PATH), "--allow-mixed-architectures")
    misnamed = foreign(tmp_path, name="competition.cpython-312-x86_64-linux-gnu.so")
    one_line(*bundle(inputs, tmp_path / "b", "--module", misnamed)[::2],
             "is named for x86_64 but is a module for aarch64")
    assert not (tmp_path / "b").exists()

    # allowed on purpose: bundled, with each file described, and the check still fails
    code, out, err = bundle(inputs, tmp_path / "b", "--module", newer, "--module", foreign(tmp_path),
                            "--allow-unloadable", "--allow-mixed-architectures")
    assert code == 0 and "warning: the modules are for several architectures" in err, err
    manifest = json.loads((tmp_path / "b" / "manifest.json").read_text())
    assert {n: (e["machine"], e["glibc"]) for n, e in manifest["modules"].items()} == {
        os.path.basename(MODULE_PATH): ("x86_64", "9.99"),
        "competition.cpython-312-aarch64-linux-gnu.so": ("aarch64", "%d.%d" % objdump_glibc(MODULE_PATH))}
    code, out, err = kit("check", tmp_path / "b")
    one_line(code, err, "does not load on %s" % sys.executable, "the modules are for several architectures")
    assert "competition.cpython-312-aarch64-linux-gnu.so: CPython 3.12, aarch64, needs glibc 2." in out
    assert "not loaded: a module for aarch64, and this machine is x86_64" in out
    assert "%s: CPython %s, x86_64, needs glibc 9.99 or later; DOES NOT LOAD on %s: it needs glibc 9.99" % (
        os.path.basename(MODULE_PATH), HERE, sys.executable) in out


LEAKS = {
    "the plain test set": ("test.csv", TEST, "NOT IN THE MANIFEST: A DATA FILE IN THE CLEAR"),
    "answers under another name": ("truth.txt", b"PlayId;Yards\n1;3\n", "A CSV WITH A PLAYID COLUMN, IN THE CLEAR"),
    "a folder of data": ("work/", ("answers.csv", b"PlayId,Yards\n1,3\n"),
                         "a folder of 1 file, 1 of them data in the clear (work/answers.csv)"),
    "a stray file": ("notes.md", b"# to do\n", "NOT IN THE MANIFEST: a file; remove it"),
    "the fallback's bytecode": ("__pycache__/", ("competition.cpython-312.pyc", b"\0" * 16), None),
}


@pytest.mark.parametrize("leak", sorted(LEAKS))
def test_the_pre_upload_check_finds_files_not_in_the_manifest(tmp_path, leak):
    target = tmp_path / "b"
    assert bundle(write_inputs(tmp_path / "in"), target)[0] == 0
    code, out, err = kit("check", target)
    assert code == 0 and out.endswith("ready to upload: %s\n" % target), out + err
    assert "%s: CPython %s, x86_64, needs glibc" % (os.path.basename(MODULE_PATH), HERE) in out
    assert "loads on %s" % sys.executable in out
    name, content, line = LEAKS[leak]
    if name.endswith("/"):
        (target / name).mkdir()
        (target / name / content[0]).write_bytes(content[1])
    else:
        (target / name).write_bytes(content)
    code, out, err = kit("inspect", "--verify", target)
    if line is None:
        assert code == 0, out + err
        return
    one_line(code, err, "%s is not in the manifest" % name)
    assert "%s: " % name in out and line in out
    code, out, err = kit("inspect", target)  # the summary warns too
    assert code == 0 and "warning: %s is not in the manifest" % name in err and "1 file not in it" in out


@pytest.mark.parametrize("case", ["PlayId not the sample's first column", "a blank test PlayId",
                                  "some test PlayIds without sample rows"])
def test_the_pre_upload_check_finds_inputs_every_participant_would_fail_on(tmp_path, case):
    test, sample, flag, message = REFUSED[case]
    target = tmp_path / "b"
    assert bundle(write_inputs(tmp_path / "in", test, sample), target, flag)[0] == 0
    code, out, err = kit("check", target)
    one_line(code, err, message)
    assert "inputs: " + message in out


# --- interpreters the bundle does not serve ----------------------------------------------------

FALLBACK_SCRIPT = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import competition
except ImportError as e:
    print("ImportError:", e)
else:
    print("imported", competition.__file__.rsplit("/", 1)[1])
"""


def test_an_interpreter_without_a_module_in_the_bundle_is_told_what_it_serves(tmp_path):
    found = interpreters()
    modules = built_modules()
    served = sorted({m: (suffix, m) for python, suffix in found for m in modules if m.endswith(suffix)}.values())
    if len(found) < 2 or not served:
        pytest.skip("needs two interpreters and a module built for one (run.sh test makes them)")
    (tmp_path / "import.py").write_text(FALLBACK_SCRIPT)
    versions = {python: subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                       stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
                for python, _ in found}
    for suffix, module in served:  # a bundle of each one's module alone
        target = tmp_path / ("b" + suffix)
        assert bundle(write_inputs(tmp_path / "in"), target, "--module", module)[0] == 0
        tag = re.search(r"cpython-3(\d+)[a-z]*-(.+)\.so$", os.path.basename(module))
        for interpreter, its_suffix in found:
            result = subprocess.run([interpreter, str(tmp_path / "import.py"), str(target)], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, universal_newlines=True)
            assert result.returncode == 0, result.stderr
            if its_suffix == suffix:  # its extension module, never the fallback
                assert result.stdout == "imported %s\n" % os.path.basename(module)
            else:
                assert result.stdout == ("ImportError: this bundle's competition module serves CPython 3.%s (%s); "
                                         "this is CPython %s on x86_64, which would import competition%s\n"
                                         % (tag.group(1), tag.group(2), versions[interpreter], its_suffix))
        code, out, err = kit("check", target)  # the bytecode an interpreter may have left is no problem
        assert code == 0, out + err


# --- modules from wheels -----------------------------------------------------------------------

def test_bundle_takes_the_modules_from_a_folder_of_wheels(tmp_path, monkeypatch):
    import zipfile
    wheels = tmp_path / "dist"
    wheels.mkdir()
    name = os.path.basename(MODULE_PATH)
    tag = re.search(r"cpython-3(\d+)", name).group(1)
    wheel = wheels / ("competition-1.0-cp3%s-cp3%s-manylinux_2_17_x86_64.whl" % (tag, tag))
    with zipfile.ZipFile(str(wheel), "w") as z:
        z.write(MODULE_PATH, name)
        z.writestr("competition_kit/__init__.py", "")
    inputs = write_inputs(tmp_path / "in")
    code, out, err = bundle(inputs, tmp_path / "b", "--wheels", wheels, "--python", HERE)
    assert code == 0, err
    assert sorted(json.loads((tmp_path / "b" / "manifest.json").read_text())["modules"]) == [name]
    one_line(*bundle(inputs, tmp_path / "c", "--wheels", wheels, "--python", "3.8")[::2],
             "--python 3.8: no wheel for CPython 3.8 in %s (it has wheels for CPython %s)" % (wheels, HERE))
    one_line(*bundle(inputs, tmp_path / "c", "--wheels", tmp_path / "in")[::2], "no wheel of the competition module in")
    # an installed kit has no source tree: the error says what to pass
    from competition_kit import builds as hosting
    monkeypatch.setattr(hosting, "__file__", str(tmp_path / "site-packages" / "competition_kit" / "hosting.py"))
    with pytest.raises(hosting.KitError, match="pass --wheels DIR .* --source DIR .* --module PATH"):
        hosting.source_tree()
