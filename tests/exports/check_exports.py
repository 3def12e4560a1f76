#!/usr/bin/env python3
"""Checks a built QT741DLL.dll statically: the flat functions are exported under
their undecorated names, the class mComm is exported whole, and (32-bit) each
flat function removes its own arguments from the stack (stdcall: `ret N`).

usage: check_exports.py OBJDUMP DLL [--stdcall] [--host EXE]

With --host, also checks that a host program built against the import library
imports every flat function by its undecorated name, the one the DLL exports.
"""
import re
import subprocess
import sys

# Flat functions and the bytes of arguments each one pops.
FLAT = {
    "CreatmComm": 4, "DestroymComm": 0, "CardReset": 0, "IsReadError": 0, "IsWriteError": 0,
    "WrTr1Card": 4, "WrTr2Card": 4, "WrTr12Card": 8, "RadTr1Card": 4, "RadTr2Card": 4, "RadTr12Card": 8,
}
# mComm: constructors, copy constructor, destructors (incl. deleting), assignment,
# OpenPort, ClosePort, virtual table and type information.
CLASS = [
    "_ZN5mCommC1Ev", "_ZN5mCommC2Ev", "_ZN5mCommC1ERKS_", "_ZN5mCommC2ERKS_", "_ZN5mCommD0Ev",
    "_ZN5mCommD1Ev", "_ZN5mCommD2Ev", "_ZN5mCommaSERKS_", "_ZN5mComm8OpenPortEPc", "_ZN5mComm9ClosePortEv",
    "_ZTV5mComm", "_ZTI5mComm",
]


def run(*args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed with exit code {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def exported_names(objdump, dll):
    text = run(objdump, "-p", dll)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        sys.exit(f"{dll}: no export name table in `objdump -p`")
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1], re.M))


def functions(objdump, dll):
    """Disassembly of each symbol: {symbol: [instruction text, ...]}."""
    code, current = {}, None
    for line in run(objdump, "-d", "--no-show-raw-insn", dll).splitlines():
        head = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if head:
            current = code.setdefault(head.group(1), [])
        elif current is not None and "\t" in line:
            current.append(line.split("\t", 1)[1].strip())
    return code


def returns(code, symbol, depth=0):
    """The `ret` instructions that end a call of symbol, following a tail jump."""
    body = code.get(symbol, [])
    rets = [i for i in body if re.match(r"^ret[lw]?\b", i)]
    if rets or depth > 2:
        return rets
    for instruction in body:
        jump = re.match(r"^jmp\s+[0-9a-f]+ <([^+>]+)>$", instruction)
        if jump:
            return returns(code, jump.group(1), depth + 1)
    return []


def imported_names(objdump, exe, dll_name):
    """The names exe imports from dll_name."""
    text = run(objdump, "-p", exe)
    block = re.search(r"DLL Name: " + re.escape(dll_name) + r"\n(.*?)\n\s*\n", text, re.S)
    if not block:
        return set()
    return set(re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", block.group(1), re.M))


def main():
    objdump, dll = sys.argv[1], sys.argv[2]
    options = sys.argv[3:]
    stdcall = "--stdcall" in options
    host = options[options.index("--host") + 1] if "--host" in options else None
    names = exported_names(objdump, dll)
    failures = []
    for name in list(FLAT) + CLASS:
        if name not in names:
            failures.append(f"{name} is not exported")
    decorated = sorted(n for n in names if "@" in n)
    if decorated:
        failures.append(f"decorated export names: {decorated}")

    if stdcall:
        code = functions(objdump, dll)
        for name, size in FLAT.items():
            symbol = f"_{name}@{size}"
            if symbol not in code:
                failures.append(f"{name}: no code under the symbol {symbol} (the argument size is wrong?)")
                continue
            rets = returns(code, symbol)
            expected = "ret" if size == 0 else f"ret $0x{size:x}"
            if not rets or any(r.split() != expected.split() for r in rets):
                failures.append(f"{name}: returns with {rets or 'nothing found'}, expected `{expected}`")
            else:
                print(f"ok   {name:14} {expected}")

    if host:
        imports = imported_names(objdump, host, "QT741DLL.dll")
        if not imports:
            failures.append(f"{host} imports nothing from QT741DLL.dll")
        for name in sorted(imports):
            if name not in names:
                failures.append(f"{host} imports {name}, which the DLL does not export")
        missing = sorted(set(FLAT) - imports)
        if missing:
            failures.append(f"{host} does not import {missing} (does it still call them?)")
        else:
            print(f"ok   {host} imports all {len(FLAT)} flat functions by their exported names")

    for failure in failures:
        print(f"FAIL {failure}")
    print(f"{len(names)} names exported; {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
