"""Runs a participant's code as the platform would, timing the environment's calls.

For a script, dry-run runs this file by its path: python .../_bootstrap.py SCRIPT BUNDLE RECORDS
(main(); python -m competition_kit._bootstrap takes the same arguments). By its path, not as a
module of the package: the child must not need the kit importable (it may run from a checkout
put on the parent's sys.path, or another copy of it may be installed), it must run the parent's
own copy, whose records the parent reads, and the participant's process is not to import the
kit's package. In a notebook kernel, dry-run's hidden first request loads this file by its path
and calls install(BUNDLE, RECORDS) instead, and the notebook's cells run after it.

The bundle comes first on sys.path (for a script, then the script's own directory). The module
is imported from the bundle and left as it is: the participant's `import competition` receives
a stand-in module whose make_env hands out a stand-in environment (_timing.py), which times
each call into the real environment, writes its measurements to RECORDS and forwards
everything else. Progress and the summary are the parent's work: it reads RECORDS as they come.
"""
import linecache
import os
import runpy
import sys
import time
import traceback
import types

HERE = os.path.dirname(os.path.abspath(__file__))
TIMING = os.path.join(HERE, "_timing.py")
# The warnings machinery skips the frames of files whose name holds both "importlib" and
# "_bootstrap" (the import system's own); the timing stand-ins are compiled under such a name.
HIDDEN = "<competition-kit timing, skipped by warnings as importlib._bootstrap is>"
clock = time.perf_counter


def load_timing():
    """_timing.py as a module of its own, compiled under HIDDEN (its source registered with
    linecache, so that a traceback that does show one of its lines can show the line)."""
    with open(TIMING) as f:
        source = f.read()
    linecache.cache[HIDDEN] = (len(source), None, source.splitlines(True), HIDDEN)
    module = types.ModuleType("competition_kit._timing")
    exec(compile(source, HIDDEN, "exec"), module.__dict__)
    return module


def install(bundle, records_path):
    """Puts the bundle first on sys.path, imports the module from it, and puts the timing
    stand-in in its place for the participant's `import competition`. Returns the recorder."""
    bundle = os.path.abspath(bundle)
    if sys.path[:1] != [bundle]:
        sys.path.insert(0, bundle)
    import competition
    where = os.path.dirname(os.path.abspath(getattr(competition, "__file__", None) or ""))
    if where != bundle:
        raise ImportError("the module was imported from %s, not from the bundle %s" % (
            getattr(competition, "__file__", None), bundle))
    timing = load_timing()
    fd = os.open(records_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    recorder = timing.Recorder(fd, clock())
    sys.modules["competition"] = timing.stand_in(competition, recorder)
    recorder.mark = clock()  # the participant's time starts now
    return recorder


def without_kit_frames(tb):
    """A traceback like tb without its entries of the stand-ins (Python 3.7 on: before, a
    traceback cannot be built, and tb is returned as it is)."""
    kept = []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename != HIDDEN:
            kept.append(tb)
        tb = tb.tb_next
    if sys.version_info < (3, 7):
        return kept[0] if kept else None
    new = None
    for entry in reversed(kept):
        new = types.TracebackType(new, entry.tb_frame, entry.tb_lasti, entry.tb_lineno)
    return new


def hide_kit_frames_in_ipython():
    """In a kernel, IPython shows the traceback of an error in a cell; it leaves out frames
    marked __tracebackhide__, but never the innermost one, which is the stand-in's when the
    environment refused a call. The shell's showtraceback is wrapped to drop those frames from
    the error (and from the errors chained to it) before IPython formats it."""
    from IPython import get_ipython
    shell = get_ipython()
    if shell is None:
        return
    original = shell.showtraceback

    def showtraceback(exc_tuple=None, *args, **kwargs):
        info = exc_tuple if exc_tuple is not None else sys.exc_info()
        if info is None or info[0] is None:
            return original(exc_tuple, *args, **kwargs)
        etype, value, tb = info
        seen, chained = set(), value
        while chained is not None and id(chained) not in seen:
            seen.add(id(chained))
            if chained is not value and chained.__traceback__ is not None:
                chained.__traceback__ = without_kit_frames(chained.__traceback__)
            chained = chained.__cause__ if chained.__cause__ is not None else chained.__context__
        return original((etype, value, without_kit_frames(tb)), *args, **kwargs)

    shell.showtraceback = showtraceback


def kit_frame(filename):
    """Whether a traceback entry is the kit's own (this runner, the stand-ins, runpy)."""
    if filename == HIDDEN or filename in ("<frozen runpy>",):
        return True
    path = os.path.abspath(filename)
    return path == os.path.abspath(__file__) or os.path.basename(path) == "runpy.py"


def print_participant_traceback(exc_type, exc, tb, file=None):
    """The traceback as Python prints it, with every frame of the kit left out (the chained
    exceptions' too)."""
    file = file or sys.stderr
    te = traceback.TracebackException(exc_type, exc, tb)
    seen = set()
    todo = [te]
    while todo:
        t = todo.pop()
        if t is None or id(t) in seen:
            continue
        seen.add(id(t))
        t.stack = traceback.StackSummary.from_list([f for f in t.stack if not kit_frame(f.filename)])
        todo.extend([t.__cause__, t.__context__] + list(getattr(t, "exceptions", None) or []))
    file.write("".join(te.format()))
    file.flush()


USAGE = "usage: _bootstrap.py SCRIPT BUNDLE RECORDS\n"


def main(argv=None) -> int:
    """Runs SCRIPT as __main__ against BUNDLE, writing the timing records to RECORDS; returns the
    exit status (a SystemExit of the script passes through)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if len(argv) != 3:
        sys.stderr.write(USAGE)
        return 2
    script, bundle, records = os.path.abspath(argv[0]), os.path.abspath(argv[1]), argv[2]
    sys.path[0] = bundle  # in place of this file's directory (or, run with -m, the working one)
    sys.path.insert(1, os.path.dirname(script))
    try:
        recorder = install(bundle, records)
    except ImportError as e:
        sys.stderr.write("competition-kit: error: %s\n" % e)
        return 1
    except KeyboardInterrupt:  # before the script began: nothing of it to show
        return 130
    sys.argv = [script]
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit:
        raise
    except BaseException:
        exc_type, exc, tb = sys.exc_info()
        recorder.put("X %s" % exc_type.__name__)
        print_participant_traceback(exc_type, exc, tb)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
