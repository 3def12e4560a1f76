#!/usr/bin/env python3
"""Checks a built QT741DLL.dll statically: the flat functions are exported under
their undecorated names, the class mComm is exported whole under the names of
its compiler's ABI, and (32-bit) each flat function removes its own arguments
from the stack (stdcall: `ret N`), as does the DLL's entry point.

usage: check_exports.py OBJDUMP DLL [--stdcall] [--abi gnu|msvc] [--host EXE]
                        [--imports NAME...] [--no-seh] [--import-lib LIB --readobj LLVM-READOBJ]
                        [--version X.Y.Z]

--abi: whose C++ names the class carries, GCC's (MinGW, the default) or
Microsoft's (clang for *-windows-msvc).
--host: a host program built against the import library imports every flat
function by its undecorated name, the one the DLL exports.
--imports: the DLLs the DLL imports from, all of them (no runtime DLL slipped in).
--no-seh: the image says that no exception handler may run in it (a 32-bit DLL
linked with SafeSEH checks and no handlers).
--import-lib: the import library (lld-link's) offers each flat function under the
symbol a host compiled with the header references (_Name@N on i686), bound to
the undecorated name the DLL exports.
--version: the DLL's version resource gives X.Y.Z.0 as file and product version
and QT741DLL.dll as the original file name.
"""
import argparse
import re
import struct
import subprocess
import sys

# Flat functions and the bytes of arguments each one pops.
FLAT = {
    "CreatmComm": 4, "DestroymComm": 0, "CardReset": 0, "IsReadError": 0, "IsWriteError": 0,
    "WrTr1Card": 4, "WrTr2Card": 4, "WrTr12Card": 8, "RadTr1Card": 4, "RadTr2Card": 4, "RadTr12Card": 8,
    "CardCancel": 0,
}
# mComm: constructors, copy constructor, destructors (incl. deleting), assignment,
# OpenPort, ClosePort, virtual table and type information.
CLASS_GNU = [
    "_ZN5mCommC1Ev", "_ZN5mCommC2Ev", "_ZN5mCommC1ERKS_", "_ZN5mCommC2ERKS_", "_ZN5mCommD0Ev",
    "_ZN5mCommD1Ev", "_ZN5mCommD2Ev", "_ZN5mCommaSERKS_", "_ZN5mComm8OpenPortEPc", "_ZN5mComm9ClosePortEv",
    "_ZTV5mComm", "_ZTI5mComm",
]
# The same under Microsoft's names, 32- and 64-bit: constructor, copy constructor,
# destructor, assignment, virtual table, OpenPort, ClosePort. The deleting
# destructor is reached through the virtual table, and the type information is
# not exported, as with Microsoft's compiler.
CLASS_MSVC = {
    32: ["??0mComm@@QAE@XZ", "??0mComm@@QAE@ABV0@@Z", "??1mComm@@UAE@XZ", "??4mComm@@QAEAAV0@ABV0@@Z",
         "??_7mComm@@6B@", "?OpenPort@mComm@@QAEHPAD@Z", "?ClosePort@mComm@@QAEHXZ"],
    64: ["??0mComm@@QEAA@XZ", "??0mComm@@QEAA@AEBV0@@Z", "??1mComm@@UEAA@XZ", "??4mComm@@QEAAAEAV0@AEBV0@@Z",
         "??_7mComm@@6B@", "?OpenPort@mComm@@QEAAHPEAD@Z", "?ClosePort@mComm@@QEAAHXZ"],
}


def run(*args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed with exit code {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def exports(objdump, dll):
    """The export table: {name: address}, and the header lines of `objdump -p`."""
    text = run(objdump, "-p", dll)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        sys.exit(f"{dll}: no export name table in `objdump -p`")
    base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", text, re.M).group(1), 16)
    rvas = {int(k): int(v, 16) for k, v in re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA",
                                                      text, re.M)}
    names = {name: base + rvas.get(int(ordinal), 0)
             for ordinal, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table[1], re.M)}
    return names, text


def instructions(objdump, dll):
    """The disassembly of the code: {address: instruction text}, and the addresses in order."""
    code = {}
    for line in run(objdump, "-d", "--no-show-raw-insn", dll).splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\t(.+)$", line)
        if m:
            code[int(m.group(1), 16)] = m.group(2).strip()
    return code, sorted(code)


def returns(code, order, entry):
    """The `ret` instructions reachable from entry, following fall-through and
    direct jumps (tail jumps too) but not calls, which come back. The DLL need
    not carry symbols: MSVC-ABI builds have none."""
    index = {address: i for i, address in enumerate(order)}
    rets, seen, todo = [], set(), [entry]
    while todo and len(seen) < 20000:
        address = todo.pop()
        while address in index and address not in seen:
            seen.add(address)
            instruction = code[address]
            if re.match(r"^ret[lw]?\b", instruction):
                rets.append(instruction)
                break
            jump = re.match(r"^(j[a-z]+)\s+(?:0x)?([0-9a-f]+)\b", instruction)
            if jump:
                todo.append(int(jump.group(2), 16))
                if jump.group(1) in ("jmp", "jmpl"):
                    break
            elif instruction.startswith(("jmp", "int3", "ud2")):
                break  # an indirect jump (not followed) or a trap
            following = index[address] + 1
            address = order[following] if following < len(order) else None
    return rets


def characteristics(header):
    """The DllCharacteristics flags named in `objdump -p`, e.g. NO_SEH."""
    m = re.search(r"^DllCharacteristics\s+[0-9a-f]+\n((?:\t+\S+\n)*)", header, re.M)
    return set(m.group(1).split()) if m else set()


def imported_dlls(header):
    return {name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)", header, re.M)}


def import_library(readobj, lib):
    """The short import members of an import library: {symbol: name type}."""
    members = {}
    for block in run(readobj, lib).split("\nFile: ")[1:]:
        kind = re.search(r"^Name type: (\S+)", block, re.M)
        for symbol in re.findall(r"^Symbol: (\S+)", block, re.M):
            members[symbol] = kind.group(1) if kind else None
    return members


def imported_names(objdump, exe, dll_name):
    """The names exe imports from dll_name."""
    text = run(objdump, "-p", exe)
    block = re.search(r"DLL Name: " + re.escape(dll_name) + r"\n(.*?)\n\s*\n", text, re.S)
    if not block:
        return set()
    return set(re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", block.group(1), re.M))


def version_resource(data):
    """From a PE file's bytes, its version resource: (file version, product
    version, its strings by name), or None. VS_FIXEDFILEINFO starts with the
    signature 0xFEEF04BD; the strings follow it, UTF-16, each value after its
    key and padding."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for name in ("OriginalFilename", "LegalCopyright"):
        key = (name + "\0").encode("utf-16-le")
        start = data.find(key, at)
        if start >= 0:
            text = data[start + len(key):start + len(key) + 200].decode("utf-16-le", "replace").lstrip("\0")
            strings[name] = text.split("\0", 1)[0]
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls), strings


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("objdump")
    parser.add_argument("dll")
    parser.add_argument("--stdcall", action="store_true")
    parser.add_argument("--abi", choices=("gnu", "msvc"), default="gnu")
    parser.add_argument("--host")
    parser.add_argument("--imports", nargs="+", default=[])
    parser.add_argument("--no-seh", action="store_true")
    parser.add_argument("--import-lib")
    parser.add_argument("--readobj", default="llvm-readobj")
    parser.add_argument("--version")
    args = parser.parse_args()
    objdump, dll, host = args.objdump, args.dll, args.host
    names, header = exports(objdump, dll)
    bits = 64 if re.search(r"^Magic\s+020b", header, re.M) else 32
    failures = []
    for name in list(FLAT) + (CLASS_GNU if args.abi == "gnu" else CLASS_MSVC[bits]):
        if name not in names:
            failures.append(f"{name} is not exported")
    # Microsoft's C++ names contain @ and are the class's; flat names must not.
    decorated = sorted(n for n in names if "@" in n and not n.startswith("?"))
    if decorated:
        failures.append(f"decorated export names: {decorated}")

    if args.stdcall:
        code, order = instructions(objdump, dll)
        for name, size in FLAT.items():
            rets = returns(code, order, names.get(name, 0))
            expected = "ret" if size == 0 else f"ret $0x{size:x}"
            if not rets or any(r.split() != expected.split() for r in rets):
                failures.append(f"{name}: returns with {rets or 'nothing found'}, expected `{expected}`")
            else:
                print(f"ok   {name:14} {expected} ({len(rets)} way(s) out)")
        # The loader calls the entry point with three arguments, stdcall.
        base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", header, re.M).group(1), 16)
        entry = base + int(re.search(r"^AddressOfEntryPoint\s+([0-9a-f]+)", header, re.M).group(1), 16)
        rets = returns(code, order, entry)
        if not rets or any(r.split() != ["ret", "$0xc"] for r in rets):
            failures.append(f"the entry point returns with {rets or 'nothing found'}, expected `ret $0xc`")
        else:
            print("ok   entry point    ret $0xc")

    if args.imports:
        imported, wanted = imported_dlls(header), {name.lower() for name in args.imports}
        if imported != wanted:
            failures.append(f"imports from {sorted(imported)}, expected exactly {sorted(wanted)}")
        else:
            print(f"ok   imports only from {', '.join(args.imports)}")

    if args.no_seh:
        if "NO_SEH" not in characteristics(header):
            failures.append("the image lacks NO_SEH: linked without SafeSEH checks, or with handlers")
        else:
            print("ok   NO_SEH: no exception handler may run in the image")

    if args.import_lib:
        members = import_library(args.readobj, args.import_lib)
        wrong = []
        for name, size in FLAT.items():
            symbol, kind = (f"_{name}@{size}", "undecorate") if bits == 32 else (name, "name")
            if members.get(symbol, "missing") != kind:
                wrong.append(f"{args.import_lib}: {symbol} is {members.get(symbol, 'missing')}, "
                             f"expected an import by {kind}")
        failures += wrong
        if not wrong:
            print(f"ok   {args.import_lib} offers the {len(FLAT)} flat functions as hosts reference them")

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

    if args.version:
        expected = ".".join((args.version.split(".") + ["0"] * 4)[:4])
        with open(dll, "rb") as f:
            found = version_resource(f.read())
        found = found and found[:2] + (found[2].get("OriginalFilename"),)
        if found != (expected, expected, "QT741DLL.dll"):
            failures.append(f"version resource (file version, product version, original file name): {found}, "
                            f"expected {(expected, expected, 'QT741DLL.dll')}")
        else:
            print(f"ok   version resource: {expected}, QT741DLL.dll")

    for failure in failures:
        print(f"FAIL {failure}")
    print(f"{len(names)} names exported; {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
