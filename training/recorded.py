#!/usr/bin/env python3
"""Recorded speech of the permitted packages, by corpus and speaker.

    recorded.py WORK

Decodes every clip to WORK/recorded/<corpus>/<speaker>/<n>.pcm (16 kHz mono
int16) and lists them in WORK/recorded/clips.jsonl: corpus, speaker, lang,
label, path, seconds, part. A tenth of each speaker's clips is part "val",
the small recorded validation set that training chooses checkpoints on; the
rest is part "train". Evaluation leaves whole folds of corpora out (FOLDS),
so a model is always measured on corpora, speakers and recordings it never
heard. Every other recorded speech in Debian stays out: it is reserved for
independent evaluation.
"""
import glob
import json
import os
import random
import subprocess
import sys

from texts import TARGETS

SR = 16000
HEDGEWARS = "/usr/share/games/hedgewars/Data/Sounds/voices"
HEDGEWARS_LANGS = {"Default_es": "es", "Default_pl": "pl", "Russian_pl": "pl", "Default_ru": "ru",
                   "Russian": "ru", "Default_uk": "uk"}  # every other pack speaks English
ASTERISK = {"en_US_f_Allison": "en", "es_MX_f_Allison": "es", "fr_CA_f_June": "fr", "it_IT_m_Carlo": "it",
            "ru_RU_f_IvrvoiceRU": "ru"}
KLETTRES_LANGS = {"en_GB": "en", "pt_BR": "pt"}
# Corpora that are left out together: one fold's models never hear them.
FOLDS = {"asterisk-core-sounds": "telephone", "fillets-ng-data-cs": "telephone",
         "hedgewars-data": "games", "alsa-utils": "games",
         "klettres-data": "children", "ktuberling-data": "children"}


def speakers():
    """(corpus, speaker, lang, files) for every permitted recorded speaker."""
    out = []
    for voice, lang in ASTERISK.items():
        out.append(("asterisk-core-sounds", voice, lang,
                    glob.glob(f"/usr/share/asterisk/sounds/{voice}/**/*.g722", recursive=True)))
    out.append(("fillets-ng-data-cs", "fillets-cs", "cs",
                glob.glob("/usr/share/games/fillets-ng/sound/**/cs/*.ogg", recursive=True)))
    for pack in sorted(os.listdir(HEDGEWARS)) if os.path.isdir(HEDGEWARS) else []:
        out.append(("hedgewars-data", f"hedgewars-{pack}", HEDGEWARS_LANGS.get(pack, "en"),
                    glob.glob(f"{HEDGEWARS}/{pack}/*.ogg")))
    out.append(("alsa-utils", "alsa-utils", "en",
                [f for f in glob.glob("/usr/share/sounds/alsa/*.wav") if not f.endswith("Noise.wav")]))
    for folder in sorted(glob.glob("/usr/share/klettres/*/")):  # icons/ and pics/ hold no sound
        code = os.path.basename(os.path.normpath(folder))
        out.append(("klettres-data", f"klettres-{code}", KLETTRES_LANGS.get(code, code),
                    glob.glob(f"{folder}*/*.ogg")))
    for folder in sorted(glob.glob("/usr/share/ktuberling/sounds/*/")):
        code = os.path.basename(os.path.normpath(folder))
        # most languages are Ogg Vorbis; fr, es, it, pt and a few others WAV, nn Opus
        out.append(("ktuberling-data", f"ktuberling-{code}", code,
                    [f for ext in ("ogg", "wav", "opus") for f in glob.glob(f"{folder}*.{ext}")]))
    return [(c, s, lang, sorted(files)) for c, s, lang, files in out if files]


def label_of(lang):
    return lang if lang in TARGETS else "unknown"


def decode(src, out):
    tmp = out + ".tmp"
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", src, "-ar", str(SR), "-ac", "1", "-f", "s16le",
                        tmp], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return False
    os.replace(tmp, out)
    return True


def clips(work):
    """The clip list, one dict a clip (read back from clips.jsonl)."""
    return [json.loads(line) for line in open(f"{work}/recorded/clips.jsonl")]


def main():
    work = sys.argv[1]
    listing = f"{work}/recorded/clips.jsonl"
    if os.path.exists(listing):
        return
    rows = []
    for corpus, speaker, lang, files in speakers():
        folder = f"{work}/recorded/{corpus}/{speaker}"
        os.makedirs(folder, exist_ok=True)
        rng = random.Random(speaker)
        order = list(range(len(files)))
        rng.shuffle(order)
        val = set(order[:max(1, len(files) // 10)]) if len(files) >= 10 else set()
        for n, src in enumerate(files):
            out = f"{folder}/{n:05d}.pcm"
            if not os.path.exists(out) and not decode(src, out):
                print("cannot decode", src, flush=True)
                continue
            seconds = os.path.getsize(out) / 2 / SR
            if seconds < 0.2:  # clicks and empty files carry no language
                continue
            rows.append({"corpus": corpus, "fold": FOLDS[corpus], "speaker": speaker, "lang": lang,
                         "label": label_of(lang), "path": os.path.relpath(out, work), "source": src,
                         "seconds": round(seconds, 3), "part": "val" if n in val else "train"})
        print(corpus, speaker, lang, len(files), "clips", flush=True)
    with open(listing + ".tmp", "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in rows)
    os.replace(listing + ".tmp", listing)


if __name__ == "__main__":
    main()
