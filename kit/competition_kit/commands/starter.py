"""competition-kit starter --bundle DIR --out FILE"""
from . import PROG

NAME = "starter"
HELP = "write a participant's starter script or notebook for a bundle"
DESCRIPTION = ("Writes a script (.py) or notebook (.ipynb) that runs the loop on the "
               "bundle and fills the sample frame's own columns, ready for your model.")


def add_arguments(s):
    s.add_argument("--bundle", required=True, metavar="DIR")
    s.add_argument("--out", required=True, metavar="FILE", help="my_model.py or my_model.ipynb")


def run(args):
    from ..starter import write_starter
    print("wrote %s; try it: %s dry-run %s --bundle %s" % (write_starter(args.bundle, args.out), PROG, args.out,
                                                          args.bundle))
    return 0
