#!/usr/bin/env python3
"""Summarises Google Benchmark JSON reports of the library's benchmarks.

Reads the medians of repeated runs (run_benchmarks.sh makes them) and prints
each kernel case against its reference operator, the single-row dense layers
against the measured peak multiply-accumulate rate, and the whole-frame
ratios, with the targets they are held to, each "met" or "not met":
  - voiced frame, 1 thread: kernels >= 6x faster than reference operators only;
  - unvoiced frame, 1 thread: >= 3x;
  - unvoiced frame <= 0.3 ms and voiced frame <= 1.0 ms of CPU time on one
    thread (kernels);
  - detector cost per second of audio <= 1.5x that of WebRTC's voice
    detector measured in the same run (vad_compare_bench; "not measured"
    where the benchmark was not built);
  - N engines on N threads: frames per second at N = 2 >= 1.8x those at N = 1;
  - detector-shape dense layer (240 x 80, one row): >= 25% of the peak rate;
  - the classifier's dense layers (bundled model, one row), with the best
    variant the processor runs: >= 60% of the measured 16-bit peak
    (vpmaddwd on 256 bits);
  - cpu:2 not slower than cpu:1 on voiced frames, for the engine benchmark's
    model and for models of 256 and 384 hidden units (medians within 3%
    count as equal: the runs' own spread).
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


# Medians closer than this count as equal: the spread of the runs themselves.
kSameWithin = 1.03


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def cpu_seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["cpu_time"] * scale


def verdict(ok):
    return "met" if ok else "not met"


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

    print("\nprocessor bits the kernels use:", context.get("qx_kernel_flags", "?"))
    print("\nTargets")
    peak = medians.get("BM_peak_madd/bits:256")
    dense = medians.get("BM_dense_i8/vad_240x80/isa:5")
    if peak and dense:
        share = dense["MAC/s"] / peak["MAC/s"]
        print(f"  dense_i8 240x80 (AVX2): {dense['MAC/s'] / 1e9:.1f} GMAC/s of a measured peak "
              f"{peak['MAC/s'] / 1e9:.1f} GMAC/s (16 MACs per vpmaddwd x issue rate x clock) = "
              f"{100 * share:.0f}%  [target >= 25%: {verdict(share >= 0.25)}]")
    frames, cpu_frames = {}, {}
    for name, b in medians.items():
        m = re.match(r"BM_qx_orb_process/voiced:(\d)/threads:(\d)/kernels:(\d)$", name)
        if m:
            frames[tuple(int(g) for g in m.groups())] = seconds(b)
            cpu_frames[tuple(int(g) for g in m.groups())] = b
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
                      f"{verdict(ratio >= goal)}]")
                rest = medians.get(f"BM_frame_without_operators/voiced:{voiced}")
                if rest:
                    print(f"    of which no operator: {seconds(rest) * 1e3:.3f} ms (front end"
                          f"{', features' if voiced else ''}); even operators that took no time "
                          f"would give at most {ref / seconds(rest):.2f}x")
        for voiced, goal_ms in ((0, 0.3), (1, 1.0)):
            b = cpu_frames.get((voiced, 1, 1))
            if b:
                ms = cpu_seconds(b) * 1e3
                print(f"  {'voiced' if voiced else 'unvoiced'} frame, 1 thread, kernels: "
                      f"{ms:.3f} ms of CPU time  [target <= {goal_ms:g} ms: {verdict(ms <= goal_ms)}]")
        one, two = frames.get((1, 1, 1)), frames.get((1, 2, 1))
        if one and two:
            print(f"  voiced frame with kernels: 2 threads {two * 1e3:.3f} ms, 1 thread "
                  f"{one * 1e3:.3f} ms ({one / two:.3f}x)  [target: 2 threads no slower: "
                  f"{verdict(two <= one * kSameWithin)}]")
    for hidden in (256, 384):
        one = medians.get(f"BM_qx_orb_process_hidden/hidden:{hidden}/threads:1")
        two = medians.get(f"BM_qx_orb_process_hidden/hidden:{hidden}/threads:2")
        if one and two:
            a, b = seconds(one), seconds(two)
            print(f"  voiced frame, hidden {hidden}: 2 threads {b * 1e3:.3f} ms, 1 thread "
                  f"{a * 1e3:.3f} ms ({a / b:.3f}x)  [target: 2 threads no slower: "
                  f"{verdict(b <= a * kSameWithin)}]")

    ours = medians.get("BM_detector_per_audio_second")
    webrtc = medians.get("BM_webrtc_vad_per_audio_second")
    framework = medians.get("BM_webrtc_apm_per_audio_second")
    if ours and webrtc:
        ratio = ours["cost"] / webrtc["cost"]
        print(f"  detector cost per second of audio: {ours['cost'] * 1e6:.0f} us, WebRTC's voice "
              f"detector (AudioProcessing, voice detection only) {webrtc['cost'] * 1e6:.0f} us: "
              f"{ratio:.2f}x  [target <= 1.5x: {verdict(ratio <= 1.5)}]")
        if framework and webrtc["cost"] > framework["cost"]:
            net = webrtc["cost"] - framework["cost"]
            print(f"    of WebRTC's, the AudioProcessing framework alone {framework['cost'] * 1e6:.0f} us;"
                  f" the detector net of it {net * 1e6:.0f} us, against which ours is "
                  f"{ours['cost'] / net:.2f}x")
    else:
        print("  detector cost against WebRTC's voice detector: not measured (vad_compare_bench "
              "needs libwebrtc-audio-processing-dev)  [target <= 1.5x: not met]")

    rates = {}
    for name, b in medians.items():
        m = re.match(r"BM_engines_on_threads/voiced:(\d)(?:/real_time)?/threads:(\d)$", name)
        if m:
            # Wall time per frame over all threads' frames.
            rates[(int(m.group(1)), int(m.group(2)))] = 1.0 / seconds(b)
    for voiced in (0, 1):
        one, two = rates.get((voiced, 1)), rates.get((voiced, 2))
        if one and two:
            gain = two / one
            print(f"  {'voiced' if voiced else 'unvoiced'} frames, N engines on N threads: "
                  f"{one:.0f} frames/s at N = 1, {two:.0f} at N = 2: {gain:.2f}x  "
                  f"[target >= 1.8x: {verdict(gain >= 1.8)}]")

    if peak:
        for case in ("bundled_level0_384x208", "bundled_level1_384x256"):
            variants = [(int(m.group(1)), b) for name, b in medians.items()
                        for m in [re.match(rf"BM_dense_i8/{case}/isa:(\d+)$", name)] if m]
            if variants:
                isa, b = max(variants, key=lambda v: v[0])
                share = b["MAC/s"] / peak["MAC/s"]
                print(f"  dense_i8 {case} (isa {isa}): {b['MAC/s'] / 1e9:.1f} GMAC/s = "
                      f"{100 * share:.0f}% of the 16-bit peak  [target >= 60%: "
                      f"{verdict(share >= 0.6)}]")


if __name__ == "__main__":
    main(sys.argv[1:])
