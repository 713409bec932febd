"""The module under test, and the interpreter and libraries it is measured on."""
import importlib.util
import os
import platform
import sys

import numpy as np
import pandas as pd

SUBMISSION = "/vantor/working/submission.csv"


def module_path():
    path = os.environ.get("COMPETITION_MODULE")
    if path:
        return path
    found = importlib.util.find_spec("competition")
    if found is None:
        sys.exit("no module to measure: set COMPETITION_MODULE to a built competition*.so, "
                 "or install the module")
    return found.origin


def load_copy(directory):
    """The copy of the module in `directory` (beside its inputs), loaded afresh."""
    path = os.path.join(directory, os.path.basename(module_path()))
    module_spec = importlib.util.spec_from_file_location("competition", path)
    m = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(m)
    m.make_env.__called__ = False  # a second load of one file shares the first one's function
    return m


def versions():
    """The interpreter and libraries measured; pyarrow where it is installed (pandas then reads text
    as Arrow strings), which also names the results apart."""
    try:
        import pyarrow
        arrow = pyarrow.__version__
    except ImportError:
        arrow = None
    tag = "py%d.%d" % sys.version_info[:2] + ("-pyarrow" if arrow else "")
    return {"python": platform.python_version(), "pandas": pd.__version__, "numpy": np.__version__,
            "pyarrow": arrow, "tag": tag}


def libraries(v):
    """Python x, pandas y (and pyarrow z): how a result is named in the tables."""
    return "Python %s, pandas %s" % (v["python"], v["pandas"]) + (
        ", pyarrow %s" % v["pyarrow"] if v.get("pyarrow") else "")


def pandas_major(version):
    return int(version.split(".")[0])
