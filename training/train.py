#!/usr/bin/env python3
"""Quantisation-aware training and export.

    train.py detector WORK MINUTES [BRIDGE HANGOVER]
                                       -> WORK/models/vad_weights.json
    train.py classifier WORK RECIPE [--seed N] [--leave-out FOLDS] [--minutes M] [--name NAME]
                                       -> WORK/models/NAME.qx (+ .pt, .checks.json)

Training stops after MINUTES of wall time (or the recipe's iterations) and keeps the checkpoint that did
best on the held-out features (for the classifier: synthetic held-out speech
and recorded validation speech together). The classifier's settings come
from its recipe (recipe.py).
"""
import argparse
import copy
import glob
import json
import os
import sys
import time

import numpy as np
import torch

import data
import qat
import recipe
import recorded

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


def detector_labels(d, bridge, hangover):
    """Chunk labels from a feature file's activity, per segment of its
    streams: pauses bridged and a hangover after speech (files without
    activity keep their stored labels)."""
    if "active" not in d:
        return d["label"].astype(np.int64)
    active, segment = d["active"].astype(bool), d["segment"]
    cuts = np.flatnonzero(np.diff(segment)) + 1
    return np.concatenate([data.hold(a, bridge, hangover) for a in np.split(active, cuts)]).astype(np.int64)


def train_detector(work, minutes, bridge=32, hangover=12):
    """Speech labels bridge pauses shorter than `bridge` chunks and hold
    `hangover` chunks after speech: the gate averages a whole frame, so a
    detector that drops out between words rejects frames of short words."""
    tr = np.load(f"{work}/features/vad-train.npz")
    te = np.load(f"{work}/features/vad-test.npz")
    shift, scale = detector_stats(tr["vad"])
    xtr = torch.tensor(detector_inputs(tr["vad"], shift, scale))
    ytr = torch.tensor(detector_labels(tr, bridge, hangover))
    xte = torch.tensor(detector_inputs(te["vad"], shift, scale))
    yte, kte = detector_labels(te, bridge, hangover), te["kind"]
    log(f"detector: labels bridge {bridge} chunks, hang over {hangover}; {len(xtr)} training chunks, "
        f"{ytr.float().mean():.3f} speech")
    model = qat.Detector()
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    steps, batch, warm = 160, 32, 16
    best, best_state = -1.0, None
    start = time.time()
    it = 0
    rng = np.random.default_rng(5)
    # false triggers on music and noise cost more than a missed speech chunk
    pos_weight = torch.tensor([float(os.environ.get("QX_DETECTOR_NONSPEECH_WEIGHT", "2.5")), 1.0])
    windows = StreamWindows(len(xtr), batch, steps, rng)
    state = None
    while time.time() - start < minutes * 60:
        idx, fresh = windows.next()
        x = torch.stack([xtr[i:i + steps] for i in idx])
        y = torch.stack([ytr[i:i + steps] for i in idx])
        if state is not None:  # a row that jumped elsewhere starts from rest, as the library's detector does
            keep = torch.tensor(~fresh, dtype=torch.float32)[:, None]
            state = tuple(v.detach() * keep for v in state)
        logits, state = model(x, state)
        # a row's first steps after a jump hear no context yet: not scored
        mask = torch.ones(batch, steps, dtype=torch.bool)
        mask[torch.tensor(fresh), :warm] = False
        loss = torch.nn.functional.cross_entropy(logits[mask], y[mask], weight=pos_weight)
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
            f = detector_frames(model, xte, yte, kte)
            # chosen on whole frames, as the gate sees them: speech and
            # recorded speech passed, non-speech (music the most) kept out
            score = (f["speech"] + f["recorded"]) / 2 - 2 * f["nonspeech"] - 2 * f["music"]
            log(f"detector it {it} loss {loss.item():.4f} held-out frames: speech {f['speech']:.4f}, recorded "
                f"{f['recorded']:.4f}, non-speech voiced {f['nonspeech']:.4f} (music {f['music']:.4f}), "
                f"score {score:.4f}")
            if score > best:
                best, best_state = score, {k: v.clone() for k, v in model.state_dict().items()}
    if best_state is not None:
        model.load_state_dict(best_state)
    os.makedirs(f"{work}/models", exist_ok=True)
    with open(f"{work}/models/vad_weights.json", "w") as f:
        json.dump(model.export(shift, scale), f)
    log(f"detector: {it} iterations, best held-out frame score {best:.4f}")
    update_meta(work, detector_minutes=round((time.time() - start) / 60, 1), detector_iterations=it,
                detector_frame_score_torch=best, detector_bridge=bridge, detector_hangover=hangover)


class StreamWindows:
    """Where each row of a detector batch reads the training streams next.
    A row goes on where its last window ended, its recurrent state carried
    over, and only now and then jumps elsewhere and starts from rest: the
    library's detector runs on from its start without a reset, so training
    must reach states that minutes of input lead to, not only the first
    seconds after a reset."""

    def __init__(self, length, batch, steps, rng, jump=1 / 48):
        self.length, self.steps, self.rng, self.jump = length, steps, rng, jump
        self.cursor = np.full(batch, length, np.int64)  # past the end: every row starts by jumping

    def next(self):
        """(start of each row's window, which rows jumped and start from rest)."""
        c = self.cursor
        fresh = (c + self.steps > self.length) | (self.rng.random(len(c)) < self.jump)
        c[fresh] = self.rng.integers(0, self.length - self.steps, size=int(fresh.sum()))
        out = c.copy()
        c += self.steps
        return out, fresh


def detector_frames(model, x, y, kind):
    """The gate on held-out streams cut into frames of 64 chunks (threshold
    0.5 on the mean probability): the share of speech frames passed (at
    least half their chunks speech), of recorded-speech frames passed, of
    non-speech frames (no speech chunk) voiced, and of music frames voiced."""
    n = len(x) // 512 * 8  # frames, in eight streams run side by side
    with torch.no_grad():
        logits, _ = model(x[:64 * n].reshape(8, 8 * n, 80))
        p = torch.softmax(logits.reshape(-1, 2), 1)[:, 1].numpy()
    mean = p[:64 * n].reshape(n, 64).mean(1)
    speech = (y[:64 * n] == 1).reshape(n, 64).mean(1)
    kinds = kind[:64 * n].reshape(n, 64)
    recorded = (kinds == data.RECORDED).all(1)
    music = (kinds == data.KINDS.index("music")).all(1)
    voiced = mean >= 0.5
    share = lambda m: float(voiced[m].mean()) if m.any() else 0.0
    return {"speech": share((speech >= 0.5) & ~recorded), "recorded": share(recorded & (speech > 0)),
            "nonspeech": share(speech == 0), "music": share(music & (speech == 0))}


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


def voice_of(row):
    """Who speaks a synthetic utterance: espeak-ng's variants are its
    speakers (shared by every language); elsewhere the engine's voice."""
    if row["engine"] == "espeak-ng" and not row["voice"].startswith("mb-"):
        return f"espeak-ng+{row['variant'] or 'default'}"
    return f"{row['engine']}:{row['voice']}"


def load_classifier_data(work, leave_out):
    """Synthetic training and held-out crops, and the recorded crops of the
    folds not left out: (train, held-out, recorded train, recorded val)."""
    parts = [np.load(p) for p in sorted(glob.glob(f"{work}/features/cls-train*.npz"))]
    tr = {key: np.concatenate([p[key] for p in parts]) for key in ("mel", "label", "id")}
    voice = {r["id"]: voice_of(r) for r in data.manifest(work, "train")}
    tr["voice"] = np.array([voice[i] for i in tr["id"]])
    te = dict(np.load(f"{work}/features/cls-test.npz"))
    rec = []
    for part in ("train", "val"):
        path = f"{work}/features/cls-recorded-{part}.npz"
        d = dict(np.load(path)) if os.path.exists(path) else None
        if d is not None:
            keep = np.array([recorded.FOLDS[c] not in leave_out for c in d["corpus"]])
            d = {k: v[keep] for k, v in d.items()}
            d["voice"] = d["speaker"]
        rec.append(d if d is not None and len(d["label"]) else None)
    return tr, te, rec[0], rec[1]


class GradientReversal(torch.autograd.Function):
    @staticmethod
    def forward(ctx, x, weight):
        ctx.weight = weight
        return x.view_as(x)

    @staticmethod
    def backward(ctx, g):
        return -ctx.weight * g, None


class VoiceAdversary(torch.nn.Module):
    """Names the voice of a crop among the voices of its own class. Knowing
    the class, only what tells voices apart helps it, so its reversed
    gradient strips voice and channel from the pooled features and leaves
    the language (an adversary over all voices would also strip language,
    as most voices speak one)."""

    def __init__(self, width, pairs):
        """pairs: every (voice, class) that occurs; a voice may speak several."""
        super().__init__()
        voices = sorted({v for v, _ in pairs})
        self.net = torch.nn.Sequential(torch.nn.Linear(width, 128), torch.nn.ReLU(),
                                       torch.nn.Linear(128, len(voices)))
        self.index = {v: k for k, v in enumerate(voices)}
        self.allowed = torch.zeros(9, len(voices), dtype=torch.bool)
        for v, y in pairs:
            self.allowed[int(y), self.index[v]] = True

    def loss(self, pooled, weight, y, voice):
        logits = self.net(GradientReversal.apply(pooled / 64.0, weight))
        logits = logits.masked_fill(~self.allowed[y], -1e4)
        return torch.nn.functional.cross_entropy(logits, voice)


class RecordedSampler:
    """Recorded crops, class first, then speaker: no class owns "recorded"
    and no speaker dominates its class, however many clips it has."""

    def __init__(self, labels, speakers, rng):
        self.rng = rng
        self.tree = {}
        for k, (y, s) in enumerate(zip(labels, speakers)):
            self.tree.setdefault(int(y), {}).setdefault(s, []).append(k)
        self.classes = sorted(self.tree)

    def draw(self, n):
        out = []
        for _ in range(n):
            by_speaker = self.tree[self.classes[self.rng.integers(len(self.classes))]]
            crops = list(by_speaker.values())[self.rng.integers(len(by_speaker))]
            out.append(crops[self.rng.integers(len(crops))])
        return out


class PhoneticHead(torch.nn.Module):
    """Spells out the phonemes of a phrase crop from the last level's output
    at every step (CTC). Only training uses it; the exported model has no
    trace of it. Having to tell sounds apart, in order, pushes the network
    towards what is said rather than who or what says it."""

    MIN_COUNT = 20  # rarer phonemes share one symbol

    def __init__(self, width, phones):
        """phones: each phrase crop's phonemes, space-separated."""
        super().__init__()
        counts = {}
        for seq in phones:
            for p in seq.split():
                counts[p] = counts.get(p, 0) + 1
        frequent = sorted(p for p, n in counts.items() if n >= self.MIN_COUNT)
        self.index = {p: k + 2 for k, p in enumerate(frequent)}  # 0 blank, 1 any rare phoneme
        self.targets = [torch.tensor([self.index.get(p, 1) for p in seq.split()]) for seq in phones]
        self.net = torch.nn.Linear(width, len(frequent) + 2)

    def loss(self, steps, which):
        """steps: [n, T, H] outputs of the crops `which` (indices into phones)."""
        log_probs = torch.log_softmax(self.net(steps), 2).transpose(0, 1)
        targets = [self.targets[k] for k in which]
        lengths = torch.tensor([len(t) for t in targets])
        return torch.nn.functional.ctc_loss(log_probs, torch.cat(targets), torch.full((len(targets),), steps.shape[1]),
                                            lengths, blank=0, zero_infinity=True)


def load_phrases(work):
    """The phrase crops (data.py classifier phrases), or None."""
    path = f"{work}/features/cls-phrases.npz"
    return dict(np.load(path)) if os.path.exists(path) else None


def train_classifier(work, recipe_path, seed=None, leave_out=None, minutes=None, name="classifier"):
    r = recipe.load(recipe_path)
    sched, seed = r["schedule"], r["seed"] if seed is None else seed
    leave_out = r["recorded"]["leave_out"] if leave_out is None else leave_out
    minutes = sched["minutes"] if minutes is None else minutes
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    tr, te, rec, rec_val = load_classifier_data(work, leave_out)
    xtr = torch.tensor(rows_of(tr["mel"]).astype(np.float32))
    ytr = torch.tensor(tr["label"].astype(np.int64))
    xte = torch.tensor(rows_of(te["mel"]).astype(np.float32))
    yte = te["label"].astype(np.int64)
    log(f"{name}: {len(xtr)} training frames, {len(xte)} held-out frames, recorded "
        f"{0 if rec is None else len(rec['label'])} training and {0 if rec_val is None else len(rec_val['label'])}"
        f" validation crops, folds left out: {leave_out or 'none'}")
    counts = np.bincount(tr["label"], minlength=9).astype(np.float64)
    weight = counts.sum() / (9 * np.maximum(counts, 1))
    # Balanced classes weigh the unknown class like one language, though it
    # holds many and is the most confused: a factor lifts it again.
    weight[0] *= sched["unknown_weight"]
    weight = torch.tensor(weight, dtype=torch.float32)
    hidden = tuple(r["shape"]["hidden"])
    model = qat.Classifier(hidden=hidden)
    init = recipe.start_model(r)
    if init:  # continue from an earlier run's weights (same depth, same or smaller widths)
        widen(qat.read_qx_state(init), model)
        log(f"{name}: starting from {r['start']}, hidden {hidden}")
    phonetic = r.get("phonetic", {"share": 0.0, "weight": 0.0})
    phr = load_phrases(work) if phonetic["share"] > 0 else None
    if phonetic["share"] > 0 and phr is None:
        raise SystemExit(f"{name}: the recipe asks for phrases, but {work}/features/cls-phrases.npz is missing")
    pairs = set(zip(tr["voice"], tr["label"])) | (set(zip(rec["voice"], rec["label"])) if rec is not None else set())
    if phr is not None:
        pairs |= set(zip(phr["voice"], phr["label"]))
    adversary = VoiceAdversary(hidden[-1], pairs) if r["adversary"]["weight"] > 0 else None
    head = PhoneticHead(hidden[-1], phr["phones"]) if phr is not None and phonetic["weight"] > 0 else None
    if phr is not None:
        xphr = torch.tensor(rows_of(phr["mel"]).astype(np.float32))
        yphr = torch.tensor(phr["label"].astype(np.int64))
        log(f"{name}: {len(xphr)} phrase crops" + (f", {len(head.index)} phonemes, weight {phonetic['weight']}"
                                                  if head else ", no phonetic objective"))
    n_phr = int(round(phonetic["share"] * sched["batch"])) if phr is not None else 0
    params = list(model.parameters()) + (list(adversary.parameters()) if adversary else []) + \
        (list(head.parameters()) if head else [])
    opt = torch.optim.Adam(params, lr=sched["peak_lr"])
    if rec is not None:
        xrec = torch.tensor(rows_of(rec["mel"]).astype(np.float32))
        yrec = torch.tensor(rec["label"].astype(np.int64))
        sampler = RecordedSampler(rec["label"], rec["speaker"], rng)
    n_rec = int(round(r["recorded"]["share"] * sched["batch"])) if rec is not None else 0
    voice_ids = lambda names: torch.tensor([adversary.index[v] for v in names])
    # A running average of the weights is held out alongside the weights
    # themselves; the better of the two is kept.
    ema = copy.deepcopy(model) if sched["ema"] else None
    candidates = [("", model)] + ([(" (average)", ema)] if ema is not None else [])
    checks, best, best_state = [], -1.0, None
    warp = r.get("augment", {}).get("warp", 0.0)
    # A count of iterations, where the recipe gives one, makes a run the same
    # whatever else the machine is doing; otherwise the minutes bound it.
    iterations = sched.get("iterations")
    if iterations:
        log(f"{name}: {iterations} iterations" + (f", mel warp {warp}" if warp else ""))
    progress = (lambda: it / iterations) if iterations else (lambda: (time.time() - start) / (minutes * 60))
    start = time.time()
    it = 0
    peak = sched["peak_lr"]
    while progress() < 1.0:
        idx = rng.integers(0, len(xtr), size=sched["batch"] - n_rec - n_phr)
        x, y = xtr[idx], ytr[idx]
        names = list(tr["voice"][idx])
        if n_rec:
            ridx = sampler.draw(n_rec)
            x, y = torch.cat([x, xrec[ridx]]), torch.cat([y, yrec[ridx]])
            names += list(rec["voice"][ridx])
        if n_phr:  # phrases last: the phonetic head reads the batch's tail
            pidx = rng.integers(0, len(xphr), size=n_phr)
            x, y = torch.cat([x, xphr[pidx]]), torch.cat([y, yphr[pidx]])
            names += list(phr["voice"][pidx])
        if warp:
            x = mel_warp(x, rng, warp)
        steps = model.steps(spec_augment(x, rng))
        pooled = steps.sum(1)
        logits = pooled @ model.out_w.t() + model.out_b
        loss = torch.nn.functional.cross_entropy(logits, y, weight=weight, label_smoothing=0.05)
        if adversary is not None:
            loss = loss + adversary.loss(pooled, r["adversary"]["weight"], y, voice_ids(names))
        if head is not None:
            ctc = head.loss(steps[-n_phr:], pidx)
            loss = loss + phonetic["weight"] * ctc
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(params, 5.0)
        opt.step()
        with torch.no_grad():
            for level in range(len(model.hidden)):
                model.w[level].clamp_(-1.0, 127 / 128)
                model.b[level].clamp_(-1.0, 127 / 128)
            if ema is not None:  # a mean of clamped weights stays within range
                for e, p in zip(ema.parameters(), model.parameters()):
                    e.mul_(sched["ema"]).add_(p, alpha=1 - sched["ema"])
        it += 1
        if it == 20:
            log(f"{name}: {(time.time() - start) / 20:.2f} s per iteration")
        if head is not None and it % 50 == 0:
            log(f"{name} it {it}: phonetic loss {ctc.item():.3f}")
        if it % 50 == 0:  # cosine decay over the time budget
            frac = min(1.0, progress())
            for g in opt.param_groups:
                g["lr"] = 1e-4 + (peak - 1e-4) * 0.5 * (1 + np.cos(np.pi * frac))
        if it % sched["check_every"] == 0:
            best, best_state = check(work, name, it, loss, candidates, xte, yte, rec_val, checks, best, best_state)
    best, best_state = check(work, name, it, loss, candidates, xte, yte, rec_val, checks, best, best_state)
    model.load_state_dict(best_state)
    save_classifier(work, model, name)
    log(f"{name}: {it} iterations, best held-out score {best:.4f} (torch)")
    with open(f"{work}/models/{name}.checks.json", "w") as f:
        json.dump({"recipe": r, "seed": seed, "leave_out": leave_out, "checks": checks}, f, indent=1)
    if name == "classifier":
        update_meta(work, classifier_minutes=round((time.time() - start) / 60, 1), classifier_iterations=it,
                    classifier_score_torch=best, hidden=list(hidden), eps=model.eps,
                    training_frames=int(len(xtr)), recorded_crops=0 if rec is None else int(len(rec["label"])))


def check(work, name, it, loss, candidates, xte, yte, rec_val, checks, best, best_state):
    """Held-out scores of the weights and their average; the best so far is
    saved. The score is the mean of synthetic held-out accuracy and the mean
    per-class accuracy on recorded validation speech: chosen on synthetic
    speech alone, checkpoints drift away from recorded speech."""
    for label, candidate in candidates:
        synthetic = classifier_accuracy(candidate, xte, yte)
        recorded_acc = None
        if rec_val is not None:
            pred = predict(candidate, torch.tensor(rows_of(rec_val["mel"]).astype(np.float32)))
            y = rec_val["label"]
            recorded_acc = float(np.mean([(pred[y == k] == k).mean() for k in np.unique(y)]))
        score = synthetic if recorded_acc is None else 0.5 * (synthetic + recorded_acc)
        checks.append({"iteration": it, "average": bool(label), "synthetic": synthetic, "recorded": recorded_acc,
                       "score": score})
        log(f"{name} it {it} loss {loss.item():.4f}{label}: held-out synthetic {synthetic:.4f}, recorded "
            f"validation {recorded_acc if recorded_acc is None else round(recorded_acc, 4)}, score {score:.4f}")
        if score > best:
            best, best_state = score, {k: v.clone() for k, v in candidate.state_dict().items()}
            save_classifier(work, candidate, name)  # a stopped run still leaves its best
    return best, best_state


def save_classifier(work, model, name="classifier"):
    path = f"{work}/models/{name}"
    os.makedirs(f"{work}/models", exist_ok=True)
    torch.save(model.state_dict(), f"{path}.pt.tmp")
    os.replace(f"{path}.pt.tmp", f"{path}.pt")
    model.export_qx(f"{path}.qx.tmp", 256, 40, 1e-6, [0.0] * 40, [1.0] * 40)
    os.replace(f"{path}.qx.tmp", f"{path}.qx")


def mel_warp(x, rng, width):
    """Vocal-tract-length perturbation on log-mel rows [n, 64, 80]: each
    crop's spectrum read at its band centres times a factor drawn from
    [1 - width, 1 + width] (a shorter or longer vocal tract), by linear
    interpolation between bands, the edge bands held."""
    mel = lambda f: 2595 * np.log10(1 + f / 700)
    step = mel(8000) / 41
    centre = 700 * (10 ** (np.arange(1, 41) * step / 2595) - 1)  # Hz of each band's peak
    alpha = rng.uniform(1 - width, 1 + width, size=(len(x), 1))
    pos = np.clip(mel(np.minimum(centre[None] * alpha, 8000)) / step - 1, 0, 39)
    lo = np.minimum(np.floor(pos).astype(np.int64), 38)
    frac = torch.tensor(pos - lo, dtype=x.dtype)[:, None, :]
    lo = torch.tensor(lo)[:, None, :].expand(-1, x.shape[1], -1)
    out = []
    for half in (x[..., :40], x[..., 40:]):
        a, b = half.gather(2, lo), half.gather(2, lo + 1)
        out.append(a + (b - a) * frac)
    return torch.cat(out, 2)


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


def predict(model, x):
    with torch.no_grad():
        return np.concatenate([model(x[i:i + 256]).argmax(1).numpy() for i in range(0, len(x), 256)])


def classifier_accuracy(model, x, y):
    return float((predict(model, x) == y).mean())


def main():
    if sys.argv[1] == "detector":
        labels = [int(v) for v in sys.argv[4:6]]  # bridge, hangover: 10 0 were the committed detector's
        train_detector(sys.argv[2], float(sys.argv[3]), *labels)
        return
    parser = argparse.ArgumentParser(description="Trains the classifier from a recipe.")
    parser.add_argument("what", choices=["classifier"])
    parser.add_argument("work")
    parser.add_argument("recipe")
    parser.add_argument("--seed", type=int, help="instead of the recipe's")
    parser.add_argument("--leave-out", help="folds of recorded corpora never heard, comma-separated")
    parser.add_argument("--minutes", type=float, help="instead of the recipe's")
    parser.add_argument("--name", default="classifier", help="WORK/models/NAME.qx")
    a = parser.parse_args()
    leave_out = None if a.leave_out is None else [f for f in a.leave_out.split(",") if f]
    train_classifier(a.work, a.recipe, a.seed, leave_out, a.minutes, a.name)


if __name__ == "__main__":
    main()
