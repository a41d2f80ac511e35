"""examples/parallel_folder.sh: GNU parallel over a folder with a qx-orb-like program."""

import json
import os
import shutil
import subprocess

import pytest

from conftest import REPO, program, speech_like, write_wav

SCRIPT = REPO / "examples" / "parallel_folder.sh"

pytestmark = pytest.mark.skipif(
    shutil.which("parallel") is None
    or b"GNU parallel" not in subprocess.run(["parallel", "--version"], capture_output=True).stdout,
    reason="needs GNU parallel")

# Stands in for qx-orb: two objects per file (one of them empty), or a failure.
STUB = """#!/bin/sh
[ "$1" = --json ] || exit 9
case "$2" in *broken*) echo "stub: cannot read $2" >&2; echo "second line" >&2; exit 3;; esac
echo '{"kind": "frame", "start": 0.0}'
echo '{}'
echo '{"type": "file", "file": "as named", "summary": {"file": 1}}'
"""

NAMES = ["a.wav", "sub/b.flac", 'quote " here.wav', "back\\slash.ogg", "tab\there.wav",
         "new\nline.wav", "broken.wav", "sub/broken too.flac"]


def run(folder, out, cli, jobs="2"):
    env = dict(os.environ, QX_ORB_CLI=str(cli))
    return subprocess.run(["bash", str(SCRIPT), str(folder), str(out), jobs], env=env,
                          capture_output=True, text=True, timeout=300)


def test_each_line_names_its_file(tmp_path):
    folder = tmp_path / "in"
    for name in NAMES + ["notes.txt"]:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text("x")
    stub = tmp_path / "stub"
    stub.write_text(STUB)
    stub.chmod(0o755)
    done = run(folder, tmp_path / "out.jsonl", stub)
    assert done.returncode == 2, done.stderr  # the two broken files
    rows = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    good = sorted(str(folder / n) for n in NAMES if "broken" not in n)
    assert sorted({r["file"] for r in rows if "error" not in r} - {"as named"}) == good
    named = [r["file"] for r in rows if r["file"] != "as named"]
    assert named == sorted(named)  # sorted, and parallel keeps the order
    assert [r for r in rows if r["file"] == good[0]] == [
        {"file": good[0], "kind": "frame", "start": 0.0}, {"file": good[0]}]
    assert sum(r["file"] == "as named" for r in rows) == len(good)  # already named: unchanged
    errors = [r for r in rows if "error" in r]
    assert [r["error"] for r in errors] == [f"exit 3: stub: cannot read {r['file']}" for r in errors]
    assert len(errors) == 2


@pytest.mark.parametrize("variable", ["QX_ORB_DEMO", "QX_ORB_CLI"])
def test_with_the_real_program(tmp_path, variable):
    import qx_orb
    cli = program(variable)
    folder = tmp_path / "in"
    folder.mkdir()
    for seed in range(3):
        write_wav(folder / f"{seed}.wav", speech_like(5.0 + seed, seed=seed))
    done = run(folder, tmp_path / "out.jsonl", cli)
    assert done.returncode == 0, done.stderr
    rows = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    for path in sorted(folder.iterdir()):
        frames = [r for r in rows if r["file"] == str(path) and isinstance(r.get("voiced"), bool)]
        expected = qx_orb.identify(path).frames
        assert [r["voiced"] for r in frames] == [f.voiced for f in expected]
