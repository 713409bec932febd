"""competition-kit bundle --test CSV --sample CSV --out DIR [--module PATH | --python X | --wheels DIR]"""
import os

from . import allow_flags, allowed

NAME = "bundle"
HELP = "seal both inputs and put the module beside them"
DESCRIPTION = "Makes DIR a folder a notebook can import the competition from."


def add_arguments(s):
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
                   help="keep the builds in DIR for the next time (default: a temporary folder)")
    allow_flags(s, modules=True)


def run(args):
    from ..bundling import bundle
    from ..manifest import module_versions
    out_dir = bundle(args.test, args.sample, args.out, args.module, pythons=args.python,
                     source=args.source, build_dir=args.build_dir, allow=allowed(args), wheels=args.wheels)
    print("bundle ready: %s (serves CPython %s)" % (out_dir, ", ".join(module_versions(os.listdir(out_dir)))))
    return 0
