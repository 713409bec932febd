"""Host side: inspect sealed inputs (decrypted in memory only), and the pre-upload check of a
bundle."""
import collections
import os
import re
import sys
import textwrap

from . import elf
from .builds import load_in_child, loads_enough
from .errors import KitError
from .inputs import READ_NAMES, SAMPLE_NAME, TEST_NAME, first_line, pair_problems, some
from .manifest import MANIFEST, compare_with_manifest, group_count, module_versions, read_manifest, versions_text
from .module import looks_like_module, machine_of, module_file, module_in, serves
from .sealing import SUFFIX, read_sealed, sealed_column, sealed_header


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
        if name in listed or _fallback_cache(name, path):
            continue
        if os.path.isdir(path):
            found.append((name + "/", _folder_kind(path, directory)))
            continue
        kind = _plaintext_data(path)
        found.append((name, kind.upper() if kind else "a file"))
    return found


def _fallback_cache(name, path):
    return name == "__pycache__" and os.path.isdir(path) and all(
        n.startswith("competition.") and n.endswith(".pyc") for n in os.listdir(path))


def _folder_kind(path, directory):
    inside = []
    for root, _, files in os.walk(path):
        inside.extend(os.path.join(root, f) for f in files)
    data = [p for p in inside if _plaintext_data(p)]
    return "a folder of %d file%s%s" % (len(inside), "" if len(inside) == 1 else "s", (
        ", %d of them data in the clear (%s)" % (len(data), os.path.relpath(data[0], directory))) if data else "")


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
            elif loads_enough(reason):
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
        versions_text(module_versions(names)), " on %s" % ", ".join(machines) if machines else "",
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
        return ["the sealed inputs cannot be read: %s" % first_line(e)]
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
    bad = _listed_lines(directory, manifest, out)
    problems = _unlisted_lines(directory, manifest, out)
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


def _listed_lines(directory, manifest, out):
    """One line for each file the manifest lists; returns the names of those that differ."""
    bad = []
    for name, problem in compare_with_manifest(directory, manifest):
        entry = manifest["files"].get(name) or manifest["modules"][name]
        if problem:
            bad.append(name)
            out.write("%s: DIFFERS: %s%s\n" % (name, problem, _recorded(entry)))
        else:
            out.write("%s: ok (%d bytes, sha256 %s)\n" % (name, entry["size"], entry["sha256"][:16]))
    return bad


def _unlisted_lines(directory, manifest, out):
    """One line for each file the manifest does not list; returns the problems."""
    problems = []
    for name, kind in extra_files(directory, manifest):
        out.write("%s: NOT IN THE MANIFEST: %s; remove it before the upload\n" % (name, kind))
        problems.append("%s is not in the manifest%s" % (name, " (%s)" % kind.lower() if kind != "a file" else ""))
    return problems


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
    test, sample = read_sealed(directory, _reader(directory, module), (TEST_NAME, SAMPLE_NAME))
    _summarise(test, sample, out)
    _write_served(directory, out)
    if manifest is not None:
        _against_manifest(directory, manifest, {TEST_NAME + SUFFIX: test, SAMPLE_NAME + SUFFIX: sample}, out)
    return test, sample


def _reader(directory, module):
    """The module file that reads the sealed inputs: --module, else the bundle's own, else the
    one module_file finds."""
    if module is not None:
        return module_file(module)
    try:
        return module_in(directory)
    except KitError:
        return module_file(None)


def _summarise(test, sample, out):
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
        out.write("PlayIds %s: %d%s\n" % (label, len(ids), " (%s)" % some(ids) if ids else ""))


def _against_manifest(directory, manifest, found, out):
    """Warns of each file that differs from the manifest, of inputs that hold other rows or
    groups than it records, of files it does not list; and sums that up in one line."""
    differ = [(n, p) for n, p in compare_with_manifest(directory, manifest) if p]
    for name, problem in differ:
        sys.stderr.write("warning: %s differs from the manifest: %s%s\n" % (
            name, problem, _recorded(manifest["files"].get(name) or {})))
    for name, frame in found.items():
        _warn_other_rows(name, frame, manifest["files"].get(name))
    extra = extra_files(directory, manifest)
    for name, kind in extra:
        sys.stderr.write("warning: %s is not in the manifest (%s)\n" % (name, kind.lower()))
    out.write("manifest: %s%s\n" % ("%d file%s differ%s" % (
        len(differ), "" if len(differ) == 1 else "s", "s" if len(differ) == 1 else "")
        if differ else "all %d files as recorded" % (len(manifest["files"]) + len(manifest["modules"])),
        "; %d file%s not in it" % (len(extra), "" if len(extra) == 1 else "s") if extra else ""))
    if differ or extra:
        out.write("  (inspect --verify for details)\n")


def _warn_other_rows(name, frame, entry):
    if entry and "rows" in entry and (len(frame), group_count(frame["PlayId"])) != (entry["rows"], entry["groups"]):
        sys.stderr.write("warning: %s holds %d rows in %d groups; the manifest records %d rows in %d groups\n"
                         % (name, len(frame), group_count(frame["PlayId"]), entry["rows"], entry["groups"]))
