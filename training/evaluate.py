#!/usr/bin/env python3
"""Evaluates a model and the built-in detector through the library.

    evaluate.py TOOL MODEL FOLDER OUT_PREFIX [THRESHOLD]

FOLDER holds one sub-folder per label: the language texts of the library
("unknown", "de", ... "pt") for speech, "nonspeech" (or names starting with
"nonspeech-", e.g. nonspeech-music) for audio without speech. Files are
.flac, .wav (decoded with sox to 16 kHz mono) or raw 16 kHz int16 .pcm.
Every file runs through qx_orb_process (frames of 32768 samples) and,
chunk by chunk, through the detector alone. Prints per-class accuracy over
voiced frames and over 20-second stretches (10 consecutive frames of a file,
decided by the sum of the log-probabilities of their voiced frames: what a
user of a whole recording sees), the confusion matrix and the detector's figures; writes
OUT_PREFIX.json, OUT_PREFIX.md and OUT_PREFIX.svg (confusion matrix).
"""
import collections
import glob
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

LABELS = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
STRETCH = 10  # frames of 2.048 s: about 20 seconds


def stretch_calls(frames):
    """One call per 10 consecutive frames that hold a voiced frame."""
    calls = []
    for start in range(0, len(frames), STRETCH):
        voiced = [s for v, s in frames[start:start + STRETCH] if v]
        if voiced:
            calls.append(int(np.argmax(np.log(np.maximum(voiced, 1e-9)).sum(0))))
    return calls


def decode(path, tmp):
    if path.endswith(".pcm"):
        return path
    out = os.path.join(tmp, "in.pcm")
    subprocess.run(["sox", path, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer",
                    "-t", "raw", out], check=True)
    return out


def run_file(tool, model, threshold, path):
    with tempfile.TemporaryDirectory() as tmp:
        pcm = decode(path, tmp)
        out = subprocess.run([tool, "evaluate", model, str(threshold), pcm], check=True,
                             capture_output=True, text=True).stdout
    frames, chunks = [], []
    for line in out.splitlines():
        parts = line.split()
        if parts[0] == "frame":
            frames.append((int(parts[2]), [float(v) for v in parts[3:]]))
        else:
            chunks.append(float(parts[2]))
    return frames, np.array(chunks)


def svg_matrix(matrix, rows, cols, title):
    cell, left, top = 44, 90, 70
    w, h = left + cell * len(cols) + 20, top + cell * len(rows) + 40
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" font-family="sans-serif" font-size="12">',
           f'<rect width="{w}" height="{h}" fill="white"/>',
           f'<text x="{left}" y="20" font-size="14">{title}</text>',
           f'<text x="{left}" y="{top - 28}">predicted</text>',
           f'<text x="12" y="{top + 12}">true</text>']
    for j, c in enumerate(cols):
        out.append(f'<text x="{left + j * cell + cell / 2}" y="{top - 8}" text-anchor="middle">{c}</text>')
    for i, r in enumerate(rows):
        total = matrix[i].sum()
        out.append(f'<text x="{left - 8}" y="{top + i * cell + cell / 2 + 4}" text-anchor="end">{r}</text>')
        for j in range(len(cols)):
            frac = matrix[i, j] / total if total else 0.0
            shade = int(255 - 200 * frac)
            out.append(f'<rect x="{left + j * cell}" y="{top + i * cell}" width="{cell}" height="{cell}" '
                       f'fill="rgb({shade},{shade},255)" stroke="#999"/>')
            if matrix[i, j]:
                out.append(f'<text x="{left + j * cell + cell / 2}" y="{top + i * cell + cell / 2 + 4}" '
                           f'text-anchor="middle">{100 * frac:.0f}</text>')
    out.append(f'<text x="{left}" y="{h - 12}">cells: % of the true class\'s voiced frames</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    tool, model, folder, prefix = sys.argv[1:5]
    threshold = float(sys.argv[5]) if len(sys.argv) > 5 else 0.5
    matrix = np.zeros((9, 9), np.int64)
    stretches = np.zeros((9, 9), np.int64)
    frames_total = {}
    nonspeech = {}
    chunk_speech = []
    per_file = []
    for sub in sorted(os.listdir(folder)):
        files = sorted(f for ext in ("flac", "wav", "pcm") for f in glob.glob(f"{folder}/{sub}/*.{ext}"))
        for path in files:
            frames, chunks = run_file(tool, model, threshold, path)
            voiced = [s for v, s in frames if v]
            per_file.append({"file": os.path.relpath(path, folder), "frames": len(frames),
                             "voiced": len(voiced)})
            if sub.startswith("nonspeech"):
                ns = nonspeech.setdefault(sub, [0, 0, 0, 0])
                ns[0] += len(frames)
                ns[1] += len(voiced)
                ns[2] += len(chunks)
                ns[3] += int((chunks >= threshold).sum())
                continue
            label = LABELS.index(sub)
            frames_total[label] = frames_total.get(label, 0) + len(frames)
            chunk_speech.append(chunks)
            calls = np.bincount([int(np.argmax(s)) for s in voiced], minlength=9)
            matrix[label] += calls
            stretches[label] += np.bincount(stretch_calls(frames), minlength=9)
            wrong = calls.copy()
            wrong[label] = 0
            per_file[-1].update({"label": sub, "correct": int(calls[label]),
                                 "most_other": LABELS[int(np.argmax(wrong))] if wrong.any() else ""})
    lines = [f"Model `{os.path.basename(model)}`, folder `{os.path.basename(os.path.normpath(folder))}`, "
             f"threshold {threshold}", "",
             "| class | frames | voiced | correct | accuracy | called unknown | 20 s stretches | right |",
             "|---|---|---|---|---|---|---|---|"]
    result = {"classes": {}, "nonspeech": {}}
    for k in range(9):
        if k not in frames_total:
            continue
        n = matrix[k].sum()
        acc = matrix[k, k] / n if n else float("nan")
        unk = matrix[k, 0] / n if n else float("nan")
        m = stretches[k].sum()
        stretch_acc = stretches[k, k] / m if m else float("nan")
        result["classes"][LABELS[k]] = {"frames": frames_total[k], "voiced": int(n),
                                        "accuracy": acc, "unknown": unk, "stretches": int(m),
                                        "stretch_accuracy": stretch_acc}
        lines.append(f"| {LABELS[k]} | {frames_total[k]} | {n} | {matrix[k, k]} | {100 * acc:.1f}% | "
                     f"{100 * unk:.1f}% | {m} | {100 * stretch_acc:.1f}% |")
    voiced_total = matrix.sum()
    overall = np.trace(matrix) / voiced_total if voiced_total else float("nan")
    present = [k for k in range(9) if matrix[k].sum()]
    mean_class = float(np.mean([matrix[k, k] / matrix[k].sum() for k in present])) if present else float("nan")
    speech_frames = sum(frames_total.values())
    stretch_total = stretches.sum()
    stretch_overall = np.trace(stretches) / stretch_total if stretch_total else float("nan")
    # what a model that always answers "unknown" would score on these frames
    always_unknown = matrix[0].sum() / voiced_total if voiced_total else float("nan")
    lines += ["", f"Voiced-frame accuracy: {100 * overall:.1f}% over {voiced_total} frames "
              f"(mean of per-class accuracies {100 * mean_class:.1f}%; always \"unknown\": "
              f"{100 * always_unknown:.1f}%).",
              f"20-second accuracy: {100 * stretch_overall:.1f}% over {stretch_total} stretches.", ""]
    result.update({"accuracy": overall, "mean_class_accuracy": mean_class, "voiced_frames": int(voiced_total),
                   "stretch_accuracy": stretch_overall, "stretches": int(stretch_total),
                   "always_unknown": always_unknown})
    if present:
        lines += ["Confusion matrix (rows: true, columns: predicted; voiced frames):", "",
                  "| | " + " | ".join(LABELS) + " |", "|---" * 10 + "|"]
        for k in present:
            lines.append(f"| {LABELS[k]} | " + " | ".join(str(v) for v in matrix[k]) + " |")
        lines.append("")
    # Classes made of several files (the unknown class's languages, several
    # recorded corpora): which of them the class's errors come from.
    files_of = collections.Counter(f.get("label") for f in per_file)
    spread = [f for f in per_file if "label" in f and f["voiced"] and files_of[f["label"]] > 1]
    if spread:
        lines += ["Files of classes with several files:", "",
                  "| file | voiced | accuracy | most often instead |", "|---|---|---|---|"]
        lines += [f"| {f['file']} | {f['voiced']} | {100 * f['correct'] / f['voiced']:.1f}% | "
                  f"{f['most_other']} |" for f in spread]
        lines.append("")
    ns_frames = sum(v[0] for v in nonspeech.values())
    ns_voiced = sum(v[1] for v in nonspeech.values())
    sp_voiced = int(sum(matrix.sum(1)))
    if speech_frames or ns_frames:
        det_acc = (sp_voiced + ns_frames - ns_voiced) / (speech_frames + ns_frames)
        lines += ["Detector, frames of 2.048 s at the threshold:", "",
                  "| set | frames | voiced |", "|---|---|---|",
                  f"| speech | {speech_frames} | {100 * sp_voiced / max(1, speech_frames):.1f}% |"]
        for sub, (nf, nv, nc, ncv) in sorted(nonspeech.items()):
            lines.append(f"| {sub} | {nf} | {100 * nv / max(1, nf):.1f}% (chunks {100 * ncv / max(1, nc):.1f}%) |")
            result["nonspeech"][sub] = {"frames": nf, "voiced": nv, "chunks": nc, "chunks_voiced": ncv}
        lines += ["", f"Detector frame accuracy, speech versus non-speech: {100 * det_acc:.1f}%", ""]
        result.update({"detector_accuracy": det_acc, "speech_frames": speech_frames,
                       "speech_voiced": sp_voiced})
    text = "\n".join(lines)
    print(text)
    with open(prefix + ".md", "w") as f:
        f.write(text + "\n")
    with open(prefix + ".json", "w") as f:
        json.dump({**result, "matrix": matrix.tolist(), "files": per_file}, f, indent=1)
    if present:
        with open(prefix + ".svg", "w") as f:
            f.write(svg_matrix(matrix[present], [LABELS[k] for k in present], LABELS,
                               f"{os.path.basename(os.path.normpath(folder))}: voiced frames"))


if __name__ == "__main__":
    main()
