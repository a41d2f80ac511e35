"""No held-out sentence, voice or recorded validation clip reaches training:
the split code run on small made-up texts, voices and recorded speakers."""
import contextlib
import io
import json
import os
import re
import sys
import tempfile
import unittest
from unittest import mock

import support

import corpus
import phrases
import recorded
import texts


def sentence(kind, i):
    return f"This is sentence number {i:03d} of the {kind} packages."


def indices(text):
    return {int(n) for n in re.findall(r"sentence number (\d{3})", text)}


class SyntheticCorpus(unittest.TestCase):
    LANGS = ["de", "en", "ru"]  # two target languages, one of the unknown class

    def test_held_out_sentences_and_voices_stay_out_of_training(self):
        with tempfile.TemporaryDirectory() as work:
            os.makedirs(f"{work}/texts")
            for lang in self.LANGS:
                with open(f"{work}/texts/{lang}.tsv", "w") as f:
                    f.writelines(f"pkg-{lang}\t{sentence(lang, i)}\n" for i in range(60))
            variants = f"{work}/variants"
            os.makedirs(variants)
            for name in sorted(corpus.TEST_VARIANTS) + ["v1", "v2", "v3"] + sorted(corpus.SKIP_VARIANTS):
                open(f"{variants}/{name}", "w").close()
            engines = [("festival", "f1"), ("rhvoice", "r1"), ("espeak-ng", "mb-x1")]
            with mock.patch.object(corpus, "VARIANT_DIR", variants), \
                    mock.patch.object(corpus, "have", lambda tool: True), \
                    mock.patch.object(corpus, "few_voice_engines", lambda lang: engines):
                jobs = corpus.plan(work, 40, 2)
        held = set(range(texts.held_out_count(60)))
        ids = [job["id"] for job in jobs]
        self.assertEqual(len(ids), len(set(ids)), "an id made twice is skipped as done on a rerun")
        for lang in self.LANGS:
            self.assertTrue(any(j["lang"] == lang and j["split"] == "test" for j in jobs), lang)
        kinds = {re.sub(r"\d+$", "", job["id"].split("-")[2]) for job in jobs}
        self.assertEqual(kinds, {"", "x", "e"})  # every plan that makes utterances was run
        for job in jobs:
            with self.subTest(job["id"]):
                self.assertTrue(job["id"].startswith(job["split"] + "-"))
                self.assertEqual(set(re.findall(r"of the (\w+) packages", job["text"])), {job["lang"]})
                if job["split"] == "test":
                    self.assertLessEqual(indices(job["text"]), held)
                    self.assertEqual(job["engine"], "espeak-ng")
                    self.assertIn(job["variant"], corpus.TEST_VARIANTS)
                else:
                    self.assertFalse(indices(job["text"]) & held)
                    self.assertNotIn(job["variant"], corpus.TEST_VARIANTS | corpus.SKIP_VARIANTS)

    def test_sentences_held_out_before_stay_held_out_when_packages_are_added(self):
        first = [(f"/first/{k}", "manpages-en", [sentence("first", i) for i in range(k * 25, k * 25 + 25)])
                 for k in range(2)]
        first[1][2].append(sentence("first", 3))  # the same sentence in a second package
        later = [("/later/0", "manpages-da", [sentence("later", i) for i in range(30)] + [sentence("first", 40)])]

        def split(sources):
            packages = {path: package for path, package, _ in sources}
            with tempfile.TemporaryDirectory() as work, \
                    mock.patch.object(texts, "sources", lambda lang: [(p, b) for p, _, b in sources]), \
                    mock.patch.object(texts, "package_of", lambda path: packages[path]):
                os.makedirs(f"{work}/texts")
                texts.build("en", f"{work}/texts/en.tsv")
                train, held = corpus.read_texts(work, "en")
            return [s for _, s in train], [s for _, s in held]

        train_before, held_before = split(first)
        train_after, held_after = split(first + later)
        self.assertEqual(len(train_before + held_before), 50)
        self.assertEqual(len(train_after + held_after), 80)
        self.assertEqual(len(held_after), texts.held_out_count(80))
        self.assertLessEqual(set(held_before), set(held_after))
        self.assertLessEqual(set(train_before), set(train_after))
        self.assertFalse(set(train_after) & set(held_after))


class Phrases(unittest.TestCase):
    def test_phrases_come_from_training_sentences_and_voices_only(self):
        with tempfile.TemporaryDirectory() as work:
            os.makedirs(f"{work}/texts")
            for lang in ("de", "ja", "ru"):
                with open(f"{work}/texts/{lang}.tsv", "w") as f:  # every word or character names its sentence
                    f.writelines(f"pkg\t{chr(0x4E00 + i) * 20 if lang == 'ja' else ' '.join(f'w{i:03d}{c}' for c in 'abcdef')}\n"
                                 for i in range(60))
            variants = f"{work}/variants"
            os.makedirs(variants)
            for name in sorted(corpus.TEST_VARIANTS) + ["v1", "v2"]:
                open(f"{variants}/{name}", "w").close()
            with mock.patch.object(corpus, "VARIANT_DIR", variants), \
                    mock.patch.object(corpus, "have", lambda tool: False), \
                    mock.patch.object(corpus, "few_voice_engines", lambda lang: [("espeak-ng", "mb-x1")]):
                jobs = phrases.plan(work, 30)
        held = set(range(texts.held_out_count(60)))
        self.assertEqual(len({j["id"] for j in jobs}), len(jobs))
        self.assertEqual({j["lang"] for j in jobs}, {"de", "ja", "ru"})
        for job in jobs:
            with self.subTest(job["id"]):
                used = {int(n) for n in re.findall(r"w(\d{3})", job["text"])} | \
                    {ord(c) - 0x4E00 for c in job["text"] if c >= "\u4e00"}
                self.assertTrue(used, job["text"])
                self.assertFalse(used & held)
                self.assertNotIn(job["variant"], corpus.TEST_VARIANTS)
                self.assertEqual("-x" in job["id"], job["voice"] == "mb-x1")  # few voices get a pitch shift


class RecordedSpeech(unittest.TestCase):
    # corpus, speaker, clips (those named "short" last 0.1 s and are dropped)
    SPEAKERS = [("asterisk-core-sounds", "tel-a", 25), ("fillets-ng-data-cs", "tel-b", 9),
                ("hedgewars-data", "game-a", 10), ("alsa-utils", "game-b", 3),
                ("klettres-data", "kid-a", 40), ("ktuberling-data", "kid-b", 12)]

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.work = self.tmp.name
        speakers = [(c, s, "en", [f"/src/{s}/{'short' if s == 'kid-b' and n % 4 == 0 else 'clip'}{n:02d}.ogg"
                                  for n in range(count)]) for c, s, count in self.SPEAKERS]

        def decode(src, out):
            samples = 1600 if "short" in os.path.basename(src) else 16000
            open(out, "wb").write(bytes(2 * samples))
            return True

        with mock.patch.object(recorded, "speakers", lambda: speakers), \
                mock.patch.object(recorded, "decode", decode), \
                mock.patch.object(sys, "argv", ["recorded.py", self.work]), \
                contextlib.redirect_stdout(io.StringIO()):
            recorded.main()
        self.clips = recorded.clips(self.work)

    def tearDown(self):
        self.tmp.cleanup()

    def test_a_tenth_of_each_speaker_is_validation(self):
        for _, speaker, count in self.SPEAKERS:
            with self.subTest(speaker):
                parts = [c["part"] for c in self.clips if c["speaker"] == speaker]
                if speaker == "kid-b":  # its short clips are dropped, whichever part they were drawn for
                    self.assertEqual(len(parts), 9)
                    self.assertLessEqual(parts.count("val"), 1)
                    continue
                self.assertEqual(len(parts), count)
                self.assertEqual(parts.count("val"), max(1, count // 10) if count >= 10 else 0)

    def test_validation_clips_never_reach_training_crops(self):
        support.require("numpy")
        import data
        part_of = {c["path"]: c["part"] for c in self.clips}
        for part, repeats in (("train", 3), ("val", 1)):
            heard = {}
            for row in data.recorded_utterances(self.work, part, repeats):
                self.assertEqual({part_of[p] for p in row["clips"]}, {part})
                self.assertEqual({p.split("/")[2] for p in row["clips"]}, {row["speaker"]})
                for p in row["clips"]:
                    heard[p] = heard.get(p, 0) + 1
            self.assertEqual(heard, {p: repeats for p, q in part_of.items() if q == part})

    def test_left_out_folds_are_neither_trained_on_nor_chosen_on(self):
        support.require("numpy", "torch")
        import numpy as np
        import train
        os.makedirs(f"{self.work}/features")
        os.makedirs(f"{self.work}/audio")
        mel = lambda n: np.zeros((n, 128, 40), np.float16)
        np.savez(f"{self.work}/features/cls-train.npz", mel=mel(2), label=np.array([1, 2], np.int8),
                 id=np.array(["train-de-00000", "train-en-00000"]))
        np.savez(f"{self.work}/features/cls-test.npz", mel=mel(1), label=np.array([1], np.int8),
                 id=np.array(["test-de-00000"]))
        with open(f"{self.work}/audio/manifest.jsonl", "w") as f:
            for i in ("train-de-00000", "train-en-00000"):
                f.write(json.dumps({"id": i, "split": "train", "engine": "espeak-ng", "voice": "de",
                                    "variant": "v1"}) + "\n")
        for part in ("train", "val"):
            crops = [c for c in self.clips if c["part"] == part]
            np.savez(f"{self.work}/features/cls-recorded-{part}.npz", mel=mel(len(crops)),
                     label=np.full(len(crops), 2, np.int8), id=np.array([c["path"] for c in crops]),
                     corpus=np.array([c["corpus"] for c in crops]), speaker=np.array([c["speaker"] for c in crops]))
        folds = set(recorded.FOLDS.values())
        for leave_out in ([], ["children"], ["telephone", "games"], sorted(folds)):
            with self.subTest(leave_out=leave_out):
                _, _, rec, rec_val = train.load_classifier_data(self.work, leave_out)
                for name, d in (("training", rec), ("validation", rec_val)):
                    heard = set() if d is None else {recorded.FOLDS[c] for c in d["corpus"]}
                    self.assertEqual(heard, folds - set(leave_out), name)


if __name__ == "__main__":
    unittest.main()
