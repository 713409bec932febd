"""Host side: seal the inputs, inspect sealed inputs, bundle a competition."""
import collections
import os
import shutil
import sys
import tempfile
import textwrap

from .module import KitError, looks_like_module, module_file, module_in, read_inputs
from .sealing import SUFFIX, read_plain_csv, remove_quietly, seal_bytes, write_temporary

TEST_NAME = "test.csv"
SAMPLE_NAME = "sample_submission.csv"


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
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise KitError("cannot read %s: %s" % (path, e.strerror or e))
    try:
        frame = read_plain_csv(data)
    except Exception as e:
        raise KitError("cannot read %s as CSV: %s" % (path, _first_line(e)))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column" % path)
    return data, frame["PlayId"]


def _some(values, limit=5):
    try:
        values = sorted(values)
    except TypeError:  # values of several types
        values = sorted(values, key=str)
    return ", ".join(str(v) for v in values[:limit]) + (", ..." if len(values) > limit else "")


def warn_unmatched(test_ids, sample_ids, out=None):
    """Warns about test PlayIds that have no sample rows (the module serves them with an empty
    sample frame) and about test rows without a PlayId (the module never serves them)."""
    out = out or sys.stderr
    blank = int(test_ids.isna().sum())
    if blank:
        out.write("warning: %d test row%s without a PlayId value; they are never served\n" % (
            blank, "" if blank == 1 else "s"))
    missing = set(test_ids.dropna().unique()) - set(sample_ids.dropna().unique())
    if missing:
        out.write("warning: %d test PlayId%s without sample rows (%s)\n" % (
            len(missing), "" if len(missing) == 1 else "s", _some(missing)))
    return missing


def seal(paths, out_dir):
    """Checks every CSV first, then writes <name>.encrypted for each into out_dir. Every file
    is staged beside its target and renamed into place; when anything fails, the staged files
    are removed, and so is out_dir when this call created it."""
    targets = [os.path.basename(p) + SUFFIX for p in paths]
    twice = sorted(n for n, k in collections.Counter(targets).items() if k > 1)
    if twice:
        raise KitError("two inputs would both be written as %s" % twice[0])
    checked = [checked_csv(p) for p in paths]
    by_name = dict(zip((os.path.basename(p) for p in paths), (ids for _, ids in checked)))
    if TEST_NAME in by_name and SAMPLE_NAME in by_name:
        warn_unmatched(by_name[TEST_NAME], by_name[SAMPLE_NAME])
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise KitError("%s exists and is not a directory" % out_dir)
    created = not os.path.exists(out_dir)
    staged, done = [], []
    try:
        if created:
            os.makedirs(out_dir)
        for (data, _), name in zip(checked, targets):
            staged.append((write_temporary(out_dir, seal_bytes(data)), os.path.join(out_dir, name)))
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
    return all(name.endswith(SUFFIX) or looks_like_module(name) for name in os.listdir(directory))


def bundle(test_csv, sample_csv, out_dir, module=None, out=None):
    """One folder a notebook can import from: the module and both sealed inputs. The folder
    is built beside out_dir and renamed into place at the end; an earlier bundle there is
    replaced only then."""
    test_data, test_ids = checked_csv(test_csv)
    sample_data, sample_ids = checked_csv(sample_csv)
    warn_unmatched(test_ids, sample_ids, out)
    source = module_file(module)
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not (os.path.isdir(out_dir) and _looks_like_bundle(out_dir)):
        raise KitError("%s exists and is not a bundle; choose another --out" % out_dir)
    parent = os.path.dirname(out_dir)
    os.makedirs(parent, exist_ok=True)
    staging = tempfile.mkdtemp(prefix=".bundle-", dir=parent)
    try:
        for name, data in ((TEST_NAME, test_data), (SAMPLE_NAME, sample_data)):
            os.rename(write_temporary(staging, seal_bytes(data)), os.path.join(staging, name + SUFFIX))
        shutil.copyfile(source, os.path.join(staging, os.path.basename(source)))
        os.chmod(os.path.join(staging, os.path.basename(source)), 0o755)
        if os.path.exists(out_dir):
            old = tempfile.mkdtemp(prefix=".old-bundle-", dir=parent)
            os.rmdir(old)
            os.rename(out_dir, old)
            try:
                os.rename(staging, out_dir)
            except BaseException:
                os.rename(old, out_dir)
                raise
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.rename(staging, out_dir)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return out_dir


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


def inspect(directory, module=None, out=None):
    """A summary of the sealed inputs in directory, decrypted in memory only: the module's
    own reader does the decrypting, and nothing is written."""
    out = out or sys.stdout
    if not os.path.isdir(directory):
        raise KitError("not a directory: %s" % directory)
    if module is None:
        try:
            source = module_in(directory)
        except KitError:
            source = module_file(None)
    else:
        source = module_file(module)
    test, sample = read_inputs(directory, source, (TEST_NAME, SAMPLE_NAME))
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
    return test, sample
