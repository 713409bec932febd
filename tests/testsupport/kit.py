"""The kit's command line, run in-process."""
import io
import os
import sys

KIT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "kit"))
if KIT not in map(os.path.abspath, sys.path):
    sys.path.insert(0, KIT)

from competition_kit import cli  # noqa: E402


def kit(*args):
    """Runs the command line in-process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        code = cli.main([str(a) for a in args])
    finally:
        sys.stdout, sys.stderr = saved
    return code, out.getvalue(), err.getvalue()
