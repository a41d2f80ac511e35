#!/usr/bin/env python3
"""The bundled model and the built-in detector on short clips that were not
used in training: each speech clip is let through and named correctly, each
recorded clip (short words joined by short pauses) is let through in every
frame, each non-speech clip is gated out at the default threshold. The
language of recorded clips is printed, not checked: the model names it on
only about a quarter of recorded frames (models/MODEL.md).

    trained_model_clips.py DEMO MODEL CLIP_FOLDER
"""
import glob
import json
import os
import subprocess
import sys

# Clips the current default model and detector are known to get wrong (see
# models/MODEL.md): reported on every run, but only a miss outside this list
# fails the test. None today: the detector holds through the French digits'
# pauses since it was trained to bridge pauses under a second.
KNOWN_MISSES = set()


def main():
    demo, model, folder = sys.argv[1:4]
    failures, checked = [], 0
    for path in sorted(glob.glob(os.path.join(folder, "*.flac"))):
        name = os.path.basename(path)[:-5]
        run = subprocess.run([demo, "--json", "--model", model, path],
                             capture_output=True, text=True)
        if run.returncode not in (0, 2):  # 2: no speech found, which non-speech clips expect
            raise RuntimeError(f"{name}: exit status {run.returncode}: {run.stderr}")
        out = run.stdout
        lines = [json.loads(line) for line in out.splitlines() if line.strip()]
        summary = lines[-1]["summary"]
        checked += 1
        if name.startswith("nonspeech-"):
            if summary["voiced"] != 0:
                failures.append(f"{name}: {summary['voiced']} of {summary['frames']} frames voiced")
            continue
        expected = name.split("-", 1)[1]
        voiced = [f for f in lines[:-1] if f["voiced"]]
        if name.startswith("recorded-"):
            if summary["voiced"] != summary["frames"]:
                failures.append(f"{name}: {summary['voiced']} of {summary['frames']} frames voiced")
            elif voiced:
                named = max(summary["shares"], key=summary["shares"].get)
                print(f"{name}: named {named} (recorded speech: not checked)")
            continue
        if not voiced:
            failures.append(f"{name}: no voiced frame")
            continue
        named = max(summary["shares"], key=summary["shares"].get)
        if named != expected:
            failures.append(f"{name}: named {named}, scores {voiced[0]['scores']}")
    known = [f for f in failures if f.split(":")[0] in KNOWN_MISSES]
    failures = [f for f in failures if f not in known]
    for miss in known:
        print("known miss", miss)
    for failure in failures:
        print("FAIL", failure)
    print(f"{checked - len(failures) - len(known)} passed, {len(failures)} failed, {len(known)} skipped")
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
