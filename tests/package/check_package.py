#!/usr/bin/env python3
"""Checks a release package: its files are those listed (below one top folder
named after the archive), every DLL and program is built for the processor its
folder names (x86: i386, x64: x86-64), the DLLs in x86/ and x64/ are the
Microsoft-ABI builds and those in mingw/ the MinGW builds (by the names their
class exports carry), README.txt, the Node.js module's package.json and every
DLL's and program's version resource carry the package's version, and each
version resource the copyright line of LICENSE.txt, the MIT license.

    check_package.py QT741DLL-VERSION.zip contents.txt
"""
import json
import os
import re
import struct
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "exports"))
from check_exports import version_resource  # noqa: E402

MACHINES = {"x86": 0x14C, "x64": 0x8664}
# The constructor of the exported class mComm, as each compiler names it.
CLASS_EXPORT = {"msvc": b"??0mComm@@", "mingw": b"_ZN5mCommC"}


def pe_machine(data):
    """The machine field of a PE file's header, or None if it is not one."""
    if data[:2] != b"MZ" or len(data) < 64:
        return None
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


def check(archive, contents):
    problems = []
    top = os.path.basename(archive)[:-len(".zip")] + "/"
    version = top[len("QT741DLL-"):-1]
    copyright_line = None
    with open(contents) as f:
        expected = {line.strip() for line in f if line.strip() and not line.startswith("#")}
    with zipfile.ZipFile(archive) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        outside = [n for n in names if not n.startswith(top)]
        if outside:
            problems.append("outside the top folder %s: %s" % (top, outside))
        files = {n[len(top):] for n in names if n.startswith(top)}
        if "LICENSE.txt" in files:
            license_text = z.read(top + "LICENSE.txt").decode()
            found = re.search(r"^Copyright .*\S", license_text, re.M)
            copyright_line = found and found.group(0)
            if not license_text.startswith("MIT License") or not copyright_line:
                problems.append("LICENSE.txt: not the MIT license with a copyright line")
        for name in sorted(expected - files):
            problems.append("missing: %s" % name)
        for name in sorted(files - expected):
            problems.append("not listed: %s" % name)
        for name in sorted(files & expected):
            data = z.read(top + name)
            parts = name.split("/")
            if name.endswith((".dll", ".exe")):
                arch = parts[-2]
                machine = pe_machine(data)
                if machine != MACHINES.get(arch):
                    problems.append("%s: machine %s, expected %s for %s/" %
                                    (name, None if machine is None else hex(machine), hex(MACHINES[arch]), arch))
            if name.endswith((".dll", ".exe")):
                resource = version_resource(data)
                stated = resource and (resource[0], resource[2].get("LegalCopyright"))
                if stated != (version + ".0", copyright_line):
                    problems.append("%s: version resource says %s, expected %s" %
                                    (name, stated, (version + ".0", copyright_line)))
            if name.endswith(".dll"):
                abi = "mingw" if parts[0] == "mingw" else "msvc"
                if CLASS_EXPORT[abi] not in data:
                    problems.append("%s: no %s export of the class (%s): not the %s build" %
                                    (name, abi, CLASS_EXPORT[abi].decode(), abi))
        if "README.txt" in files and b"@VERSION@" in z.read(top + "README.txt"):
            problems.append("README.txt: @VERSION@ not replaced")
        node = "bindings/node/package.json"
        if node in files:
            found = json.loads(z.read(top + node)).get("version")
            if found != version:
                problems.append("%s: version %s, the package's is %s" % (node, found, version))
    return len(files), problems


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    count, problems = check(sys.argv[1], sys.argv[2])
    for problem in problems:
        print("package: " + problem)
    if problems:
        print("package: %d problem(s) in %s" % (len(problems), sys.argv[1]))
        return 1
    print("package: %d files, as listed; processors and ABIs as their folders say; versions and license stated"
          % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
