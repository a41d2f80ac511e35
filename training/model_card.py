#!/usr/bin/env python3
"""Writes models/MODEL.md from the corpus manifest, the training logs and the
evaluation results of run_all.sh.

    model_card.py WORK ROOT
"""
import collections
import json
import os
import shutil
import sys

LABELS = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
# Checked by hand against each package's debian/copyright.
LICENCES = {
    "espeak-ng": "GPL-3+ (synthesiser; its output carries no licence of its own)",
    "pico (libttspico-utils, libttspico-data)": "Apache-2.0 (non-free section: voice data terms)",
    "flite": "BSD-style (flite licence), parts GPL-2",
    "open-jtalk, open-jtalk-mecab-naist-jdic": "BSD-3-clause",
    "hts-voice-nitech-jp-atr503-m001": "CC-BY-3.0",
    "mecab, mecab-ipadic-utf8 (kana readings for espeak-ng)": "BSD-3-clause",
    "manpages-* (de, es, fr, it, ja, pt-br, pl, nl, cs, hu, ru, uk, ro, sv, fi, el, da, id)": "GPL-3+ (manpages-l10n); manpages-ja: BSD-style / GPL per page",
    "fortunes-de, fortunes-es, fortunes-it, fortunes-ru": "GPL-2+ / public domain quotations",
    "debian-reference-*": "GPL-2+",
    "libreoffice-help-* (ja, ko, pt, tr, ca, el, da, nl, sv, fi, hu, id)": "MPL-2.0",
    "asterisk-core-sounds-{en,es,fr,it,ru}-g722": "CC-BY-SA-3.0 (recorded prompts)",
    "fillets-ng-data-cs": "GPL-2 (Czech game dialogue)",
    "hedgewars-data (Data/Sounds/voices: recorded game voices in en, es, pl, ru, uk)": "GFDL-1.3 and CC-BY-SA-3.0 (sounds)",
    "alsa-utils (spoken channel names)": "GPL-2+",
    "asterisk-moh-opsound-g722": "CC-BY-SA-3.0 (music on hold)",
    "supertux-data (music/*.ogg, sounds/* without voices; speech/ never read)": "GPL-2+/GPL-3+, CC-BY-SA, CC0 per file",
    "festival, festvox-kallpc16k, festvox-kdlpc16k, festvox-don": "Festival licence (BSD-style)",
    "festvox-us-slt-hts": "BSD-3-clause, EST licence",
    "festvox-italp16k, festvox-itapc16k": "GPL-2+",
    "festvox-czech-ph, festvox-czech-machac, festvox-czech-dita, festvox-czech-krb": "GPL-2+, GPL-3+",
    "festvox-ca-ona-hts (ca)": "LGPL-2.1+, BSD-3-clause, Festvox licence; festvox-ellpc11k (es) is not used: it forbids commercial use",
    "festvox-ru": "BSD-like, GPL-3",
    "festvox-suopuhe-lj, festvox-suopuhe-mv": "LGPL",
    "rhvoice, rhvoice-{english,brazilian-portuguese,russian,ukrainian}":
        "LGPL-2.1+ (engine and voice data), CC-BY-SA-4.0 (Leticia-F123, aleksandr-hq); voices under "
        "non-commercial or no-derivatives terms are not used",
    "mbrola, every mbrola-* voice of de, en, us, es, fr, it, br, pt, nl, pl, ro, cz, hu, tr, sw, gr, ca":
        "mbrola AGPL-3+; the voice databases are non-free (used only through the mbrola program, not to be sold "
        "or built into a product that is sold without permission). The model holds nothing of them: only "
        "weights learned from speech they synthesised",
    "klettres-data, ktuberling-data (recorded letters, syllables and words in many languages)": "GPL-2+, GFDL-1.2+, CC0, CC-BY per file",
    "hedgewars-data (Data/Music, Data/Sounds without voices/)": "GPL-2 (music), GFDL-1.3 and CC-BY-SA-3.0 (sounds)",
}


def hours(seconds):
    return f"{seconds / 3600:.2f} h"


def recorded_table(work):
    """Recorded speech per corpus and class: speakers, clips and minutes."""
    path = f"{work}/recorded/clips.jsonl"
    if not os.path.exists(path):
        return []
    table = collections.defaultdict(lambda: [set(), 0, 0.0])
    for line in open(path):
        c = json.loads(line)
        entry = table[(c["fold"], c["corpus"], c["label"])]
        entry[0].add(c["speaker"])
        entry[1] += 1
        entry[2] += c["seconds"]
    out = ["", "### Recorded speech (by fold of corpora, corpus and class)", "",
           "| fold | corpus | class | speakers | clips | minutes |", "|---|---|---|---|---|---|"]
    out += [f"| {fold} | {corpus} | {label} | {len(s)} | {n} | {sec / 60:.1f} |"
            for (fold, corpus, label), (s, n, sec) in sorted(table.items())]
    return out + ["", "A speaker is a voice pack, a prompt voice or one language's recordings of an "
                  "application; a tenth of each speaker's clips is the validation part."]


def main():
    work, root = sys.argv[1], sys.argv[2]
    rows = [json.loads(l) for l in open(f"{work}/audio/manifest.jsonl")]
    dur = collections.defaultdict(float)
    count = collections.defaultdict(int)
    engines = collections.defaultdict(set)
    for r in rows:
        path = f"{work}/audio/{r['split']}/{r['id']}.pcm"
        if not os.path.exists(path):
            continue
        seconds = os.path.getsize(path) / 32000
        key = (r["split"], r["label"])
        dur[key] += seconds
        count[key] += 1
        engines[key].add(r["engine"])
    texts = {}
    for name in sorted(os.listdir(f"{work}/texts")):
        lang = name.split(".")[0]
        pk = collections.Counter(l.split("\t", 1)[0] for l in open(f"{work}/texts/{name}", encoding="utf-8"))
        texts[lang] = (sum(pk.values()), ", ".join(f"{p} {n}" for p, n in pk.most_common(4)))
    logs = {}
    for what in ("detector", "classifier"):
        path = f"{work}/logs/train-{what}.log"
        logs[what] = open(path).read().strip().splitlines() if os.path.exists(path) else []
    meta = json.load(open(f"{work}/models/meta.json")) if os.path.exists(f"{work}/models/meta.json") else {}
    recipe = json.load(open(meta["recipe"])) if os.path.exists(meta.get("recipe", "")) else {}
    corpus = recipe.get("corpus", {"more_espeak": 5, "crops": 3})
    more = corpus["more_espeak"]  # short espeak-ng utterances per main-plan one

    out = ["# Model card: the default language classifier and the built-in voice detector", "",
           "Made by `training/run_all.sh` (see `training/README.md`) from Debian packages only. "
           "Every figure below was measured through the library itself (`qx_orb_process` with "
           "`models/default.qx` and the compiled-in detector) by `training/evaluate.py`.", ""]
    size = os.path.getsize(f"{root}/models/default.qx")
    out += ["## Models", "",
            f"- Classifier `models/default.qx`, {size} bytes: log-mel features (hop 256, 40 bands, "
            "log floor 1e-6, file mean 0 / deviation 1, so the classifier's per-column normalisation "
            f"over each 2.048 s frame does all the scaling; epsilon {meta.get('eps', 1e-3)}), two "
            "consecutive feature frames per step (80 inputs, 64 steps), "
            f"{len(meta.get('hidden', [96, 96]))} bidirectional levels of "
            f"{' and '.join(str(h) for h in meta.get('hidden', [96, 96]))} units (int8 Q7 weights, "
            "int16 Q10 state), sum over time, no projection, float output layer of 9.",
            "- Voice detector (`src/frontend/vad_weights_tables.cc`, generated by "
            "`tools/generate_vad_weights.py --from vad_weights.json`): integer standardisation per band "
            "from the training streams' statistics, two layers of 80 units over the two 40-band "
            "front-end rows of each 512-sample chunk, 2-class output.", "",
            "Both were trained quantisation-aware in torch (`training/qat.py`): weights and biases "
            "rounded to Q7 within [-1, 127/128], every stored activation rounded to Q10 and "
            "saturated to int16, gates through the clamped sigmoid/tanh of the table-based "
            "operators, the detector's standardisation computed exactly in integers; gradients "
            "pass straight through the rounding. A check on a random model agrees with the "
            "library's scores to about 1e-4.", ""]
    out += ["## Data", "", "### Sources and licences", "", "| package | licence |", "|---|---|"]
    out += [f"| {k} | {v} |" for k, v in LICENCES.items()]
    out += ["", "The only audio of these packages in the repository is in `tests/data/clips/`: 6.1 s of "
            "held-out asterisk-core-sounds prompts per voice (CC-BY-SA-3.0) and 2.048 s of held-out music "
            "on hold (CC-BY-SA-3.0); the other test clips are espeak-ng speech (held-out voices and our own "
            "sentences) and generated noise, tones and silence.", "",
            "Recorded speech in Debian other than the packages above is reserved for independent "
            "evaluation and was not used.", "",
            "### Running text (sentences per language after filtering)", "",
            "| language | sentences | largest sources |", "|---|---|---|"]
    out += [f"| {lang} | {n} | {src} |" for lang, (n, src) in texts.items()]
    out += ["", "90% of each language's sentences feed training utterances, the other 10% the "
            "held-out ones.", "", "### Utterances per split and class", "",
            "| split | class | utterances | duration | engines |", "|---|---|---|---|---|"]
    for split in ("train", "test"):
        for label in LABELS:
            key = (split, label)
            if count.get(key):
                out.append(f"| {split} | {label} | {count[key]} | {hours(dur[key])} | "
                           f"{', '.join(sorted(engines[key]))} |")
    out += recorded_table(work)
    out += ["", "Synthesised utterances are 2 to 4 consecutive sentences. espeak-ng runs over every "
            "variant voice of the language (about 100), speed 110-230 words/min, pitch 15-85, word "
            "gap 0-4, amplitude 60-160; pico with SSML speed and pitch 70-140%; flite voices kal16, "
            "slt, awb, rms with duration stretch 0.75-1.35 and f0 80-140 Hz; open_jtalk at 48 kHz "
            "(resampled) with speed 0.75-1.35 and ±6 half-tones; Festival (en, it, and cs, ca, fi, ru; 8-bit text "
            "for the diphone voices) with duration stretch 0.8-1.3, RHVoice (en, pt-BR, and ru, uk) with rate "
            "70-140% and pitch 70-130%, every Debian mbrola voice through espeak-ng (8 de, 4 en, 4 es, 7 fr, "
            "4 it, 5 pt and 16 of 9 unknown-class languages) like its own voices; these few-voice engines "
            "add half to each language's "
            "training utterances, each shifted by -300 to +300 cents with sox. "
            f"{more} times as many again "
            f"(ids with `-e`; {3 * more} times for the unknown class, the most confused one) are espeak-ng "
            "alone, 1 or 2 sentences each, over the same training variants: many texts and voices, "
            "cheaply. Held-out (\"test\") utterances use "
            "only espeak-ng variants never used in training (m3, f2, klatt4, anika, edward, Denis, "
            "steph2, max) and held-out sentences.", "",
            f"Augmentation of classifier examples (2.048 s crops, {corpus['crops']} per training utterance; shorter "
            "utterances placed inside silence as partial-speech frames): speed ±12% (p 0.3), "
            "synthetic reverberation RT60 0.15-0.7 s (p 0.25), low-pass 3.4-4 kHz (p 0.3), "
            "high-pass 80-300 Hz (p 0.3), G.711 mu-law at 8 kHz (p 0.12), otherwise GSM 06.10 at "
            "8 kHz (sox) or G.722 (ffmpeg) (p 0.1), additive noise at "
            "0-30 dB SNR (p 0.6: white, pink, brown, music, babble of 3-6 training "
            "utterances, tones/clicks), speech level -45 to -10 dBFS RMS; during training, "
            "0-2 masks of 1-6 bands and 0-2 masks of 1-6 steps per example.", "",
            "Detector streams: alternating segments of speech (any language, synthetic and every other group of "
            "the recorded training clips; a fifth of the speech segments are recorded letters, syllables "
            "and words of klettres and ktuberling in many languages; labelled per 512-sample chunk where the clean utterance is within "
            "35 dB of its peak; recorded clips in groups of one to six joined by 0.25 s gaps, pauses under 1 s "
            "bridged and 0.38 s held after speech, within each segment) and non-speech (0.5-6 s long, a quarter "
            "of them 6-24 s: digital silence, "
            "-90 to -70 dBFS noise, white/pink/brown noise, music, tones, clicks and hum at -65 to "
            "-8 dBFS, game sound effects over faint noise; music is 30% of the segments). Music "
            "with singing: the music pools (music on hold, supertux and hedgewars music) are instrumental; a song's voice counts as speech (it is "
            "voice), which this detector was not trained to reject. Music and effects files "
            "alternate between training and held-out, so held-out streams and the evaluation's "
            "non-speech use files never heard in training.", ""]
    out += ["## Training", ""]
    for what in ("detector", "classifier"):
        if logs[what]:
            out += [f"{what.capitalize()} (last lines of the log):", "", "```"] + logs[what][-4:] + ["```", ""]
    if meta:
        detector = f"detector {meta['detector_minutes']} min" if "detector_minutes" in meta else \
            "detector not retrained (its tables come from an earlier run)"
        out += [f"Wall time on this machine (2 cores, one torch thread, nice 19): {detector}, "
                f"classifier {meta.get('classifier_minutes', '?')} min; "
                f"the last run of the pipeline at scale {corpus.get('scale', '?')}: "
                f"{meta.get('pipeline_minutes', '?')} min (steps whose output existed were skipped).", ""]
    if recipe:
        out += [f"Recipe `training/recipes/{os.path.basename(meta['recipe'])}`:", "", "```json",
                open(meta["recipe"]).read().strip(), "```", ""]
    history = f"{root}/training/training_history.md"
    if os.path.exists(history):
        out += [open(history).read().strip(), ""]
    out += ["## Evaluation through the library", ""]
    for name, title in (("synthetic", "Held-out synthetic speech (voices and sentences never trained on) "
                         "and non-speech"),
                        ("quiet", "Held-out synthetic speech at -35 dBFS"),
                        ("detector", "The voice gate: the shipped detector and the one before it"),
                        ("recorded", "Recorded speech, one fold of corpora left out at a time"),
                        ("recorded-before", "Recorded speech: the model the recipe started from, on the "
                         "same streams (a fair figure only where that model never heard recorded speech, "
                         "as for the shipped recipe's start)")):
        md = f"{root}/training/results/{name}.md"
        if os.path.exists(md):
            text = open(md).read().strip()
            if text.startswith("# "):  # loco.py's own title
                text = text.split("\n", 1)[1].strip()
            out += [f"### {title}", "", text, ""]
            if os.path.exists(f"{root}/training/results/{name}.svg"):
                shutil.copy(f"{root}/training/results/{name}.svg", f"{root}/models/confusion-{name}.svg")
                out += [f"![confusion matrix, {name}](confusion-{name}.svg)", ""]
    ablation = f"{root}/training/ablation.md"
    if os.path.exists(ablation):
        out += ["## What moved the recorded figure", "", open(ablation).read().strip(), ""]
    out += ["## Known limits", ""]
    limits = f"{root}/training/known_limits.md"
    if os.path.exists(limits):
        out += [open(limits).read().strip()]
    with open(f"{root}/models/MODEL.md", "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
