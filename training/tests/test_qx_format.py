"""training/qx_format.py against the library's own reader (qx_model_tool read)
on every committed model, on files it writes, and on damaged files."""
import glob
import os
import subprocess
import tempfile
import unittest

import support

support.require("numpy")
import numpy as np  # noqa: E402

import qx_format  # noqa: E402

# The fuzzers' seeds include cut and damaged models on purpose.
COMMITTED = sorted(path for path in glob.glob(f"{support.ROOT}/models/*.qx") +
                   glob.glob(f"{support.ROOT}/tests/**/*.qx", recursive=True)
                   if "/tests/fuzz/" not in path)


def library_view(path, m):
    """What qx_model_tool read prints of a valid model, from the Python fields."""
    bands = m.num_mel_bands
    lines = [f"file: {path}, {os.path.getsize(path)} bytes", 'magic: "orb"  version: "1.0.0"',
             f"feature settings: window_length {m.window_length}, hop_length {m.hop_length}, "
             f"num_mel_bands {bands}, log_floor {m.log_floor:g}"]
    lines += [f"  band {b}: mean {float(m.feature_mean[b]):g}, std {float(m.feature_std[b]):g}"
              for b in range(min(4, bands))]
    lines += [f"  ... {bands} bands"] if bands > 4 else []
    K, E = m.output_weights.shape
    lines += [f"output layer: num_languages {K}, input_size {E}, weights {4 * K * E} bytes, bias {4 * K} bytes",
              f"recurrent stack: num_layers {m.num_layers}, norm_epsilon {m.norm_epsilon:g}"]
    for level in range(m.num_layers):
        for name, layer in (("forward ", m.forward[level]), ("backward", m.backward[level])):
            lines.append(f"  level {level} {name}: hidden_size {layer.hidden_size}, input_size "
                         f"{layer.input_size}, weights {layer.weights.size} bytes, bias {layer.bias.size} bytes")
    projection = 0 if m.projection_weights is None else 4 * m.projection_weights.size
    lines += [f"embedding_size {m.embedding_size}, pooled_size {m.pooled_size}, has_projection "
              f"{m.has_projection}, projection {projection} bytes", "result: valid"]
    return lines


def made_model(seed, bands, hop, inputs, hidden, embedding=None):
    """A consistent model of random values, with a projection when embedding is given."""
    rng = np.random.default_rng(seed)
    f32 = lambda *shape: rng.standard_normal(shape).astype(np.float32)

    def direction():
        layers, size = [], inputs
        for H in hidden:
            layers.append(qx_format.Layer(H, size, rng.integers(-128, 128, (3 * H, H + size), dtype=np.int8),
                                          rng.integers(-128, 128, 3 * H, dtype=np.int8)))
            size = H
        return layers

    P = hidden[-1]
    E = embedding or P
    return qx_format.Model(512, hop, 1e-6, f32(bands), np.abs(f32(bands)) + 0.5, f32(9, E), f32(9), 1e-3,
                           direction(), direction(), E, P, int(embedding is not None),
                           f32(E, P) if embedding else None)


class LibraryAgreement(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = support.tool("QX_MODEL_TOOL")

    def library_read(self, path):
        run = subprocess.run([self.tool, "read", path], capture_output=True, text=True)
        return run.returncode, run.stdout.splitlines()

    def test_committed_models_read_as_the_library_reads_them(self):
        self.assertTrue(COMMITTED)
        for path in COMMITTED:
            with self.subTest(path=os.path.relpath(path, support.ROOT)):
                self.assertEqual(self.library_read(path), (0, library_view(path, qx_format.read(path))))

    def test_written_models_read_back_in_the_library(self):
        cases = {"plain": made_model(1, 40, 256, 80, (8, 6)),
                 "three levels, odd sizes": made_model(2, 23, 300, 40, (5, 7, 3)),
                 "projection": made_model(3, 32, 300, 64, (16, 12), embedding=10)}
        with tempfile.TemporaryDirectory() as tmp:
            for name, model in cases.items():
                with self.subTest(name):
                    path = f"{tmp}/m.qx"
                    qx_format.write(path, model)
                    self.assertEqual(self.library_read(path), (0, library_view(path, model)))

    def test_damaged_files_are_refused_by_both_readers(self):
        original = open(f"{support.ROOT}/tests/golden/projection.qx", "rb").read()
        levels_at = 8 + 16 + 2 * 4 * 32 + 8 + 4 * 9 * 10 + 4 * 9  # num_layers of 32 bands, K 9, E 10

        def patched(at, value):
            return original[:at] + np.int32(value).tobytes() + original[at + 4:]

        refused = {f"cut at {n}": original[:n] for n in (0, 3, 8, 12, 30, levels_at + 2, len(original) - 1)}
        refused.update({"version 1.0.1": original[:7] + b"1" + original[8:],
                        "negative band count": patched(16, -1),
                        "negative level count": patched(levels_at, -1),
                        "output layer larger than the file": patched(24 + 8 * 32, 1 << 20)})
        with tempfile.TemporaryDirectory() as tmp:
            for name, data in refused.items():
                with self.subTest(name):
                    path = f"{tmp}/bad.qx"
                    open(path, "wb").write(data)
                    self.assertNotEqual(self.library_read(path)[0], 0)
                    with self.assertRaises(ValueError):
                        qx_format.read(path)
            # bytes after the stack: ignored by the library, so by the reader too
            open(f"{tmp}/long.qx", "wb").write(original + b"\0")
            self.assertEqual(self.library_read(f"{tmp}/long.qx")[0], 0)
            self.assertEqual(qx_format.encode(qx_format.read(f"{tmp}/long.qx")), original)


class RoundTrip(unittest.TestCase):
    def test_committed_models_are_written_back_byte_for_byte(self):
        for path in COMMITTED:
            with self.subTest(path=os.path.relpath(path, support.ROOT)):
                data = open(path, "rb").read()
                self.assertEqual(qx_format.encode(qx_format.parse(data)), data)

    def test_inconsistent_models_are_refused_before_a_file_exists(self):
        def changed(**fields):
            m = made_model(4, 40, 256, 80, (8,))
            for key, value in fields.items():
                setattr(m, key, value)
            return m

        base = made_model(4, 40, 256, 80, (8,))
        layer = base.forward[0]
        cases = {
            # Q7 values as floats would be cast to int8 zeros without a word
            "float weights": changed(forward=[qx_format.Layer(8, 80, layer.weights / 128.0, layer.bias)]),
            "weights beyond int8": changed(forward=[qx_format.Layer(8, 80, layer.weights.astype(int) * 2,
                                                                    layer.bias)]),
            "bias of another level": changed(forward=[qx_format.Layer(8, 80, layer.weights, layer.bias[:9])]),
            "fewer std than mean": changed(feature_std=base.feature_std[:39]),
            "bias per language missing": changed(output_bias=base.output_bias[:8]),
            "levels differ by direction": changed(backward=[]),
            "projection of the wrong shape": changed(has_projection=1, embedding_size=8,
                                                     projection_weights=np.zeros((8, 7), np.float32)),
        }
        with tempfile.TemporaryDirectory() as tmp:
            for name, model in cases.items():
                with self.subTest(name):
                    with self.assertRaises(ValueError):
                        qx_format.write(f"{tmp}/m.qx", model)
                    self.assertFalse(os.path.exists(f"{tmp}/m.qx"))


if __name__ == "__main__":
    unittest.main()
