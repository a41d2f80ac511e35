#!/usr/bin/env python3
"""Re-derives the golden end-to-end values of tests/golden_test.cc.

    /usr/bin/python3 tests/golden/rederive.py           # rewrites golden_values.h
    /usr/bin/python3 tests/golden/rederive.py --check   # exit 1 if it is stale

A second implementation, written without the library's C++ code: the voice
detector (fixed-point front end, its graph program as plain integer steps),
the voice gate, the log-mel features, the real FFT and the classifier. Only
the constant tables are read from the generated C++ sources (and checked here
against their formulas), and the models from their .qx files.

Float32 is kept exact: every operation is a numpy float32 operation on
float32 operands, in the defined order, so each rounds once to float32 as C
does with -ffp-contract=off. numpy's elementwise ufuncs do not
fuse or reorder; ordered sums are written as explicit loops (np.sum is
pairwise and would round differently). The only calls whose last bit may
differ from the library are log10 and exp: here they are the double-precision
functions rounded to float32 (correctly rounded in practice), the library may
use log10f and expf.

Needs Python 3 and numpy (Debian: apt-get install python3-numpy).
"""
import argparse
import math
import pathlib
import re
import struct
import sys
from fractions import Fraction

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
OUTPUT = HERE / "golden_values.h"
MODELS = ["plain.qx", "projection.qx"]

F32 = np.float32
FRAME = 32768
CHUNK = 512
NUM_FRAMES = 5
GATE_THRESHOLD = 0.5

# ---------------------------------------------------------------------------
# Constant tables, parsed from the generated sources.


def c_array(relpath, name):
    text = (ROOT / relpath).read_text()
    m = re.search(r"\b%s\[(\d+)\]\s*=\s*\{(.*?)\};" % name, text, re.S)
    if not m:
        sys.exit("%s not found in %s" % (name, relpath))
    body = re.sub(r"//[^\n]*", "", m.group(2))
    items = [s.strip() for s in body.split(",") if s.strip()]
    if len(items) != int(m.group(1)):
        sys.exit("%s: %d items, %s declared" % (name, len(items), m.group(1)))
    return items


def nearest_f32(literal):
    """The float32 nearest to a decimal literal, as a C compiler rounds it."""
    exact = Fraction(literal.rstrip("fF"))
    f = F32(float(exact))
    candidates = [np.nextafter(f, F32(-np.inf)), f, np.nextafter(f, F32(np.inf))]
    return min(candidates, key=lambda c: (abs(Fraction(float(c)) - exact),
                                          int(c.view(np.uint32)) & 1))


def float_table(relpath, name):
    return np.array([nearest_f32(s) for s in c_array(relpath, name)], dtype=F32)


def int_table(relpath, name):
    return np.array([int(s) for s in c_array(relpath, name)], dtype=np.int64)


FFT = "src/frontend/fft_tables.cc"
MEL = "src/frontend/mel_tables.cc"
VAD = "src/frontend/vad_tables.cc"
FIX = "src/runtime/fixed_point_tables.cc"
WEIGHTS = "src/frontend/vad_weights_tables.cc"

SINE = float_table(FFT, "QX_FFT_SINE_TABLE")
BIT_REVERSE = int_table(FFT, "QX_FFT_BIT_REVERSE_TABLE")
EDGES = int_table(MEL, "QX_MEL_BAND_EDGES")
RISE = float_table(MEL, "QX_MEL_RISE_SLOPES")
FALL = float_table(MEL, "QX_MEL_FALL_SLOPES")
VAD_WINDOW = float_table(VAD, "QX_VAD_WINDOW_TABLE")
LOG10_Q10 = int_table(VAD, "QX_LOG10_Q10_TABLE")
SIGMOID = int_table(FIX, "QX_SIGMOID_TABLE")
EXP_LSB = int_table(FIX, "QX_EXP_LSB_TABLE")
EXP_MSB = int_table(FIX, "QX_EXP_MSB_TABLE")

# The detector's 20 tensors 8..19 by name, in tensor order.
VAD_TENSORS = {
    8: "QX_VAD_STANDARDIZE_SHIFT", 9: "QX_VAD_STANDARDIZE_SCALE",
    10: "QX_VAD_LAYER1_INPUT_WEIGHTS", 11: "QX_VAD_LAYER1_INPUT_BIAS",
    12: "QX_VAD_LAYER1_RECURRENT_WEIGHTS", 13: "QX_VAD_LAYER1_RECURRENT_BIAS",
    14: "QX_VAD_LAYER2_INPUT_WEIGHTS", 15: "QX_VAD_LAYER2_INPUT_BIAS",
    16: "QX_VAD_LAYER2_RECURRENT_WEIGHTS", 17: "QX_VAD_LAYER2_RECURRENT_BIAS",
    18: "QX_VAD_OUTPUT_WEIGHTS", 19: "QX_VAD_OUTPUT_BIAS",
}
VT = {i: int_table(WEIGHTS, n) for i, n in VAD_TENSORS.items()}


def check_tables():
    """Each table against the formula it was generated from."""
    def r7(x):
        return F32(round(x, 7))

    assert all(SINE[k] == r7(math.sin(2 * math.pi * k / 512)) for k in range(384))
    assert all(BIT_REVERSE[i] == 2 * int(format(i, "08b")[::-1], 2) for i in range(256))
    mel = lambda f: 2595 * math.log10(1 + f / 700)
    edges = [round(257 * 700 * (10 ** (i * mel(8000) / 41 / 2595) - 1) / 8000) for i in range(42)]
    assert list(EDGES) == edges
    assert all(RISE[b] == r7(1 / (edges[b + 1] - edges[b])) for b in range(40))
    assert all(FALL[b] == r7(1 / (edges[b + 2] - edges[b + 1])) for b in range(40))
    assert all(VAD_WINDOW[n] == r7(0.5 - 0.5 * math.cos(2 * math.pi * n / 511)) for n in range(256))
    assert all(LOG10_Q10[j] == math.floor(1024 * math.log10((512 + j) / 2048) + 0.5)
               for j in range(513))
    for k in range(256):
        s = k if k < 128 else k - 256
        exact = 32767 / (1 + math.exp(-s / 16))
        assert abs(SIGMOID[k] - exact) <= 0.5, k  # entry 0 is the tie 16383.5
    assert SIGMOID[256] == 16384
    for k in range(128):
        assert EXP_LSB[k] == round((2**31 - 1) * math.exp(-k / 1024))
        assert EXP_MSB[k] == round((2**31 - 1) * math.exp(-k / 8))


# ---------------------------------------------------------------------------
# Real FFT of 512 samples: 256-point radix-2 transform plus the split step.


def real_fft_512(x):
    """x: (N, 512) float32 -> (re, im), each (N, 257) float32."""
    n = x.shape[0]
    zr = np.empty((n, 256), F32)
    zi = np.empty((n, 256), F32)
    zr[:, BIT_REVERSE // 2] = x[:, 0::2]  # Z[r(n)] = x[2n] + i x[2n+1]
    zi[:, BIT_REVERSE // 2] = x[:, 1::2]
    for s in range(8):
        half, stride = 1 << s, 256 >> s
        j = np.tile(np.arange(half), 128 >> s)
        top = np.repeat(np.arange(128 >> s) * 2 * half, half) + j
        bot = top + half
        sn, cs = SINE[j * stride], SINE[j * stride + 128]
        br, bi, tr, ti = zr[:, bot], zi[:, bot], zr[:, top], zi[:, top]
        t_re = br * cs + bi * sn
        t_im = bi * cs - br * sn
        zr[:, top], zi[:, top] = tr + t_re, ti + t_im
        zr[:, bot], zi[:, bot] = tr - t_re, ti - t_im
    scale = F32(0.001953125)
    re = np.zeros((n, 257), F32)
    im = np.zeros((n, 257), F32)
    re[:, 0] = (zr[:, 0] + zi[:, 0]) * scale
    re[:, 256] = (zr[:, 0] - zi[:, 0]) * scale
    k = np.arange(1, 256)
    a, b, c, d = zr[:, k], zi[:, k], zr[:, 256 - k], zi[:, 256 - k]
    cs, sn = SINE[k + 128], SINE[k]
    re[:, 1:256] = (c + a + cs * (b + d) + sn * (c - a)) * scale
    im[:, 1:256] = (b - d + cs * (c - a) - sn * (b + d)) * scale
    return re, im


def power_spectrum(frames):
    re, im = real_fft_512(frames)
    return re * re + im * im


def mel_energies(power, bands):
    """(N, 257) float32 -> (N, bands): triangular weights built by repeated addition."""
    out = np.empty((power.shape[0], bands), F32)
    for b in range(bands):
        l, c, r = EDGES[b], EDGES[b + 1], EDGES[b + 2]
        acc = np.zeros(power.shape[0], F32)
        w = F32(0)
        for k in range(l, c):
            acc = acc + power[:, k] * w
            w = w + RISE[b]
        for k in range(c, r):
            acc = acc + power[:, k] * w
            w = w - FALL[b]
        out[:, b] = acc
    return out


# ---------------------------------------------------------------------------
# Fixed-point vocabulary (Q10 values, Q15 gates, Q31 probabilities).


def sat16(v):
    return np.clip(v, -32768, 32767)


def sigmoid_q15(x):
    b = np.clip(np.asarray(x, np.int64), -8192, 8128)
    u = b & 16383
    i, f, j = u >> 6, b & 63, (u + 63) >> 6
    return (SIGMOID[i] * (64 - f) + f * SIGMOID[j]) >> 6


def tanh_q15(x):
    return 2 * sigmoid_q15(sat16(2 * np.asarray(x, np.int64))) - 32768


def round_q31(p):
    return 2147483647 if p > 0x3FFFFFFFBFFFFFFF else (p + 2**30) >> 31


def exp_q31(h):
    return round_q31(int(EXP_LSB[h & 127]) * int(EXP_MSB[h >> 7]))


def check_int32(v):
    assert np.all((v >= -2**31) & (v < 2**31)), "32-bit overflow"
    return v


def dense(x, w, bias, outputs):
    """acc = (bias << 10) + W x; Q7 x Q10 -> Q10 with rounding, not yet saturated."""
    acc = check_int32((bias << 10) + w.reshape(outputs, -1) @ x)
    return (acc + 64) >> 7


def lstm_cell(cell, gates, n):
    z = sigmoid_q15(gates[:n])
    u = tanh_q15(gates[n:2 * n])
    o = sigmoid_q15(gates[2 * n:])
    cell = sat16(((cell * (32767 - z) + 16384) >> 15) + ((z * u + 524288) >> 20))
    h = (tanh_q15(cell) * o + 524288) >> 20
    return cell, h


def softmax_q31(x):
    m = max(x)
    v = [exp_q31(min(m - xi, 16383)) for xi in x]
    g = min(max(2**62 // sum(v), -2**31), 2**31 - 1)
    return [round_q31(g * vi) for vi in v]


def fixed_log10_q10(e):
    p = e * F32(8589934592.0)
    if p >= F32(9.223372e18):
        return 0
    v = int(p)  # float32 -> int64, truncating
    if v == 0:
        return -32768
    s = 0
    if v > 2**30 - 1:
        v, s = v >> 1, -1
    while v <= 2**61 - 1:
        v, s = 2 * v, s + 1
    j = ((v + 2**51) >> 52) - 512
    return int(min(max(LOG10_Q10[j] - 308 * s, -32768), 32767))


def check_fixed_point():
    """Known worked examples."""
    assert sigmoid_q15(0) == 16384 and sigmoid_q15(8128) == 32755 and sigmoid_q15(-8192) == 11
    assert tanh_q15(0) == 0 and tanh_q15(30000) == 32742
    assert softmax_q31([5, 5]) == [2**30, 2**30]
    assert softmax_q31([16383, 0]) == [2147483406, 242]
    assert fixed_log10_q10(F32(2.0**29)) == -309 and fixed_log10_q10(F32(1)) == -9241
    assert fixed_log10_q10(F32(2.0**30)) == 0 and fixed_log10_q10(F32(0)) == -32768


# ---------------------------------------------------------------------------
# Voice detector: front end per 256 samples, then the step program per chunk.


def vad_front_end(stream):
    """int16 stream -> (calls, 40) int Q10 log-mel values, history carried."""
    x = stream.astype(F32)
    previous = np.concatenate([[F32(0)], x[:-1]]).astype(F32)
    e = x - F32(0.97) * previous  # raw sample units
    history = np.concatenate([np.zeros(256, F32), e])
    calls = len(stream) // 256
    frames = np.stack([history[256 * m:256 * m + 512] for m in range(calls)])
    window = np.concatenate([VAD_WINDOW, VAD_WINDOW[::-1]])  # w[n] and w[511 - n]
    energies = mel_energies(power_spectrum(frames * window), 40)
    return np.array([[fixed_log10_q10(v) for v in row] for row in energies], np.int64)


def voice_probabilities(stream):
    """Q31 voice probability per 512-sample chunk, recurrent state carried."""
    features = vad_front_end(stream)
    h1, c1, h2, c2 = (np.zeros(80, np.int64) for _ in range(4))
    out = []
    for k in range(len(stream) // CHUNK):
        x = features[2 * k:2 * k + 2].reshape(80)
        shift, scale = np.tile(VT[8], 2), np.tile(VT[9], 2)
        x = sat16(check_int32((x - shift) * scale) >> 10)  # standardize_i16
        gates = sat16(dense(x, VT[10], VT[11], 240))  # dense_i8
        gates = sat16(gates + dense(h1, VT[12], VT[13], 240))  # dense_acc_i8
        c1, h1 = lstm_cell(c1, gates, 80)
        gates = sat16(dense(h1, VT[14], VT[15], 240))
        gates = sat16(gates + dense(h2, VT[16], VT[17], 240))
        c2, h2 = lstm_cell(c2, gates, 80)
        logits = sat16(dense(h2, VT[18], VT[19], 2))
        out.append(softmax_q31([int(v) for v in logits])[1])
    return out


def q31_to_float(q):
    return F32(q) * F32(4.656613e-10)  # the constant is exactly 2^-31


def frame_mean(probabilities):
    total = F32(0)
    for p in probabilities:
        total = total + p
    return total * F32(0.015625)


# ---------------------------------------------------------------------------
# Model file.


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt, count=1):
        size = struct.calcsize("<%d%s" % (count, fmt))
        values = struct.unpack_from("<%d%s" % (count, fmt), self.data, self.at)
        self.at += size
        return values

    def i32(self):
        return self.take("i")[0]

    def f32s(self, n):
        return np.array(self.take("f", n), F32)

    def i8s(self, n):
        return np.array(self.take("b", n), np.int64)


def read_model(path):
    r = Reader(path.read_bytes())
    assert r.take("s", 3)[0] == b"orb" and r.take("s", 5)[0] == b"1.0.0"
    m = {"window_length": r.i32(), "hop_length": r.i32(), "bands": r.i32(),
         "log_floor": r.f32s(1)[0]}
    m["mean"], m["std"] = r.f32s(m["bands"]), r.f32s(m["bands"])
    n, k = r.i32(), r.i32()
    m["out_w"] = r.f32s(n * k).reshape(n, k)
    m["out_b"] = r.f32s(n)
    layers = r.i32()
    m["epsilon"] = r.f32s(1)[0]

    def layer():
        h, i = r.i32(), r.i32()
        return {"H": h, "I": i, "W": r.i8s(3 * h * (h + i)), "b": r.i8s(3 * h)}

    m["forward"] = [layer() for _ in range(layers)]
    m["backward"] = [layer() for _ in range(layers)]
    m["E"], m["P"], m["has_projection"] = r.i32(), r.i32(), r.i32()
    if m["has_projection"]:
        m["proj"] = r.f32s(m["E"] * m["P"]).reshape(m["E"], m["P"])
    assert m["window_length"] == 512 and n == 9
    return m


# ---------------------------------------------------------------------------
# Log-mel features and the classifier.


def analysis_window(length):
    return np.array([0.5 * (1 - math.cos(6.283185307179586 * i / (length - 1)))
                     for i in range(length)]).astype(F32)


def log_mel_features(model, pcm):
    """One 32768-sample frame -> (F, B) float32; pre-emphasis restarts at 0."""
    hop, bands, length = model["hop_length"], model["bands"], model["window_length"]
    s = pcm.astype(F32) * F32(3.0517578e-05)  # exactly 2^-15
    e = s - F32(0.97) * np.concatenate([[F32(0)], s[:-1]]).astype(F32)
    padded = np.concatenate([np.zeros(length, F32), e])  # the zero-filled ring
    count = FRAME // hop
    ends = [(f + 1) * hop for f in range(count)]
    frames = np.stack([padded[end:end + length] for end in ends])  # samples end-W..end-1
    energies = mel_energies(power_spectrum(frames * analysis_window(length)), bands)
    logs = np.array([[math.log10(float(v + model["log_floor"])) for v in row]
                     for row in energies]).astype(F32)
    return (logs - model["mean"]) / model["std"]


def normalize_to_q10(x, epsilon):
    rows = F32(x.shape[0])
    s = np.zeros(x.shape[1], F32)
    for row in x:
        s = s + row
    mean = s / rows
    v = np.zeros(x.shape[1], F32)
    for row in x:
        d = row - mean
        v = v + d * d
    v = v / rows
    inv = F32(1) / np.sqrt(v + epsilon)
    y = ((x - mean) * inv) * F32(1024)
    return np.where(y >= 32767, 32767, np.where(y <= -32768, -32768, np.trunc(y))).astype(np.int64)


def recurrent_direction(layer, xs, reverse, ys=None):
    h_size = layer["H"]
    cell, h = np.zeros(h_size, np.int64), np.zeros(h_size, np.int64)
    out = np.zeros((len(xs), h_size), np.int64) if ys is None else ys.copy()
    steps = range(len(xs) - 1, -1, -1) if reverse else range(len(xs))
    for t in steps:
        gates = sat16(dense(np.concatenate([h, xs[t]]), layer["W"], layer["b"], 3 * h_size))
        cell, h = lstm_cell(cell, gates, h_size)
        out[t] = h if ys is None else sat16(out[t] + h)
    return out


def ordered_matvec(w, x):
    """Each row: products rounded to float32, added in increasing column from 0."""
    acc = np.zeros(w.shape[0], F32)
    for k in range(w.shape[1]):
        acc = acc + x[k] * w[:, k]
    return acc


def classify(model, features):
    count = features.shape[0]
    steps, width = count // 2, model["forward"][0]["I"]
    flat = features.reshape(-1)
    x = normalize_to_q10(flat[:steps * width].reshape(steps, width), model["epsilon"])
    for fwd, bwd in zip(model["forward"], model["backward"]):
        y = recurrent_direction(fwd, x, reverse=False)
        x = recurrent_direction(bwd, x, reverse=True, ys=y)
    pooled = np.array([F32(int(v)) for v in check_int32(x.sum(axis=0))], F32) * F32(0.0009765625)
    embedding = ordered_matvec(model["proj"], pooled) if model["has_projection"] else pooled
    logits = ordered_matvec(model["out_w"], embedding) + model["out_b"]
    e = np.array([F32(math.exp(float(v))) for v in logits - logits.max()], F32)
    total = F32(0)
    for v in e:
        total = total + v
    return (F32(1) / total) * e


# ---------------------------------------------------------------------------
# The fixed audio: five frames from one 32-bit generator, integers only.


def golden_audio():
    out = np.empty(NUM_FRAMES * FRAME, np.int64)
    state = 0x2545F491
    for n in range(NUM_FRAMES * FRAME):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        noise = (state >> 22) - 512
        f, i = divmod(n, FRAME)
        if f == 0:  # 125 Hz sawtooth
            x = (i % 128) * 256 - 16384 + noise
        elif f == 1:  # pulse train of period 91 samples, stepped loudness
            x = (750 if i % 91 < 20 else -163) * (8 + (i // 2048) % 8) + noise
        elif f == 2:  # silence
            x = 0
        elif f == 3:  # faint noise
            x = (state >> 27) - 16
        else:  # full-scale 4 kHz square: band energies reach the log's top
            x = 32767 if (i // 2) % 2 == 0 else -32768
        out[n] = x
    assert out.min() >= -32768 and out.max() <= 32767
    return out


def fnv1a64(samples):
    h = 0xCBF29CE484222325
    for byte in samples.astype("<i2").tobytes():
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


# ---------------------------------------------------------------------------


def hexfloat(v):
    """Exact C++ literal: 0x1.823d1ep-1f."""
    if v == 0:
        return "0.0f"
    mantissa, exponent = float(v).hex().split("p")
    return "%sp%sf" % (mantissa.rstrip("0").rstrip("."), exponent)


def emit(audio, probabilities, means, scores):
    lines = ["// Generated by tests/golden/rederive.py; do not edit.",
             "// Expected results for tests/golden_test.cc; see tests/golden/README.md.",
             "#pragma once", "", "#include <cstdint>", "", "namespace golden {", "",
             "constexpr int kFrames = %d;" % NUM_FRAMES,
             "constexpr int kChunks = 64;",
             "// FNV-1a (64 bit) of the little-endian int16 samples of all frames.",
             "constexpr uint64_t kAudioHash = 0x%016XULL;" % fnv1a64(audio), "",
             "// Per chunk: the detector's Q31 voice probability times 2^-31.",
             "constexpr float kChunkProbability[kFrames][kChunks] = {"]
    for frame in probabilities:
        lines.append("    {")
        for at in range(0, 64, 4):
            lines.append("        " + ", ".join(hexfloat(p) for p in frame[at:at + 4]) + ",")
        lines.append("    },")
    lines += ["};", "", "// Per frame: the float32 sum of the 64 probabilities times 1/64.",
              "constexpr float kMeanProbability[kFrames] = {"]
    lines += ["    %s,  // %.9g" % (hexfloat(m), m) for m in means]
    lines += ["};", "", "// Whether each frame passes a gate of kGateThreshold.",
              "constexpr float kGateThreshold = %.1ff;" % GATE_THRESHOLD,
              "constexpr bool kVoiced[kFrames] = {%s};"
              % ", ".join("true" if m >= F32(GATE_THRESHOLD) else "false" for m in means), "",
              "struct ModelScores {", "  const char *file;  // in tests/golden",
              "  float scores[kFrames][9];  // threshold 0: every frame classified", "};", "",
              "constexpr ModelScores kModelScores[] = {"]
    for name, rows in scores:
        lines.append('    {"%s",' % name)
        lines.append("     {")
        for row in rows:
            lines.append("         {" + ", ".join("%.9ef" % v for v in row) + "},")
        lines.append("     }},")
    lines += ["};", "", "}  // namespace golden", ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--check", action="store_true", help="exit 1 if the header is stale")
    args = parser.parse_args()

    check_tables()
    check_fixed_point()
    audio = golden_audio()
    q31 = voice_probabilities(audio)
    probabilities = [[q31_to_float(q) for q in q31[64 * f:64 * f + 64]] for f in range(NUM_FRAMES)]
    means = [frame_mean(p) for p in probabilities]
    scores = []
    for name in MODELS:
        model = read_model(HERE / name)
        rows = [classify(model, log_mel_features(model, audio[f * FRAME:(f + 1) * FRAME]))
                for f in range(NUM_FRAMES)]
        scores.append((name, rows))
    text = emit(audio, probabilities, means, scores)
    if args.check:
        if OUTPUT.read_text() != text:
            print("%s is stale; run %s" % (OUTPUT, sys.argv[0]))
            return 1
        return 0
    OUTPUT.write_text(text)
    print("wrote", OUTPUT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
