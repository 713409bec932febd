"""The CPython interpreters a bundle is built for: found in pyenv or on PATH, or given by path."""
import glob
import os
import shutil
import subprocess
import sys

from .errors import KitError


SUPPORTED = ["3.%d" % minor for minor in range(6, 16)]  # the CPython versions the module builds for


class Interpreter(object):
    def __init__(self, path, version, ext_suffix):
        self.path, self.version, self.ext_suffix = path, version, ext_suffix
        self.ext_name = "competition" + ext_suffix


_ASK = ("import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); "
        "print(sys.implementation.name); print(sysconfig.get_config_var('EXT_SUFFIX') or '')")


def describe_interpreter(path):
    try:
        answer = subprocess.run([path, "-c", _ASK], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        raise KitError("cannot run the interpreter %s: %s" % (path, e))
    lines = answer.stdout.split()
    if answer.returncode != 0 or len(lines) != 3:
        raise KitError("cannot run the interpreter %s: it exited with status %d" % (path, answer.returncode))
    version, implementation, suffix = lines
    if implementation != "cpython":
        raise KitError("%s is %s, not CPython" % (path, implementation))
    if version not in SUPPORTED:
        raise KitError("%s is CPython %s; the module builds for CPython %s to %s" % (
            path, version, SUPPORTED[0], SUPPORTED[-1]))
    return Interpreter(path, version, suffix)


def _pyenv_root():
    return os.environ.get("PYENV_ROOT") or os.path.join(os.path.expanduser("~"), ".pyenv")


def _candidates(version):
    """Interpreter executables that may be CPython version ("3.13"): pyenv's newest patch
    release first, then pythonX.Y on PATH."""
    found = []
    releases = glob.glob(os.path.join(_pyenv_root(), "versions", version + ".*", "bin", "python" + version))
    releases = [r for r in releases
                if os.path.basename(os.path.dirname(os.path.dirname(r)))[len(version) + 1:].isdigit()]
    found.extend(sorted(releases, key=lambda r: int(r.split(os.sep)[-3][len(version) + 1:]), reverse=True))
    on_path = shutil.which("python" + version)
    if on_path:
        found.append(on_path)
    return found


def find_interpreters(requests):
    """The interpreters to build for: each request is a version ("3.13"), the path of an
    interpreter, or "all" (every supported CPython found, pyenv's included)."""
    chosen = []
    for request in requests:
        if request == "all":
            found = [_candidates(v)[0] for v in SUPPORTED if _candidates(v)]
            if not found:
                raise KitError("--python all: no CPython %s to %s found (in pyenv's %s or on PATH)" % (
                    SUPPORTED[0], SUPPORTED[-1], _pyenv_root()))
            chosen.extend(describe_interpreter(p) for p in found)
        elif os.sep in request:
            if not os.path.isfile(request):
                raise KitError("interpreter not found: %s" % request)
            chosen.append(describe_interpreter(request))
        else:
            if request not in SUPPORTED:
                raise KitError("--python %s: expected a version from %s to %s, a path or all" % (
                    request, SUPPORTED[0], SUPPORTED[-1]))
            found = _candidates(request)
            if not found:
                raise KitError("no CPython %s found (in pyenv's %s or on PATH)" % (request, _pyenv_root()))
            chosen.append(describe_interpreter(found[0]))
    unique, seen = [], {}
    for interpreter in chosen:
        if interpreter.version in seen:
            if os.path.realpath(seen[interpreter.version]) != os.path.realpath(interpreter.path):
                raise KitError("two interpreters for CPython %s: %s and %s" % (
                    interpreter.version, seen[interpreter.version], interpreter.path))
            continue
        seen[interpreter.version] = interpreter.path
        unique.append(interpreter)
    return unique


def child_python(version):
    """An interpreter of CPython version ("3.13") to load a module in: this one, else the newest
    pyenv release, else pythonX.Y on PATH; None when none is found."""
    if version == "%d.%d" % sys.version_info[:2]:
        return sys.executable
    found = _candidates(version)
    return found[0] if found else None
