"""What torch computes in training is what the library computes in use: the
same audio through the training code's emulation and through the library
(qx_orb_train_tool evaluate), for an exported classifier, the shipped
classifier read back into torch, and the compiled-in voice detector."""
import os
import subprocess
import tempfile
import unittest

import support

support.require("numpy", "torch")
import numpy as np  # noqa: E402
import torch  # noqa: E402

import data  # noqa: E402
import qat  # noqa: E402
import qx_format  # noqa: E402
import train  # noqa: E402

# The agreement check_export.py showed for the shipped models (training_history.md).
TOLERANCE = 0.005
DETECTOR = {"w1": "QX_VAD_LAYER1_INPUT_WEIGHTS", "b1": "QX_VAD_LAYER1_INPUT_BIAS",
            "u1": "QX_VAD_LAYER1_RECURRENT_WEIGHTS", "c1": "QX_VAD_LAYER1_RECURRENT_BIAS",
            "w2": "QX_VAD_LAYER2_INPUT_WEIGHTS", "b2": "QX_VAD_LAYER2_INPUT_BIAS",
            "u2": "QX_VAD_LAYER2_RECURRENT_WEIGHTS", "c2": "QX_VAD_LAYER2_RECURRENT_BIAS",
            "wo": "QX_VAD_OUTPUT_WEIGHTS", "bo": "QX_VAD_OUTPUT_BIAS"}


def voiced(seconds, seed):
    """Vowel-like sound: a pulse train of gliding pitch through three formants
    that change every quarter second, some syllables silent."""
    rng = np.random.default_rng(seed)
    n = int(seconds * data.SR)
    t = np.arange(n) / data.SR
    f0 = 120 + 40 * np.sin(2 * np.pi * 0.7 * t) + 20 * np.sin(2 * np.pi * 3.1 * t)
    pulses = np.diff(np.floor(np.cumsum(f0 / data.SR)), prepend=0.0)
    out, step = np.zeros(n), data.SR // 4
    for a in range(0, n, step):
        source = pulses[a:a + step] + 0.02 * rng.standard_normal(len(pulses[a:a + step]))
        for f, width in ((rng.uniform(300, 900), 80), (rng.uniform(900, 2500), 120), (rng.uniform(2500, 3500), 200)):
            r, theta = np.exp(-np.pi * width / data.SR), 2 * np.pi * f / data.SR
            y1 = y2 = 0.0
            for i, v in enumerate(source):
                y1, y2 = v + 2 * r * np.cos(theta) * y1 - r * r * y2, y1
                out[a + i] += y1
        out[a:a + step] *= np.sin(np.pi * np.arange(len(source)) / len(source)) ** 2 * (rng.random() > 0.2)
    return (out / np.abs(out).max() * 0.3).astype(np.float32)


class TorchAgainstLibrary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = support.tool("QX_TRAIN_TOOL")
        torch.set_num_threads(1)
        noise = np.random.default_rng(3).standard_normal(data.FRAME).astype(np.float32) * 0.1
        # loud speech, faint speech, noise: four frames of 32768 samples
        cls.audio = np.concatenate([voiced(4.096, 1), voiced(2.048, 2) * 0.05, noise])
        cls.tmp = tempfile.TemporaryDirectory()
        cls.pcm = f"{cls.tmp.name}/audio.pcm"
        data.to_int16(cls.audio).tofile(cls.pcm)
        cls.mel, cls.vad = data.run_tool(cls.tool, cls.audio, data.FRAME)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def library(self, model):
        """(per-frame scores, per-chunk voice probabilities) from the library."""
        out = subprocess.run([self.tool, "evaluate", model, "0", self.pcm], check=True, capture_output=True,
                             text=True).stdout.splitlines()
        frames = [[float(v) for v in line.split()[3:]] for line in out if line.startswith("frame ")]
        chunks = [float(line.split()[2]) for line in out if line.startswith("chunk ")]
        return np.array(frames), np.array(chunks)

    def assert_classifier_agrees(self, model, path):
        with torch.no_grad():
            ours = torch.softmax(model(torch.tensor(train.rows_of(self.mel))), 1).numpy()
        theirs, _ = self.library(path)
        self.assertEqual(theirs.shape, ours.shape)
        self.assertLessEqual(np.abs(ours - theirs).max(), TOLERANCE)
        np.testing.assert_array_equal(ours.argmax(1), theirs.argmax(1))
        return ours

    def test_exported_classifier(self):
        torch.manual_seed(11)
        model = qat.Classifier(hidden=(16, 12))
        with torch.no_grad():  # outputs spread enough that a wrong weight or order shows
            model.out_w.uniform_(-0.2, 0.2)
        train.save_classifier(self.tmp.name, model, "tiny")  # the export training uses
        ours = self.assert_classifier_agrees(model, f"{self.tmp.name}/models/tiny.qx")
        self.assertGreater(ours.max(), 0.5)
        self.assertGreater(len(set(ours.argmax(1))), 1)

    def test_shipped_classifier_read_back(self):
        path = f"{support.ROOT}/models/default.qx"
        state = qat.read_qx_state(path)
        levels = len([k for k in state if k.startswith("b.")])
        hidden = [state[f"b.{level}"].shape[1] // 3 for level in range(levels)]
        model = qat.Classifier(hidden=hidden, eps=qx_format.read(path).norm_epsilon)
        model.load_state_dict(state)
        self.assert_classifier_agrees(model, path)

    def test_compiled_in_detector(self):
        tables = support.golden_reference()  # parses the detector's tables the library was built with
        weights = {name: np.array(tables.int_table(tables.WEIGHTS, name)) for name in
                   list(DETECTOR.values()) + ["QX_VAD_STANDARDIZE_SHIFT", "QX_VAD_STANDARDIZE_SCALE"]}
        detector = qat.Detector()
        with torch.no_grad():
            for name, key in DETECTOR.items():
                p = getattr(detector, name)
                p.copy_(torch.tensor(weights[key], dtype=torch.float32).reshape(p.shape) / 128.0)
            shift = weights["QX_VAD_STANDARDIZE_SHIFT"].astype(np.int16)
            scale = weights["QX_VAD_STANDARDIZE_SCALE"].astype(np.int16)
            m = len(self.vad) // 2
            logits, _ = detector(torch.tensor(train.detector_inputs(self.vad[:2 * m].reshape(m, 80), shift, scale))[None])
            ours = torch.softmax(logits[0], 1)[:, 1].numpy()
        _, theirs = self.library(f"{support.ROOT}/models/default.qx")
        self.assertEqual(len(ours), len(theirs))
        self.assertLessEqual(np.abs(ours - theirs).max(), TOLERANCE)
        clear = np.abs(theirs - 0.5) > TOLERANCE
        np.testing.assert_array_equal(ours[clear] >= 0.5, theirs[clear] >= 0.5)
        self.assertTrue((theirs > 0.9).any() and (theirs < 0.1).any())


if __name__ == "__main__":
    unittest.main()
