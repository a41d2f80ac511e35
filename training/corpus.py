#!/usr/bin/env python3
"""Synthesised and recorded speech, labelled, reproducibly.

    corpus.py WORK RECIPE

Writes WORK/audio/<split>/<id>.pcm (16 kHz mono int16) and appends one JSON
line per utterance to WORK/audio/manifest.jsonl: id, split, lang, label,
engine, voice, settings, text package. Existing utterances are kept, so a
rerun resumes. Splits: "train" and "test" (held-out voices and held-out
sentences). The recipe's corpus settings: scale, the synthetic training
utterances per target language, and more_espeak, how many short espeak-ng
utterances each of them gets besides (three times that for the unknown
class; raising it only appends utterances). Recorded speech: recorded.py.
"""
import glob
import json
import multiprocessing
import os
import random
import subprocess
import sys
import tempfile

import recipe
from texts import TARGETS, UNKNOWN, held_out_count

LABELS = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
VARIANT_DIR = "/usr/lib/x86_64-linux-gnu/espeak-ng-data/voices/!v"
SKIP_VARIANTS = {"whisper", "whisperf", "Mr serious", "fast"}
# espeak-ng variants never used in training: the synthetic held-out voices.
TEST_VARIANTS = {"m3", "f2", "klatt4", "anika", "edward", "Denis", "steph2", "max"}
ESPEAK_VOICES = {"de": ["de"], "en": ["en-gb", "en-us", "en-gb-scotland", "en-gb-x-rp", "en-029"],
                 "es": ["es", "es-419"], "fr": ["fr-fr", "fr-be", "fr-ch"], "it": ["it"],
                 "ja": ["ja"], "ko": ["ko"], "pt": ["pt", "pt-br"]}
PICO = {"de": ["de-DE"], "en": ["en-US", "en-GB"], "es": ["es-ES"], "fr": ["fr-FR"], "it": ["it-IT"]}
FLITE_VOICES = ["kal16", "slt", "awb", "rms"]
# Engines with a handful of voices each (none held out); their utterances
# get ids "<split>-<lang>-x<n>" from a plan of their own.
# Every mbrola voice Debian has (each one real speaker's diphones).
MBROLA = {"de": ["de1", "de2", "de3", "de4", "de5", "de6", "de7", "de8"], "en": ["en1", "us1", "us2", "us3"],
          "es": ["es1", "es2", "es3", "es4"], "fr": ["fr1", "fr2", "fr3", "fr4", "fr5", "fr6", "fr7"],
          "it": ["it1", "it2", "it3", "it4"], "pt": ["br1", "br2", "br3", "br4", "pt1"],
          "nl": ["nl1", "nl2", "nl3"], "pl": ["pl1"], "ro": ["ro1"], "cs": ["cz1", "cz2"], "hu": ["hu1"],
          "tr": ["tr1", "tr2"], "sv": ["sw1", "sw2"], "el": ["gr1", "gr2"], "ca": ["ca1", "ca2"]}
FESTIVAL = {"en": ["kal_diphone", "ked_diphone", "don_diphone", "cmu_us_slt_arctic_hts"],
            "it": ["lp_diphone", "pc_diphone"],
            "cs": ["czech_ph", "czech_machac", "czech_dita", "czech_krb"], "ca": ["upc_ca_ona_hts"],
            "fi": ["suo_fi_lj_diphone", "hy_fi_mv_diphone"], "ru": ["msu_ru_nsh_clunits"]}
# Festival's voices read 8-bit text (the Russian one reads UTF-8).
FESTIVAL_CHARSET = {"cs": "iso-8859-2", "ru": "utf-8"}
# Only voices whose data may be used for any purpose: the NC and ND voices
# (lyubov, evgeniy-eng, arina, artemiy, magda, natan, marianna, volodymyr, ...)
# stay out.
RHVOICE = {"en": ["alan", "bdl", "clb", "slt"], "pt": ["Leticia-F123"],
           "ru": ["aleksandr", "aleksandr-hq", "anna", "elena", "evgeniy-rus", "irina"],
           "uk": ["anatol", "natalia"]}
OPEN_JTALK_VOICE = "/usr/share/hts-voice/nitech-jp-atr503-m001/nitech_jp_atr503_m001.htsvoice"
OPEN_JTALK_DIC = "/var/lib/mecab/dic/open-jtalk/naist-jdic"


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def to_pcm(wav, out, extra=()):
    run(["sox", wav, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-t", "raw", out,
         *extra])


def kana(text):
    """espeak-ng reads kanji as 'Chinese letter': give it the reading instead."""
    out = subprocess.run(["mecab", "-Oyomi"], input=text, capture_output=True, text=True).stdout
    return out.strip()


def read_texts(work, lang):
    rows = [l.rstrip("\n").split("\t", 1) for l in open(f"{work}/texts/{lang}.tsv", encoding="utf-8")]
    cut = held_out_count(len(rows))
    return rows[cut:], rows[:cut]  # train, held-out sentences


def synth_espeak(rng, lang, voice, variant, text, wav):
    speed = rng.randint(110, 230)
    pitch = rng.randint(15, 85)
    gap = rng.choice([0, 0, 0, 1, 2, 4])
    amplitude = rng.randint(60, 160)
    with tempfile.NamedTemporaryFile("w", suffix=".txt", encoding="utf-8", delete=False) as f:
        f.write(kana(text) if lang == "ja" else text)
    try:
        run(["espeak-ng", "-v", f"{voice}+{variant}" if variant else voice, "-s", str(speed), "-p", str(pitch),
             "-g", str(gap), "-a", str(amplitude), "-w", wav, "-f", f.name])
    finally:
        os.unlink(f.name)
    return {"speed": speed, "pitch": pitch, "gap": gap}


def synth_pico(rng, voice, text, wav):
    speed, pitch = rng.randint(70, 140), rng.randint(70, 140)
    ssml = f"<speed level='{speed}'><pitch level='{pitch}'>{text}</pitch></speed>"
    run(["pico2wave", "-l", voice, "-w", wav, ssml])
    return {"speed": speed, "pitch": pitch}


def synth_flite(rng, voice, text, wav):
    stretch = round(rng.uniform(0.75, 1.35), 2)
    pitch = rng.randint(80, 140)
    run(["flite", "-voice", voice, "--setf", f"duration_stretch={stretch}",
         "--setf", f"int_f0_target_mean={pitch}", "-t", text, "-o", wav])
    return {"stretch": stretch, "f0": pitch}


def synth_open_jtalk(rng, text, wav):
    speed = round(rng.uniform(0.75, 1.35), 2)
    shift = round(rng.uniform(-6, 6), 1)
    with tempfile.NamedTemporaryFile("w", suffix=".txt", encoding="utf-8", delete=False) as f:
        f.write(text)
    try:
        run(["open_jtalk", "-x", OPEN_JTALK_DIC, "-m", OPEN_JTALK_VOICE, "-s", "48000",
             "-r", str(speed), "-fm", str(shift), "-ow", wav, f.name])
    finally:
        os.unlink(f.name)
    return {"speed": speed, "halftones": shift}


def synth_festival(rng, lang, voice, text, wav):
    stretch = round(rng.uniform(0.8, 1.3), 2)
    charset = FESTIVAL_CHARSET.get(lang, "iso-8859-1")
    with tempfile.NamedTemporaryFile("wb", suffix=".txt", delete=False) as f:
        f.write(text.encode(charset, errors="replace"))
    try:
        run(["text2wave", "-eval", f"(voice_{voice})", "-eval",
             f"(Parameter.set 'Duration_Stretch {stretch})", f.name, "-o", wav])
    finally:
        os.unlink(f.name)
    return {"stretch": stretch}


def synth_rhvoice(rng, voice, text, wav):
    rate, pitch = rng.randint(70, 140), rng.randint(70, 130)
    subprocess.run(["RHVoice-test", "-p", voice, "-r", str(rate), "-t", str(pitch), "-o", wav],
                   input=text.encode(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {"rate": rate, "pitch": pitch}


def have(tool):
    return subprocess.run(["which", tool], capture_output=True).returncode == 0


def plan(work, scale, more_espeak):
    """Every utterance to make, in a fixed order from fixed seeds."""
    variants = sorted(v for v in os.listdir(VARIANT_DIR) if v not in SKIP_VARIANTS)
    train_variants = [v for v in variants if v not in TEST_VARIANTS]
    test_variants = [v for v in variants if v in TEST_VARIANTS]
    jobs = []
    for lang in TARGETS + UNKNOWN:
        if not os.path.exists(f"{work}/texts/{lang}.tsv"):
            continue
        train_text, test_text = read_texts(work, lang)
        if len(train_text) < 20:
            continue
        rng = random.Random(f"plan-{lang}")
        label = lang if lang in TARGETS else "unknown"
        # Each unknown language gets a share so the class matches a target's size.
        count = scale if lang in TARGETS else max(4, (scale * 2) // len(UNKNOWN))
        espeak = [("espeak-ng", v) for v in ESPEAK_VOICES.get(lang, [lang])]
        others = []
        if have("pico2wave"):
            others += [("pico", v) for v in PICO.get(lang, [])]
        if lang == "en" and have("flite"):
            others += [("flite", v) for v in FLITE_VOICES]
        if lang == "ja" and have("open_jtalk") and os.path.exists(OPEN_JTALK_VOICE):
            others += [("open-jtalk", "nitech-jp-atr503-m001")]
        for split, n, texts, vars_ in (("train", count, train_text, train_variants),
                                       ("test", max(2, count // 8), test_text, test_variants)):
            for i in range(n):
                # half espeak-ng (about 100 voice variants), half the other engines
                pool = others if others and rng.random() < 0.5 else espeak
                engine, voice = rng.choice(pool)
                if split == "test" and engine != "espeak-ng":
                    # only espeak-ng has voices to hold out
                    engine, voice = "espeak-ng", rng.choice(ESPEAK_VOICES.get(lang, [lang]))
                start = rng.randrange(len(texts))
                k = rng.randint(2, 4)
                sents = [texts[(start + j) % len(texts)] for j in range(k)]
                jobs.append({"id": f"{split}-{lang}-{i:05d}", "split": split, "lang": lang,
                             "label": label, "engine": engine, "voice": voice,
                             "variant": rng.choice(vars_) if engine == "espeak-ng" else "",
                             "text_package": sents[0][0],
                             "text": " ".join(s[1] for s in sents), "seed": rng.randrange(1 << 30)})
        jobs += plan_few_voice_engines(lang, label, count, train_text)
        jobs += plan_more_espeak(lang, label, count * more_espeak, train_text, train_variants)
    return jobs


def plan_more_espeak(lang, label, count, texts, variants):
    """`count` more from espeak-ng alone (fast, about 90 training
    variants): many texts and voices are what the classifier lacks most.
    Shorter texts, as a few 2 s crops are all that is taken of each. The
    unknown class gets three times that again: its many languages were
    what the classifier confused most. Later ids only add to earlier ones."""
    rng = random.Random(f"plan-e-{lang}")
    voices = ESPEAK_VOICES.get(lang, [lang])
    jobs = []
    for i in range(min(count * (3 if label == "unknown" else 1), 4 * len(texts))):
        start = rng.randrange(len(texts))
        sents = [texts[(start + j) % len(texts)] for j in range(rng.randint(1, 2))]
        jobs.append({"id": f"train-{lang}-e{i:05d}", "split": "train", "lang": lang, "label": label,
                     "engine": "espeak-ng", "voice": rng.choice(voices), "variant": rng.choice(variants),
                     "text_package": sents[0][0], "text": " ".join(s[1] for s in sents),
                     "seed": rng.randrange(1 << 30)})
    return jobs


def few_voice_engines(lang):
    engines = []
    if have("text2wave"):
        engines += [("festival", v) for v in FESTIVAL.get(lang, [])
                    if glob.glob(f"/usr/share/festival/voices/*/{v}")]
    if have("RHVoice-test"):
        engines += [("rhvoice", v) for v in RHVOICE.get(lang, [])
                    if os.path.isdir(f"/usr/share/RHVoice/voices/{v}")]
    engines += [("espeak-ng", f"mb-{v}") for v in MBROLA.get(lang, [])
                if os.path.exists(f"/usr/share/mbrola/{v}")]
    return engines


def plan_few_voice_engines(lang, label, count, texts):
    """Training utterances from Festival, RHVoice and espeak-ng's mbrola
    voices: half as many again as the main plan, pitch shifted by sox.
    Their real speakers' voices are what espeak-ng's variants lack."""
    engines = few_voice_engines(lang)
    if not engines:
        return []
    rng = random.Random(f"plan-x-{lang}")
    jobs = []
    for i in range(max(2, count // 2)):
        engine, voice = rng.choice(engines)
        start = rng.randrange(len(texts))
        sents = [texts[(start + j) % len(texts)] for j in range(rng.randint(2, 4))]
        jobs.append({"id": f"train-{lang}-x{i:05d}", "split": "train", "lang": lang, "label": label,
                     "engine": engine, "voice": voice, "variant": "", "text_package": sents[0][0],
                     "text": " ".join(s[1] for s in sents), "seed": rng.randrange(1 << 30)})
    return jobs


def make_job(job):
    """One utterance in a worker: (job, settings or the failure)."""
    out = f"{job['work']}/audio/{job['split']}/{job['id']}.pcm"
    try:
        return job, make(job, out), None
    except subprocess.CalledProcessError as e:
        return job, None, e


def make(job, out):
    rng = random.Random(job["seed"])
    with tempfile.TemporaryDirectory() as tmp:
        wav = f"{tmp}/u.wav"
        if job["engine"] == "espeak-ng":
            settings = synth_espeak(rng, job["lang"], job["voice"], job["variant"], job["text"], wav)
        elif job["engine"] == "pico":
            settings = synth_pico(rng, job["voice"], job["text"], wav)
        elif job["engine"] == "flite":
            settings = synth_flite(rng, job["voice"], job["text"], wav)
        elif job["engine"] == "festival":
            settings = synth_festival(rng, job["lang"], job["voice"], job["text"], wav)
        elif job["engine"] == "rhvoice":
            settings = synth_rhvoice(rng, job["voice"], job["text"], wav)
        else:
            settings = synth_open_jtalk(rng, job["text"], wav)
        extra = ()
        if "-x" in job["id"]:  # few voices: widen them with a pitch shift
            settings["cents"] = rng.randint(-300, 300)
            extra = ("pitch", str(settings["cents"]))
        to_pcm(wav, out + ".tmp", extra)
    os.replace(out + ".tmp", out)
    return settings


def main():
    work, settings = sys.argv[1], recipe.load(sys.argv[2])["corpus"]
    os.makedirs(f"{work}/audio/train", exist_ok=True)
    os.makedirs(f"{work}/audio/test", exist_ok=True)
    manifest_path = f"{work}/audio/manifest.jsonl"
    done = set()
    if os.path.exists(manifest_path):
        done = {json.loads(l)["id"] for l in open(manifest_path)}
    with open(manifest_path, "a") as manifest:
        jobs = plan(work, settings["scale"], settings["more_espeak"])
        todo = [dict(job, work=work) for job in jobs if job["id"] not in done]
        print(f"{len(todo)} of {len(jobs)} utterances to make", flush=True)
        # Each utterance depends on its own seed only, so the worker count
        # changes nothing but the time.
        workers = int(os.environ.get("QX_TRAINING_JOBS", "2"))
        with multiprocessing.Pool(workers) as pool:
            for n, (job, settings, failure) in enumerate(pool.imap(make_job, todo, chunksize=8)):
                if failure is not None:
                    print("failed", job["id"], failure, flush=True)
                    continue
                job["settings"] = settings
                del job["text"], job["work"]
                manifest.write(json.dumps(job) + "\n")
                manifest.flush()
                if n % 500 == 0:
                    print(f"{n}/{len(todo)}", flush=True)


if __name__ == "__main__":
    main()
