#!/usr/bin/env bash
# Benchmarks of the library under Wine against the device emulator paced at
# 9600 baud: each card function's time against the line's floor, the Escape
# reaction, the processor time of a wait for the swipe, and the pieces of a wait
# (Sleep, GetAsyncKeyState, the read interval time-out). Prints a table; asserts
# nothing. Arguments go to bench/bench.py (e.g. --runs 3, or "ops cpu").
#
#   scripts/bench.sh [--arch x86_64|x86] [bench.py arguments]
#
# --arch x86 measures the shipped DLL (windows-x86-msvc) with the i686 cardtool.exe
# (windows-x86) under 32-bit Wine on qemu-i386 (scripts/wine32); add
# --dll build/windows-x86/cardtool/QT741DLL.dll for the MinGW i686 DLL. The default
# is the x86_64 MinGW build under wine64.
#
# Uses the end-to-end tests' Wine prefix of that build: do not run it while they run.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=x86_64
if [ "${1-}" = --arch ]; then
  arch=${2-}
  shift 2 || true
fi
case $arch in
  x86_64)
    preset=windows-x64 presets=(windows-x64) compiler=x86_64-w64-mingw32-g++ prefix=e2e/wineprefix work=bench
    options=()
    ;;
  x86)
    preset=windows-x86 presets=(windows-x86 windows-x86-msvc) compiler=i686-w64-mingw32-g++
    prefix=e2e/x86-msvc/wineprefix work=bench-x86
    options=(--wine "$PWD/scripts/wine32" --dll build/windows-x86-msvc/library/QT741DLL.dll)
    ;;
  *) echo "unknown architecture '$arch': x86_64 or x86" >&2; exit 2 ;;
esac

scripts/install-deps.sh
[ "$arch" = x86_64 ] || scripts/wine32 --check

echo "== building (${presets[*]})" >&2
for build in "${presets[@]}"; do
  cmake --preset "$build" >/dev/null && cmake --build --preset "$build" >/dev/null
done
cmake --preset linux >/dev/null && cmake --build --preset linux --target cardemu >/dev/null
# The probe is a lone Windows program of the benchmarks; built with the
# project's warning flags, warnings as errors.
probe=build/$preset/bench/probe.exe
mkdir -p "build/$preset/bench"
if [ ! "$probe" -nt bench/probe.cpp ]; then
  "$compiler" -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Werror -static -o "$probe" bench/probe.cpp
fi

exec python3 bench/bench.py "${options[@]}" --windows-dir "build/$preset" --probe "$probe" \
  --prefix "build/linux/tests/$prefix" --work "build/linux/tests/$work/work" "$@"
