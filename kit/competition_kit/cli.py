"""competition-kit: seal, inspect and bundle a competition; rehearse a notebook against it."""
import argparse
import os
import sys

from . import __version__
from .commands import PROG, bundle, check, demo, dry_run, inspect, score, seal, starter
from .errors import KitError

COMMANDS = (seal, inspect, check, bundle, dry_run, score, starter, demo)  # in the order --help lists them


def parser():
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.split(": ", 1)[1])
    p.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
        s = sub.add_parser(command.NAME, help=command.HELP, description=command.DESCRIPTION)
        command.add_arguments(s)
        s.set_defaults(func=command.run)
    return p


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
