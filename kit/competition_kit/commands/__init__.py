"""The subcommands of competition-kit, one module each: its name, help and description, its
options (add_arguments) and what it runs (run). The work is imported only when it runs, so
that the parser stays light."""
import argparse

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
