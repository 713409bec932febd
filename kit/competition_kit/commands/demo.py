"""competition-kit demo: a synthetic competition, bundled, with a baseline rehearsed on it"""
from . import count

NAME = "demo"
HELP = "make a synthetic competition and rehearse a baseline on it"
DESCRIPTION = ("Makes a synthetic data set, bundles it, runs a baseline script "
               "through dry-run and leaves /vantor/working/submission.csv.")


def add_arguments(s):
    s.add_argument("--groups", type=count(1), default=3000)
    s.add_argument("--rows-per-group", type=count(1), default=20)
    s.add_argument("--features", type=count(0), default=40)
    s.add_argument("--predictions", type=count(1), default=200)
    s.add_argument("--seed", type=int, default=0)
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: $COMPETITION_MODULE, else the installed one)")
    s.add_argument("--keep", metavar="DIR",
                   help="keep the data, the bundle, the baseline script and the answers in DIR (new or empty)")


def run(args):
    from .. import demo
    return demo.run_demo(groups=args.groups, rows_per_group=args.rows_per_group, features=args.features,
                         predictions=args.predictions, seed=args.seed, module=args.module, keep=args.keep)
