#!/usr/bin/env python3
"""Runs one training test module for CTest.

    run.py MODULE        (MODULE: test_qx_format, ... in this folder)

Exit status 0 when it passed, 1 when a test failed, 77 (CTest's
SKIP_RETURN_CODE) when it could not run here: numpy or torch missing, or
every test skipped for want of a built tool.
"""
import sys
import unittest

import support  # noqa: F401  (puts training/ on the path)

SKIPPED = 77


def main():
    name = sys.argv[1]
    try:
        module = __import__(name)
    except unittest.SkipTest as why:
        print(f"{name} skipped: {why}")
        return SKIPPED
    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # a class skipped in setUpClass is listed as skipped without being counted as run
    ran = result.testsRun - sum(isinstance(test, unittest.TestCase) for test, _ in result.skipped)
    return SKIPPED if result.skipped and ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
