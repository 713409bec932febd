"""One measurement on this interpreter: the counts and sizes to run, the loop and the load in
scratch directories, and the figures as one result (what --json writes)."""
import contextlib
import os
import shutil
import tempfile
import time

from .load import bench_load
from .loop import bench_loop
from .target import SUBMISSION, module_path, versions

# big_repeats: the runs at counts of 20,000 groups and more, where one run's median is steady
FULL = dict(real=[1000, 3000, 10000, 30000], small=[3000], blank=[3000], literal=[1000], repeats=3, big_repeats=2,
            load_sizes=[10, 100, 1000], load_repeats=3, max_run_seconds=240.0)
QUICK = dict(real=[200, 600], small=[200], blank=[600], literal=[200], repeats=1, big_repeats=1,
             load_sizes=[2, 8], load_repeats=1, max_run_seconds=60.0)


def counts(text):
    return [int(x) for x in text.split(",") if x]


def config(args):
    """FULL or QUICK, with the command line's counts, sizes, repeats and cap."""
    cfg = dict(QUICK if args.quick else FULL)
    for key in ("real", "small", "blank", "literal"):
        value = getattr(args, key + "_groups")
        if value is not None:
            cfg[key] = counts(value)
    if args.load_sizes is not None:
        cfg["load_sizes"] = counts(args.load_sizes)
    if args.repeats:
        cfg["repeats"] = cfg["big_repeats"] = cfg["load_repeats"] = args.repeats
    if args.max_run_seconds:
        cfg["max_run_seconds"] = args.max_run_seconds
    return cfg


def plan(cfg):
    """[(shape, groups, with the literal steps, runs)] of the loop."""
    def runs(g):
        return cfg["big_repeats"] if g >= 20000 else cfg["repeats"]
    return [("real", g, g in cfg["literal"], runs(g)) for g in cfg["real"]] + \
           [("small", g, False, runs(g)) for g in cfg["small"]] + \
           [("blank", g, False, runs(g)) for g in cfg["blank"]]


@contextlib.contextmanager
def submission_kept():
    """A scratch directory beside the module's output; afterwards the output as it was found (the
    directory removed if it was made here, a file there before put back)."""
    directory = os.path.dirname(SUBMISSION)
    made_directory = not os.path.isdir(directory)
    os.makedirs(directory, exist_ok=True)
    saved = open(SUBMISSION, "rb").read() if os.path.exists(SUBMISSION) else None
    scratch = tempfile.mkdtemp(prefix=".bench-", dir=directory)
    try:
        yield scratch
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        if saved is not None:
            with open(SUBMISSION, "wb") as f:
                f.write(saved)
        elif os.path.exists(SUBMISSION):
            os.remove(SUBMISSION)
        if made_directory:
            with contextlib.suppress(OSError):
                os.rmdir(directory)


def measure(args):
    """The figures of the parts asked for (args.parts: loop, load or both) on this interpreter."""
    cfg = config(args)
    parts = args.parts.split(",")
    work = tempfile.mkdtemp(prefix="competition-bench-")
    start = time.time()
    try:
        with submission_kept() as scratch:
            loop = bench_loop(plan(cfg), work, scratch, cfg["max_run_seconds"]) if "loop" in parts else []
            load = bench_load(cfg["load_sizes"], cfg["load_repeats"], work) if "load" in parts else []
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"versions": versions(), "quick": args.quick, "cores": os.cpu_count(), "module": module_path(),
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "elapsed_s": time.time() - start,
            "config": cfg, "loop": loop, "load": load}
