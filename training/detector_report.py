#!/usr/bin/env python3
"""The voice gate of one or more builds of the library, side by side.

    detector_report.py WORK MODEL OUT_PREFIX NAME=TOOL [NAME=TOOL ...]

Each TOOL is a feature/evaluation tool built with one detector compiled in.
Over the evaluation folders of make_eval.py it measures, at threshold 0.5,
the share of frames voiced: every recorded corpus's streams (clips joined by
0.25 s gaps, the mean over corpora and all frames together), held-out
synthetic speech, the same at -35 dBFS, and each kind of non-speech. Writes
OUT_PREFIX.md and OUT_PREFIX.json.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def measure(work, tool, model, folder, prefix):
    if not os.path.exists(prefix + ".json"):
        subprocess.run(["/usr/bin/python3", f"{HERE}/evaluate.py", tool, model, folder, prefix], check=True,
                       stdout=subprocess.DEVNULL)
    with open(prefix + ".json") as f:
        return json.load(f)


def gate(work, name, tool, model):
    """Rows of (set, frames, voiced frames)."""
    out = f"{work}/eval/detector"
    os.makedirs(out, exist_ok=True)
    rows = []
    recorded = sorted(os.listdir(f"{work}/eval/recorded"))
    for corpus in recorded:
        r = measure(work, tool, model, f"{work}/eval/recorded/{corpus}", f"{out}/{name}-{corpus}")
        rows.append((corpus, r["speech_frames"], r["speech_voiced"]))
    synthetic = measure(work, tool, model, f"{work}/eval/synthetic", f"{out}/{name}-synthetic")
    quiet = measure(work, tool, model, f"{work}/eval/quiet", f"{out}/{name}-quiet")
    rows.append(("synthetic speech", synthetic["speech_frames"], synthetic["speech_voiced"]))
    rows.append(("synthetic speech at -35 dBFS", quiet["speech_frames"], quiet["speech_voiced"]))
    for kind, v in sorted(synthetic["nonspeech"].items()):
        rows.append((kind, v["frames"], v["voiced"]))
    return rows, recorded


def main():
    work, model, prefix = sys.argv[1:4]
    builds = [a.split("=", 1) for a in sys.argv[4:]]
    results = {name: gate(work, name, tool, model) for name, tool in builds}
    names = [name for name, _ in builds]
    recorded = results[names[0]][1]
    share = lambda n, v: v / n if n else float("nan")
    lines = ["# The voice gate on held-out material (threshold 0.5)", "",
             "Share of 2.048 s frames voiced. Recorded corpora: each speaker's clips joined by 0.25 s gaps; "
             "target at least 90% of their frames. Non-speech: music and effects never heard in training, "
             "generated noise, tones and silence; target at most 2% of music and effects frames.", "",
             "| set | frames | " + " | ".join(names) + " |", "|---|---|" + "---|" * len(names)]
    summary = {}
    for i, (label, frames, _) in enumerate(results[names[0]][0]):
        cells = [f"{100 * share(frames, results[n][0][i][2]):.1f}%" for n in names]
        lines.append(f"| {label} | {frames} | " + " | ".join(cells) + " |")
    for n in names:
        rows = results[n][0][:len(recorded)]
        summary[n] = {"rows": results[n][0],
                      "recorded_mean": sum(share(f, v) for _, f, v in rows) / len(rows),
                      "recorded_pooled": share(sum(f for _, f, _ in rows), sum(v for _, _, v in rows))}
    lines += ["", "Recorded corpora, mean over corpora: " +
              ", ".join(f"{n} {100 * summary[n]['recorded_mean']:.1f}%" for n in names) +
              "; all their frames together: " +
              ", ".join(f"{n} {100 * summary[n]['recorded_pooled']:.1f}%" for n in names) + "."]
    with open(prefix + ".md", "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(prefix + ".json", "w") as f:
        json.dump(summary, f, indent=1)
    print("\n".join(lines))


if __name__ == "__main__":
    sys.exit(main())
