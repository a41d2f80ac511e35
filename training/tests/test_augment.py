"""The detector's chunk labels and training windows, and the classifier's
vocal-tract warp: the transforms of training data that no library test sees."""
import unittest

import support

support.require("numpy", "torch")

import numpy as np  # noqa: E402
import torch  # noqa: E402

import data  # noqa: E402
import train  # noqa: E402


def chunks(pattern):
    return np.array([c == "#" for c in pattern])


def pattern(labels):
    return "".join("#" if v else "." for v in labels)


class SpeechLabels(unittest.TestCase):
    CASES = [  # activity, bridge, hangover, labels
        ("..##...##..", 4, 0, "..#######.."),
        ("..##....##.", 4, 0, "..##....##."),  # a pause as long as the bridge stays
        ("..##.......", 0, 3, "..#####...."),
        ("#.#......##", 1, 2, "#####....##"),  # the hangover stops at the end of the stream
        ("...........", 5, 5, "..........."),
        ("###", 10, 10, "###"),
    ]

    def test_bridge_and_hangover(self):
        for active, bridge, hangover, want in self.CASES:
            with self.subTest(active=active, bridge=bridge, hangover=hangover):
                self.assertEqual(pattern(data.hold(chunks(active), bridge, hangover)), want)

    def test_no_pause_is_bridged_across_two_segments(self):
        d = {"active": chunks("#...." + "....#").astype(np.int8), "label": np.zeros(10, np.int8),
             "segment": np.repeat([0, 1], 5)}
        self.assertEqual(pattern(train.detector_labels(d, 9, 2)), "###......#")

    def test_files_without_activity_keep_their_labels(self):
        d = {"label": chunks(".##.").astype(np.int8)}
        self.assertEqual(pattern(train.detector_labels(d, 9, 9)), ".##.")


class DetectorWindows(unittest.TestCase):
    """Rows of a detector batch read the streams on, or jump and start from rest."""

    CASES = [  # stream length, steps, jump probability
        (1000, 160, 0.0),   # rows run to the stream's end, then must jump
        (100000, 160, 0.2),
        (161, 160, 0.0),    # room for a single window
    ]

    def test_windows_continue_or_jump_within_the_streams(self):
        for length, steps, jump in self.CASES:
            with self.subTest(length=length, steps=steps, jump=jump):
                w = train.StreamWindows(length, 16, steps, np.random.default_rng(1), jump)
                before, fresh = w.next()
                self.assertTrue(fresh.all())  # nothing to carry at the start
                continued = 0
                for _ in range(200):
                    start, fresh = w.next()
                    self.assertTrue(((start >= 0) & (start + steps <= length)).all())
                    # a row that did not jump reads on exactly where it stopped
                    np.testing.assert_array_equal(start[~fresh], before[~fresh] + steps)
                    continued += int((~fresh).sum())
                    before = start
                if jump == 0.0 and length > 2 * steps:
                    self.assertGreater(continued, 0)


class MelWarp(unittest.TestCase):
    def crops(self, peak_band, n=16):
        """Log-mel rows with one raised band in both halves of every row."""
        x = torch.zeros(n, 64, 80)
        x[:, :, peak_band] = 5.0
        x[:, :, 40 + peak_band] = 5.0
        return x

    def test_width_zero_changes_nothing(self):
        x = torch.randn(4, 64, 80)
        torch.testing.assert_close(train.mel_warp(x, np.random.default_rng(1), 0.0), x)

    def test_a_formant_moves_with_the_factor(self):
        # a factor above 1 reads each band higher up: the raised band shows up lower, and below 1 higher
        x = self.crops(20)
        for seed in range(5):
            rng = np.random.default_rng(seed)
            alpha = np.random.default_rng(seed).uniform(0.85, 1.15, size=(16, 1))[:, 0]
            y = train.mel_warp(x, rng, 0.15)
            for i, a in enumerate(alpha):
                for half in (0, 40):
                    peak = int(y[i, 0, half:half + 40].argmax())
                    with self.subTest(seed=seed, alpha=a, half=half):
                        self.assertLessEqual(peak, 20) if a > 1 else self.assertGreaterEqual(peak, 20)

    def test_values_stay_within_the_input_range(self):
        x = torch.randn(8, 64, 80)
        y = train.mel_warp(x, np.random.default_rng(3), 0.2)
        self.assertEqual(y.shape, x.shape)
        self.assertTrue(bool((y <= x.amax(2, keepdim=True).repeat(1, 1, 1) + 1e-5).all()))
        self.assertTrue(bool(torch.isfinite(y).all()))


if __name__ == "__main__":
    unittest.main()
