"""competition-kit dry-run SCRIPT --bundle DIR [--time-limit SECONDS] [--output NOTEBOOK] [--answers CSV]"""
from . import duration

NAME = "dry-run"
HELP = "run a participant script or notebook against a bundle"
DESCRIPTION = ("Runs SCRIPT (a .py file, or an .ipynb notebook in a Jupyter kernel) as the "
               "platform would, with the bundle first on sys.path and no standard input, "
               "then times it and checks the submission it wrote.")


def add_arguments(s):
    s.add_argument("script", metavar="SCRIPT")
    s.add_argument("--bundle", required=True, metavar="DIR")
    s.add_argument("--time-limit", type=duration, metavar="SECONDS",
                   help="stop the run once it has taken this long, as the platform would (exit status 124)")
    s.add_argument("--output", metavar="NOTEBOOK", help="keep the executed notebook, with its outputs, here")
    s.add_argument("--answers", metavar="CSV", help="score the submission against these answers (see score)")
    s.add_argument("--metric", metavar="FILE.py:FUNCTION", help="score with this function (see score)")


def run(args):
    from ..rehearsal import dry_run
    return dry_run(args.script, args.bundle, time_limit=args.time_limit, output=args.output,
                   answers=args.answers, metric=args.metric)
