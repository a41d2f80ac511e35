#!/usr/bin/env python3
"""qx-orb end to end: input formats, rates and channels, standard input,
several files, damaged and hostile files, exit statuses, messages, and every
output format parsed back. Standard library only; the audio is written here
(WAV with the wave module or by hand, other formats by cli_audio_tool from
the sample recordings).

    cli_test.py QX_ORB CLI_AUDIO_TOOL SOURCE_DIR
"""
import array
import csv
import io
import json
import math
import os
import pty
import re
import resource
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave
import xml.etree.ElementTree as ElementTree

QX_ORB = CLI_AUDIO_TOOL = SOURCE = None
FRAME = 32768 / 16000
LANGUAGES = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
STATUS_SPEECH, STATUS_USAGE, STATUS_NO_SPEECH, STATUS_INCOMPLETE = 0, 1, 2, 3
# Fails a run that would hang instead of ending.
RUN_TIMEOUT = 300


def run(args, stdin_bytes=None, env=None, program=None):
    result = subprocess.run([program or QX_ORB] + args, input=stdin_bytes, capture_output=True,
                            timeout=RUN_TIMEOUT, env=env)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def records(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


def summary_of(stdout):
    last = records(stdout)[-1]
    assert last["type"] == "file", last
    return last["summary"]


def write_wav(path, samples, rate, channels=1):
    """`samples`: interleaved int16 values."""
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(array.array("h", samples).tobytes())


def write_float_wav(path, samples, rate):
    """A 32-bit float WAV written by hand, so NaN and infinities get in."""
    data = struct.pack("<%df" % len(samples), *samples)
    fmt = struct.pack("<HHIIHH", 3, 1, rate, rate * 4, 4, 32)
    with open(path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", 4 + 24 + 8 + len(data)) + b"WAVE")
        out.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        out.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    with wave.open(path, "rb") as source:
        assert source.getsampwidth() == 2 and source.getnchannels() == 1
        samples = array.array("h")
        samples.frombytes(source.readframes(source.getnframes()))
        return samples, source.getframerate()


def resample(samples, rate, new_rate):
    """Linear interpolation: enough to change a fixture's rate."""
    count = int(len(samples) * new_rate / rate)
    step = rate / new_rate
    out = array.array("h", bytes(2 * count))
    last = len(samples) - 1
    for i in range(count):
        position = i * step
        k = int(position)
        frac = position - k
        nxt = samples[k + 1] if k < last else samples[k]
        out[i] = int(samples[k] * (1 - frac) + nxt * frac)
    return out


def stereo(samples):
    out = array.array("h", bytes(4 * len(samples)))
    out[0::2] = samples
    out[1::2] = samples
    return out


def flac_claiming(total_samples):
    """A FLAC stream of nothing but a STREAMINFO block promising
    `total_samples` (a 36-bit field): 42 bytes."""
    info = struct.pack(">HH", 4096, 4096) + bytes(6)
    packed = (16000 << 44) | (0 << 41) | (15 << 36) | (total_samples & ((1 << 36) - 1))
    info += packed.to_bytes(8, "big") + bytes(16)
    return b"fLaC" + bytes([0x80]) + len(info).to_bytes(3, "big") + info


class Fixtures:
    """Audio made once for all tests, in a temporary folder."""

    def __init__(self, folder):
        self.folder = folder
        for language in ("en", "de"):
            native = self.path(language + "_native.wav")
            subprocess.run([CLI_AUDIO_TOOL, os.path.join(SOURCE, "samples", language + ".flac"),
                            native], check=True)
            samples, rate = read_wav(native)
            setattr(self, language + "_pcm", resample(samples, rate, 16000))
        write_wav(self.path("en.wav"), self.en_pcm, 16000)
        write_wav(self.path("de.wav"), self.de_pcm, 16000)
        write_wav(self.path("en_8k.wav"), resample(self.en_pcm, 16000, 8000), 8000)
        write_wav(self.path("en_44k_stereo.wav"),
                  stereo(resample(self.en_pcm, 16000, 44100)), 44100, channels=2)
        for extension in ("flac", "ogg", "aiff", "au", "caf"):
            subprocess.run([CLI_AUDIO_TOOL, self.path("en.wav"), self.path("en." + extension)],
                           check=True)
        # German between two stretches of English, a second of silence each side.
        silence = array.array("h", bytes(2 * 16000))
        self.mixed_pcm = self.en_pcm + silence + self.de_pcm + silence + self.en_pcm
        write_wav(self.path("mixed.wav"), self.mixed_pcm, 16000)
        write_wav(self.path("silence.wav"), array.array("h", bytes(2 * 16000 * 6)), 16000)
        open(self.path("empty.wav"), "wb").close()
        with open(self.path("notes.wav"), "w") as text:
            text.write("these are notes, not audio\n" * 20)
        with open(self.path("huge.flac"), "wb") as out:
            out.write(flac_claiming((1 << 36) - 1))
        with open(self.path("en.flac"), "rb") as source:
            flac = source.read()
        with open(self.path("cut.flac"), "wb") as out:
            out.write(flac[: len(flac) * 2 // 3])
        with open(self.path("en.wav"), "rb") as source:
            wav = source.read()
        with open(self.path("cut.wav"), "wb") as out:
            out.write(wav[: 44 + (len(wav) - 44) * 2 // 3])
        floats = [s / 32768.0 for s in self.en_pcm]
        for at in range(1000, len(floats), 4001):
            floats[at] = (math.nan, math.inf, -math.inf)[at % 3]
        write_float_wav(self.path("nan.wav"), floats, 16000)
        write_float_wav(self.path("all_nan.wav"), [math.nan] * 16000 * 3, 16000)

    def path(self, name):
        return os.path.join(self.folder, name)


F = None


class Inputs(unittest.TestCase):
    def test_formats_rates_and_channels(self):
        for name in ("en.wav", "en.flac", "en.ogg", "en.aiff", "en.au", "en.caf",
                     "en_44k_stereo.wav", "en_8k.wav"):
            with self.subTest(name):
                status, out, err = run(["--json", F.path(name)])
                self.assertEqual(status, STATUS_SPEECH, err)
                summary = summary_of(out)
                self.assertAlmostEqual(summary["duration"], len(F.en_pcm) / 16000, delta=0.01)
                self.assertEqual(summary["frames"], math.ceil(summary["duration"] / FRAME))
                self.assertGreaterEqual(summary["voiced"], 3)
                if name != "en_8k.wav":  # a telephone band may sway the model
                    self.assertEqual(summary["verdict"]["language"], "en")

    def test_standard_input_gives_the_file_results(self):
        _, from_file, _ = run(["--json", F.path("en.wav")])
        for name in ("en.wav", "en.flac", "en.ogg"):
            with self.subTest(name):
                with open(F.path(name), "rb") as source:
                    status, out, err = run(["--json", "-"], stdin_bytes=source.read())
                self.assertEqual(status, STATUS_SPEECH, err)
                self.assertEqual(records(out)[-1]["file"], "-")
                if name != "en.ogg":  # lossy: other samples
                    self.assertEqual([r["scores"] for r in records(out)[:-1]],
                                     [r["scores"] for r in records(from_file)[:-1]])

    def test_two_files_in_one_run_match_separate_runs(self):
        status, out, err = run(["--json", F.path("de.wav"), F.path("en.wav")])
        self.assertEqual(status, STATUS_SPEECH, err)
        together = records(out)
        for name in ("de.wav", "en.wav"):
            _, alone, _ = run(["--json", F.path(name)])
            mine = [r for r in together if r["file"] == F.path(name)]
            self.assertEqual(mine, records(alone), name)
        self.assertEqual([r["summary"]["verdict"]["language"] for r in together
                          if r["type"] == "file"], ["de", "en"])

    def test_unreadable_input_fails_but_the_others_are_reported(self):
        status, out, err = run(["--json", F.path("notes.wav"), F.path("en.wav")])
        self.assertEqual(status, STATUS_USAGE)
        self.assertIn("ffmpeg -i " + F.path("notes.wav"), err)
        self.assertEqual(summary_of(out)["verdict"]["language"], "en")

    def test_bad_inputs(self):
        cases = [  # name, arguments, stdin, status, message
            ("empty file", [F.path("empty.wav")], None, STATUS_USAGE, "is empty"),
            ("empty pipe", ["-"], b"", STATUS_USAGE, "standard input is empty"),
            ("missing", [F.path("absent.wav")], None, STATUS_USAGE, "No such file"),
            ("folder", [F.folder], None, STATUS_USAGE, "is a directory"),
            ("text", [F.path("notes.wav")], None, STATUS_USAGE, "convert it with: ffmpeg"),
            ("text piped", ["-"], b"not audio at all\n" * 50, STATUS_USAGE, "ffmpeg -i IN"),
        ]
        for name, args, stdin, expected, message in cases:
            with self.subTest(name):
                status, out, err = run(args, stdin_bytes=stdin)
                self.assertEqual(status, expected, err)
                self.assertIn(message, err)
                self.assertEqual(out, "")
                self.assertEqual(err.count("\n"), 1, err)  # one message, no stack

    def test_silence_is_no_speech(self):
        status, out, err = run(["--json", F.path("silence.wav")])
        self.assertEqual(status, STATUS_NO_SPEECH, err)
        summary = summary_of(out)
        self.assertIsNone(summary["verdict"])
        self.assertEqual(summary["segments"], [])
        self.assertEqual(summary["voiced"], 0)
        status, out, _ = run([F.path("silence.wav")])
        self.assertIn("no speech found", out)

    def test_header_promising_2_to_the_36_samples(self):
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        for name, stdin in (("file", None), ("pipe", open(F.path("huge.flac"), "rb").read())):
            with self.subTest(name):
                args = ["--json", "-" if stdin else F.path("huge.flac")]
                status, out, err = run(args, stdin_bytes=stdin)
                self.assertEqual(status, STATUS_INCOMPLETE, err)
                self.assertIn("truncated", err)
                self.assertEqual(summary_of(out)["frames"], 0)
                self.assertFalse(summary_of(out)["complete"])
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        self.assertLess(max(before, peak_kib), 100 * 1024)

    def test_truncated_files_keep_the_frames_decoded(self):
        for name in ("cut.wav", "cut.flac"):
            _, whole, _ = run(["--json", F.path(name.replace("cut", "en"))])
            whole_frames = [r for r in records(whole) if r["type"] == "frame"]
            for via in ("file", "pipe"):
                with self.subTest(name=name, via=via):
                    stdin = open(F.path(name), "rb").read() if via == "pipe" else None
                    status, out, err = run(["--json", "-" if stdin else F.path(name)],
                                           stdin_bytes=stdin)
                    self.assertEqual(status, STATUS_INCOMPLETE, err)
                    self.assertIn("warning: truncated", err)
                    frames = [r for r in records(out) if r["type"] == "frame"]
                    self.assertGreaterEqual(len(frames), 2)
                    self.assertLess(len(frames), len(whole_frames))
                    self.assertEqual(frames[0]["scores"], whole_frames[0]["scores"])
                    self.assertTrue(frames[-1]["padded"])
                    summary = summary_of(out)
                    self.assertFalse(summary["complete"])
                    self.assertTrue(summary["warnings"])
                    status, _, err = run(["--quiet", "-" if stdin else F.path(name)],
                                         stdin_bytes=stdin)
                    self.assertEqual((status, err), (STATUS_INCOMPLETE, ""))

    def test_nan_and_infinite_samples(self):
        status, out, err = run(["--json", F.path("nan.wav")])
        self.assertEqual(status, STATUS_SPEECH, err)
        self.assertIn("not numbers", err)
        self.assertEqual(summary_of(out)["verdict"]["language"], "en")
        for record in records(out):
            for p in (record.get("scores") or {}).values():
                self.assertTrue(0.0 <= p <= 1.0)
        status, out, err = run(["--json", F.path("all_nan.wav")])
        self.assertEqual(status, STATUS_NO_SPEECH, err)


class Options(unittest.TestCase):
    def test_usage_errors(self):
        cases = [  # arguments, message
            ([], "no audio named"),
            (["--bogus", "x.wav"], "unknown option --bogus"),
            (["--threshold", "1.5", "x.wav"], "--threshold needs a number from 0 to 1"),
            (["--threshold=nan", "x.wav"], "--threshold needs a number"),
            (["--min-segment", "-1", "x.wav"], "--min-segment needs a number of seconds"),
            (["--bridge-gap", "soon", "x.wav"], "--bridge-gap needs"),
            (["--json", "--csv", "x.wav"], "exclude each other"),
            (["--model"], "--model needs a value"),
            (["-", "-"], "only once"),
            (["--srt", "out.srt", "a.wav", "b.wav"], "needs {} in its file name"),
            (["--plot", "{}.svg", "a/x.wav", "b/x.wav"], "would both write x.svg"),
            (["--srt", "-", "a.wav"], "--srt needs a file name"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = run(args)
                self.assertEqual(status, STATUS_USAGE, err)
                self.assertIn(message, err)
                self.assertEqual(out, "")

    def test_bad_options_fail_before_reading_audio(self):
        # Standard input stays open and empty: reading it would hang.
        for args, message in ((["--threshold", "2"], "--threshold"),
                              (["--model", os.path.join(F.folder, "none.qx")], "cannot open model"),
                              (["--device", "tpu"], "cannot use device 'tpu'")):
            with self.subTest(args=args):
                process = subprocess.Popen([QX_ORB] + args + ["-"], stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    out, err = process.communicate(timeout=20)
                finally:
                    process.kill()
                    process.stdin.close()
                self.assertEqual(process.returncode, STATUS_USAGE)
                self.assertIn(message, err.decode())

    def test_library_errors_are_plain_unless_verbose(self):
        model = os.path.join(F.folder, "none.qx")
        status, _, err = run(["--model", model, F.path("en.wav")])
        self.assertEqual(status, STATUS_USAGE)
        self.assertEqual(err.splitlines(), ["qx-orb: cannot open model %s: Failed to open file `%s`."
                                            % (model, model)])
        status, _, err = run(["--verbose", "--model", model, F.path("en.wav")])
        self.assertEqual(status, STATUS_USAGE)
        self.assertRegex(err, r"\n  \S+ [0-9A-F]{8}: ")  # the stack, tag and code included

    def test_default_model(self):
        model = os.path.join(SOURCE, "models", "default.qx")
        status, _, err = run(["--verbose", F.path("en.wav")])
        self.assertEqual(status, STATUS_SPEECH, err)
        self.assertIn("model %s (source tree)" % model, err)
        # The installed layout: bin/qx-orb and share/qx_orb/default.qx.
        prefix = os.path.join(F.folder, "prefix")
        os.makedirs(os.path.join(prefix, "bin"), exist_ok=True)
        os.makedirs(os.path.join(prefix, "share", "qx_orb"), exist_ok=True)
        shutil.copy(QX_ORB, os.path.join(prefix, "bin", "qx-orb"))
        shutil.copy(model, os.path.join(prefix, "share", "qx_orb", "default.qx"))
        status, _, err = run(["--verbose", F.path("en.wav")],
                             program=os.path.join(prefix, "bin", "qx-orb"))
        self.assertEqual(status, STATUS_SPEECH, err)
        self.assertIn("share/qx_orb/default.qx (installed beside the program)", err)
        env = dict(os.environ, QX_ORB_MODEL=os.path.join(F.folder, "elsewhere.qx"))
        status, _, err = run([F.path("en.wav")], env=env)
        self.assertEqual(status, STATUS_USAGE)
        self.assertIn("cannot open model " + env["QX_ORB_MODEL"], err)

    def test_help_documents_every_option_and_format(self):
        status, out, _ = run(["--help"])
        self.assertEqual(status, 0)
        for word in ("--model", "--device", "--threshold", "--json", "--csv", "--min-segment",
                     "--bridge-gap", "--srt", "--vtt", "--plot", "--quiet", "--verbose",
                     "--timing", "--list-devices", "--version", "--help", "JSON Lines",
                     "record, file, model, index, start, end, padded, voiced, language, "
                     "probability, speech_seconds, unknown, de, en, es, fr, it, ja, ko, pt",
                     "WebVTT", "SubRip", "SVG", "$QX_ORB_MODEL", "share/qx_orb/default.qx",
                     "Exit status"):
            self.assertIn(word, " ".join(out.split()))
        with open(os.path.join(SOURCE, "apps", "qx-orb.1"), encoding="utf-8") as page:
            manual = page.read().replace("\\-", "-")
        for option in set(re.findall(r"--[a-z][a-z-]+", out)):
            self.assertIn(option, manual)
        _, devices, _ = run(["--list-devices"])
        self.assertTrue(devices.strip())
        if not any(line.startswith("gpu") for line in devices.splitlines()):
            self.assertNotIn("gpu", out)

    def test_former_name_still_runs(self):
        alias = os.path.join(os.path.dirname(QX_ORB), "qx_orb_demo")
        status, out, err = run([F.path("en.wav")], program=alias)
        self.assertEqual(status, STATUS_SPEECH, err)
        self.assertIn("verdict: en", out)

    def test_timing(self):
        status, _, err = run(["--timing", F.path("en.wav"), F.path("de.wav")])
        self.assertEqual(status, STATUS_SPEECH)
        self.assertEqual(len(re.findall(r"real-time factor \d+\.\d+", err)), 3, err)

    def test_progress_on_a_terminal_never_hides_results(self):
        primary, secondary = pty.openpty()
        process = subprocess.Popen([QX_ORB, "--json", F.path("mixed.wav")],
                                   stdout=subprocess.PIPE, stderr=secondary)
        os.close(secondary)
        terminal = b""
        while True:
            ready, _, _ = select.select([primary], [], [], RUN_TIMEOUT)
            if not ready:
                break
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the program closed the terminal
                break
            if not chunk:
                break
            terminal += chunk
        out = process.stdout.read().decode()
        process.wait(timeout=RUN_TIMEOUT)
        os.close(primary)
        self.assertEqual(process.returncode, STATUS_SPEECH)
        self.assertRegex(terminal, rb"^\r\x1b\[Kqx-orb: \S*mixed\.wav ")  # drawn at once
        self.assertTrue(terminal.endswith(b"\r\x1b[K"), terminal[-40:])  # erased at the end
        self.assertNotIn("\x1b", out)
        self.assertEqual(records(out)[-1]["type"], "file")
        # Not a terminal: no bar at all.
        _, _, err = run([F.path("en.wav")])
        self.assertEqual(err, "")


class Outputs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(dir=F.folder)
        cls.srt = os.path.join(cls.folder, "mixed.srt")
        cls.vtt = os.path.join(cls.folder, "mixed.vtt")
        cls.svg = os.path.join(cls.folder, "mixed.svg")
        status, cls.json_out, err = run(["--json", "--srt", cls.srt, "--vtt", cls.vtt,
                                         "--plot", cls.svg, F.path("mixed.wav")])
        assert status == STATUS_SPEECH, err
        status, cls.csv_out, err = run(["--csv", F.path("mixed.wav")])
        assert status == STATUS_SPEECH, err
        status, cls.text_out, err = run([F.path("mixed.wav")])
        assert status == STATUS_SPEECH, err
        cls.frames = [r for r in records(cls.json_out) if r["type"] == "frame"]
        cls.summary = summary_of(cls.json_out)

    def test_json_frames(self):
        duration = len(F.mixed_pcm) / 16000
        self.assertEqual(len(self.frames), math.ceil(duration / FRAME))
        model = os.path.join(SOURCE, "models", "default.qx")
        for index, frame in enumerate(self.frames):
            self.assertEqual(frame["index"], index)
            self.assertEqual(frame["file"], F.path("mixed.wav"))
            self.assertEqual(frame["model"], model)
            self.assertAlmostEqual(frame["start"], index * FRAME, places=3)
            if frame["voiced"]:
                self.assertEqual(sorted(frame["scores"]), sorted(LANGUAGES))
                self.assertAlmostEqual(sum(frame["scores"].values()), 1.0, delta=1e-3)
                self.assertEqual(frame["language"], max(frame["scores"], key=frame["scores"].get))
            else:
                self.assertIsNone(frame["scores"])
        last = self.frames[-1]
        self.assertTrue(last["padded"])
        self.assertAlmostEqual(last["end"], duration, places=3)
        self.assertFalse(any(f["padded"] for f in self.frames[:-1]))
        self.assertAlmostEqual(self.summary["duration"], duration, places=3)

    def test_verdict_is_the_highest_summed_log_probability(self):
        voiced = [f for f in self.frames if f["voiced"]]
        sums = {l: sum(math.log(max(f["scores"][l], 1e-30)) for f in voiced) for l in LANGUAGES}
        best = max(sums, key=sums.get)
        total = sum(math.exp(s - sums[best]) for s in sums.values())
        verdict = self.summary["verdict"]
        self.assertEqual(verdict["language"], best)
        self.assertEqual(best, "en")  # two stretches of English, one of German
        # The scores were printed rounded, so the sums agree loosely.
        self.assertAlmostEqual(verdict["probability"], 1 / total, delta=1e-3)
        self.assertAlmostEqual(verdict["speech_seconds"],
                               sum(f["end"] - f["start"] for f in voiced), places=2)

    def test_segments_cover_the_voiced_frames(self):
        segments = self.summary["segments"]
        languages = [s["language"] for s in segments]
        self.assertIn("de", languages)
        self.assertEqual(languages[0], "en")
        self.assertEqual(languages[-1], "en")
        for before, after in zip(segments, segments[1:]):
            self.assertLessEqual(before["end"], after["start"] + 1e-6)
        for segment in segments:
            inside = [f for f in self.frames if f["voiced"] and
                      segment["start"] - 1e-6 <= f["start"] < segment["end"]]
            self.assertTrue(inside)
            self.assertTrue(all(f["language"] == segment["language"] for f in inside))

    def test_segment_options(self):
        def segments(*options):
            _, out, _ = run(["--json"] + list(options) + [F.path("mixed.wav")])
            return summary_of(out)["segments"]
        plain = segments()
        for minimum in (3.0, 5.0):
            with self.subTest(min_segment=minimum):
                kept = segments("--min-segment", str(minimum))
                self.assertTrue(all(s["end"] - s["start"] >= minimum - 1e-6 for s in kept))
                self.assertLessEqual(len(kept), len(plain))
        # Bridging everything leaves no two neighbours of one language.
        bridged = segments("--bridge-gap", "100")
        for before, after in zip(bridged, bridged[1:]):
            self.assertNotEqual(before["language"], after["language"])
        self.assertLessEqual(len(bridged), len(plain))

    def test_csv(self):
        rows = list(csv.DictReader(io.StringIO(self.csv_out)))
        self.assertEqual(list(rows[0].keys()),
                         ["record", "file", "model", "index", "start", "end", "padded", "voiced",
                          "language", "probability", "speech_seconds"] + LANGUAGES)
        frames = [r for r in rows if r["record"] == "frame"]
        self.assertEqual(len(frames), len(self.frames))
        for row, frame in zip(frames, self.frames):
            self.assertEqual(row["voiced"], "1" if frame["voiced"] else "0")
            self.assertAlmostEqual(float(row["end"]), frame["end"], places=3)
            if frame["voiced"]:
                self.assertEqual(row["language"], frame["language"])
                self.assertAlmostEqual(float(row["en"]), frame["scores"]["en"], places=5)
        self.assertEqual(len([r for r in rows if r["record"] == "segment"]),
                         len(self.summary["segments"]))
        verdict = [r for r in rows if r["record"] == "verdict"]
        self.assertEqual(len(verdict), 1)
        self.assertEqual(verdict[0]["language"], "en")
        self.assertAlmostEqual(sum(float(verdict[0][l]) for l in LANGUAGES), 1.0, places=4)

    def test_text(self):
        lines = self.text_out.splitlines()
        self.assertEqual(lines[0], F.path("mixed.wav"))
        self.assertEqual(len([l for l in lines if re.match(r"\s+\d+\s+\d+\.\d{3}", l)]),
                         len(self.frames))
        self.assertIn("padded with silence", self.text_out)
        self.assertRegex(lines[-1], r"^  verdict: en, p = \d\.\d{3}, from \d+\.\d s of speech")

    def test_srt_and_vtt(self):
        segments = self.summary["segments"]
        stamp = r"(\d\d):(\d\d):(\d\d)[,.](\d{3})"

        def seconds(match, offset):
            h, m, s, ms = (int(match.group(offset + i)) for i in range(4))
            return h * 3600 + m * 60 + s + ms / 1000

        with open(self.srt, encoding="utf-8") as source:
            blocks = source.read().strip().split("\n\n")
        self.assertEqual(len(blocks), len(segments))
        for number, (block, segment) in enumerate(zip(blocks, segments), 1):
            index, times, text = block.split("\n")
            self.assertEqual(int(index), number)
            match = re.fullmatch(stamp.replace("[,.]", ",") + " --> " +
                                 stamp.replace("[,.]", ","), times)
            self.assertIsNotNone(match, times)
            self.assertAlmostEqual(seconds(match, 1), segment["start"], places=3)
            self.assertAlmostEqual(seconds(match, 5), segment["end"], places=3)
            self.assertTrue(text.startswith(segment["language"] + " ("))
        with open(self.vtt, encoding="utf-8") as source:
            vtt = source.read()
        self.assertTrue(vtt.startswith("WEBVTT\n\n"))
        cues = vtt[len("WEBVTT\n\n"):].strip().split("\n\n")
        self.assertEqual(len(cues), len(segments))
        for cue, segment in zip(cues, segments):
            times, text = cue.split("\n")
            match = re.fullmatch(stamp.replace("[,.]", r"\.") + " --> " +
                                 stamp.replace("[,.]", r"\."), times)
            self.assertIsNotNone(match, times)
            self.assertAlmostEqual(seconds(match, 5), segment["end"], places=3)

    def test_svg(self):
        namespace = {"svg": "http://www.w3.org/2000/svg"}
        root = ElementTree.parse(self.svg).getroot()
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        self.assertIn("en, p = ", root.find("svg:title", namespace).text)
        groups = {g.get("id"): g for g in root.iter("{http://www.w3.org/2000/svg}g")}
        for name in ("voiced", "languages", "probabilities", "segments", "axis", "legend"):
            self.assertIn(name, groups)
        voiced = [f for f in self.frames if f["voiced"]]
        top = groups["languages"].findall("svg:rect", namespace)
        self.assertEqual([r.get("data-language") for r in top], [f["language"] for f in voiced])
        self.assertEqual(len(groups["segments"].findall("svg:rect", namespace)),
                         len(self.summary["segments"]))
        legend = [t.text for t in groups["legend"].findall("svg:text", namespace)]
        self.assertEqual(legend, LANGUAGES)
        # Stacked bands: each voiced frame's column fills the plot's height.
        bands = groups["probabilities"].findall("svg:rect", namespace)[1:]
        heights = {}
        for band in bands:
            heights[band.get("x")] = heights.get(band.get("x"), 0) + float(band.get("height"))
        self.assertEqual(len(heights), len(voiced))
        for height in heights.values():
            self.assertAlmostEqual(height, 250, delta=2)

    def test_side_files_for_several_inputs(self):
        pattern = os.path.join(self.folder, "{}.vtt")
        status, _, err = run(["--vtt", pattern, F.path("en.wav"), "-"],
                             stdin_bytes=open(F.path("de.wav"), "rb").read())
        self.assertEqual(status, STATUS_SPEECH, err)
        for name in ("en.vtt", "stdin.vtt"):
            with open(os.path.join(self.folder, name)) as source:
                self.assertTrue(source.read().startswith("WEBVTT"))
        status, _, err = run(["--plot", os.path.join(self.folder, "no", "such", "x.svg"),
                              F.path("en.wav")])
        self.assertEqual(status, STATUS_USAGE)
        self.assertIn("cannot write", err)

    def test_file_names_stay_valid_utf8_in_json_csv_and_svg(self):
        odd = os.path.join(self.folder, os.fsdecode(b'quote",comma\xff.wav'))
        shutil.copy(F.path("en.wav"), odd)
        svg = os.path.join(self.folder, "odd.svg")
        result = subprocess.run([QX_ORB, "--json", "--plot", svg, odd], capture_output=True,
                                timeout=RUN_TIMEOUT)
        self.assertEqual(result.returncode, STATUS_SPEECH)
        name = records(result.stdout.decode("utf-8"))[-1]["file"]
        self.assertTrue(name.endswith('quote",comma\ufffd.wav'))
        ElementTree.parse(svg)
        result = subprocess.run([QX_ORB, "--csv", odd], capture_output=True, timeout=RUN_TIMEOUT)
        rows = list(csv.DictReader(io.StringIO(result.stdout.decode("utf-8"))))
        self.assertTrue(all(r["file"] == name for r in rows))


def main():
    global QX_ORB, CLI_AUDIO_TOOL, SOURCE, F
    QX_ORB, CLI_AUDIO_TOOL, SOURCE = (os.path.abspath(a) for a in sys.argv[1:4])
    with tempfile.TemporaryDirectory(prefix="qx_orb_cli_") as folder:
        F = Fixtures(folder)
        suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed, %d skipped" % (result.testsRun - failed - len(result.skipped),
                                               failed, len(result.skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
