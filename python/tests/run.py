"""Runs one pytest module for CTest: run.py test_x.py [--needs mod,mod].

Exits 77, which CTest reports as skipped, where this interpreter lacks
pytest, numpy or a module the test file needs.
"""

import importlib.util
import pathlib
import sys

module = sys.argv[1]
needs = ["pytest", "numpy"]
if len(sys.argv) > 3 and sys.argv[2] == "--needs":
    needs += sys.argv[3].split(",")
missing = [name for name in needs if importlib.util.find_spec(name) is None]
if missing:
    print(f"skipped: {sys.executable} lacks {', '.join(missing)}")
    sys.exit(77)

import pytest  # noqa: E402

here = pathlib.Path(__file__).resolve().parent
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "-o", "console_output_style=classic",
                      str(here / module)]))
