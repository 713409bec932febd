"""The built module under test, and fresh copies of it.

make_env is once-only and the module reads its inputs from its own directory, so each test
copies the built module file into a temporary directory of its own, writes the inputs it
needs beside it, and loads it with importlib under the name ``competition``.
"""
import glob
import importlib.machinery
import importlib.util
import os
import shutil

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUBMISSION = "/vantor/working/submission.csv"  # where the module writes, whatever its directory


def built_module_path():
    path = os.environ.get("COMPETITION_MODULE")
    if path:
        return path
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    for pattern in ("build/*/competition*", "build/competition*"):
        for candidate in sorted(glob.glob(os.path.join(TESTS, "..", pattern))):
            if any(candidate.endswith(s) for s in suffixes[:1]):
                return candidate
    module_spec = importlib.util.find_spec("competition")
    if module_spec is None or module_spec.origin is None:
        raise RuntimeError("the competition module is not built: set COMPETITION_MODULE")
    return module_spec.origin


MODULE_PATH = built_module_path()


def load_module(directory, files=None, name="competition"):
    """Copies the module into directory, writes files (name -> bytes) beside it, loads it."""
    os.makedirs(str(directory), exist_ok=True)
    target = os.path.join(str(directory), os.path.basename(MODULE_PATH))
    shutil.copyfile(MODULE_PATH, target)
    for fname, content in (files or {}).items():
        with open(os.path.join(str(directory), fname), "wb") as f:
            f.write(content)
    module_spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module
