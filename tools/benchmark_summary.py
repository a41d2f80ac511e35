#!/usr/bin/env python3
"""Summarises Google Benchmark JSON reports of the library's benchmarks.

Reads the medians of repeated runs (run_benchmarks.sh makes them) and prints
each kernel case against its reference operator, the single-row dense layers
against the measured peak multiply-accumulate rate, and the whole-frame
ratios, with the targets they are held to:
  - voiced frame, 1 thread: kernels >= 6x faster than reference operators only;
  - unvoiced frame, 1 thread: >= 3x;
  - detector-shape dense layer (240 x 80, one row): >= 25% of the peak rate of
    the variant used;
  - voiced frame with kernels: 2 threads no slower than 1.
"""
import json
import re
import sys


def load(paths):
    context, medians = {}, {}
    for path in paths:
        with open(path) as f:
            report = json.load(f)
        context.update(report.get("context", {}))
        for b in report.get("benchmarks", []):
            if b.get("aggregate_name", "median") != "median" or b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"]).replace("/real_time", "")
            medians[name] = b
    return context, medians


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def main(paths):
    context, medians = load(paths)
    print()
    print("processor feature bits:", context.get("qx_isa_flags", "?"))
    print("load average (at start of the last program):", context.get("load_avg", "?"))

    print("\nKernels against their reference operators (median wall time per call)")
    print(f"  {'case':36} {'reference':>11} {'portable':>11} {'sse4.1':>11} {'avx2':>11}  avx2 speed-up, MAC/s")
    cases = sorted({m.group(1) for n in medians
                    for m in [re.match(r"BM_(.+)/(reference|isa:\d+)$", n)] if m})
    for case in cases:
        row = [medians.get(f"BM_{case}/{v}") for v in ("reference", "isa:0", "isa:1", "isa:5")]
        cells = [f"{seconds(b) * 1e9:9.0f}ns" if b else f"{'-':>11}" for b in row]
        extra = ""
        if row[0] and row[3]:
            extra = f"  {seconds(row[0]) / seconds(row[3]):5.2f}x"
            if "MAC/s" in row[3]:
                extra += f"  {row[3]['MAC/s'] / 1e9:6.1f} G"
        print(f"  {case:36} " + " ".join(cells) + extra)

    print("\nTargets")
    peak = medians.get("BM_peak_madd/bits:256")
    dense = medians.get("BM_dense_i8/vad_240x80/isa:5")
    if peak and dense:
        share = dense["MAC/s"] / peak["MAC/s"]
        print(f"  dense_i8 240x80 (AVX2): {dense['MAC/s'] / 1e9:.1f} GMAC/s of a measured peak "
              f"{peak['MAC/s'] / 1e9:.1f} GMAC/s (16 MACs per vpmaddwd x issue rate x clock) = "
              f"{100 * share:.0f}%  [target >= 25%: {'met' if share >= 0.25 else 'NOT met'}]")
    frames = {}
    for name, b in medians.items():
        m = re.match(r"BM_qx_orb_process/voiced:(\d)/threads:(\d)/kernels:(\d)$", name)
        if m:
            frames[tuple(int(g) for g in m.groups())] = seconds(b)
    if frames:
        print("  frames (ms per frame, real-time factor):")
        for key in sorted(frames):
            voiced, threads, kernels = key
            print(f"    {'voiced  ' if voiced else 'unvoiced'} {threads} thread(s) "
                  f"{'kernels  ' if kernels else 'reference'}: {frames[key] * 1e3:7.3f} ms  "
                  f"RTF {frames[key] / 2.048:.5f}")
        for voiced, goal in ((1, 6.0), (0, 3.0)):
            ref, ker = frames.get((voiced, 1, 0)), frames.get((voiced, 1, 1))
            if ref and ker:
                ratio = ref / ker
                print(f"  {'voiced' if voiced else 'unvoiced'} frame, 1 thread: kernels {ratio:.2f}x "
                      f"faster than reference only  [target >= {goal:g}x: "
                      f"{'met' if ratio >= goal else 'NOT met'}]")
                rest = medians.get(f"BM_frame_without_operators/voiced:{voiced}")
                if rest:
                    print(f"    of which no operator: {seconds(rest) * 1e3:.3f} ms (front end"
                          f"{', features' if voiced else ''}); even operators that took no time "
                          f"would give at most {ref / seconds(rest):.2f}x")
        one, two = frames.get((1, 1, 1)), frames.get((1, 2, 1))
        if one and two:
            print(f"  voiced frame with kernels: 2 threads {two * 1e3:.3f} ms, 1 thread "
                  f"{one * 1e3:.3f} ms ({one / two:.3f}x)  [target: 2 threads no slower: "
                  f"{'met' if two <= one else 'NOT met'}]")


if __name__ == "__main__":
    main(sys.argv[1:])
