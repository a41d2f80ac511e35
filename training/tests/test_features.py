"""The feature tool's numbers (qx_orb_train_tool features, read through
data.run_tool as training reads them) against tests/golden/rederive.py, the
independent derivation the library's golden test is held to: the log-mel
rows the classifier trains on, in the model file's settings, and the voice
detector's front-end values."""
import unittest

import support

support.require("numpy")
import numpy as np  # noqa: E402

import data  # noqa: E402

STRIDE = 16384  # overlapping frames, as the tool's default stride gives them


class FeatureTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tool = support.tool("QX_TRAIN_TOOL")
        cls.reference = support.golden_reference()
        # sawtooth, pulses, silence, faint noise, full-scale square: both ends of the logarithms
        cls.audio = cls.reference.golden_audio()
        cls.mel, cls.vad = data.run_tool(tool, cls.audio.astype(np.float32) / 32768, STRIDE)

    def test_log_mel_rows(self):
        # what train.save_classifier writes into every model: the library computes these rows in use
        settings = {"window_length": 512, "hop_length": 256, "bands": 40, "log_floor": np.float32(1e-6),
                    "mean": np.zeros(40, np.float32), "std": np.ones(40, np.float32)}
        starts = range(0, len(self.audio) - data.FRAME + 1, STRIDE)
        expected = np.stack([self.reference.log_mel_features(settings, self.audio[s:s + data.FRAME])
                             for s in starts])
        self.assertEqual(self.mel.shape, expected.shape)
        # one float32 step allowed for the platform's log10 (tests/golden/README.md)
        self.assertTrue(np.all(np.abs(self.mel - expected) <= np.spacing(np.abs(expected))))

    def test_detector_front_end(self):
        np.testing.assert_array_equal(self.vad, self.reference.vad_front_end(self.audio))


if __name__ == "__main__":
    unittest.main()
