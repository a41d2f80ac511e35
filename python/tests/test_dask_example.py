"""examples/dask_folder.py on a folder of WAV files with two local workers."""

import csv
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import qx_orb
from conftest import PYTHON_DIR, REPO, speech_like, write_wav

pytest.importorskip("dask")
pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("audio")
    (root / "more").mkdir()
    write_wav(root / "a.wav", speech_like(6.5, seed=1))
    write_wav(root / "b.wav", speech_like(9.0, seed=2, gaps=[(2.0, 6.5)]))
    write_wav(root / "more" / "c.wav", np.stack([speech_like(5.0, seed=3, rate=44100)] * 2, axis=1),
              rate=44100)
    write_wav(root / "more" / "silent.wav", np.zeros(40000))
    write_wav(root / "d e's.wav", speech_like(4.1, seed=4))
    (root / "broken.wav").write_bytes(b"RIFF....WAVEnothing")
    (root / "notes.txt").write_text("not audio, not matched by the pattern")
    return root


@pytest.fixture(scope="module")
def table(folder, tmp_path_factory):
    out = tmp_path_factory.mktemp("out")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(PYTHON_DIR), os.environ.get("PYTHONPATH")])))
    began = time.monotonic()
    done = subprocess.run([sys.executable, "-B", str(REPO / "examples" / "dask_folder.py"), str(folder),
                           str(out / "table.jsonl"), "--csv", str(out / "table.csv"), "--workers", "2"],
                          env=env, capture_output=True, text=True, timeout=300)
    print(f"dask_folder.py took {time.monotonic() - began:.1f} s")
    assert done.returncode == 1, done.stderr  # one file is broken
    assert "6 files (1 failed)" in done.stderr
    rows = [json.loads(line) for line in (out / "table.jsonl").read_text().splitlines()]
    with open(out / "table.csv", newline="") as handle:
        csv_rows = list(csv.DictReader(handle))
    return rows, csv_rows


def test_one_file_row_per_wav_file(folder, table):
    rows, _ = table
    files = sorted(row["path"] for row in rows if row["kind"] == "file")
    assert files == sorted(str(p) for p in folder.rglob("*.wav"))


def test_a_broken_file_is_a_row_with_its_error(folder, table):
    rows, _ = table
    broken = [row for row in rows if row["path"] == str(folder / "broken.wav")]
    assert len(broken) == 1 and "16-bit PCM WAV" in broken[0]["error"]
    assert sum("error" in row for row in rows) == 1


def test_rows_match_identifying_each_file_here(folder, table):
    # Which worker took a file, and after which others, must not matter.
    rows, _ = table
    for path in sorted(folder.rglob("*.wav")):
        if path.name == "broken.wav":
            continue
        result = qx_orb.identify(path)
        mine = [row for row in rows if row["path"] == str(path)]
        file_row = mine[0]
        assert file_row["kind"] == "file"
        assert file_row["frames"] == len(result.frames)
        if result.verdict is None:
            assert file_row["language"] is None and file_row["voiced_frames"] == 0
        else:
            assert file_row["language"] == result.verdict.language
            assert file_row["probability"] == pytest.approx(result.verdict.probability, abs=1e-4)
            assert file_row["speech_seconds"] == pytest.approx(result.verdict.speech_seconds, abs=1e-3)
        segments = [(r["start"], r["end"], r["language"], r["frames"]) for r in mine[1:]]
        assert all(r["kind"] == "segment" for r in mine[1:])
        assert segments == [(pytest.approx(s.start, abs=1e-3), pytest.approx(s.end, abs=1e-3), s.language,
                             s.frames) for s in result.segments]


def test_the_folder_has_segments_and_a_silent_file(folder, table):
    rows, _ = table
    assert sum(row["kind"] == "segment" for row in rows) >= 4
    silent = next(row for row in rows if row["path"].endswith("silent.wav"))
    assert silent["voiced_frames"] == 0


def test_csv_holds_the_same_rows(table):
    rows, csv_rows = table
    columns = list(csv_rows[0])
    as_csv = [{c: "" if row.get(c) is None else str(row[c]) for c in columns} for row in rows]
    key = lambda row: sorted(row.items())
    assert sorted(as_csv, key=key) == sorted(csv_rows, key=key)
