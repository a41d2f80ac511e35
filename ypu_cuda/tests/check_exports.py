#!/usr/bin/env python3
"""Fails unless each library exports exactly the functions its header declares.

    check_exports.py HEADER LIBRARY...
"""
import re
import subprocess
import sys


def declared(header):
    return set(re.findall(r"QX_YPU_API\s+\w+\s*\*?\s*(taabe\d+)\s*\(", open(header).read()))


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def main():
    header, libraries = sys.argv[1], sys.argv[2:]
    wanted = declared(header)
    # create_backend, the twelve memory and listing slots, fourteen operators.
    if len(wanted) != 27:
        print(f"{header}: {len(wanted)} functions declared, expected 27")
        return 1
    failed = False
    for library in libraries:
        got = exported(library)
        if got != wanted:
            failed = True
            print(f"{library}: missing {sorted(wanted - got)}, extra {sorted(got - wanted)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
