#!/usr/bin/env python3
"""Labelled evaluation folders for evaluate.py, from held-out material only.

    make_eval.py WORK

WORK/eval/synthetic/<label>/<lang>.pcm   held-out voices and sentences, clean,
                                          at -20 to -30 dBFS
WORK/eval/quiet/<label>/<lang>.pcm       the same speech at -35 dBFS
WORK/eval/recorded/<corpus>/<label>/<speaker>.pcm
                                          each recorded speaker's clips (at most 6
                                          minutes) joined by 0.25 s gaps, at their
                                          recorded level: measured only with models
                                          that left the corpus's fold out
WORK/eval/*/nonspeech-*/                 music the training never heard,
                                          noise, tones, silence
"""
import os
import sys

import numpy as np

import data
import recorded


def write(path, x):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data.to_int16(x).tofile(path + ".tmp")
    os.replace(path + ".tmp", path)


def speech_file(work, rows, rng, level=None):
    parts = []
    for r in rows:
        x = data.load_pcm(f"{work}/audio/{r['split']}/{r['id']}.pcm")
        lv = level if level is not None else rng.uniform(-30, -20)
        parts.append(x / (data.active_rms(x) + 1e-9) * 10 ** (lv / 20))
        parts.append(np.zeros(int(rng.uniform(0.1, 0.4) * data.SR), np.float32))
    return np.concatenate(parts)


def nonspeech(work, folder, rng):
    music = data.music_pool(work, "test")
    n = 20 * data.SR
    # music never heard in training, at levels from faint to loud
    for i, level in enumerate(np.linspace(-45, -8, 12)):
        start = rng.integers(0, max(1, len(music) - n))
        write(f"{folder}/nonspeech-music/music{i}.pcm", music[start:start + n] * 10 ** (level / 20))
    effects = data.effects_pool(work, "test")
    for i in range(4):
        x = data.colored_noise(rng, n, "pink") * 10 ** (-70 / 20)
        data.add_effects(rng, x, effects, 15, -35, -12)
        write(f"{folder}/nonspeech-effects/effects{i}.pcm", x)
    for i, (kind, level) in enumerate([("white", -60), ("pink", -45), ("brown", -30), ("white", -20),
                                       ("pink", -15)]):
        write(f"{folder}/nonspeech-noise/{kind}{i}.pcm", data.colored_noise(rng, n, kind) * 10 ** (level / 20))
    write(f"{folder}/nonspeech-silence/zeros.pcm", np.zeros(n // 2, np.float32))
    for i in range(3):
        write(f"{folder}/nonspeech-tones/tone{i}.pcm", data.tone_or_clicks(rng, n // 2) * 10 ** (-25 / 20))


def recorded_streams(work, folder, minutes=6):
    by_speaker = {}
    for c in recorded.clips(work):
        by_speaker.setdefault((c["corpus"], c["label"], c["speaker"]), []).append(c)
    gap = np.zeros(data.GAP, np.float32)
    for (corpus, label, speaker), clips in sorted(by_speaker.items()):
        order = np.random.default_rng(list(speaker.encode())).permutation(len(clips))
        parts, length = [], 0
        for k in order:
            if length >= minutes * 60 * data.SR:
                break
            x = data.load_pcm(f"{work}/{clips[k]['path']}")
            parts += [x, gap]
            length += len(x) + len(gap)
        write(f"{folder}/{corpus}/{label}/{speaker}.pcm", np.concatenate(parts))


def main():
    work = sys.argv[1]
    out = f"{work}/eval"
    if os.path.exists(f"{out}/.done"):
        return
    rng = np.random.default_rng(21)
    test = data.manifest(work, "test")
    for lang in sorted({r["lang"] for r in test}):
        rows = [r for r in test if r["lang"] == lang]
        label = rows[0]["label"]
        write(f"{out}/synthetic/{label}/{lang}.pcm", speech_file(work, rows, rng))
        write(f"{out}/quiet/{label}/{lang}.pcm", speech_file(work, rows[:6], rng, level=-35))
    recorded_streams(work, f"{out}/recorded")
    nonspeech(work, f"{out}/synthetic", rng)
    open(f"{out}/.done", "w").close()


if __name__ == "__main__":
    main()
