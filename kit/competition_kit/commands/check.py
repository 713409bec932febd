"""competition-kit check DIR: the pre-upload check (inspect --verify)"""
from . import inspect

NAME = "check"
HELP = "the pre-upload check of a bundle (inspect --verify)"
DESCRIPTION = ("Checks a bundle before its upload, one line per file and per problem; "
               "exits 1 when there is a problem.")


def add_arguments(s):
    s.add_argument("directory", metavar="DIR")
    s.set_defaults(verify=True, module=None)


run = inspect.run
