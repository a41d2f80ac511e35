#!/usr/bin/env python3
"""Fails when a file under src/ includes a header from a layer above its own.

    tools/check_include_layers.py [SRC_DIR]

The floors, lowest first; a file may include headers of its own folder and
of any lower floor. Backends and the feature front end share a floor and
may not include each other, so that a new backend never depends on another.
"""
import pathlib
import re
import sys

FLOORS = [
    {"platform"},
    {"base"},
    {"runtime"},
    {"frontend", "cpu", "cuda", "metal"},
    {"devices"},
    {"engine"},
]
FLOOR_OF = {folder: level for level, folders in enumerate(FLOORS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def violations(src):
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cc", ".cu", ".mm", ".inc"}:
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in FLOOR_OF:
            found.append(f"{path.relative_to(src)}: folder {folder}/ has no floor")
            continue
        for target in INCLUDE.findall(path.read_text()):
            top = target.split("/")[0]
            if "/" not in target or top not in FLOOR_OF or top == folder:
                continue  # the public header, or the file's own folder
            if FLOOR_OF[top] >= FLOOR_OF[folder]:
                found.append(f"{path.relative_to(src)}: includes {target} "
                             f"({top}/ is not below {folder}/)")
    return found


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).resolve().parent.parent / "src")
    found = violations(src)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
