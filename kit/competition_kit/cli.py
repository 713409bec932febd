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

    s = sub.add_parser("inspect", help="summarise sealed inputs (decrypted in memory only)",
                       description="Decrypts test.csv.encrypted and sample_submission.csv.encrypted in DIR "
                                   "through the module's own reader, in memory, and summarises them.")
    s.add_argument("directory", metavar="DIR")
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: the one in DIR, else $COMPETITION_MODULE, else the installed one)")

    s = sub.add_parser("bundle", help="seal both inputs and put the module beside them",
                       description="Makes DIR a folder a notebook can import the competition from.")
    s.add_argument("--test", required=True, metavar="CSV")
    s.add_argument("--sample", required=True, metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: $COMPETITION_MODULE, else the installed one)")

    s = sub.add_parser("dry-run", help="run a participant script against a bundle",
                       description="Runs SCRIPT as the platform would, with the bundle first on sys.path, "
                                   "then times it and checks the submission it wrote.")
    s.add_argument("script", metavar="SCRIPT")
    s.add_argument("--bundle", required=True, metavar="DIR")

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
    return p


def run(args):
    if args.command == "seal":
        from .hosting import seal
        for path in seal(args.csv, args.out):
            print("wrote %s" % path)
        return 0
    if args.command == "inspect":
        from .hosting import inspect
        inspect(args.directory, args.module)
        return 0
    if args.command == "bundle":
        from .hosting import bundle
        print("bundle ready: %s" % bundle(args.test, args.sample, args.out, args.module))
        return 0
    if args.command == "dry-run":
        from .rehearsal import dry_run
        return dry_run(args.script, args.bundle)
    from .demo import run_demo
    return run_demo(groups=args.groups, rows_per_group=args.rows_per_group, features=args.features,
                    predictions=args.predictions, seed=args.seed, module=args.module)


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return run(args)
    except KitError as e:
        message = str(e)
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
        message = "interrupted"
    sys.stdout.flush()
    sys.stderr.write("%s: error: %s\n" % (PROG, " ".join(message.split("\n"))))
    return 1


if __name__ == "__main__":
    sys.exit(main())
