"""competition-kit seal CSV... --out DIR"""
from . import allow_flags, allowed

NAME = "seal"
HELP = "encrypt CSV files into the form the module reads"
DESCRIPTION = ("Writes <name>.encrypted into DIR for each CSV, after checking that "
               "every CSV parses as the module reads it and has a PlayId column.")


def add_arguments(s):
    s.add_argument("csv", nargs="+", metavar="CSV")
    s.add_argument("--out", required=True, metavar="DIR")
    allow_flags(s)


def run(args):
    from ..inputs import seal
    for path in seal(args.csv, args.out, allow_empty=args.allow_empty,
                     allow_unmatched=args.allow_unmatched, allow=allowed(args)):
        print("wrote %s" % path)
    return 0
