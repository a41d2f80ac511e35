#!/usr/bin/env python3
"""Short synthesised phrases with their phoneme sequences, for the
classifier's phonetic objective.

    phrases.py WORK RECIPE

Writes WORK/audio/phrases/<id>.pcm (a phrase of 1 to 4 words, leading and
trailing silence cut, at most PHRASE_SECONDS long, so that a whole phrase
fits inside one 2.048 s frame) and WORK/audio/phrases.jsonl: one line per
phrase with its id, lang, label, engine, voice and phones, espeak-ng's IPA
reading of the text split into phonemes (stress marks dropped). The
phonemes are the text's, whichever engine spoke it: close enough for a
training signal that asks "which sounds, in which order".

Why: a classifier that must also spell out the sounds of a crop cannot
settle for the voice or the engine, which is all a language label asks of
it when every language has its own few synthesisers. The recipe's
corpus.phrases is the count per target language (the unknown class gets
twice that, spread over its languages); existing phrases are kept, so a
rerun resumes.
"""
import json
import multiprocessing
import os
import random
import re
import subprocess
import sys

import numpy as np

import corpus
import recipe
from texts import TARGETS, UNKNOWN

PHRASE_SECONDS = 1.8  # leaves room for the +12% speed change of augmentation
SR = 16000
STRESS = str.maketrans("", "", "ˈˌ")


def phonemes(lang, voice, text):
    """espeak-ng's IPA reading of text, one string per phoneme."""
    spoken = corpus.kana(text) if lang == "ja" else text
    out = subprocess.run(["espeak-ng", "-q", "--ipa", "--sep=_", "-v", voice, spoken], capture_output=True,
                         text=True, check=True).stdout
    out = re.sub(r"\([a-z-]+\)", " ", out)  # language switch markers
    return [p.translate(STRESS) for p in re.split(r"[_\s]+", out) if p.translate(STRESS)]


def phrase_text(rng, lang, sentence):
    """A window of 1 to 4 words (4 to 14 characters of Japanese, which has
    no spaces), or None when the sentence is too short."""
    if lang == "ja":
        s = re.sub(r"[\s、。「」（）()]", "", sentence)
        n = rng.randint(4, 14)
        if len(s) < n:
            return None
        start = rng.randrange(len(s) - n + 1)
        return s[start:start + n]
    words = [w for w in sentence.split() if any(c.isalpha() for c in w)]
    n = rng.randint(1, 4)
    if len(words) < n:
        return None
    start = rng.randrange(len(words) - n + 1)
    text = " ".join(words[start:start + n]).strip(",;:.")
    if rng.random() < 0.15:  # short questions
        text += "?"
    return text


def engines(lang):
    """(engine, voice, weight): espeak-ng's variants carry most phrases,
    the real speakers behind mbrola and the other engines the rest."""
    out = [("espeak-ng", v, 3.0 / len(corpus.ESPEAK_VOICES.get(lang, [lang])))
           for v in corpus.ESPEAK_VOICES.get(lang, [lang])]
    few = corpus.few_voice_engines(lang)
    if corpus.have("pico2wave"):
        few += [("pico", v) for v in corpus.PICO.get(lang, [])]
    if lang == "ja" and corpus.have("open_jtalk") and os.path.exists(corpus.OPEN_JTALK_VOICE):
        few += [("open-jtalk", "nitech-jp-atr503-m001")]
    out += [(e, v, 2.0 / len(few)) for e, v in few]
    return out


def plan(work, per_target):
    variants = sorted(v for v in os.listdir(corpus.VARIANT_DIR) if v not in corpus.SKIP_VARIANTS)
    train_variants = [v for v in variants if v not in corpus.TEST_VARIANTS]
    jobs = []
    for lang in TARGETS + UNKNOWN:
        if not os.path.exists(f"{work}/texts/{lang}.tsv"):
            continue
        texts, _ = corpus.read_texts(work, lang)  # training sentences only
        if len(texts) < 20:
            continue
        rng = random.Random(f"phrases-{lang}")
        label = lang if lang in TARGETS else "unknown"
        count = per_target if lang in TARGETS else max(4, 2 * per_target // len(UNKNOWN))
        choices = engines(lang)
        weights = [w for _, _, w in choices]
        for i in range(count):
            text = None
            while text is None:
                text = phrase_text(rng, lang, texts[rng.randrange(len(texts))][1])
            engine, voice, _ = rng.choices(choices, weights)[0]
            few = engine != "espeak-ng" or voice.startswith("mb-")
            # "-x" marks few-voice engines: corpus.make widens them with a pitch shift
            jobs.append({"id": f"phrases-{lang}-{'x' if few else 'p'}{i:05d}", "split": "phrases", "lang": lang,
                         "label": label, "engine": engine, "voice": voice,
                         "variant": rng.choice(train_variants) if engine == "espeak-ng" and not few else "",
                         "text": text, "seed": rng.randrange(1 << 30)})
    return jobs


def trim(pcm):
    """Cuts leading and trailing silence (below -45 dB of the peak, in 10 ms steps)."""
    x = pcm.astype(np.float32)
    n = len(x) // 160
    if n == 0:
        return pcm
    e = np.sqrt(np.mean(x[:n * 160].reshape(n, 160) ** 2, 1))
    on = np.flatnonzero(e > e.max() * 10 ** (-45 / 20))
    if len(on) == 0:
        return pcm[:0]
    return pcm[max(0, on[0] - 2) * 160:min(n, on[-1] + 3) * 160]


def make_phrase(job):
    out = f"{job['work']}/audio/phrases/{job['id']}.pcm"
    try:
        job["settings"] = corpus.make(job, out)
        job["phones"] = phonemes(job["lang"], job["voice"] if job["engine"] == "espeak-ng" else
                                 corpus.ESPEAK_VOICES.get(job["lang"], [job["lang"]])[0], job["text"])
    except subprocess.CalledProcessError as e:
        return job, str(e)
    pcm = trim(np.fromfile(out, dtype="<i2"))
    if not job["phones"] or len(pcm) > PHRASE_SECONDS * SR or len(pcm) < SR // 4:
        os.unlink(out)
        return job, "too long or too short"
    pcm.tofile(out)
    return job, None


def main():
    work, settings = sys.argv[1], recipe.load(sys.argv[2])["corpus"]
    os.makedirs(f"{work}/audio/phrases", exist_ok=True)
    path = f"{work}/audio/phrases.jsonl"
    tried = set()
    if os.path.exists(path):
        tried = {json.loads(l)["id"] for l in open(path)}
    jobs = plan(work, settings["phrases"])
    todo = [dict(job, work=work) for job in jobs if job["id"] not in tried]
    print(f"{len(todo)} of {len(jobs)} phrases to make", flush=True)
    workers = int(os.environ.get("QX_TRAINING_JOBS", "2"))
    with open(path, "a") as manifest, multiprocessing.Pool(workers) as pool:
        for n, (job, failure) in enumerate(pool.imap(make_phrase, todo, chunksize=16)):
            del job["work"]
            # a dropped phrase is written too (without phones), so a rerun does not try it again
            if failure is not None:
                job.pop("phones", None)
                job["dropped"] = failure
            manifest.write(json.dumps(job, ensure_ascii=False) + "\n")
            manifest.flush()
            if n % 1000 == 0:
                print(f"{n}/{len(todo)}", flush=True)


if __name__ == "__main__":
    main()
