"""competition-kit: seal, inspect and bundle a competition; rehearse a notebook against it."""
import argparse
import sys

from .module import KitError

PROG = "competition-kit"


def parser():
    p = argparse.ArgumentParser(prog=PROG, description=__doc__)
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    s = sub.add_parser("seal", help="encrypt CSV files into the form the module reads")
    s.add_argument("csv", nargs="+", metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")

    s = sub.add_parser("inspect", help="summarise sealed inputs (decrypted in memory only)")
    s.add_argument("directory", metavar="DIR")
    s.add_argument("--module", metavar="PATH", help="the module file (default: the bundle's, else the installed one)")

    s = sub.add_parser("bundle", help="seal both inputs and put the module beside them")
    s.add_argument("--test", required=True, metavar="CSV")
    s.add_argument("--sample", required=True, metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")
    s.add_argument("--module", metavar="PATH", help="the module file (default: the installed one)")

    s = sub.add_parser("dry-run", help="run a participant script against a bundle")
    s.add_argument("script", metavar="SCRIPT")
    s.add_argument("--bundle", required=True, metavar="DIR")

    s = sub.add_parser("demo", help="make a synthetic competition and rehearse a baseline on it")
    s.add_argument("--groups", type=int, default=3000)
    s.add_argument("--module", metavar="PATH", help="the module file (default: the installed one)")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
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
        if args.command == "demo":
            from .demo import run_demo
            return run_demo(groups=args.groups, module=args.module)
    except KitError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return 1
    except OSError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return 1
    return 2


if __name__ == "__main__":
    sys.exit(main())
