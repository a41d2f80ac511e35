#!/usr/bin/env python3
"""Quantisation-aware training and export.

    train.py detector WORK MINUTES     -> WORK/models/vad_weights.json
    train.py classifier WORK MINUTES   -> WORK/models/classifier.qx (+ .pt)

Training stops after MINUTES of wall time (or when the schedule ends) and
keeps the checkpoint that did best on the held-out features.
"""
import copy
import glob
import json
import os
import sys
import time

import numpy as np
import torch

import qat
from data import KINDS

torch.set_num_threads(1)
torch.manual_seed(7)


def update_meta(work, **values):
    path = f"{work}/models/meta.json"
    meta = json.load(open(path)) if os.path.exists(path) else {}
    meta.update(values)
    os.makedirs(f"{work}/models", exist_ok=True)
    with open(path, "w") as f:
        json.dump(meta, f, indent=1)


def log(*a):
    print(time.strftime("%H:%M:%S"), *a, flush=True)


# ---- Detector ----------------------------------------------------------------

def detector_stats(vad):
    """Integer standardisation from the training streams: shift = mean,
    scale = 1024 * 1024 / deviation, over values above digital silence."""
    shift, scale = np.zeros(40, np.int16), np.zeros(40, np.int16)
    for b in range(40):
        v = np.concatenate([vad[:, b], vad[:, 40 + b]]).astype(np.float64)
        v = v[v > -32768]
        shift[b] = int(round(v.mean()))
        scale[b] = int(round(1024.0 * 1024.0 / max(v.std(), 200.0)))
    return shift, scale


def detector_inputs(vad, shift, scale):
    s2, k2 = np.tile(shift, 2), np.tile(scale, 2)
    return qat.standardize_i16(vad, s2, k2).astype(np.float32) / 1024.0


def train_detector(work, minutes):
    tr = np.load(f"{work}/features/vad-train.npz")
    te = np.load(f"{work}/features/vad-test.npz")
    shift, scale = detector_stats(tr["vad"])
    xtr = torch.tensor(detector_inputs(tr["vad"], shift, scale))
    ytr = torch.tensor(tr["label"].astype(np.int64))
    xte = torch.tensor(detector_inputs(te["vad"], shift, scale))
    yte, kte = te["label"], te["kind"]
    model = qat.Detector()
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    steps, batch, warm = 160, 32, 16
    best, best_state = -1.0, None
    start = time.time()
    it = 0
    rng = np.random.default_rng(5)
    # false triggers on music and noise cost more than a missed speech chunk
    pos_weight = torch.tensor([float(os.environ.get("QX_DETECTOR_NONSPEECH_WEIGHT", "2.5")), 1.0])
    while time.time() - start < minutes * 60:
        idx = rng.integers(0, len(xtr) - steps, size=batch)
        x = torch.stack([xtr[i:i + steps] for i in idx])
        y = torch.stack([ytr[i:i + steps] for i in idx])
        logits, _ = model(x)
        loss = torch.nn.functional.cross_entropy(logits[:, warm:].reshape(-1, 2), y[:, warm:].reshape(-1),
                                                 weight=pos_weight)
        opt.zero_grad()
        loss.backward()
        opt.step()
        with torch.no_grad():
            for p in model.parameters():
                p.clamp_(-1.0, 127 / 128)
        it += 1
        if it % 100 == 0:
            for g in opt.param_groups:
                g["lr"] = max(3e-4, g["lr"] * 0.9)
            acc, recall, false_rate, music_rate = detector_accuracy(model, xte, yte, kte)
            balanced = 0.5 * (recall + 1.0 - false_rate)
            log(f"detector it {it} loss {loss.item():.4f} held-out chunks: accuracy {acc:.4f}, speech "
                f"{recall:.4f}, non-speech voiced {false_rate:.4f} (music {music_rate:.4f})")
            # chosen on balanced accuracy: speech outnumbers each kind of non-speech
            if balanced > best:
                best, best_state = balanced, {k: v.clone() for k, v in model.state_dict().items()}
    if best_state is not None:
        model.load_state_dict(best_state)
    os.makedirs(f"{work}/models", exist_ok=True)
    with open(f"{work}/models/vad_weights.json", "w") as f:
        json.dump(model.export(shift, scale), f)
    log(f"detector: {it} iterations, best held-out balanced chunk accuracy {best:.4f}")
    update_meta(work, detector_minutes=round((time.time() - start) / 60, 1), detector_iterations=it,
                detector_balanced_accuracy_torch=best)


def detector_accuracy(model, x, y, kind):
    """Chunk accuracy, share of speech chunks passed, share of non-speech
    chunks voiced, share of music chunks voiced."""
    with torch.no_grad():
        n = (len(x) // 8) * 8
        seq = x[:n].reshape(8, n // 8, 80)
        logits, _ = model(seq)
        pred = logits.reshape(-1, 2).argmax(1).numpy() == 1
    y, kind = y[:n] == 1, kind[:n]
    music = (kind == KINDS.index("music")) & ~y
    return (float((pred == y).mean()), float(pred[y].mean()), float(pred[~y].mean()),
            float(pred[music].mean()) if music.any() else 0.0)


# ---- Classifier --------------------------------------------------------------

def rows_of(mel):
    """[n, 128, 40] frames -> [n, 64, 80]: two consecutive frames per row."""
    return mel.reshape(mel.shape[0], 64, 80)


def widen(state, model):
    """Embeds a smaller trained classifier's weights into a wider one of the
    same depth. The new units start with small random weights, so the wider
    network begins close to the function the smaller one computed."""
    new = model.state_dict()
    old_h = [state[f"b.{level}"].shape[1] // 3 for level in range(len(model.hidden))]
    for level, H in enumerate(model.hidden):
        h0, w = old_h[level], new[f"w.{level}"]
        i0 = model.inputs if level == 0 else old_h[level - 1]
        src_w, src_b = state[f"w.{level}"], state[f"b.{level}"]
        w.uniform_(-0.03, 0.03)
        new[f"b.{level}"].zero_()
        for g in range(3):
            rows, src = slice(g * H, g * H + h0), slice(g * h0, (g + 1) * h0)
            w[:, rows, :h0] = src_w[:, src, :h0]
            w[:, rows, H:H + i0] = src_w[:, src, h0:]
            new[f"b.{level}"][:, rows] = src_b[:, src]
    new["out_w"].zero_()
    new["out_w"][:, :old_h[-1]] = state["out_w"]
    new["out_b"] = state["out_b"].clone()
    model.load_state_dict(new)


def train_classifier(work, minutes, hidden=(96, 96)):
    # every training feature file (an added batch of utterances may have its own)
    parts = [np.load(p) for p in sorted(glob.glob(f"{work}/features/cls-train*.npz"))]
    tr = {key: np.concatenate([p[key] for p in parts]) for key in ("mel", "label")}
    te = np.load(f"{work}/features/cls-test.npz")
    xtr = torch.tensor(rows_of(tr["mel"]).astype(np.float32))
    ytr = torch.tensor(tr["label"].astype(np.int64))
    xte = torch.tensor(rows_of(te["mel"]).astype(np.float32))
    yte = te["label"].astype(np.int64)
    log(f"classifier: {len(xtr)} training frames, {len(xte)} held-out frames")
    counts = np.bincount(tr["label"], minlength=9).astype(np.float64)
    weight = counts.sum() / (9 * np.maximum(counts, 1))
    # Balanced classes weigh the unknown class like one language, though it
    # holds fourteen and is the most confused: a factor lifts it again.
    weight[0] *= float(os.environ.get("QX_CLASSIFIER_UNKNOWN_WEIGHT", "1"))
    weight = torch.tensor(weight, dtype=torch.float32)
    hidden = tuple(int(h) for h in os.environ.get("QX_CLASSIFIER_HIDDEN", ",".join(map(str, hidden))).split(","))
    model = qat.Classifier(hidden=hidden)
    init = os.environ.get("QX_CLASSIFIER_INIT")
    if init:  # continue from an earlier run's weights (same depth, same or smaller widths)
        widen(qat.read_qx_state(init) if init.endswith(".qx") else torch.load(init), model)
        log(f"classifier: starting from {init}, hidden {hidden}")
    peak = float(os.environ.get("QX_CLASSIFIER_LR", "2e-3"))
    opt = torch.optim.Adam(model.parameters(), lr=peak)
    batch = int(os.environ.get("QX_CLASSIFIER_BATCH", "64"))
    # A running average of the weights (QX_CLASSIFIER_EMA, its decay; 0 is off)
    # is held out alongside the weights themselves; the better of the two is kept.
    ema_decay = float(os.environ.get("QX_CLASSIFIER_EMA", "0.999"))
    ema = copy.deepcopy(model) if ema_decay else None
    candidates = [("", model)] + ([(" (average)", ema)] if ema is not None else [])
    best, best_state = -1.0, None
    start = time.time()
    it = 0
    rng = np.random.default_rng(9)
    total_its = None
    while time.time() - start < minutes * 60:
        idx = torch.tensor(rng.integers(0, len(xtr), size=batch))
        logits = model(spec_augment(xtr[idx], rng))
        loss = torch.nn.functional.cross_entropy(logits, ytr[idx], weight=weight, label_smoothing=0.05)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        opt.step()
        with torch.no_grad():
            for level in range(len(model.hidden)):
                model.w[level].clamp_(-1.0, 127 / 128)
                model.b[level].clamp_(-1.0, 127 / 128)
            if ema is not None:  # a mean of clamped weights stays within range
                for e, p in zip(ema.parameters(), model.parameters()):
                    e.mul_(ema_decay).add_(p, alpha=1 - ema_decay)
        it += 1
        if it == 20:
            per_it = (time.time() - start) / 20
            total_its = int(minutes * 60 / per_it)
            log(f"classifier: {per_it:.2f} s per iteration, about {total_its} iterations")
        if total_its and it % 50 == 0:
            # cosine decay over the time budget
            frac = min(1.0, (time.time() - start) / (minutes * 60))
            for g in opt.param_groups:
                g["lr"] = 1e-4 + (peak - 1e-4) * 0.5 * (1 + np.cos(np.pi * frac))
        if it % 300 == 0:
            for name, candidate in candidates:
                acc = classifier_accuracy(candidate, xte, yte)
                log(f"classifier it {it} loss {loss.item():.4f} held-out frame accuracy{name} {acc:.4f}")
                if acc > best:
                    best, best_state = acc, {k: v.clone() for k, v in candidate.state_dict().items()}
                    save_classifier(work, candidate)  # a stopped run still leaves its best
    for _, candidate in candidates:
        acc = classifier_accuracy(candidate, xte, yte)
        if acc > best:
            best, best_state = acc, {k: v.clone() for k, v in candidate.state_dict().items()}
    model.load_state_dict(best_state)
    save_classifier(work, model)
    log(f"classifier: {it} iterations, best held-out frame accuracy {best:.4f} (torch)")
    update_meta(work, classifier_minutes=round((time.time() - start) / 60, 1), classifier_iterations=it,
                classifier_frame_accuracy_torch=best, hidden=list(hidden), eps=model.eps,
                training_frames=int(len(xtr)))


def save_classifier(work, model):
    os.makedirs(f"{work}/models", exist_ok=True)
    torch.save(model.state_dict(), f"{work}/models/classifier.pt.tmp")
    os.replace(f"{work}/models/classifier.pt.tmp", f"{work}/models/classifier.pt")
    model.export_qx(f"{work}/models/classifier.qx.tmp", 256, 40, 1e-6, [0.0] * 40, [1.0] * 40)
    os.replace(f"{work}/models/classifier.qx.tmp", f"{work}/models/classifier.qx")


def spec_augment(x, rng):
    """Masks random bands and steps of a batch [n, 64, 80] with each
    column's mean (about 0 after the per-column normalisation)."""
    x = x.clone()
    mean = x.mean(1, keepdim=True).expand_as(x)
    for i in range(x.shape[0]):
        for _ in range(rng.integers(0, 3)):
            w = rng.integers(1, 7)
            b = rng.integers(0, 40 - w)
            for half in (0, 40):
                x[i, :, half + b:half + b + w] = mean[i, :, half + b:half + b + w]
        for _ in range(rng.integers(0, 3)):
            w = rng.integers(1, 7)
            t = rng.integers(0, 64 - w)
            x[i, t:t + w] = mean[i, t:t + w]
    return x


def classifier_accuracy(model, x, y):
    with torch.no_grad():
        pred = np.concatenate([model(x[i:i + 256]).argmax(1).numpy() for i in range(0, len(x), 256)])
    return float((pred == y).mean())


if __name__ == "__main__":
    what, work, minutes = sys.argv[1], sys.argv[2], float(sys.argv[3])
    (train_detector if what == "detector" else train_classifier)(work, minutes)
