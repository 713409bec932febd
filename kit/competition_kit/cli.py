"""competition-kit: seal, inspect and bundle a competition; rehearse a notebook against it."""
import argparse
import os
import sys

from . import __version__
from .module import KitError

PROG = "competition-kit"


def count(minimum):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a whole number: %r" % text)
        if value < minimum:
            raise argparse.ArgumentTypeError("must be at least %d" % minimum)
        return value
    return parse


def duration(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds")
    return value


def allow_flags(s, modules=False):
    s.add_argument("--allow-empty", action="store_true", help="go on with a test set that has no rows")
    s.add_argument("--allow-unmatched", action="store_true",
                   help="go on when test PlayIds have no sample rows (they are served an empty sample frame)")
    s.add_argument("--allow-dtype-mismatch", action="store_true",
                   help="go on when the test and sample PlayIds have different dtypes")
    s.add_argument("--allow-playid-not-first", action="store_true",
                   help="go on when PlayId is not the sample submission's first column")
    if modules:
        s.add_argument("--allow-mixed-architectures", action="store_true",
                       help="go on with modules for several architectures (x86_64 and aarch64) in one bundle")
        s.add_argument("--allow-unloadable", action="store_true",
                       help="go on when a module file does not load on its interpreter here")


def allowed(args):
    """The --allow-... flags given."""
    return {"--" + k.replace("_", "-") for k, v in vars(args).items() if k.startswith("allow_") and v}


def parser():
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.split(": ", 1)[1])
    p.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    s = sub.add_parser("seal", help="encrypt CSV files into the form the module reads",
                       description="Writes <name>.encrypted into DIR for each CSV, after checking that "
                                   "every CSV parses as the module reads it and has a PlayId column.")
    s.add_argument("csv", nargs="+", metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")
    allow_flags(s)
    s.set_defaults(func=run_seal)

    s = sub.add_parser("inspect", help="summarise sealed inputs (decrypted in memory only)",
                       description="Decrypts test.csv.encrypted and sample_submission.csv.encrypted in DIR "
                                   "through the module's own reader, in memory, and summarises them.")
    s.add_argument("directory", metavar="DIR")
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: the one in DIR, else $COMPETITION_MODULE, else the installed one)")
    s.add_argument("--verify", action="store_true",
                   help="the pre-upload check instead: DIR's files against its manifest, files it does not "
                        "list, each module loaded on its interpreter, the inputs' PlayIds; exit 1 on a problem")
    s.set_defaults(func=run_inspect)

    s = sub.add_parser("check", help="the pre-upload check of a bundle (inspect --verify)",
                       description="Checks a bundle before its upload, one line per file and per problem; "
                                   "exits 1 when there is a problem.")
    s.add_argument("directory", metavar="DIR")
    s.set_defaults(func=run_inspect, verify=True, module=None)

    s = sub.add_parser("bundle", help="seal both inputs and put the module beside them",
                       description="Makes DIR a folder a notebook can import the competition from.")
    s.add_argument("--test", required=True, metavar="CSV")
    s.add_argument("--sample", required=True, metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")
    s.add_argument("--module", metavar="PATH", action="append", default=[],
                   help="a built module file; repeat for several interpreters (default, without "
                        "--python: $COMPETITION_MODULE, else the installed one)")
    s.add_argument("--python", metavar="X", action="append", default=[],
                   help="build the module for this CPython (3.6 ... 3.15, pyenv's or pythonX.Y on PATH, "
                        "or an interpreter's path) from the source tree; repeat, or 'all' for every one found")
    s.add_argument("--source", metavar="DIR", help="the source tree to build from (default: this kit's checkout)")
    s.add_argument("--wheels", metavar="DIR",
                   help="take each interpreter's module from the wheels in DIR (./run.sh wheels writes them to "
                        "dist/) instead of building it: those --python asks for, else all")
    s.add_argument("--build-dir", metavar="DIR",
                   help="keep the builds in DIR/py<version> for the next time (default: a temporary folder)")
    allow_flags(s, modules=True)
    s.set_defaults(func=run_bundle)

    s = sub.add_parser("dry-run", help="run a participant script or notebook against a bundle",
                       description="Runs SCRIPT (a .py file, or an .ipynb notebook in a Jupyter kernel) as the "
                                   "platform would, with the bundle first on sys.path and no standard input, "
                                   "then times it and checks the submission it wrote.")
    s.add_argument("script", metavar="SCRIPT")
    s.add_argument("--bundle", required=True, metavar="DIR")
    s.add_argument("--time-limit", type=duration, metavar="SECONDS",
                   help="stop the run once it has taken this long, as the platform would (exit status 124)")
    s.add_argument("--output", metavar="NOTEBOOK", help="keep the executed notebook, with its outputs, here")
    s.add_argument("--answers", metavar="CSV", help="score the submission against these answers (see score)")
    s.add_argument("--metric", metavar="FILE.py:FUNCTION", help="score with this function (see score)")
    s.set_defaults(func=run_dry_run)

    s = sub.add_parser("score", help="score a submission against known answers",
                       description="Scores SUBMISSION against ANSWERS (a CSV of PlayId and the true value), "
                                   "row by row within each PlayId: RMSE and MAE for one value per row, the "
                                   "continuous ranked probability score for columns <prefix><number>.")
    s.add_argument("submission", metavar="SUBMISSION")
    s.add_argument("--answers", required=True, metavar="CSV")
    s.add_argument("--metric", metavar="FILE.py:FUNCTION",
                   help="your own metric: FUNCTION(submission_df, answers_df) returning a number or a dict of them")
    s.set_defaults(func=run_score)

    s = sub.add_parser("starter", help="write a participant's starter script or notebook for a bundle",
                       description="Writes a script (.py) or notebook (.ipynb) that runs the loop on the "
                                   "bundle and fills the sample frame's own columns, ready for your model.")
    s.add_argument("--bundle", required=True, metavar="DIR")
    s.add_argument("--out", required=True, metavar="FILE", help="my_model.py or my_model.ipynb")
    s.set_defaults(func=run_starter)

    s = sub.add_parser("demo", help="make a synthetic competition and rehearse a baseline on it",
                       description="Makes a synthetic data set, bundles it, runs a baseline script "
                                   "through dry-run and leaves /vantor/working/submission.csv.")
    s.add_argument("--groups", type=count(1), default=3000)
    s.add_argument("--rows-per-group", type=count(1), default=20)
    s.add_argument("--features", type=count(0), default=40)
    s.add_argument("--predictions", type=count(1), default=200)
    s.add_argument("--seed", type=int, default=0)
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: $COMPETITION_MODULE, else the installed one)")
    s.add_argument("--keep", metavar="DIR",
                   help="keep the data, the bundle, the baseline script and the answers in DIR (new or empty)")
    s.set_defaults(func=run_demo)
    return p


def run_seal(args):
    from .hosting import seal
    for path in seal(args.csv, args.out, allow_empty=args.allow_empty,
                     allow_unmatched=args.allow_unmatched, allow=allowed(args)):
        print("wrote %s" % path)
    return 0


def run_inspect(args):
    from .hosting import inspect
    inspect(args.directory, args.module, verify_only=args.verify)
    return 0


def run_bundle(args):
    from .hosting import bundle
    from .hosting import module_versions
    out_dir = bundle(args.test, args.sample, args.out, args.module, pythons=args.python,
                     source=args.source, build_dir=args.build_dir, allow=allowed(args), wheels=args.wheels)
    print("bundle ready: %s (serves CPython %s)" % (out_dir, ", ".join(module_versions(os.listdir(out_dir)))))
    return 0


def run_dry_run(args):
    from .rehearsal import dry_run
    return dry_run(args.script, args.bundle, time_limit=args.time_limit, output=args.output,
                   answers=args.answers, metric=args.metric)


def run_score(args):
    from .score import score_files
    score_files(args.submission, args.answers, args.metric)
    return 0


def run_starter(args):
    from .starter import write_starter
    print("wrote %s; try it: %s dry-run %s --bundle %s" % (write_starter(args.bundle, args.out), PROG, args.out,
                                                          args.bundle))
    return 0


def run_demo(args):
    from . import demo
    return demo.run_demo(groups=args.groups, rows_per_group=args.rows_per_group, features=args.features,
                         predictions=args.predictions, seed=args.seed, module=args.module, keep=args.keep)


def run(args):
    """Runs the subcommand parsed into args (each subparser sets its function as func)."""
    return args.func(args)


def main(argv=None):
    args = parser().parse_args(argv)
    status = 1
    try:
        return run(args)
    except KitError as e:
        message = str(e)
        status = getattr(e, "status", 1)  # 124 for a time limit, 130 for an interrupt
    except BrokenPipeError:  # the reader of our output went away (| head): nothing to say
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())  # so that the flush at exit does not fail again
        except (OSError, ValueError):
            pass
        return 1
    except OSError as e:
        message = "%s: %s" % (e.filename, e.strerror) if e.filename and e.strerror else str(e)
    except KeyboardInterrupt:
        message, status = "interrupted", 130
    sys.stdout.flush()
    sys.stderr.write("%s: error: %s\n" % (PROG, " ".join(message.split("\n"))))
    if status == 130:
        from .progress import exit_now_if_busy
        exit_now_if_busy(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
