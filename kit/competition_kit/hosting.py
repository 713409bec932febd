"""Host side: seal the inputs, inspect sealed inputs, bundle a competition."""
import collections
import glob
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

from . import elf
from .module import (KitError, check_shared_object, looks_like_module, machine_of, module_file, module_in, serves,
                     version_key)
from .sealing import (SUFFIX, _umask, read_input, read_plain_csv, read_sealed, remove_quietly, sealed_column,
                      sealed_header, write_sealed, write_temporary)

TEST_NAME = "test.csv"
SAMPLE_NAME = "sample_submission.csv"
READ_NAMES = (TEST_NAME, SAMPLE_NAME)  # the only inputs the module reads
MANIFEST = "manifest.json"
FALLBACK = "competition.py"  # what an interpreter the bundle has no module for imports instead
SUPPORTED = ["3.%d" % minor for minor in range(6, 16)]  # the CPython versions the module builds for


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
    except UnicodeDecodeError:
        at = _first_non_utf8(data)
        raise KitError("cannot read %s as CSV: it is not UTF-8 text (byte 0x%02x at offset %d); save it as "
                       "UTF-8, the only encoding the module reads" % (path, data[at], at))
    except Exception as e:
        raise KitError("cannot read %s as CSV: %s%s" % (path, _first_line(e), _separator_hint(data)))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column%s" % (path, _separator_hint(data) or
                                                       " (its columns: %s)" % _some(frame.columns, sorted_=False)))
    columns = list(frame.columns)
    return data, frame["PlayId"].copy(), columns  # a copy: a view would keep the frame's block alive


def _first_non_utf8(data, step=1 << 24):
    """The offset of the first byte of data that is not UTF-8 (the parser's error tells only its
    place in the piece it was decoding)."""
    import codecs
    decoder = codecs.getincrementaldecoder("utf-8")()
    view = memoryview(data)
    for start in range(0, len(data), step):
        try:
            decoder.decode(view[start:start + step].tobytes(), final=start + step >= len(data))
        except UnicodeDecodeError as e:
            return max(0, start - len(decoder.getstate()[0]) + e.start) if e.start >= 0 else start
    return 0


def _separator_hint(data):
    """A hint when the first line looks separated by something other than commas."""
    head = bytes(data[:data.find(b"\n") if b"\n" in data[:1 << 16] else 1 << 16])
    for sep, name in ((b";", "semicolons"), (b"\t", "tabs"), (b"|", "bars")):
        if head.count(sep) > head.count(b","):
            return " (its first line is separated by %s: the module reads only comma-separated files)" % name
    return ""


def _some(values, limit=5, sorted_=True):
    values = list(values)
    if sorted_:
        try:
            values = sorted(values)
        except TypeError:  # values of several types
            values = sorted(values, key=str)
    return ", ".join(str(v) for v in values[:limit]) + (", ..." if len(values) > limit else "")


def _playid_kinds(ids):
    return str(ids.dtype) if len(ids) else "-"


def pair_problems(test_ids, sample_ids, sample_columns):
    """(the flag that allows it, one line) for each problem that every participant would meet:
    PlayId not the sample's first column, test and sample PlayIds of different dtypes, test
    PlayIds without sample rows. test_ids may be None when only the sample is known."""
    problems = []
    if "PlayId" in sample_columns and list(sample_columns).index("PlayId") != 0:
        problems.append(("--allow-playid-not-first", "PlayId is column %d of the sample submission, not the first: "
                         "the module writes it first, so no submission can have the sample's columns" % (
                             list(sample_columns).index("PlayId") + 1)))
    if test_ids is None or not test_ids.notna().any() or not len(sample_ids):
        return problems
    if str(test_ids.dtype) != str(sample_ids.dtype):
        blank = int(test_ids.isna().sum())
        problems.append(("--allow-dtype-mismatch", "the test PlayIds are %s and the sample PlayIds %s%s: every group "
                         "is matched across kinds, many times slower" % (
                             test_ids.dtype, sample_ids.dtype,
                             " (%d test row%s without a PlayId make%s the column float)" % (
                                 blank, "" if blank == 1 else "s", "s" if blank == 1 else "") if blank else "")))
    test_set = set(test_ids.dropna().unique())
    missing = test_set - set(sample_ids.dropna().unique())
    if missing and missing != test_set:
        problems.append(("--allow-unmatched", "%d test PlayId%s without sample rows (%s): %s served an empty "
                         "sample frame" % (len(missing), "" if len(missing) == 1 else "s", _some(missing),
                                           "it is" if len(missing) == 1 else "they are")))
    return problems


def check_pair(test_ids, sample_ids, allow_empty=False, allow_unmatched=False, out=None, sample_columns=(),
               allow=()):
    """Refuses a test set the module would serve nothing useful from, and one every participant
    would fail on (pair_problems), unless allowed (allow: the --allow-... flags given), and warns
    about what it would not serve: test rows without a PlayId, sample PlayIds without test rows."""
    out = out or sys.stderr
    allow = set(allow) | ({"--allow-unmatched"} if allow_unmatched else set())
    if not len(test_ids):
        if not allow_empty:
            raise KitError("the test set has no rows: the module would serve no group "
                           "(--allow-empty to go on anyway)")
        out.write("warning: the test set has no rows; the module serves no group\n")
        test_ids = None  # only the sample's own problems are left to find
    test_set = set(test_ids.dropna().unique()) if test_ids is not None else set()
    sample_set = set(sample_ids.dropna().unique())
    missing = test_set - sample_set
    unmatched = bool(test_set) and missing == test_set
    if unmatched and "--allow-unmatched" not in allow:
        kinds = ""
        if len(sample_set) and _playid_kinds(test_ids) != _playid_kinds(sample_ids):
            kinds = " (test PlayIds are %s, sample PlayIds %s)" % (
                _playid_kinds(test_ids), _playid_kinds(sample_ids))
        raise KitError("no test PlayId has a sample row%s: every group would be served with an "
                       "empty sample frame (--allow-unmatched to go on anyway)" % kinds)
    if test_ids is not None and not test_set and "--allow-unmatched" not in allow:
        raise KitError("no test row has a PlayId value: the module would serve no group "
                       "(--allow-unmatched to go on anyway)")
    if unmatched:
        out.write("warning: no test PlayId has a sample row; every group is served with an empty sample frame\n")
    for flag, problem in pair_problems(test_ids, sample_ids, sample_columns):
        if unmatched and flag == "--allow-dtype-mismatch":
            continue  # the reason no PlayId matched, allowed with it
        if flag not in allow:
            raise KitError("%s (%s to go on anyway)" % (problem, flag))
        out.write("warning: %s\n" % problem)
    if test_ids is None:
        return
    blank = int(test_ids.isna().sum())
    if blank:
        out.write("warning: %d test row%s without a PlayId value; they are never served\n" % (
            blank, "" if blank == 1 else "s"))
    extra = sample_set - test_set
    if extra:
        out.write("warning: %d sample PlayId%s without test rows (%s); they are never served\n" % (
            len(extra), "" if len(extra) == 1 else "s", _some(extra)))


def seal(paths, out_dir, allow_empty=False, allow_unmatched=False, out=None, allow=()):
    """Checks every CSV first, then writes <name>.encrypted for each into out_dir. Every file
    is staged beside its target and renamed into place; when anything fails, the staged files
    are removed, and so is out_dir when this call created it."""
    out = out or sys.stderr
    targets = [os.path.basename(p) + SUFFIX for p in paths]
    twice = sorted(n for n, k in collections.Counter(targets).items() if k > 1)
    if twice:
        raise KitError("two inputs would both be written as %s" % twice[0])
    checked = [checked_csv(p) for p in paths]
    by_name = dict(zip((os.path.basename(p) for p in paths), checked))
    by_ids = {name: c[1] for name, c in by_name.items()}
    if TEST_NAME in by_name and SAMPLE_NAME in by_name:
        check_pair(by_name[TEST_NAME][1], by_name[SAMPLE_NAME][1], allow_empty, allow_unmatched, out,
                   by_name[SAMPLE_NAME][2], allow)
    elif SAMPLE_NAME in by_name:
        for flag, problem in pair_problems(None, by_ids[SAMPLE_NAME], by_name[SAMPLE_NAME][2]):
            if flag not in set(allow):
                raise KitError("%s (%s to go on anyway)" % (problem, flag))
            out.write("warning: %s\n" % problem)
    elif TEST_NAME in by_ids and not len(by_ids[TEST_NAME]) and not allow_empty:
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
        for (data, _, _), name in zip(checked, targets):
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
    return all(name.endswith(SUFFIX) or looks_like_module(name) or name in (MANIFEST, FALLBACK, "__pycache__")
               for name in os.listdir(directory))


def _some_json(values):
    """Values as JSON takes them (numpy scalars as Python's), sorted."""
    out = [v.item() if hasattr(v, "item") else v for v in values]
    try:
        return sorted(out)
    except TypeError:
        return sorted(out, key=str)


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
        key = (version, machine_of(name))  # one interpreter on each machine
        if key in by_version or (name in [n for _, n in placed]):
            raise KitError("two modules for CPython %s%s: %s and %s" % (
                version, " on %s" % key[1] if key[1] else "", by_version.get(key, name), path))
        by_version[key] = path
        placed.append((path, name))
    return placed


def bundle(test_csv, sample_csv, out_dir, module=None, out=None, pythons=(), source=None,
           build_dir=None, allow_empty=False, allow_unmatched=False, allow=(), wheels=None):
    """One folder a notebook can import from: the module for each interpreter, both sealed
    inputs, the fallback competition.py and a manifest of them. module is a path or a list of
    paths; pythons are the interpreters (versions such as "3.13", paths, or "all") to build the
    module for from the project's source tree, or to take it for from the wheels in the folder
    wheels. Everything is checked, and built, before anything is written; allow holds the
    --allow-... flags that let a problem pass with a warning.

    The folder is built beside out_dir and renamed into place at the end; an earlier bundle
    there is replaced only then (its mode and group kept), and an empty folder there is filled in
    place (its mode and group kept). When anything fails, nothing of this call is left behind."""
    err = out or sys.stderr
    allow = set(allow) | ({"--allow-empty"} if allow_empty else set()) | (
        {"--allow-unmatched"} if allow_unmatched else set())
    test_data, test_ids, _ = checked_csv(test_csv)
    sample_data, sample_ids, sample_columns = checked_csv(sample_csv)
    for flag, path, other in (("--test", test_csv, SAMPLE_NAME), ("--sample", sample_csv, TEST_NAME)):
        if os.path.basename(path) == other:
            err.write("warning: %s is %s: it is sealed as %s\n" % (
                flag, path, (TEST_NAME if flag == "--test" else SAMPLE_NAME) + SUFFIX))
    check_pair(test_ids, sample_ids, "--allow-empty" in allow, "--allow-unmatched" in allow, err,
               sample_columns, allow)
    out_dir = os.path.abspath(out_dir)
    fill_in_place = False
    if os.path.exists(out_dir):
        if not os.path.isdir(out_dir) or not _looks_like_bundle(out_dir):
            raise KitError("%s exists and is not a bundle; choose another --out" % out_dir)
        fill_in_place = not os.listdir(out_dir)
    modules = [module] if isinstance(module, str) else list(module or [])
    sources = [module_file(m) for m in modules]
    if wheels is not None:
        sources += modules_from_wheels(wheels, pythons)
        interpreters = []
    else:
        interpreters = find_interpreters(pythons) if pythons else []
    if not sources and not interpreters:
        sources = [module_file(None)]
    _placed_modules(sources + [os.path.join("x", i.ext_name) for i in interpreters])  # clashes, before building
    if interpreters:
        sources += build_modules(interpreters, source, build_dir, err)
    placed = _placed_modules(sources)
    described = check_modules([path for path, _ in placed], allow, err)

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
        # what a dry-run's check needs to know of the test set without reading it
        unserved = set(sample_ids.dropna().unique()) - set(test_ids.dropna().unique())
        manifest["files"][SAMPLE_NAME + SUFFIX]["unserved"] = _some_json(unserved)
        for (path, name), info in zip(placed, described):
            fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=staging)
            os.close(fd)
            written.append(tmp)
            shutil.copyfile(path, tmp)
            os.chmod(tmp, 0o755)
            manifest["modules"][name] = _file_entry(tmp, python=serves(name) or "any", machine=info.machine,
                                                    glibc=elf.version_text(info.glibc) if info.glibc else None)
            place(tmp, name)
        tmp = write_temporary(staging, fallback_source(sorted(manifest["modules"])).encode("utf-8"))
        written.append(tmp)
        manifest["files"][FALLBACK] = _file_entry(tmp)
        place(tmp, FALLBACK)
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


FALLBACK_TEMPLATE = '''"""Imported only by an interpreter that this bundle has no module file for: the import system
looks for an extension module before a source file of the same name, so an interpreter that has
its module file here never reads this one. It says which interpreters the bundle serves."""
import platform
import sysconfig

SERVED = %r  # the module files of this bundle

raise ImportError(
    "this bundle's competition module serves %%s; this is %%s %%s on %%s, which would import %%s" %% (
        ", ".join(SERVED) or "no interpreter", platform.python_implementation(), platform.python_version(),
        platform.machine(), "competition" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so")),
    name="competition")
'''


def _served_text(name):
    m = re.match(r"^competition\.cpython-3(\d+)[a-z]*-(.+)\.so$", name)
    return "CPython 3.%s (%s)" % m.groups() if m else name


def fallback_source(names):
    """The fallback competition.py of a bundle whose module files are names."""
    return FALLBACK_TEMPLATE % ([_served_text(n) for n in names],)


def _child_python(version):
    """An interpreter of CPython version ("3.13") to load a module in: this one, else the newest
    pyenv release, else pythonX.Y on PATH; None when none is found."""
    if version == "%d.%d" % sys.version_info[:2]:
        return sys.executable
    found = _candidates(version)
    return found[0] if found else None


_LOAD = r"""
import ctypes, importlib.util, os, sys
path, full = sys.argv[1], sys.argv[2] == "1"
try:
    ctypes.CDLL(path, getattr(os, "RTLD_NOW", 2))
except OSError as e:
    print(" ".join(str(e).split())); sys.exit(3)
if full:
    try:
        spec = importlib.util.spec_from_file_location("competition", path)
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except ImportError as e:
        if (e.name or "").split(".")[0] in ("pandas", "Crypto", "numpy"):
            print(e.name); sys.exit(4)
        print(" ".join(str(e).split()) or type(e).__name__); sys.exit(3)
    except Exception as e:
        print("%s: %s" % (type(e).__name__, " ".join(str(e).split()))); sys.exit(3)
"""


def load_in_child(path, full=True):
    """Loads the module file at path in a child process of its interpreter: (interpreter, None)
    when it loads, (interpreter, reason) when it does not, (None, note) when it cannot be tried
    here. With full, the module's init runs too (it imports pandas and pycryptodome: an interpreter
    without them only links the file); else the file is only linked (dlopen), which finds a
    missing library or a too-new glibc at a fraction of the cost."""
    name = os.path.basename(path)
    version = serves(name)
    try:
        info = elf.describe(path)
    except (OSError, elf.NotAModule) as e:
        return None, "not a shared object: %s" % e
    if info.machine != elf.this_machine():
        return None, "not loaded: a module for %s, and this machine is %s" % (info.machine, elf.this_machine())
    python = _child_python(version) if version else sys.executable
    if python is None:
        return None, "not loaded: no CPython %s found here (pyenv's or python%s on PATH)" % (version, version)
    try:
        result = subprocess.run([python, "-c", _LOAD, path, "1" if full else "0"], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    except (OSError, subprocess.SubprocessError) as e:
        return None, "not loaded: cannot run %s (%s)" % (python, e)
    said = " ".join(result.stdout.split())
    if result.returncode == 0:
        return python, None
    if result.returncode == 4:
        return python, "linked, but its init not run: %s has no %s" % (python, said)
    reason = elf.why_not_here(path)
    return python, "%s%s" % (reason + ": " if reason else "", said or "exit status %d" % result.returncode)


def _loads(reason):
    return reason is None or reason.startswith("linked, but")


def check_modules(paths, allow=(), out=None):
    """Describes each module file (a KitError for one that is not a module) and refuses, unless
    allowed, modules of several machines and a module that does not link on its interpreter
    (tried where one is found). Returns the elf.Info of each."""
    out = out or sys.stderr
    infos = [check_shared_object(p) for p in paths]
    for path, info in zip(paths, infos):
        named = machine_of(os.path.basename(path))
        if named and named != info.machine:
            raise KitError("%s is named for %s but is a module for %s" % (path, named, info.machine))
    machines = sorted({i.machine for i in infos})
    if len(machines) > 1:
        text = "the modules are for several architectures (%s): one bundle serves one platform" % "; ".join(
            "%s: %s" % (m, ", ".join(os.path.basename(p) for p, i in zip(paths, infos) if i.machine == m))
            for m in machines)
        if "--allow-mixed-architectures" not in allow:
            raise KitError("%s (--allow-mixed-architectures to go on anyway)" % text)
        out.write("warning: %s\n" % text)
    for path in paths:
        python, reason = load_in_child(path, full=False)
        if python is not None and not _loads(reason):
            text = "%s does not load on %s: %s" % (path, python, reason)
            if "--allow-unloadable" not in allow:
                raise KitError("%s (--allow-unloadable to go on anyway)" % text)
            out.write("warning: %s\n" % text)
    return infos


def modules_from_wheels(directory, pythons=()):
    """The module files in the wheels in directory (those of the CPython versions pythons asks
    for, or all), extracted into a temporary folder removed at exit."""
    import zipfile
    if not os.path.isdir(directory):
        raise KitError("--wheels: not a directory: %s" % directory)
    root = tempfile.mkdtemp(prefix="competition-wheels-")
    import atexit
    atexit.register(shutil.rmtree, root, True)
    found = {}
    for wheel in sorted(glob.glob(os.path.join(directory, "*.whl"))):
        try:
            with zipfile.ZipFile(wheel) as z:
                for member in z.namelist():
                    name = member.rsplit("/", 1)[-1]
                    if "/" in member.strip("/") or not looks_like_module(name) or not serves(name):
                        continue
                    key = (serves(name), machine_of(name))
                    if key in found:
                        raise KitError("two wheels in %s hold a module for CPython %s on %s: %s and %s" % (
                            directory, key[0], key[1], found[key][0], os.path.basename(wheel)))
                    target = os.path.join(root, os.path.basename(wheel))
                    os.makedirs(target, exist_ok=True)
                    with z.open(member) as src, open(os.path.join(target, name), "wb") as dst:
                        shutil.copyfileobj(src, dst)
                    found[key] = (os.path.basename(wheel), os.path.join(target, name))
        except (OSError, zipfile.BadZipFile) as e:
            raise KitError("cannot read the wheel %s: %s" % (wheel, e))
    if not found:
        raise KitError("no wheel of the competition module in %s (./run.sh wheels writes them to dist/)" % directory)
    wanted = set()
    for request in pythons:
        if request == "all":
            wanted = None
            break
        wanted.add(request if os.sep not in request else _describe_interpreter(request).version)
    if wanted:
        have = sorted({v for v, _ in found}, key=version_key)
        for version in sorted(wanted, key=lambda v: version_key(v) if v[:2] == "3." and v[2:].isdigit() else (0,)):
            if version not in have:
                raise KitError("--python %s: no wheel for CPython %s in %s (it has wheels for CPython %s)" % (
                    version, version, directory, ", ".join(have)))
    return [path for (version, _), (_, path) in sorted(found.items(), key=lambda kv: version_key(kv[0][0]))
            if not wanted or version in wanted]


def _swap_into_place(staging, out_dir, parent):
    """Renames the finished staging folder to out_dir, with the mode a new folder gets (or the
    mode of the bundle it replaces), and removes that earlier bundle."""
    if os.path.exists(out_dir):
        st = os.stat(out_dir)
        mode = stat.S_IMODE(st.st_mode)
        _give_group(staging, st.st_gid)
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


def _give_group(directory, gid):
    """The folder and its files get the group gid (a shared, setgid folder keeps its group when
    its bundle is replaced); a KitError when that is not allowed."""
    if os.stat(directory).st_gid == gid:
        return
    try:
        for name in [""] + os.listdir(directory):
            path = os.path.join(directory, name) if name else directory
            keep = stat.S_IMODE(os.stat(path).st_mode)
            os.chown(path, -1, gid)
            os.chmod(path, keep)  # chown may clear the setuid and setgid bits
    except OSError as e:
        raise KitError("cannot give the new bundle the group of the one it replaces (gid %d): %s; "
                       "bundle into a new folder, or as a member of that group" % (gid, e.strerror or e))


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
    raise KitError("building the module needs its source tree, and this kit is installed without one: "
                   "pass --wheels DIR (a folder of the project's wheels, as ./run.sh wheels writes to dist/) "
                   "to take each interpreter's module from them, --source DIR (a checkout) to build, "
                   "or --module PATH for each built module file")


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


def _plaintext_data(path):
    """Why the file at path looks like plaintext data (a CSV, or text whose first line names a
    PlayId column), or None."""
    if path.lower().endswith((".csv", ".tsv", ".csv.gz", ".csv.zip", ".parquet", ".feather", ".pkl")):
        return "a data file in the clear"
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
    except OSError:
        return None
    first = head.split(b"\n", 1)[0].replace(b"\r", b"")
    fields = [f.strip(b' "\'') for f in re.split(br"[,;\t|]", first)]
    if b"PlayId" in fields and len(fields) > 1:
        return "a CSV with a PlayId column, in the clear"
    return None


def extra_files(directory, manifest):
    """(name, what it is) for each file in the bundle folder that its manifest does not list
    (a __pycache__ of the fallback, which an interpreter may write beside it, is left out)."""
    listed = set(manifest["files"]) | set(manifest["modules"]) | {MANIFEST}
    found = []
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if name in listed:
            continue
        if name == "__pycache__" and os.path.isdir(path) and all(
                n.startswith("competition.") and n.endswith(".pyc") for n in os.listdir(path)):
            continue
        if os.path.isdir(path):
            inside = []
            for root, _, files in os.walk(path):
                inside.extend(os.path.join(root, f) for f in files)
            data = [p for p in inside if _plaintext_data(p)]
            found.append((name + "/", "a folder of %d file%s%s" % (len(inside), "" if len(inside) == 1 else "s", (
                ", %d of them data in the clear (%s)" % (len(data), os.path.relpath(data[0], directory))) if data else "")))
            continue
        kind = _plaintext_data(path)
        found.append((name, kind.upper() if kind else "a file"))
    return found


def describe_modules(directory, names, load=True, out=None):
    """One line per module file: its interpreter, machine and glibc floor and, with load,
    whether it loads on its interpreter (in a child process). Returns the problems and the
    Infos."""
    out = out or sys.stdout
    problems, infos = [], []
    for name in names:
        path = os.path.join(directory, name)
        version = serves(name)
        try:
            info = elf.describe(path)
        except (OSError, elf.NotAModule) as e:
            out.write("%s: NOT A MODULE: %s\n" % (name, e))
            problems.append("%s is not a module file" % name)
            continue
        infos.append(info)
        line = "%s: %s, %s, %s" % (name, "CPython %s" % version if version else "any interpreter", info.machine,
                                   "needs %s or later" % info.floor if info.glibc else "needs no glibc version")
        named = machine_of(name)
        if named and named != info.machine:
            problems.append("%s is named for %s but is a module for %s" % (name, named, info.machine))
            line += "; NAMED FOR %s" % named
        if not info.exports_init:
            problems.append("%s exports no PyInit_competition" % name)
            line += "; NO PyInit_competition"
        if load:
            python, reason = load_in_child(path)
            if python is None:
                line += "; %s" % reason
            elif reason is None:
                line += "; loads on %s" % python
            elif _loads(reason):
                line += "; %s" % reason
            else:
                line += "; DOES NOT LOAD on %s: %s" % (python, reason)
                problems.append("%s does not load on %s" % (name, python))
        out.write(line + "\n")
    return problems, infos


def _served_line(names, infos):
    machines = sorted({i.machine for i in infos})
    floors = [i.glibc for i in infos if i.glibc]
    return "serves CPython %s%s%s" % (
        _versions_text(module_versions(names)), " on %s" % ", ".join(machines) if machines else "",
        ", glibc %s or later" % elf.version_text(max(floors)) if floors else "")


def data_problems(directory):
    """The problems every participant would meet with the sealed inputs in directory, read here
    (the test set's PlayId column only, as a stream)."""
    test_path, sample_path = (os.path.join(directory, n + SUFFIX) for n in READ_NAMES)
    if not (os.path.isfile(test_path) and os.path.isfile(sample_path)):
        return []
    try:
        columns = sealed_header(sample_path)
        sample_ids = sealed_column(sample_path) if "PlayId" in columns else None
        test_ids = sealed_column(test_path) if "PlayId" in sealed_header(test_path) else None
    except Exception as e:
        return ["the sealed inputs cannot be read: %s" % _first_line(e)]
    if "PlayId" not in columns:
        return ["the sample submission has no PlayId column"]
    if test_ids is None:
        return ["the test set has no PlayId column"]
    return [problem for _, problem in pair_problems(test_ids, sample_ids, columns)]


def verify(directory, out=None):
    """The pre-upload check, one line per file and per problem: every file the manifest lists
    against its recorded size and SHA-256, files it does not list (plaintext data above all),
    each module file (its interpreter, machine and glibc floor, loaded in a child process of its
    interpreter where one is found), and the sealed inputs (PlayId the sample's first column,
    test and sample PlayIds of one dtype, a sample row for every test PlayId). A KitError
    sums up the problems."""
    out = out or sys.stdout
    if not os.path.isdir(directory):
        raise KitError("not a directory: %s" % directory)
    manifest = read_manifest(directory)
    if manifest is None:
        raise KitError("no %s in %s: nothing to verify against (bundle it again to get one)" % (
            MANIFEST, directory))
    bad, problems = [], []
    for name, problem in compare_with_manifest(directory, manifest):
        entry = manifest["files"].get(name) or manifest["modules"][name]
        if problem:
            bad.append(name)
            out.write("%s: DIFFERS: %s%s\n" % (name, problem, _recorded(entry)))
        else:
            out.write("%s: ok (%d bytes, sha256 %s)\n" % (name, entry["size"], entry["sha256"][:16]))
    for name, kind in extra_files(directory, manifest):
        out.write("%s: NOT IN THE MANIFEST: %s; remove it before the upload\n" % (name, kind))
        problems.append("%s is not in the manifest%s" % (name, " (%s)" % kind.lower() if kind != "a file" else ""))
    names = sorted(n for n in os.listdir(directory) if looks_like_module(n))
    module_problems, infos = describe_modules(directory, names)
    problems += module_problems
    if names:
        out.write(_served_line(names, infos) + "\n")
    if len({i.machine for i in infos}) > 1:
        problems.append("the modules are for several architectures")
    for problem in data_problems(directory):
        out.write("inputs: %s\n" % problem)
        problems.append(problem)
    if bad:
        problems.insert(0, "%s differ%s from the manifest" % (", ".join(bad), "s" if len(bad) == 1 else ""))
    if problems:
        raise KitError("%s: %s" % (directory, "; ".join(problems)))
    out.write("ready to upload: %s\n" % directory)
    return manifest


def _write_served(directory, out):
    names = sorted(n for n in os.listdir(directory) if looks_like_module(n))
    if names:
        _, infos = describe_modules(directory, names, load=False, out=out)
        out.write(_served_line(names, infos) + "\n")


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
        extra = extra_files(directory, manifest)
        for name, kind in extra:
            sys.stderr.write("warning: %s is not in the manifest (%s)\n" % (name, kind.lower()))
        out.write("manifest: %s%s\n" % ("%d file%s differ%s" % (
            len(differ), "" if len(differ) == 1 else "s", "s" if len(differ) == 1 else "")
            if differ else "all %d files as recorded" % (len(manifest["files"]) + len(manifest["modules"])),
            "; %d file%s not in it" % (len(extra), "" if len(extra) == 1 else "s") if extra else ""))
        if differ or extra:
            out.write("  (inspect --verify for details)\n")
    return test, sample
