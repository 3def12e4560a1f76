#!/usr/bin/env python3
"""Checks that every host binding agrees with the C header on the result codes
and the buffer sizes.

    check_bindings.py HEADER BINDINGS_DIR

Each binding is read without its comments and string literals, in its own
language's syntax. Every result code the header defines must be stated there
with the header's value, and so must the three read buffer sizes wherever the
binding wraps a read; every write limit a binding states must equal the
header's; and a binding may name no constant the header does not define. One
line per binding; exits 1 on any disagreement.
"""
import re
import sys
from pathlib import Path

# Binding, file under BINDINGS_DIR, its language, and how it spells
# CARD_NOT_OPEN: as the header does, or as a C# member (NotOpen, Track1BufferSize).
BINDINGS = [
    ("python", "python/qt741.py", "python", "header"),
    ("node", "node/qt741.js", "c", "header"),
    ("typescript", "node/qt741.d.ts", "c", "header"),
    ("dotnet", "dotnet/QT741.cs", "c", "pascal"),
    ("vb", "vb/QT741.bas", "vb", "header"),
    ("delphi", "delphi/QT741.pas", "pascal", "header"),
    ("web", "web/qt741-web.js", "c", "header"),
    ("web-typescript", "web/qt741-web.d.ts", "c", "header"),
]
SIZE_SUFFIXES = ("_BUFFER_SIZE", "_MAX_WRITE")
# Each language's string literals and comments.
NOISE = {
    "python": (r"[rRbBuUfF]{0,2}(?:'{3}[\s\S]*?'{3}|\"{3}[\s\S]*?\"{3}|'(?:\\.|[^'\\\n])*'|\"(?:\\.|[^\"\\\n])*\")",
               r"#.*"),
    "c": (r"@\"(?:\"\"|[^\"])*\"|\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])*'|`(?:\\.|[^`\\])*`",
          r"//.*|/\*[\s\S]*?\*/"),
    "vb": (r"\"(?:\"\"|[^\"\n])*\"", r"'.*|(?im:^[ \t]*rem\b.*)"),
    "pascal": (r"'(?:''|[^'\n])*'", r"//.*|\{[\s\S]*?\}|\(\*[\s\S]*?\*\)"),
}
READS = r"\bRadTr(?:1|2|12)Card\b"


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


def code(text, language):
    """The text without its comments, each string literal left empty."""
    strings, comments = NOISE[language]
    return re.sub("(%s)|%s" % (strings, comments), lambda m: '""' if m.group(1) else " ", text)


def named(text, spelling):
    """The constants the code names: CARD_ identifiers, or (C#) the members of
    enum CardResult and the const ints."""
    if spelling == "header":
        return set(re.findall(r"\bCARD_\w+", text))
    enum = re.search(r"\benum\s+CardResult\b[^{]*\{([^}]*)\}", text)
    return set(re.findall(r"(\w+)\s*=", enum.group(1) if enum else "")) | set(
        re.findall(r"\bconst\s+int\s+(\w+)", text))


def check(binding, path, language, spelling, constants):
    if not path.is_file():
        return [f"{path}: no such file"], 0, 0
    text = code(path.read_text(), language)
    wraps_reads = re.search(READS, text) is not None
    problems, results, sizes = [], 0, 0
    for name, expected in constants.items():
        is_size = name.endswith(SIZE_SUFFIXES)
        own = spelled(name, spelling)
        label = own if own == name else f"{own} ({name})"
        values = stated_values(text, own)
        if not values and (not is_size or (wraps_reads and name.endswith("_BUFFER_SIZE"))):
            problems.append(f"{path}: {label} missing; the header has {expected}")
        for value in values:
            if value != expected:
                problems.append(f"{path}: {label} is {value} in the {binding} binding, {expected} in the header")
        if values:
            sizes, results = (sizes + 1, results) if is_size else (sizes, results + 1)
    for stale in sorted(named(text, spelling) - {spelled(name, spelling) for name in constants}):
        problems.append(f"{path}: {stale} is not in the header")
    return problems, results, sizes


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    header, folder = Path(sys.argv[1]), Path(sys.argv[2])
    constants = header_constants(header)
    if not any(not name.endswith(SIZE_SUFFIXES) for name in constants):
        sys.exit(f"{header}: no CARD_ result codes found")
    failed = False
    for binding, file, language, spelling in BINDINGS:
        problems, results, sizes = check(binding, folder / file, language, spelling, constants)
        failed = failed or bool(problems)
        print(f"{'FAIL' if problems else 'ok  '} {binding}: {results} results, {sizes} sizes")
        for problem in problems:
            print(f"     {problem}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
