"""The binding and the C programs give the same frames for the same file.

The programs decode with libsndfile and call the C API themselves; a 16 kHz
16-bit WAV needs no resampling, so every frame must agree (the programs print
scores to 4 decimals).
"""

import json
import subprocess

import numpy as np
import pytest

import qx_orb
from conftest import program, speech_like, write_wav

# Set by CTest: the demo, and the qx-orb command once it is built.
PROGRAMS = [pytest.param("QX_ORB_DEMO", id="qx_orb_demo"), pytest.param("QX_ORB_CLI", id="qx-orb")]


def run_json(variable, wav, threshold):
    """The per-frame objects of a --json run, in order, and its file summary if it prints one."""
    path = program(variable)
    done = subprocess.run([path, "--json", "--threshold", str(threshold), "--model",
                           qx_orb.default_model(), str(wav)],
                          capture_output=True, text=True, timeout=120, check=True)
    records = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
    frames = [r for r in records if isinstance(r, dict) and isinstance(r.get("voiced"), bool)]
    assert frames, f"no frame objects (with a boolean 'voiced') in: {done.stdout[:300]!r}"
    summaries = [r["summary"] for r in records if r.get("type") == "file" and "summary" in r]
    return frames, summaries[0] if summaries else None


@pytest.mark.parametrize("variable", PROGRAMS)
@pytest.mark.parametrize("threshold", [0.5, 0.0])
@pytest.mark.parametrize("channels", [1, 2])
def test_frames_agree_with_the_c_program(tmp_path, variable, threshold, channels):
    # Voiced, silent, voiced, then a partial frame; stereo is mixed down by both.
    left = speech_like(9.0, seed=6, gaps=[(2.5, 6.0)])
    right = speech_like(9.0, seed=8, gaps=[(2.5, 6.0)]) if channels == 2 else left
    wav = write_wav(tmp_path / "clip.wav", np.stack([left, right], axis=1) if channels == 2 else left)
    theirs, summary = run_json(variable, wav, threshold)
    result = qx_orb.identify(wav, threshold=threshold)
    ours = result.frames
    assert len(theirs) == len(ours)
    if threshold == 0.0:
        assert all(frame.voiced for frame in ours)
    else:
        assert {frame.voiced for frame in ours} == {True, False}
    for record, frame in zip(theirs, ours):
        assert record["voiced"] == frame.voiced, (record, frame)
        if "start" in record:
            assert record["start"] == pytest.approx(frame.start, abs=1e-3)
        if frame.voiced:
            assert record["scores"].keys() == frame.scores.keys()
            for language, probability in frame.scores.items():
                assert record["scores"][language] == pytest.approx(probability, abs=6e-5)
    if summary is None:
        return
    # The command's file summary: the same segments and verdict.
    theirs_segments = [(s["start"], s["end"], s["language"], s["probability"]) for s in summary["segments"]]
    assert len(theirs_segments) == len(result.segments)
    for (start, end, language, probability), segment in zip(theirs_segments, result.segments):
        assert (start, end) == (pytest.approx(segment.start, abs=1e-3), pytest.approx(segment.end, abs=1e-3))
        assert language == segment.language
        assert probability == pytest.approx(segment.probability, abs=1e-4)
    verdict = summary["verdict"]
    assert verdict["language"] == result.verdict.language
    assert verdict["probability"] == pytest.approx(result.verdict.probability, abs=1e-4)
    assert verdict["speech_seconds"] == pytest.approx(result.verdict.speech_seconds, abs=1e-3)
