"""Host side: seal the inputs, inspect sealed inputs, bundle a competition."""
import collections
import glob
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

from .module import KitError, looks_like_module, module_file, module_in, serves, version_key
from .sealing import (SUFFIX, _umask, read_input, read_plain_csv, read_sealed, remove_quietly, write_sealed,
                      write_temporary)

TEST_NAME = "test.csv"
SAMPLE_NAME = "sample_submission.csv"
READ_NAMES = (TEST_NAME, SAMPLE_NAME)  # the only inputs the module reads
MANIFEST = "manifest.json"
SUPPORTED = ["3.%d" % minor for minor in range(6, 14)]  # the CPython versions the module builds for


def _first_line(e):
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__


def checked_csv(path):
    """The bytes of a CSV the module can read and its PlayId column, or a KitError saying why
    not."""
    if not os.path.exists(path):
        raise KitError("file not found: %s" % path)
    if not os.path.isfile(path):
        raise KitError("not a file: %s" % path)
    label = os.path.basename(path)  # a large input shows its phases on stderr under this name
    try:
        data = read_input(path, label)
    except OSError as e:
        raise KitError("cannot read %s: %s" % (path, e.strerror or e))
    try:
        frame = read_plain_csv(data, label)
    except Exception as e:
        raise KitError("cannot read %s as CSV: %s" % (path, _first_line(e)))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column" % path)
    return data, frame["PlayId"].copy()  # a copy: a view would keep the frame's block alive


def _some(values, limit=5):
    try:
        values = sorted(values)
    except TypeError:  # values of several types
        values = sorted(values, key=str)
    return ", ".join(str(v) for v in values[:limit]) + (", ..." if len(values) > limit else "")


def _playid_kinds(ids):
    return str(ids.dtype) if len(ids) else "-"


def check_pair(test_ids, sample_ids, allow_empty=False, allow_unmatched=False, out=None):
    """Refuses a test set the module would serve nothing useful from, unless allowed, and
    warns about what it would not serve: test rows without a PlayId, test PlayIds without
    sample rows (served with an empty sample frame), sample PlayIds without test rows."""
    out = out or sys.stderr
    if not len(test_ids):
        if not allow_empty:
            raise KitError("the test set has no rows: the module would serve no group "
                           "(--allow-empty to go on anyway)")
        out.write("warning: the test set has no rows; the module serves no group\n")
        return
    test_set = set(test_ids.dropna().unique())
    sample_set = set(sample_ids.dropna().unique())
    missing = test_set - sample_set
    if test_set and missing == test_set and not allow_unmatched:
        kinds = ""
        if len(sample_set) and _playid_kinds(test_ids) != _playid_kinds(sample_ids):
            kinds = " (test PlayIds are %s, sample PlayIds %s)" % (
                _playid_kinds(test_ids), _playid_kinds(sample_ids))
        raise KitError("no test PlayId has a sample row%s: every group would be served with an "
                       "empty sample frame (--allow-unmatched to go on anyway)" % kinds)
    if not test_set and not allow_unmatched:
        raise KitError("no test row has a PlayId value: the module would serve no group "
                       "(--allow-unmatched to go on anyway)")
    blank = int(test_ids.isna().sum())
    if blank:
        out.write("warning: %d test row%s without a PlayId value; they are never served\n" % (
            blank, "" if blank == 1 else "s"))
    if missing:
        out.write("warning: %d test PlayId%s without sample rows (%s)\n" % (
            len(missing), "" if len(missing) == 1 else "s", _some(missing)))
    extra = sample_set - test_set
    if extra:
        out.write("warning: %d sample PlayId%s without test rows (%s); they are never served\n" % (
            len(extra), "" if len(extra) == 1 else "s", _some(extra)))


def seal(paths, out_dir, allow_empty=False, allow_unmatched=False, out=None):
    """Checks every CSV first, then writes <name>.encrypted for each into out_dir. Every file
    is staged beside its target and renamed into place; when anything fails, the staged files
    are removed, and so is out_dir when this call created it."""
    out = out or sys.stderr
    targets = [os.path.basename(p) + SUFFIX for p in paths]
    twice = sorted(n for n, k in collections.Counter(targets).items() if k > 1)
    if twice:
        raise KitError("two inputs would both be written as %s" % twice[0])
    checked = [checked_csv(p) for p in paths]
    by_name = dict(zip((os.path.basename(p) for p in paths), (ids for _, ids in checked)))
    if TEST_NAME in by_name and SAMPLE_NAME in by_name:
        check_pair(by_name[TEST_NAME], by_name[SAMPLE_NAME], allow_empty, allow_unmatched, out)
    elif TEST_NAME in by_name and not len(by_name[TEST_NAME]) and not allow_empty:
        raise KitError("the test set has no rows: the module would serve no group "
                       "(--allow-empty to go on anyway)")
    unread = [t for t in targets if t[:-len(SUFFIX)] not in READ_NAMES]
    if unread:
        out.write("warning: the module reads only %s; it will not read %s\n" % (
            " and ".join(n + SUFFIX for n in READ_NAMES), ", ".join(unread)))
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise KitError("%s exists and is not a directory" % out_dir)
    created = not os.path.exists(out_dir)
    staged, done = [], []
    try:
        if created:
            os.makedirs(out_dir)
        for (data, _), name in zip(checked, targets):
            staged.append((write_sealed(out_dir, data, name[:-len(SUFFIX)]), os.path.join(out_dir, name)))
        for tmp, target in staged:
            os.replace(tmp, target)
            done.append(target)
    except BaseException:
        for tmp, _ in staged:
            remove_quietly(tmp)
        if created:
            shutil.rmtree(out_dir, ignore_errors=True)
        raise
    return done


def _looks_like_bundle(directory):
    return all(name.endswith(SUFFIX) or looks_like_module(name) or name == MANIFEST
               for name in os.listdir(directory))


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _file_entry(path, **extra):
    entry = {"size": os.path.getsize(path), "sha256": _sha256(path)}
    entry.update(extra)
    return entry


def _groups(ids):
    return int(ids.dropna().nunique())


def _versions_text(versions):
    return ", ".join(versions) if versions else "none"


def module_versions(names):
    """The CPython versions a set of module file names serves, oldest first ("any" for a
    file without an interpreter tag)."""
    versions = sorted({serves(n) or "any" for n in names if looks_like_module(n)},
                      key=lambda v: (v == "any", version_key(v) if v != "any" else ()))
    return versions


def _placed_modules(sources):
    """(source path, name in the bundle) for each module file; refuses two files of one name
    or for one interpreter."""
    placed, by_version = [], {}
    for path in sources:
        name = os.path.basename(path)
        version = serves(name) or "any"
        if version in by_version:
            raise KitError("two modules for CPython %s: %s and %s" % (version, by_version[version], path))
        by_version[version] = path
        placed.append((path, name))
    return placed


def bundle(test_csv, sample_csv, out_dir, module=None, out=None, pythons=(), source=None,
           build_dir=None, allow_empty=False, allow_unmatched=False):
    """One folder a notebook can import from: the module for each interpreter, both sealed
    inputs and a manifest of them. module is a path or a list of paths; pythons are the
    interpreters (versions such as "3.13", paths, or "all") to build the module for from the
    project's source tree. Everything is checked, and built, before anything is written.

    The folder is built beside out_dir and renamed into place at the end; an earlier bundle
    there is replaced only then, and an empty folder there is filled in place (its mode and
    group kept). When anything fails, nothing of this call is left behind."""
    err = out or sys.stderr
    test_data, test_ids = checked_csv(test_csv)
    sample_data, sample_ids = checked_csv(sample_csv)
    for flag, path, other in (("--test", test_csv, SAMPLE_NAME), ("--sample", sample_csv, TEST_NAME)):
        if os.path.basename(path) == other:
            err.write("warning: %s is %s: it is sealed as %s\n" % (
                flag, path, (TEST_NAME if flag == "--test" else SAMPLE_NAME) + SUFFIX))
    check_pair(test_ids, sample_ids, allow_empty, allow_unmatched, err)
    out_dir = os.path.abspath(out_dir)
    fill_in_place = False
    if os.path.exists(out_dir):
        if not os.path.isdir(out_dir) or not _looks_like_bundle(out_dir):
            raise KitError("%s exists and is not a bundle; choose another --out" % out_dir)
        fill_in_place = not os.listdir(out_dir)
    modules = [module] if isinstance(module, str) else list(module or [])
    sources = [module_file(m) for m in modules]
    interpreters = find_interpreters(pythons) if pythons else []
    if not sources and not interpreters:
        sources = [module_file(None)]
    _placed_modules(sources + [os.path.join("x", i.ext_name) for i in interpreters])  # clashes, before building
    if interpreters:
        sources += build_modules(interpreters, source, build_dir, err)
    placed = _placed_modules(sources)

    parent = os.path.dirname(out_dir)
    os.makedirs(parent, exist_ok=True)
    staging = out_dir if fill_in_place else tempfile.mkdtemp(prefix=".bundle-", dir=parent)
    written = []  # in place: what this call put there, removed again on failure

    def place(tmp, name):
        os.rename(tmp, os.path.join(staging, name))
        written.append(os.path.join(staging, name))

    try:
        manifest = {"files": {}, "modules": {}}
        for name, data, ids in ((TEST_NAME, test_data, test_ids), (SAMPLE_NAME, sample_data, sample_ids)):
            tmp = write_sealed(staging, data, name)
            written.append(tmp)
            manifest["files"][name + SUFFIX] = _file_entry(tmp, rows=len(ids), groups=_groups(ids))
            place(tmp, name + SUFFIX)
        for path, name in placed:
            fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=staging)
            os.close(fd)
            written.append(tmp)
            shutil.copyfile(path, tmp)
            os.chmod(tmp, 0o755)
            manifest["modules"][name] = _file_entry(tmp, python=serves(name) or "any")
            place(tmp, name)
        manifest["python"] = module_versions(manifest["modules"])
        tmp = write_temporary(staging, (json.dumps(manifest, indent=1, sort_keys=True) + "\n").encode())
        written.append(tmp)
        place(tmp, MANIFEST)
        if not fill_in_place:
            _swap_into_place(staging, out_dir, parent)
    except BaseException:
        if fill_in_place:
            for path in written:
                remove_quietly(path)
        else:
            shutil.rmtree(staging, ignore_errors=True)
        raise
    return out_dir


def _swap_into_place(staging, out_dir, parent):
    """Renames the finished staging folder to out_dir, with the mode a new folder gets (or the
    mode of the bundle it replaces), and removes that earlier bundle."""
    if os.path.exists(out_dir):
        mode = stat.S_IMODE(os.stat(out_dir).st_mode)
    else:
        mode = 0o777 & ~_umask()
    os.chmod(staging, mode)
    if not os.path.exists(out_dir):
        os.rename(staging, out_dir)
        return
    old = tempfile.mkdtemp(prefix=".old-bundle-", dir=parent)
    os.rmdir(old)
    os.rename(out_dir, old)
    try:
        os.rename(staging, out_dir)
    except BaseException:
        os.rename(old, out_dir)
        raise
    shutil.rmtree(old, ignore_errors=True)


class Interpreter(object):
    def __init__(self, path, version, ext_suffix):
        self.path, self.version, self.ext_suffix = path, version, ext_suffix
        self.ext_name = "competition" + ext_suffix


_ASK = ("import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); "
        "print(sys.implementation.name); print(sysconfig.get_config_var('EXT_SUFFIX') or '')")


def _describe_interpreter(path):
    try:
        answer = subprocess.run([path, "-c", _ASK], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        raise KitError("cannot run the interpreter %s: %s" % (path, e))
    lines = answer.stdout.split()
    if answer.returncode != 0 or len(lines) != 3:
        raise KitError("cannot run the interpreter %s: it exited with status %d" % (path, answer.returncode))
    version, implementation, suffix = lines
    if implementation != "cpython":
        raise KitError("%s is %s, not CPython" % (path, implementation))
    if version not in SUPPORTED:
        raise KitError("%s is CPython %s; the module builds for CPython %s to %s" % (
            path, version, SUPPORTED[0], SUPPORTED[-1]))
    return Interpreter(path, version, suffix)


def _pyenv_root():
    return os.environ.get("PYENV_ROOT") or os.path.join(os.path.expanduser("~"), ".pyenv")


def _candidates(version):
    """Interpreter executables that may be CPython version ("3.13"): pyenv's newest patch
    release first, then pythonX.Y on PATH."""
    found = []
    releases = glob.glob(os.path.join(_pyenv_root(), "versions", version + ".*", "bin", "python" + version))
    releases = [r for r in releases if os.path.basename(os.path.dirname(os.path.dirname(r)))[len(version) + 1:].isdigit()]
    found.extend(sorted(releases, key=lambda r: int(r.split(os.sep)[-3][len(version) + 1:]), reverse=True))
    on_path = shutil.which("python" + version)
    if on_path:
        found.append(on_path)
    return found


def find_interpreters(requests):
    """The interpreters to build for: each request is a version ("3.13"), the path of an
    interpreter, or "all" (every supported CPython found, pyenv's included)."""
    chosen = []
    for request in requests:
        if request == "all":
            found = [_candidates(v)[0] for v in SUPPORTED if _candidates(v)]
            if not found:
                raise KitError("--python all: no CPython %s to %s found (in pyenv's %s or on PATH)" % (
                    SUPPORTED[0], SUPPORTED[-1], _pyenv_root()))
            chosen.extend(_describe_interpreter(p) for p in found)
        elif os.sep in request:
            if not os.path.isfile(request):
                raise KitError("interpreter not found: %s" % request)
            chosen.append(_describe_interpreter(request))
        else:
            if request not in SUPPORTED:
                raise KitError("--python %s: expected a version from %s to %s, a path or all" % (
                    request, SUPPORTED[0], SUPPORTED[-1]))
            found = _candidates(request)
            if not found:
                raise KitError("no CPython %s found (in pyenv's %s or on PATH)" % (request, _pyenv_root()))
            chosen.append(_describe_interpreter(found[0]))
    unique, seen = [], {}
    for interpreter in chosen:
        if interpreter.version in seen:
            if os.path.realpath(seen[interpreter.version]) != os.path.realpath(interpreter.path):
                raise KitError("two interpreters for CPython %s: %s and %s" % (
                    interpreter.version, seen[interpreter.version], interpreter.path))
            continue
        seen[interpreter.version] = interpreter.path
        unique.append(interpreter)
    return unique


def source_tree(explicit=None):
    """The project's source tree: --source, else the checkout this kit runs from."""
    candidates = [explicit] if explicit else [
        os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)]
    for directory in candidates:
        lists = os.path.join(directory, "CMakeLists.txt")
        try:
            with open(lists) as f:
                if "project(competition" in f.read():
                    return os.path.abspath(directory)
        except OSError:
            pass
    if explicit:
        raise KitError("%s is not the competition module's source tree (no CMakeLists.txt of it)" % explicit)
    raise KitError("building the module needs its source tree: run the kit from a checkout, "
                   "or pass --source DIR")


def _tool(name):
    here = os.path.dirname(sys.executable)  # a venv's cmake and ninja from PyPI
    return shutil.which(name, path=os.pathsep.join([here, os.environ.get("PATH", os.defpath)]))


def build_modules(interpreters, source=None, build_dir=None, out=None):
    """Builds the module for each interpreter with CMake; returns the module files. Each
    interpreter's build folder is build_dir/py<version>, kept for the next build when build_dir
    is given, else a temporary folder removed at exit."""
    out = out or sys.stderr
    tree = source_tree(source)
    cmake = _tool("cmake")
    if cmake is None:
        raise KitError("building the module needs cmake (pip install cmake, or your system's package)")
    ninja = _tool("ninja")
    if build_dir:
        root = os.path.abspath(build_dir)
        os.makedirs(root, exist_ok=True)
    else:
        root = tempfile.mkdtemp(prefix="competition-build-")
        import atexit
        atexit.register(shutil.rmtree, root, True)
    built = []
    for interpreter in interpreters:
        directory = os.path.join(root, "py" + interpreter.version)
        out.write("building the module for CPython %s (%s)\n" % (interpreter.version, interpreter.path))
        out.flush()
        configure = [cmake, "-S", tree, "-B", directory, "-DPython_EXECUTABLE=" + interpreter.path,
                     "-DCMAKE_BUILD_TYPE=Release", "-DCOMPETITION_TESTS=OFF"]
        if ninja and not os.path.exists(os.path.join(directory, "CMakeCache.txt")):
            configure += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
        for step in (configure, [cmake, "--build", directory]):
            result = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    universal_newlines=True)
            if result.returncode != 0:
                out.write(result.stdout)
                raise KitError("building the module for CPython %s failed (%s exited with status %d; "
                               "its output is above)" % (interpreter.version, os.path.basename(step[0]),
                                                         result.returncode))
        path = os.path.join(directory, interpreter.ext_name)
        if not os.path.isfile(path):
            raise KitError("the build for CPython %s made no %s" % (interpreter.version, interpreter.ext_name))
        built.append(path)
    return built


def _describe(frame):
    counts = collections.Counter(str(t) for t in frame.dtypes)
    kinds = ", ".join("%s %d" % (k, n) for k, n in sorted(counts.items(), key=lambda kv: -kv[1]))
    columns = ", ".join("%s:%s" % (c, t) for c, t in zip(frame.columns, frame.dtypes.astype(str)))
    return "  dtypes: %s\n%s\n" % (kinds or "-", textwrap.fill(
        "columns: " + (columns or "-"), width=100, initial_indent="  ", subsequent_indent="    "))


def _sizes(counts):
    if not len(counts):
        return "-"
    return "min %d, median %g, max %d" % (counts.min(), counts.median(), counts.max())


def read_manifest(directory):
    """The bundle's manifest, or None when it has none."""
    path = os.path.join(directory, MANIFEST)
    if not os.path.exists(path):
        return None
    try:
        with open(path, "rb") as f:
            manifest = json.loads(f.read().decode("utf-8"))
        for group in ("files", "modules"):
            for entry in manifest[group].values():
                int(entry["size"]), str(entry["sha256"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        raise KitError("cannot read %s: %s" % (path, _first_line(e) if not isinstance(e, KeyError)
                                                   else "no %s in it" % e))
    return manifest


def compare_with_manifest(directory, manifest):
    """(name, what differs or None) for every file the manifest lists, sealed files first."""
    results = []
    for group in ("files", "modules"):
        for name in sorted(manifest[group]):
            entry = manifest[group][name]
            path = os.path.join(directory, name)
            if not os.path.isfile(path):
                results.append((name, "missing"))
                continue
            size = os.path.getsize(path)
            if size != entry["size"]:
                results.append((name, "%d bytes, the manifest records %d" % (size, entry["size"])))
            elif _sha256(path) != entry["sha256"]:
                results.append((name, "same size, another SHA-256 than the manifest records"))
            else:
                results.append((name, None))
    return results


def _recorded(entry):
    if "rows" not in entry:
        return ""
    return " (the manifest records %d rows in %d groups)" % (entry["rows"], entry["groups"])


def verify(directory, out=None):
    """Checks every file the bundle's manifest lists against its recorded size and SHA-256,
    one line each; a KitError names the files that differ."""
    out = out or sys.stdout
    if not os.path.isdir(directory):
        raise KitError("not a directory: %s" % directory)
    manifest = read_manifest(directory)
    if manifest is None:
        raise KitError("no %s in %s: nothing to verify against (bundle it again to get one)" % (
            MANIFEST, directory))
    bad = []
    for name, problem in compare_with_manifest(directory, manifest):
        entry = manifest["files"].get(name) or manifest["modules"][name]
        if problem:
            bad.append(name)
            out.write("%s: DIFFERS: %s%s\n" % (name, problem, _recorded(entry)))
        else:
            out.write("%s: ok (%d bytes, sha256 %s)\n" % (name, entry["size"], entry["sha256"][:16]))
    _write_served(directory, out)
    if bad:
        raise KitError("%s differ%s from the manifest of %s" % (
            ", ".join(bad), "s" if len(bad) == 1 else "", directory))
    return manifest


def _write_served(directory, out):
    names = [n for n in os.listdir(directory) if looks_like_module(n)]
    if names:
        out.write("serves CPython %s\n" % _versions_text(module_versions(names)))


def inspect(directory, module=None, out=None, verify_only=False):
    """A summary of the sealed inputs in directory, decrypted in memory only: the module's
    own reader does the decrypting, and nothing is written. A bundle's files are compared with
    its manifest; verify_only checks them against it and does nothing else."""
    if verify_only:
        return verify(directory, out)
    out = out or sys.stdout
    if not os.path.isdir(directory):
        raise KitError("not a directory: %s" % directory)
    try:
        manifest = read_manifest(directory)
    except KitError as e:
        sys.stderr.write("warning: %s\n" % e)
        manifest = None
    if module is None:
        try:
            source = module_in(directory)
        except KitError:
            source = module_file(None)
    else:
        source = module_file(module)
    test, sample = read_sealed(directory, source, (TEST_NAME, SAMPLE_NAME))
    for name, frame in ((TEST_NAME, test), (SAMPLE_NAME, sample)):
        out.write("%s: %d rows, %d columns\n%s" % (name, len(frame), frame.shape[1], _describe(frame)))
    for name, frame in ((TEST_NAME, test), (SAMPLE_NAME, sample)):
        if "PlayId" not in frame.columns:
            raise KitError("%s has no PlayId column: the module cannot serve it" % name)
    groups = test.groupby("PlayId").size()
    out.write("groups: %d; rows per group: %s\n" % (len(groups), _sizes(groups)))
    out.write("sample rows per PlayId: %s\n" % _sizes(sample.groupby("PlayId").size()))
    blank = int(test["PlayId"].isna().sum())
    if blank:
        out.write("test rows without a PlayId value (never served): %d\n" % blank)
    test_ids = set(test["PlayId"].dropna().unique())
    sample_ids = set(sample["PlayId"].dropna().unique())
    for label, ids in (("only in test", test_ids - sample_ids), ("only in sample", sample_ids - test_ids)):
        out.write("PlayIds %s: %d%s\n" % (label, len(ids), " (%s)" % _some(ids) if ids else ""))
    _write_served(directory, out)
    if manifest is not None:
        found = {TEST_NAME + SUFFIX: test, SAMPLE_NAME + SUFFIX: sample}
        differ = [(n, p) for n, p in compare_with_manifest(directory, manifest) if p]
        for name, problem in differ:
            sys.stderr.write("warning: %s differs from the manifest: %s%s\n" % (
                name, problem, _recorded(manifest["files"].get(name) or {})))
        for name, frame in found.items():
            entry = manifest["files"].get(name)
            if entry and "rows" in entry and (len(frame), _groups(frame["PlayId"])) != (entry["rows"], entry["groups"]):
                sys.stderr.write("warning: %s holds %d rows in %d groups; the manifest records %d rows in %d groups\n"
                                 % (name, len(frame), _groups(frame["PlayId"]), entry["rows"], entry["groups"]))
        out.write("manifest: %s\n" % ("%d file%s differ%s (inspect --verify for details)" % (
            len(differ), "" if len(differ) == 1 else "s", "s" if len(differ) == 1 else "")
            if differ else "all %d files as recorded" % (len(manifest["files"]) + len(manifest["modules"]))))
    return test, sample
