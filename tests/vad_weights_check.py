#!/usr/bin/env python3
"""The detector's staleness check fails on any edit to the committed weights
or to the generated source, names the first table that differs, and passes
on untouched copies; --from stores trained weights so that the check holds.

    vad_weights_check.py GENERATOR
"""
import importlib.util
import json
import pathlib
import shutil
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
WEIGHTS = ROOT / "tools" / "vad_weights.json"
SOURCE = ROOT / "src" / "frontend" / "vad_weights_tables.cc"


def bump_weight(table, index):
    def edit(folder):
        path = folder / "vad_weights.json"
        weights = json.loads(path.read_text())
        value = weights[table][index]
        weights[table][index] = value + 1 if value < 127 else value - 1
        path.write_text(json.dumps(weights))
    return edit


def set_weight(table, index, value):
    def edit(folder):
        path = folder / "vad_weights.json"
        weights = json.loads(path.read_text())
        weights[table][index] = value
        path.write_text(json.dumps(weights))
    return edit


def bump_source(table, index):
    """Changes element `index` of `table` in the generated .cc by one."""
    def edit(folder):
        path = folder / "vad_weights_tables.cc"
        lines = path.read_text().split("\n")
        start = next(n for n, line in enumerate(lines) if f" {table}[" in line)
        row = start + 1 + index // 20
        values = lines[row].strip().rstrip(",").split(", ")
        value = int(values[index % 20])
        values[index % 20] = str(value + 1 if value < 127 else value - 1)
        lines[row] = "    " + ", ".join(values) + ","
        path.write_text("\n".join(lines))
    return edit


def edit_header(folder):
    path = folder / "vad_weights_tables.cc"
    path.write_text(path.read_text().replace("do not edit", "edited"))


# (what, edit of the copies, expected exit status, text the failure must name)
CASES = [
    ("untouched copies", lambda folder: None, 0, ""),
    ("a weight of the last table", bump_weight("QX_VAD_OUTPUT_BIAS", 1), 1, "QX_VAD_OUTPUT_BIAS[1]"),
    ("a weight mid-table", bump_weight("QX_VAD_LAYER2_RECURRENT_WEIGHTS", 9999), 1,
     "QX_VAD_LAYER2_RECURRENT_WEIGHTS[9999]"),
    ("a weight out of range", set_weight("QX_VAD_LAYER1_INPUT_BIAS", 0, 128), 1,
     "QX_VAD_LAYER1_INPUT_BIAS: values must be integers"),
    ("a number in the first table of the .cc", bump_source("QX_VAD_STANDARDIZE_SHIFT", 0), 1,
     "QX_VAD_STANDARDIZE_SHIFT[0]"),
    ("a number at the end of a row of the .cc", bump_source("QX_VAD_LAYER1_RECURRENT_BIAS", 239), 1,
     "QX_VAD_LAYER1_RECURRENT_BIAS[239]"),
    ("the .cc's header", edit_header, 1, "outside the tables"),
]


def run(generator, *args):
    """The generator's command line, in this process: (exit status, message)."""
    sys.argv = ["generate_vad_weights.py", *map(str, args)]
    try:
        generator.main()
    except SystemExit as stop:
        if isinstance(stop.code, str):
            return 1, stop.code
        return stop.code or 0, ""
    return 0, ""


def check(generator, folder):
    return run(generator, "--check", "--weights", folder / "vad_weights.json",
               "--output", folder / "vad_weights_tables.cc")


def fresh_copies(parent, name):
    folder = pathlib.Path(parent) / name
    folder.mkdir()
    shutil.copy(WEIGHTS, folder / "vad_weights.json")
    shutil.copy(SOURCE, folder / "vad_weights_tables.cc")
    return folder


def main():
    spec = importlib.util.spec_from_file_location("generate_vad_weights", sys.argv[1])
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    failures = []
    with tempfile.TemporaryDirectory() as parent:
        for number, (what, edit, status, named) in enumerate(CASES):
            folder = fresh_copies(parent, str(number))
            edit(folder)
            code, message = check(generator, folder)
            if code != status or named not in message:
                failures.append(f"{what}: exit {code} (expected {status}), "
                                f"message {message!r} (expected to name {named!r})")

        # A newly trained file, written any way the trainer likes, is stored in
        # the compact form and the regenerated .cc then passes the check.
        folder = fresh_copies(parent, "trained")
        weights = json.loads(WEIGHTS.read_text())
        weights["QX_VAD_OUTPUT_BIAS"] = [5, -5]
        trained = folder / "trained.json"
        trained.write_text(json.dumps(weights, indent=1))
        code, message = run(generator, "--from", trained, "--weights", folder / "vad_weights.json",
                            "--output", folder / "vad_weights_tables.cc")
        if code != 0:
            failures.append(f"--from: exit {code}: {message}")
        if json.loads((folder / "vad_weights.json").read_text()) != weights:
            failures.append("--from: the stored weights differ from the trained file")
        if "    5, -5," not in (folder / "vad_weights_tables.cc").read_text():
            failures.append("--from: the .cc does not hold the trained output bias")
        code, message = check(generator, folder)
        if code != 0:
            failures.append(f"--from: the check fails afterwards: {message}")

    for failure in failures:
        print("FAIL", failure)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
