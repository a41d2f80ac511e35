#!/usr/bin/env python3
"""The command-line program through the shared libqx_orb and its ordinary
dlopen search, with a GPU library's folder on LD_LIBRARY_PATH: "gpu" is
listed after the CPU and gives the report "cpu:1" gives, or, where the
library finds no device (the CUDA build on a machine without a GPU), the
list has no GPU and "gpu" says so. Without the folder, the list has no
GPU and "gpu" fails naming the missing library.

    cli_on_gpu.py QX_ORB LIBRARY_FOLDER AUDIO [--expect-gpu]
"""
import os
import subprocess
import sys
import unittest

QX_ORB, FOLDER, AUDIO = sys.argv[1:4]
EXPECT_GPU = "--expect-gpu" in sys.argv[4:]
LIBRARY = "libqx_ypu_impl_cuda_orb.so"


def run(args, with_library):
    env = dict(os.environ)
    paths = [p for p in env.get("LD_LIBRARY_PATH", "").split(":") if p]
    env["LD_LIBRARY_PATH"] = ":".join(([FOLDER] if with_library else []) + paths)
    done = subprocess.run([QX_ORB] + args, env=env, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def listed(with_library):
    status, out, err = run(["--list-devices"], with_library)
    assert status == 0, err
    return out.splitlines()


class CliOnGpu(unittest.TestCase):
    def test_the_list_has_the_cpu_first_then_the_library_devices(self):
        with_library = listed(True)
        self.assertTrue(with_library[0].startswith("cpu:[0-"), with_library)
        self.assertTrue(all(line.startswith("gpu:") for line in with_library[1:]), with_library)
        if EXPECT_GPU:
            self.assertGreater(len(with_library), 1)
        self.assertEqual(listed(False), with_library[:1])

    def test_gpu_reports_what_the_cpu_reports_or_says_there_is_no_device(self):
        status, on_cpu, err = run(["--device", "cpu:1", AUDIO], True)
        self.assertEqual(status, 0, err)
        status, on_gpu, err = run(["--device", "gpu", AUDIO], True)
        if len(listed(True)) > 1:
            self.assertEqual(status, 0, err)
            self.assertEqual(on_gpu, on_cpu)
        else:
            self.assertNotEqual(status, 0)
            self.assertIn("No CUDA device gpu:0 (0 found)", err)

    def test_without_the_library_gpu_names_it(self):
        status, out, err = run(["--device", "gpu", AUDIO], False)
        self.assertNotEqual(status, 0)
        self.assertEqual(out, "")
        self.assertIn(f"GPU library {LIBRARY} could not be loaded", err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
