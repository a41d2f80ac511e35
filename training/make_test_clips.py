#!/usr/bin/env python3
"""Writes the short clips of tests/data/clips/ (16 kHz FLAC), none used in
training: espeak-ng speech in held-out variant voices reading our own
sentences, recorded telephone prompts of short words from the held-out
tenth of each asterisk voice, music from the half of the music-on-hold pool
that training never heard, and generated noise, tones and silence.

    make_test_clips.py ROOT
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import data  # noqa: E402
import recorded  # noqa: E402

SENTENCES = {
    "de": ("de", "m3", "Am Sonntag fahren wir mit dem Zug an die Küste und essen dort frischen Fisch mit Kartoffeln."),
    "en": ("en-us", "f2", "On Sunday we will take the train to the coast and have fresh fish with chips by the harbour."),
    "es": ("es", "edward", "El domingo iremos en tren a la costa y comeremos pescado fresco junto al puerto."),
    "fr": ("fr-fr", "anika", "Dimanche nous prendrons le train pour la côte et nous mangerons du poisson frais au port."),
    "it": ("it", "m3", "Domenica prenderemo il treno per la costa e mangeremo pesce fresco vicino al porto."),
    "ja": ("ja", "f2", "ニチヨウビニ デンシャデ ウミエ イッテ ミナトデ アタラシイ サカナヲ タベマス。"),
    "ko": ("ko", "m3", "일요일에 우리는 기차를 타고 바닷가에 가서 항구에서 신선한 생선을 먹을 거예요."),
    "pt": ("pt", "edward", "No domingo vamos de comboio até à costa e comemos peixe fresco junto ao porto."),
    "unknown": ("pl", "anika", "W niedzielę pojedziemy pociągiem nad morze i zjemy świeżą rybę w porcie."),
}
FRAME = 32768
RECORDED_FRAMES = 3


def short_prompts(work, speaker):
    """A speaker's held-out clips of at most 1.2 s (single words, digits),
    joined by the evaluation streams' 0.25 s gaps into whole frames."""
    clips = sorted((c for c in recorded.clips(work) if c["speaker"] == speaker and c["part"] == "val"
                    and c["seconds"] <= 1.2), key=lambda c: c["path"])
    gap = np.zeros(data.GAP, np.float32)
    x = np.concatenate([part for c in clips for part in (data.load_pcm(f"{work}/{c['path']}"), gap)])
    if len(x) < RECORDED_FRAMES * FRAME:
        raise SystemExit(f"{speaker}: {len(x) / 16000:.1f} s of short held-out prompts, too few")
    return x[:RECORDED_FRAMES * FRAME]


def espeak(voice, variant, text):
    with tempfile.TemporaryDirectory() as tmp:
        open(f"{tmp}/t.txt", "w", encoding="utf-8").write(text)
        subprocess.run(["espeak-ng", "-v", f"{voice}+{variant}", "-s", "160", "-w", f"{tmp}/t.wav",
                        "-f", f"{tmp}/t.txt"], check=True)
        subprocess.run(["sox", f"{tmp}/t.wav", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer",
                        "-t", "raw", f"{tmp}/t.pcm"], check=True)
        return data.load_pcm(f"{tmp}/t.pcm")


def flac(path, x):
    with tempfile.TemporaryDirectory() as tmp:
        data.to_int16(x).tofile(f"{tmp}/x.raw")
        subprocess.run(["sox", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-t", "raw",
                        f"{tmp}/x.raw", "-C", "8", path], check=True)


def main():
    root = sys.argv[1]
    out = f"{root}/tests/data/clips"
    os.makedirs(out, exist_ok=True)
    for label, (voice, variant, text) in SENTENCES.items():
        x = espeak(voice, variant, text)
        x = x / (data.active_rms(x) + 1e-9) * 10 ** (-26 / 20)
        x = np.pad(x, (0, max(0, FRAME - len(x))))[:FRAME]  # exactly one frame
        flac(f"{out}/speech-{label}.flac", x)
    work = os.environ.get("QX_TRAINING_WORK", "/work/qx_training_work")
    for speaker, lang in recorded.ASTERISK.items():  # at the level they were recorded at
        flac(f"{out}/recorded-{recorded.label_of(lang)}.flac", short_prompts(work, speaker))
    rng = np.random.default_rng(33)
    held_out = data.music_pool(work, "test")
    start = 30 * 16000  # inside the first held-out music-on-hold file
    flac(f"{out}/nonspeech-music.flac", held_out[start:start + FRAME] * 10 ** (-20 / 20))
    flac(f"{out}/nonspeech-noise.flac", data.colored_noise(rng, FRAME, "pink") * 10 ** (-40 / 20))
    flac(f"{out}/nonspeech-tone.flac", data.tone_or_clicks(np.random.default_rng(2), FRAME) * 10 ** (-25 / 20))
    flac(f"{out}/nonspeech-silence.flac", np.zeros(FRAME, np.float32))


if __name__ == "__main__":
    main()
