#!/usr/bin/env python3
"""An hour of audio through qx-orb's standard input, made on the fly (a
22.05 kHz WAV stream, so the resampler runs too), with JSON Lines, subtitles
and a plot: the program's peak resident memory stays under 100 MB.

    constant_memory_test.py QX_ORB [--skip REASON]
"""
import array
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import time

RATE = 22050
SECONDS = 3600
LIMIT_KIB = 100 * 1024
FRAME = 32768 / 16000


def ten_seconds():
    """A buzzing vowel at syllable rate: the detector calls much of it voiced."""
    block = array.array("h")
    for i in range(RATE * 10):
        t = i / RATE
        envelope = max(0.0, math.sin(2 * math.pi * 3 * t))
        pitch = 140 + 30 * math.sin(math.pi * t)
        value = sum(math.sin(2 * math.pi * k * pitch * t) / k for k in range(1, 12))
        block.append(int(6000 * envelope * value))
    return block.tobytes()


def main():
    if len(sys.argv) > 2 and sys.argv[2] == "--skip":
        print("skipped:", sys.argv[3])
        return 77
    program = sys.argv[1]
    size = 2 * RATE * SECONDS
    header = (b"RIFF" + struct.pack("<I", 36 + size) + b"WAVE" +
              b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, RATE, 2 * RATE, 2, 16) +
              b"data" + struct.pack("<I", size))
    block = ten_seconds()
    with tempfile.TemporaryDirectory(prefix="qx_orb_memory_") as folder:
        out_path = os.path.join(folder, "out.jsonl")
        started = time.monotonic()
        with open(out_path, "wb") as out:
            process = subprocess.Popen(
                [program, "--json", "--srt", os.path.join(folder, "hour.srt"),
                 "--plot", os.path.join(folder, "hour.svg"), "-"],
                stdin=subprocess.PIPE, stdout=out, stderr=subprocess.PIPE)
            process.stdin.write(header)
            for _ in range(SECONDS // 10):
                process.stdin.write(block)
            process.stdin.close()
            # wait4 gives this child's own peak, not the largest of all children.
            _, wait_status, usage = os.wait4(process.pid, 0)
        elapsed = time.monotonic() - started
        status = os.waitstatus_to_exitcode(wait_status)
        errors = process.stderr.read().decode()
        with open(out_path) as results:
            last = json.loads(results.read().splitlines()[-1])
    summary = last["summary"]
    print("exit status %d, %d frames (%d voiced), %.0f s of audio in %.1f s, peak RSS %.1f MB"
          % (status, summary["frames"], summary["voiced"], summary["duration"], elapsed,
             usage.ru_maxrss / 1024))
    failures = []
    if status not in (0, 2):
        failures.append("exit status %d: %s" % (status, errors))
    if summary["frames"] != math.ceil(SECONDS / FRAME):
        failures.append("%d frames, not %d" % (summary["frames"], math.ceil(SECONDS / FRAME)))
    if abs(summary["duration"] - SECONDS) > 0.01:
        failures.append("duration %.3f s" % summary["duration"])
    if usage.ru_maxrss >= LIMIT_KIB:
        failures.append("peak RSS %.1f MB is not under 100 MB" % (usage.ru_maxrss / 1024))
    for failure in failures:
        print("FAIL", failure)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
