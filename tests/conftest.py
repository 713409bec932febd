"""Every test loads a fresh copy of the built module.

make_env is once-only and the module reads its inputs from its own directory, so each test
copies the built module file into a temporary directory of its own, writes the inputs it
needs beside it, and loads it with importlib under the name ``competition``.
"""
import glob
import importlib.machinery
import importlib.util
import os
import shutil
import sys

import pytest

from sealing import seal

HERE = os.path.dirname(os.path.abspath(__file__))
SUBMISSION = "/vantor/working/submission.csv"


def built_module_path():
    path = os.environ.get("COMPETITION_MODULE")
    if path:
        return path
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    for pattern in ("build/*/competition*", "build/competition*"):
        for candidate in sorted(glob.glob(os.path.join(HERE, "..", pattern))):
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


@pytest.fixture
def fresh(tmp_path):
    """Returns a loader: fresh(files=None) -> a newly loaded copy of the module."""
    counter = [0]

    def make(files=None):
        counter[0] += 1
        return load_module(tmp_path / ("m%d" % counter[0]), files)

    return make


def refused(call, message):
    """call() raises the protocol's plain Exception with exactly this message, cause cleared."""
    with pytest.raises(Exception) as info:
        call()
    exc = info.value
    assert type(exc) is Exception
    assert exc.args == (message,)
    assert exc.__cause__ is None and exc.__suppress_context__
    return exc


def sealed_inputs(test_csv, sample_csv):
    """The two shipped files for the given CSV texts (str or bytes)."""
    enc = lambda t: seal(t.encode() if isinstance(t, str) else t)
    return {"test.csv.encrypted": enc(test_csv),
            "sample_submission.csv.encrypted": enc(sample_csv)}


@pytest.fixture
def env_with(fresh):
    """env_with(test_csv, sample_csv) -> (module, env) with those inputs sealed beside it."""
    def make(test_csv, sample_csv):
        m = fresh(sealed_inputs(test_csv, sample_csv))
        return m, m.make_env()
    return make


@pytest.fixture
def submission_path():
    """The fixed output path, empty for the test: its directory is created when missing, a file
    found there is set aside and put back afterwards, and a file the test wrote is removed."""
    directory = os.path.dirname(SUBMISSION)
    os.makedirs(directory, exist_ok=True)
    saved = None
    if os.path.exists(SUBMISSION):
        with open(SUBMISSION, "rb") as f:
            saved = f.read()
        os.remove(SUBMISSION)
    try:
        yield SUBMISSION
    finally:
        if os.path.exists(SUBMISSION):
            os.remove(SUBMISSION)
        if saved is not None:
            with open(SUBMISSION, "wb") as f:
                f.write(saved)
