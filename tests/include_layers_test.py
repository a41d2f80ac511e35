#!/usr/bin/env python3
"""The include-layer check flags upward and sideways includes, and only those."""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
import check_include_layers  # noqa: E402

CASES = [  # (file, include, flagged)
    ("runtime/a.cc", "base/error_stack.h", False),
    ("runtime/reference/a.cc", "runtime/fixed_point.h", False),
    ("engine/a.cc", "devices/device_selection.h", False),
    ("cpu/x86/a.cc", "qx_orb.h", False),
    ("runtime/a.cc", "engine/model.h", True),
    ("base/a.h", "runtime/device_context.h", True),
    ("frontend/a.cc", "cpu/thread_pool.h", True),
    ("cpu/a.cc", "devices/device_selection.h", True),
    ("gadgets/a.cc", "base/allocator.h", True),
]


class IncludeLayers(unittest.TestCase):
    def test_cases(self):
        for file, include, flagged in CASES:
            with self.subTest(file=file, include=include), tempfile.TemporaryDirectory() as d:
                path = pathlib.Path(d) / file
                path.parent.mkdir(parents=True)
                path.write_text(f'#include "{include}"\n')
                self.assertEqual(bool(check_include_layers.violations(pathlib.Path(d))), flagged)

    def test_source_tree(self):
        src = pathlib.Path(__file__).resolve().parent.parent / "src"
        self.assertEqual(check_include_layers.violations(src), [])


if __name__ == "__main__":
    unittest.main()
