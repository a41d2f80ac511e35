#!/usr/bin/env python3
"""Fails unless each library exports exactly the functions its header declares.

    check_exports.py [--objdump OBJDUMP] HEADER LIBRARY...

With --objdump the libraries are Windows DLLs: their export tables are read
with that objdump, and they may import system DLLs only, since each must
load from a folder that holds nothing but it and qx_orb.dll.
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}


def declared(header):
    return set(re.findall(r"QX_YPU_API\s+\w+\s*\*?\s*(taabe\d+)\s*\(", open(header).read()))


def exported_by_shared_object(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def dll_tables(objdump, library):
    """The DLL's exported names and the DLLs it imports (lower case)."""
    out = subprocess.run([objdump, "-p", library], check=True, capture_output=True,
                         text=True).stdout
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:[^\n]+\n)+)", out)
    exports = set(re.findall(r"\[\s*\d+\]\s+(\S+)", table.group(1))) if table else set()
    imports = {name.strip().lower() for name in re.findall(r"DLL Name: ([^\n]+)", out)}
    return exports, imports


def main():
    args = sys.argv[1:]
    objdump = None
    if args[:1] == ["--objdump"]:
        objdump, args = args[1], args[2:]
    header, libraries = args[0], args[1:]
    wanted = declared(header)
    # create_backend, the twelve memory and listing slots, fourteen operators.
    if len(wanted) != 27:
        print(f"{header}: {len(wanted)} functions declared, expected 27")
        return 1
    failed = False
    for library in libraries:
        if objdump:
            got, imports = dll_tables(objdump, library)
            if imports - SYSTEM_DLLS:
                failed = True
                print(f"{library}: imports {sorted(imports - SYSTEM_DLLS)}")
        else:
            got = exported_by_shared_object(library)
        if got != wanted:
            failed = True
            print(f"{library}: missing {sorted(wanted - got)}, extra {sorted(got - wanted)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
