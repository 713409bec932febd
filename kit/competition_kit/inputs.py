"""Host side: the inputs checked as the module reads them, then sealed."""
import collections
import os
import shutil
import sys

from . import sealing
from .errors import KitError
from .sealing import SUFFIX, read_input, read_plain_csv, remove_quietly


TEST_NAME = "test.csv"
SAMPLE_NAME = "sample_submission.csv"
READ_NAMES = (TEST_NAME, SAMPLE_NAME)  # the only inputs the module reads


def first_line(e):
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
        raise KitError("cannot read %s as CSV: %s%s" % (path, first_line(e), _separator_hint(data)))
    if "PlayId" not in frame.columns:
        raise KitError("%s has no PlayId column%s" % (path, _separator_hint(data) or
                                                       " (its columns: %s)" % some(frame.columns, sorted_=False)))
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


def some(values, limit=5, sorted_=True):
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
                         "sample frame" % (len(missing), "" if len(missing) == 1 else "s", some(missing),
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
    unmatched = bool(test_set) and test_set - sample_set == test_set
    if "--allow-unmatched" not in allow:
        _refuse_unserved(test_ids, sample_ids, test_set, sample_set, unmatched)
    if unmatched:
        out.write("warning: no test PlayId has a sample row; every group is served with an empty sample frame\n")
    problems = pair_problems(test_ids, sample_ids, sample_columns)
    # a dtype mismatch is the reason no PlayId matched, allowed with it
    refuse_unless_allowed([p for p in problems if not (unmatched and p[0] == "--allow-dtype-mismatch")], allow, out)
    if test_ids is not None:
        _warn_unserved(test_ids, test_set, sample_set, out)


def _refuse_unserved(test_ids, sample_ids, test_set, sample_set, unmatched):
    """A KitError when no test PlayId has a sample row, or no test row has a PlayId."""
    if unmatched:
        kinds = ""
        if len(sample_set) and _playid_kinds(test_ids) != _playid_kinds(sample_ids):
            kinds = " (test PlayIds are %s, sample PlayIds %s)" % (
                _playid_kinds(test_ids), _playid_kinds(sample_ids))
        raise KitError("no test PlayId has a sample row%s: every group would be served with an "
                       "empty sample frame (--allow-unmatched to go on anyway)" % kinds)
    if test_ids is not None and not test_set:
        raise KitError("no test row has a PlayId value: the module would serve no group "
                       "(--allow-unmatched to go on anyway)")


def refuse_unless_allowed(problems, allow, out):
    """A KitError for the first (flag, problem) whose flag is not in allow; a warning for each
    allowed one before it."""
    for flag, problem in problems:
        if flag not in allow:
            raise KitError("%s (%s to go on anyway)" % (problem, flag))
        out.write("warning: %s\n" % problem)


def _warn_unserved(test_ids, test_set, sample_set, out):
    blank = int(test_ids.isna().sum())
    if blank:
        out.write("warning: %d test row%s without a PlayId value; they are never served\n" % (
            blank, "" if blank == 1 else "s"))
    extra = sample_set - test_set
    if extra:
        out.write("warning: %d sample PlayId%s without test rows (%s); they are never served\n" % (
            len(extra), "" if len(extra) == 1 else "s", some(extra)))


def seal(paths, out_dir, allow_empty=False, allow_unmatched=False, out=None, allow=()):
    """Checks every CSV first, then writes <name>.encrypted for each into out_dir. Every file
    is staged beside its target and renamed into place; when anything fails, the staged files
    are removed, and so is out_dir when this call created it."""
    out = out or sys.stderr
    targets = _targets(paths)
    checked = [checked_csv(p) for p in paths]
    _check_together(dict(zip((os.path.basename(p) for p in paths), checked)), allow_empty, allow_unmatched, out,
                    allow)
    _warn_unread(targets, out)
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise KitError("%s exists and is not a directory" % out_dir)
    return _write_sealed_files([data for data, _, _ in checked], targets, out_dir)


def _targets(paths):
    """The name each input is sealed as, or a KitError when two would have one name."""
    targets = [os.path.basename(p) + SUFFIX for p in paths]
    twice = sorted(n for n, k in collections.Counter(targets).items() if k > 1)
    if twice:
        raise KitError("two inputs would both be written as %s" % twice[0])
    return targets


def _warn_unread(targets, out):
    unread = [t for t in targets if t[:-len(SUFFIX)] not in READ_NAMES]
    if unread:
        out.write("warning: the module reads only %s; it will not read %s\n" % (
            " and ".join(n + SUFFIX for n in READ_NAMES), ", ".join(unread)))


def _check_together(by_name, allow_empty, allow_unmatched, out, allow):
    """The checks of the test set and the sample submission that need both (or the sample's own,
    or the test set's rows) among the inputs sealed, by file name: (bytes, PlayIds, columns)."""
    if TEST_NAME in by_name and SAMPLE_NAME in by_name:
        check_pair(by_name[TEST_NAME][1], by_name[SAMPLE_NAME][1], allow_empty, allow_unmatched, out,
                   by_name[SAMPLE_NAME][2], allow)
    elif SAMPLE_NAME in by_name:
        refuse_unless_allowed(pair_problems(None, by_name[SAMPLE_NAME][1], by_name[SAMPLE_NAME][2]), set(allow), out)
    elif TEST_NAME in by_name and not len(by_name[TEST_NAME][1]) and not allow_empty:
        raise KitError("the test set has no rows: the module would serve no group "
                       "(--allow-empty to go on anyway)")


def _write_sealed_files(datas, targets, out_dir):
    """Seals each of datas as its target name in out_dir, staged, then renamed into place."""
    created = not os.path.exists(out_dir)
    staged, done = [], []
    try:
        if created:
            os.makedirs(out_dir)
        for data, name in zip(datas, targets):
            staged.append((sealing.write_sealed(out_dir, data, name[:-len(SUFFIX)]), os.path.join(out_dir, name)))
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
