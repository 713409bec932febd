"""Host side: bundle a competition, a folder a notebook can import it from."""
import json
import os
import shutil
import stat
import sys
import tempfile

from . import elf, sealing
from .builds import build_modules, check_modules, modules_from_wheels
from .errors import KitError
from .inputs import SAMPLE_NAME, TEST_NAME, check_pair, checked_csv
from .interpreters import find_interpreters
from .manifest import FALLBACK, MANIFEST, fallback_source, file_entry, group_count, module_versions
from .module import looks_like_module, machine_of, module_file, serves
from .sealing import SUFFIX, _umask, remove_quietly, write_temporary


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
    inputs = _checked_inputs(test_csv, sample_csv, allow, err)
    out_dir = os.path.abspath(out_dir)
    fill_in_place = False
    if os.path.exists(out_dir):
        if not os.path.isdir(out_dir) or not _looks_like_bundle(out_dir):
            raise KitError("%s exists and is not a bundle; choose another --out" % out_dir)
        fill_in_place = not os.listdir(out_dir)
    placed = _module_files(module, pythons, source, build_dir, wheels, err)
    described = check_modules([path for path, _ in placed], allow, err)

    parent = os.path.dirname(out_dir)
    os.makedirs(parent, exist_ok=True)
    staging = out_dir if fill_in_place else tempfile.mkdtemp(prefix=".bundle-", dir=parent)
    written = []  # in place: what this call put there, removed again on failure
    try:
        _fill(staging, written, inputs, placed, described)
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


def _checked_inputs(test_csv, sample_csv, allow, err):
    """((name, bytes, PlayIds) of the test set, of the sample submission), checked as seal checks
    them, and together."""
    test_data, test_ids, _ = checked_csv(test_csv)
    sample_data, sample_ids, sample_columns = checked_csv(sample_csv)
    for flag, path, other in (("--test", test_csv, SAMPLE_NAME), ("--sample", sample_csv, TEST_NAME)):
        if os.path.basename(path) == other:
            err.write("warning: %s is %s: it is sealed as %s\n" % (
                flag, path, (TEST_NAME if flag == "--test" else SAMPLE_NAME) + SUFFIX))
    check_pair(test_ids, sample_ids, "--allow-empty" in allow, "--allow-unmatched" in allow, err,
               sample_columns, allow)
    return (TEST_NAME, test_data, test_ids), (SAMPLE_NAME, sample_data, sample_ids)


def _module_files(module, pythons, source, build_dir, wheels, err):
    """(source path, name in the bundle) of each module file: those given, taken from wheels or
    built for pythons; clashes are refused before anything is built."""
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
    return _placed_modules(sources)


def _fill(staging, written, inputs, placed, described):
    """Writes the bundle's files into staging, each staged and renamed into place (written
    collects the paths, to be removed on failure): the sealed inputs, the module files, the
    fallback competition.py, then the manifest of them."""
    def place(tmp, name):
        os.rename(tmp, os.path.join(staging, name))
        written.append(os.path.join(staging, name))

    manifest = {"files": {}, "modules": {}}
    for name, data, ids in inputs:
        tmp = sealing.write_sealed(staging, data, name)
        written.append(tmp)
        manifest["files"][name + SUFFIX] = file_entry(tmp, rows=len(ids), groups=group_count(ids))
        place(tmp, name + SUFFIX)
    # what a dry-run's check needs to know of the test set without reading it
    (_, _, test_ids), (_, _, sample_ids) = inputs
    unserved = set(sample_ids.dropna().unique()) - set(test_ids.dropna().unique())
    manifest["files"][SAMPLE_NAME + SUFFIX]["unserved"] = _some_json(unserved)
    for (path, name), info in zip(placed, described):
        fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=staging)
        os.close(fd)
        written.append(tmp)
        shutil.copyfile(path, tmp)
        os.chmod(tmp, 0o755)
        manifest["modules"][name] = file_entry(tmp, python=serves(name) or "any", machine=info.machine,
                                               glibc=elf.version_text(info.glibc) if info.glibc else None)
        place(tmp, name)
    tmp = write_temporary(staging, fallback_source(sorted(manifest["modules"])).encode("utf-8"))
    written.append(tmp)
    manifest["files"][FALLBACK] = file_entry(tmp)
    place(tmp, FALLBACK)
    manifest["python"] = module_versions(manifest["modules"])
    tmp = write_temporary(staging, (json.dumps(manifest, indent=1, sort_keys=True) + "\n").encode())
    written.append(tmp)
    place(tmp, MANIFEST)


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
