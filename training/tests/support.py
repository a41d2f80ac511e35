"""Shared by the training tests: paths, the built tools, skipping cleanly."""
import importlib.util
import os
import sys
import unittest

TRAINING = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TRAINING)
sys.path.insert(0, TRAINING)


def require(*modules):
    """Skips the importing test module when a Python package is missing."""
    for name in modules:
        if importlib.util.find_spec(name) is None:
            raise unittest.SkipTest(f"{name} is not installed for {sys.executable}")


def tool(variable):
    """A built program named by CTest's environment (QX_MODEL_TOOL,
    QX_TRAIN_TOOL); the test is skipped without it."""
    path = os.environ.get(variable, "")
    if not (path and os.access(path, os.X_OK)):
        raise unittest.SkipTest(f"{variable} does not name a built program")
    return path


def golden_reference():
    """tests/golden/rederive.py: the pipeline's arithmetic written without the
    library's code (features, detector front end, committed detector tables)."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "golden"))
    import rederive
    return rederive
