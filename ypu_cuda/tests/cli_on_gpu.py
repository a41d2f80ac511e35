#!/usr/bin/env python3
"""The command-line program through the shared libqx_orb and its ordinary
dlopen search: with the emulated GPU library on LD_LIBRARY_PATH, "gpu" is
listed after the CPU and gives the report "cpu:1" gives; without it, the
list has no GPU and "gpu" fails naming the missing library.

    cli_on_gpu.py QX_ORB LIBRARY_FOLDER AUDIO
"""
import os
import subprocess
import sys
import unittest

QX_ORB, FOLDER, AUDIO = sys.argv[1:4]
LIBRARY = "libqx_ypu_impl_cuda_orb.so"


def run(args, with_library):
    env = dict(os.environ)
    paths = [p for p in env.get("LD_LIBRARY_PATH", "").split(":") if p]
    env["LD_LIBRARY_PATH"] = ":".join(([FOLDER] if with_library else []) + paths)
    done = subprocess.run([QX_ORB] + args, env=env, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


class CliOnGpu(unittest.TestCase):
    def test_the_list_shows_the_gpu_only_with_the_library(self):
        for with_library, expected in ((True, 2), (False, 1)):
            with self.subTest(with_library=with_library):
                status, out, err = run(["--list-devices"], with_library)
                self.assertEqual(status, 0, err)
                lines = out.splitlines()
                self.assertEqual(len(lines), expected, out)
                self.assertTrue(lines[0].startswith("cpu:[0-"), out)
                if with_library:
                    self.assertTrue(lines[1].startswith("gpu:0 - "), out)

    def test_gpu_reports_what_the_cpu_reports(self):
        status, on_cpu, err = run(["--device", "cpu:1", AUDIO], True)
        self.assertEqual(status, 0, err)
        status, on_gpu, err = run(["--device", "gpu", AUDIO], True)
        self.assertEqual(status, 0, err)
        self.assertEqual(on_gpu, on_cpu)

    def test_without_the_library_gpu_names_it(self):
        status, out, err = run(["--device", "gpu", AUDIO], False)
        self.assertNotEqual(status, 0)
        self.assertEqual(out, "")
        self.assertIn(f"GPU library {LIBRARY} could not be loaded", err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
