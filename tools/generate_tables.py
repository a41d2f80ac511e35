#!/usr/bin/env python3
"""Writes the library's constant tables as C++ sources.

Every value is computed in exact or 60-digit decimal arithmetic and rounded
once, so the tables do not depend on the host's libm. Where a rule rounds to
a number of decimal places or to the nearest integer, the generator refuses
to continue if a value lies so close to a rounding boundary that the working
precision could decide it (the only exact ties are handled explicitly).

Usage:
  generate_tables.py          rewrite the generated files
  generate_tables.py --check  exit 1 if a checked-in file differs
"""

import argparse
import decimal
import os
import struct
import sys
from decimal import Decimal
from fractions import Fraction

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = "tools/generate_tables.py"

decimal.getcontext().prec = 60
# Values closer than this to a rounding boundary are reported, not rounded.
TIE_GUARD = Fraction(1, 10 ** 40)


# ---- High-precision elementary functions --------------------------------------

def pi():
    """Pi to the working precision (the decimal module's documented recipe)."""
    with decimal.localcontext() as ctx:
        ctx.prec += 5
        three = Decimal(3)
        last, t, s, n, na, d, da = 0, three, 3, 1, 0, 0, 24
        while s != last:
            last = s
            n, na = n + na, na + 8
            d, da = d + da, da + 32
            t = (t * n) / d
            s += t
    return +s


def sin(x):
    """Taylor series; arguments here stay below 2*pi, where it converges fast."""
    with decimal.localcontext() as ctx:
        ctx.prec += 10
        x = Decimal(x)
        term, total, n = x, x, 1
        while True:
            term = -term * x * x / ((n + 1) * (n + 2))
            n += 2
            if total + term == total:
                break
            total += term
    return +total


def cos(x):
    with decimal.localcontext() as ctx:
        ctx.prec += 10
        x = Decimal(x)
        term, total, n = Decimal(1), Decimal(1), 0
        while True:
            term = -term * x * x / ((n + 1) * (n + 2))
            n += 2
            if total + term == total:
                break
            total += term
    return +total


# ---- Exact rounding helpers ---------------------------------------------------

def nearest_int(x, exact_ties_up=False):
    """Nearest integer to x (a Decimal or Fraction).

    An exact tie rounds up only when the caller says the rule defines it so;
    a value within TIE_GUARD of a tie that is not exactly one cannot be
    decided at the working precision and stops the generator.
    """
    x = Fraction(x)
    lower = x.numerator // x.denominator
    frac = x - lower
    half = Fraction(1, 2)
    if frac == half:
        if not exact_ties_up:
            raise ValueError("exact tie at %s" % x)
        return lower + 1
    if abs(frac - half) < TIE_GUARD:
        raise ValueError("%s is too close to a tie to round reliably" % float(x))
    return lower + (1 if frac > half else 0)


def round_places(x, places):
    """x rounded to `places` decimal places, as an exact Fraction."""
    scale = 10 ** places
    return Fraction(nearest_int(Fraction(x) * scale), scale)


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def to_float32(q):
    """The float32 nearest to the exact value q (ties to even).

    struct.pack('<f') rounds a double, so rounding q first to double and then
    to float32 could round twice; the neighbours of that first guess are
    compared exactly instead.
    """
    q = Fraction(q)
    if q == 0:
        return 0.0
    sign = -1.0 if q < 0 else 1.0
    magnitude = abs(q)
    guess = f32_bits(float(magnitude))
    best = None
    for bits in (guess - 1, guess, guess + 1):
        candidate = f32_from_bits(bits)
        error = abs(Fraction(candidate) - magnitude)
        key = (error, bits & 1)
        if best is None or key < best[0]:
            best = (key, candidate)
    return sign * best[1]


def float32_literal(value):
    """The shortest decimal literal that the compiler reads back as `value`."""
    for digits in range(1, 10):
        text = "%.*g" % (digits, value)
        if to_float32(Fraction(Decimal(text))) == value:
            break
    if "." not in text and "e" not in text:
        text += ".0"
    return text + "f"


# ---- Emitting C++ -------------------------------------------------------------

def format_rows(items, per_line):
    lines = []
    for start in range(0, len(items), per_line):
        lines.append("    " + ", ".join(items[start:start + per_line]) + ",")
    return "\n".join(lines)


def int_table(ctype, name, values, formula, per_line=12):
    body = format_rows([str(v) for v in values], per_line)
    comment = "".join("// %s\n" % line for line in formula)
    return "%sconst %s %s[%d] = {\n%s\n};\n" % (comment, ctype, name, len(values), body)


def float_table(name, values, formula, per_line=8):
    body = format_rows([float32_literal(v) for v in values], per_line)
    comment = "".join("// %s\n" % line for line in formula)
    return "%sconst float %s[%d] = {\n%s\n};\n" % (comment, name, len(values), body)


def source_file(header, tables):
    parts = [
        "// Generated by %s; do not edit.\n" % TOOL,
        '#include "%s"\n' % header,
        "\n",
        "namespace qx {\n",
    ]
    for table in tables:
        parts.append("\n")
        parts.append(table)
    parts.append("\n}  // namespace qx\n")
    return "".join(parts)


# ---- Fixed-point activation tables -------------------------------------------

def sigmoid_table():
    values = []
    for k in range(256):
        s = k if k < 128 else k - 256
        # s = 0 gives exactly 32767 / 2; that tie rounds up to 16384.
        x = Decimal(32767) / (1 + (Decimal(-s) / 16).exp())
        values.append(nearest_int(x, exact_ties_up=(s == 0)))
    values.append(16384)
    return values


def exp_table(divisor):
    one_q31 = Decimal(2 ** 31 - 1)
    return [nearest_int(one_q31 * (Decimal(-k) / divisor).exp()) for k in range(128)]


def fixed_point_tables():
    return source_file("runtime/fixed_point_tables.h", [
        int_table("int16_t", "QX_SIGMOID_TABLE", sigmoid_table(), [
            "Entry k < 256: nearest integer to 32767 * sigmoid(s / 16), s = k for",
            "k < 128 and s = k - 256 above (entry 0 is the tie 16383.5, rounded up);",
            "entry 256 = 16384.",
        ]),
        int_table("int32_t", "QX_EXP_LSB_TABLE", exp_table(1024), [
            "Entry k: nearest integer to (2^31 - 1) * e^(-k / 1024).",
        ], per_line=6),
        int_table("int32_t", "QX_EXP_MSB_TABLE", exp_table(8), [
            "Entry k: nearest integer to (2^31 - 1) * e^(-k / 8).",
        ], per_line=6),
    ])


def shader_table(ctype, name, values, per_line):
    body = format_rows([str(v) for v in values], per_line)
    return "QX_TABLE %s %s[%d] = {\n%s\n};\n" % (ctype, name, len(values), body)


def metal_kernel_tables():
    """The same activation tables for the Metal kernels, which cannot link to
    runtime/fixed_point_tables.cc: included by kernels/orb_kernels.metal."""
    return "".join([
        "// Generated by %s; do not edit.\n" % TOOL,
        "// The fixed-point activation tables of runtime/fixed_point_tables.cc for\n",
        "// the shader library; included inside the kernels' scope.\n",
        "#pragma once\n",
        "\n",
        shader_table("qx_i16", "QX_SIGMOID_TABLE", sigmoid_table(), 12),
        shader_table("qx_i32", "QX_EXP_LSB_TABLE", exp_table(1024), 6),
        shader_table("qx_i32", "QX_EXP_MSB_TABLE", exp_table(8), 6),
    ])


# ---- Real FFT tables --------------------------------------------------------------

def fft_sine_table():
    two_pi = 2 * pi()
    return [to_float32(round_places(sin(two_pi * k / 512), 7)) for k in range(384)]


def bit_reverse_8(i):
    return int("{:08b}".format(i)[::-1], 2)


def fft_tables():
    return source_file("frontend/fft_tables.h", [
        float_table("QX_FFT_SINE_TABLE", fft_sine_table(), [
            "Entry k = sin(2*pi*k / 512), rounded to 7 decimal places, then to float32.",
            "Entry k is the sine and entry k + 128 the cosine of angle 2*pi*k / 512.",
        ]),
        int_table("int16_t", "QX_FFT_BIT_REVERSE_TABLE",
                  [2 * bit_reverse_8(i) for i in range(256)], [
            "Entry i = 2 * (i with its 8 bits reversed): the float index of the real",
            "part of complex slot bitrev(i).",
        ], per_line=16),
    ])


# ---- Mel filterbank tables -----------------------------------------------------------

def mel_band_edges():
    # HTK mel scale m(f) = 2595 * log10(1 + f / 700); 42 edges equally spaced
    # in mel from 0 to 8000 Hz, mapped to bins of 8000 / 257 Hz.
    mel_top = 2595 * (1 + Decimal(8000) / 700).log10()
    edges = []
    for i in range(42):
        mel = i * mel_top / 41
        hz = 700 * (Decimal(10) ** (mel / 2595) - 1)
        edges.append(nearest_int(257 * hz / 8000))
    return edges


def mel_slopes(edges, offset):
    return [to_float32(round_places(Fraction(1, edges[b + offset + 1] - edges[b + offset]), 7))
            for b in range(40)]


def mel_tables():
    edges = mel_band_edges()
    return source_file("frontend/mel_tables.h", [
        int_table("int16_t", "QX_MEL_BAND_EDGES", edges, [
            "Entry i = nearest integer to 257 * f_i / 8000, f_i = 700 * (10^(m_i / 2595) - 1),",
            "m_i = i * m(8000) / 41, m(f) = 2595 * log10(1 + f / 700).",
        ], per_line=14),
        float_table("QX_MEL_RISE_SLOPES", mel_slopes(edges, 0), [
            "Entry b = 1 / (e[b + 1] - e[b]), rounded to 7 decimal places, then to float32.",
        ]),
        float_table("QX_MEL_FALL_SLOPES", mel_slopes(edges, 1), [
            "Entry b = 1 / (e[b + 2] - e[b + 1]), rounded to 7 decimal places, then to float32.",
        ]),
    ])


# ---- Voice detector front-end tables --------------------------------------------------

def vad_window_table():
    two_pi = 2 * pi()
    return [to_float32(round_places(Decimal("0.5") - Decimal("0.5") * cos(two_pi * n / 511), 7))
            for n in range(256)]


def log10_q10_table():
    # floor(x + 0.5) is the nearest integer with ties rounded up.
    return [nearest_int(1024 * (Decimal(512 + j) / 2048).log10(), exact_ties_up=True)
            for j in range(513)]


def vad_tables():
    return source_file("frontend/vad_tables.h", [
        float_table("QX_VAD_WINDOW_TABLE", vad_window_table(), [
            "Entry n = 0.5 - 0.5 * cos(2*pi*n / 511), rounded to 7 decimal places, then to",
            "float32: the first half of a 512-point symmetric Hann window.",
        ]),
        int_table("int16_t", "QX_LOG10_Q10_TABLE", log10_q10_table(), [
            "Entry j = floor(1024 * log10((512 + j) / 2048) + 0.5), j = 0..512.",
        ], per_line=16),
    ])


# ---- Driver ---------------------------------------------------------------------

GENERATED = [
    ("src/runtime/fixed_point_tables.cc", fixed_point_tables),
    ("src/metal/kernels/kernel_tables.h", metal_kernel_tables),
    ("src/frontend/fft_tables.cc", fft_tables),
    ("src/frontend/mel_tables.cc", mel_tables),
    ("src/frontend/vad_tables.cc", vad_tables),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the checked-in files instead of writing")
    args = parser.parse_args()
    stale = []
    for path, build in GENERATED:
        text = build()
        full = os.path.join(ROOT, path)
        try:
            with open(full, encoding="utf-8") as handle:
                current = handle.read()
        except FileNotFoundError:
            current = None
        if current == text:
            continue
        if args.check:
            stale.append(path)
        else:
            with open(full, "w", encoding="utf-8", newline="\n") as handle:
                handle.write(text)
            print("wrote %s" % path)
    if stale:
        for path in stale:
            print("%s differs from what %s would write" % (path, TOOL), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
