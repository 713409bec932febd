"""Host side: seal the inputs, inspect sealed inputs, bundle a competition."""
import os
import shutil
import sys
import tempfile

from .module import KitError, module_file, module_in, read_inputs
from .sealing import SUFFIX, read_plain_csv, seal_bytes, write_atomically

TEST_NAME = "test.csv"
SAMPLE_NAME = "sample_submission.csv"


def checked_csv(path):
    """The bytes and frame of a CSV the module can read, or a KitError saying why not."""
    if not os.path.isfile(path):
        raise KitError("file not found: %s" % path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        frame = read_plain_csv(data)
    except Exception as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise KitError("cannot read %s as CSV: %s" % (path, reason))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column" % path)
    return data, frame


def warn_unmatched(test_frame, sample_frame, out=None):
    out = out or sys.stderr
    test_ids = set(test_frame["PlayId"].dropna().unique())
    sample_ids = set(sample_frame["PlayId"].dropna().unique())
    missing = sorted(test_ids - sample_ids)
    if missing:
        shown = ", ".join(str(x) for x in missing[:5])
        out.write("warning: %d test PlayId%s without sample rows (%s%s)\n" % (
            len(missing), "" if len(missing) == 1 else "s", shown, ", ..." if len(missing) > 5 else ""))
    return missing


def seal(paths, out_dir):
    """Checks every CSV first, then writes <name>.encrypted for each, atomically."""
    checked = [(p,) + checked_csv(p) for p in paths]
    by_name = {os.path.basename(p): frame for p, _, frame in checked}
    if TEST_NAME in by_name and SAMPLE_NAME in by_name:
        warn_unmatched(by_name[TEST_NAME], by_name[SAMPLE_NAME])
    os.makedirs(out_dir, exist_ok=True)
    written = []
    for path, data, _ in checked:
        target = os.path.join(out_dir, os.path.basename(path) + SUFFIX)
        write_atomically(target, seal_bytes(data))
        written.append(target)
    return written


def _looks_like_bundle(directory):
    return all(name.endswith(SUFFIX) or name.startswith("competition.") for name in os.listdir(directory))


def bundle(test_csv, sample_csv, out_dir, module=None):
    """One folder a notebook can import from: the module and both sealed inputs. Built beside
    out_dir and moved into place at the end."""
    test_data, test_frame = checked_csv(test_csv)
    sample_data, sample_frame = checked_csv(sample_csv)
    warn_unmatched(test_frame, sample_frame)
    source = module_file(module)
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not (os.path.isdir(out_dir) and _looks_like_bundle(out_dir)):
        raise KitError("%s exists and is not a bundle; choose another --out" % out_dir)
    parent = os.path.dirname(out_dir)
    os.makedirs(parent, exist_ok=True)
    staging = tempfile.mkdtemp(prefix=".bundle-", dir=parent)
    try:
        with open(os.path.join(staging, TEST_NAME + SUFFIX), "wb") as f:
            f.write(seal_bytes(test_data))
        with open(os.path.join(staging, SAMPLE_NAME + SUFFIX), "wb") as f:
            f.write(seal_bytes(sample_data))
        shutil.copy2(source, os.path.join(staging, os.path.basename(source)))
        if os.path.exists(out_dir):
            old = tempfile.mkdtemp(prefix=".old-bundle-", dir=parent)
            os.rmdir(old)
            os.rename(out_dir, old)
            os.rename(staging, out_dir)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.rename(staging, out_dir)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return out_dir


def _describe(frame):
    return ", ".join("%s:%s" % (c, t) for c, t in zip(frame.columns, frame.dtypes.astype(str)))


def inspect(directory, module=None, out=None):
    """A summary of the sealed inputs in directory, decrypted in memory only."""
    out = out or sys.stdout
    if not os.path.isdir(directory):
        raise KitError("not a directory: %s" % directory)
    try:
        source = module_in(directory)
    except KitError:
        source = module_file(module)
    test, sample = read_inputs(directory, source, (TEST_NAME, SAMPLE_NAME))
    for name, frame in ((TEST_NAME, test), (SAMPLE_NAME, sample)):
        out.write("%s: %d rows, %d columns\n  %s\n" % (name, len(frame), frame.shape[1], _describe(frame)))
    if "PlayId" not in test.columns or "PlayId" not in sample.columns:
        raise KitError("an input has no PlayId column")
    sizes = test.groupby("PlayId").size()
    if len(sizes):
        out.write("groups: %d; rows per group: min %d, median %g, max %d\n" % (
            len(sizes), sizes.min(), sizes.median(), sizes.max()))
    else:
        out.write("groups: 0\n")
    test_ids = set(test["PlayId"].dropna().unique())
    sample_ids = set(sample["PlayId"].dropna().unique())
    for label, ids in (("only in test", test_ids - sample_ids), ("only in sample", sample_ids - test_ids)):
        ids = sorted(ids)
        out.write("PlayIds %s: %d%s\n" % (label, len(ids), (" (" + ", ".join(map(str, ids[:5])) +
                                                          (", ..." if len(ids) > 5 else "") + ")") if ids else ""))
    return test, sample
