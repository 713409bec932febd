"""competition-kit inspect DIR [--module PATH] [--verify]"""
NAME = "inspect"
HELP = "summarise sealed inputs (decrypted in memory only)"
DESCRIPTION = ("Decrypts test.csv.encrypted and sample_submission.csv.encrypted in DIR "
               "through the module's own reader, in memory, and summarises them.")


def add_arguments(s):
    s.add_argument("directory", metavar="DIR")
    s.add_argument("--module", metavar="PATH",
                   help="the module file (default: the one in DIR, else $COMPETITION_MODULE, else the installed one)")
    s.add_argument("--verify", action="store_true",
                   help="the pre-upload check instead: DIR's files against its manifest, files it does not "
                        "list, each module loaded on its interpreter, the inputs' PlayIds; exit 1 on a problem")


def run(args):
    from ..inspection import inspect
    inspect(args.directory, args.module, verify_only=args.verify)
    return 0
