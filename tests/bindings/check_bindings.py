#!/usr/bin/env python3
"""Checks that every host binding agrees with the C header on the result codes
and the buffer sizes.

    check_bindings.py HEADER BINDINGS_DIR

Every result code the header defines must appear in each binding with the
header's value; every buffer size or write limit a binding states must equal
the header's. One line per binding; exits 1 on any disagreement.
"""
import re
import sys
from pathlib import Path

# Binding, file under BINDINGS_DIR, and how it spells CARD_NOT_OPEN: as the
# header does, or as a C# member (NotOpen, Track1BufferSize).
BINDINGS = [
    ("python", "python/qt741.py", "header"),
    ("node", "node/qt741.js", "header"),
    ("typescript", "node/qt741.d.ts", "header"),
    ("dotnet", "dotnet/QT741.cs", "pascal"),
    ("vb", "vb/QT741.bas", "header"),
    ("delphi", "delphi/QT741.pas", "header"),
    ("web", "web/qt741-web.js", "header"),
    ("web-typescript", "web/qt741-web.d.ts", "header"),
]
SIZE_SUFFIXES = ("_BUFFER_SIZE", "_MAX_WRITE")


def header_constants(path):
    found = re.findall(r"^#define\s+(CARD_\w+)\s+\(?(-?\d+)\)?", path.read_text(), re.MULTILINE)
    return {name: int(value) for name, value in found}


def spelled(name, spelling):
    if spelling == "header":
        return name
    return "".join(word.capitalize() for word in name[len("CARD_"):].split("_"))


def stated_values(text, name):
    """Every value the binding gives name: NAME = 1, NAME: 1, NAME As Long = 1."""
    pattern = r"\b" + re.escape(name) + r"\b(?:\s+As\s+\w+)?\s*[:=]\s*(-?\d+)\b"
    return [int(value) for value in re.findall(pattern, text)]


def check(binding, path, spelling, constants):
    if not path.is_file():
        return [f"{path}: no such file"], 0, 0
    text = path.read_text()
    problems, results, sizes = [], 0, 0
    for name, expected in constants.items():
        is_size = name.endswith(SIZE_SUFFIXES)
        own = spelled(name, spelling)
        label = own if own == name else f"{own} ({name})"
        values = stated_values(text, own)
        if not values and not is_size:
            problems.append(f"{path}: {label} missing; the header has {expected}")
        for value in values:
            if value != expected:
                problems.append(f"{path}: {label} is {value} in the {binding} binding, {expected} in the header")
        if values:
            sizes, results = (sizes + 1, results) if is_size else (sizes, results + 1)
    return problems, results, sizes


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    header, folder = Path(sys.argv[1]), Path(sys.argv[2])
    constants = header_constants(header)
    if not any(not name.endswith(SIZE_SUFFIXES) for name in constants):
        sys.exit(f"{header}: no CARD_ result codes found")
    failed = False
    for binding, file, spelling in BINDINGS:
        problems, results, sizes = check(binding, folder / file, spelling, constants)
        failed = failed or bool(problems)
        print(f"{'FAIL' if problems else 'ok  '} {binding}: {results} results, {sizes} sizes")
        for problem in problems:
            print(f"     {problem}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
