"""Fixtures and hooks of the suite; what the tests share besides them is in testsupport/.

Every test loads a fresh copy of the built module (testsupport/module.py): make_env is
once-only and the module reads its inputs from its own directory. The hypothesis profiles are
registered here and the one HYPOTHESIS_PROFILE names is loaded (testsupport/profiles.py).
"""
import os

import pytest

from testsupport import profiles
from testsupport.module import SUBMISSION, load_module
from testsupport.sealing import sealed_inputs

profiles.register()
profiles.load()


@pytest.fixture
def fresh(tmp_path):
    """Returns a loader: fresh(files=None) -> a newly loaded copy of the module."""
    counter = [0]

    def make(files=None):
        counter[0] += 1
        return load_module(tmp_path / ("m%d" % counter[0]), files)

    return make


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
