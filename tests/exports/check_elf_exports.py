#!/usr/bin/env python3
"""Checks libQT741DLL.so: it exports the flat functions and the class mComm (the
names of check_exports.py, GCC's for the class, plus the class's type name that
goes with its type information), and nothing else; its soname carries the
project's major version and its file name the whole version.

usage: check_elf_exports.py NM READELF LIBRARY VERSION
"""
import os
import re
import subprocess
import sys

from check_exports import CLASS_GNU, FLAT


def main():
    nm, readelf, library, version = sys.argv[1:5]
    failures = []
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True, capture_output=True, text=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    wanted = set(FLAT) | set(CLASS_GNU) | {"_ZTS5mComm"}
    missing, extra = sorted(wanted - exported), sorted(exported - wanted)
    if missing:
        failures.append("not exported: %s" % ", ".join(missing))
    if extra:
        failures.append("exported beyond the interface: %s" % ", ".join(extra))
    if not missing and not extra:
        print("ok   exports exactly the %d flat functions and the class mComm (%d names)" % (len(FLAT), len(exported)))

    dynamic = subprocess.run([readelf, "-d", library], check=True, capture_output=True, text=True).stdout
    soname = re.search(r"\(SONAME\)\s+Library soname: \[(.*)\]", dynamic)
    expected = "libQT741DLL.so.%s" % version.split(".")[0]
    if not soname or soname.group(1) != expected:
        failures.append("soname %s, expected %s" % (soname.group(1) if soname else "missing", expected))
    real = os.path.basename(os.path.realpath(library))
    if real != "libQT741DLL.so.%s" % version:
        failures.append("the library's file is %s, expected libQT741DLL.so.%s" % (real, version))
    if not failures:
        print("ok   soname %s, file %s" % (expected, real))
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
