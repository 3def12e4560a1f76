#!/usr/bin/env bash
# Benchmarks of the library under Wine against the device emulator paced at
# 9600 baud: each card function's time against the line's floor, the Escape
# reaction, the processor time of a wait for the swipe, and the pieces of a wait
# (Sleep, GetAsyncKeyState, the read interval time-out). Prints a table; asserts
# nothing. Arguments go to bench/bench.py (e.g. --runs 3, or "ops cpu").
#
#   scripts/bench.sh [--arch x86_64|x86|linux] [bench.py arguments]
#
# --arch x86 measures the shipped DLL (windows-x86-msvc) with the i686 cardtool.exe
# (windows-x86) under 32-bit Wine on qemu-i386 (scripts/wine32); add
# --dll build/windows-x86/cardtool/QT741DLL.dll for the MinGW i686 DLL. --arch
# linux measures libQT741DLL.so with the Linux cardtool (linux-native), no Wine.
# The default is the x86_64 MinGW build under wine64.
#
# The Wine runs use the end-to-end tests' Wine prefix of that build: do not run
# them while those tests run. The build folders are build/PRESET, or
# $QT741_BENCH_BUILD/PRESET when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=${QT741_BENCH_BUILD:-build}

arch=x86_64
if [ "${1-}" = --arch ]; then
  arch=${2-}
  shift 2 || true
fi
# What each architecture builds and runs: its presets (the first one's cardtool
# runs), the preset of cardemu, the compiler of probe.exe (none natively), and
# bench.py's options.
case $arch in
  x86_64)
    presets=(windows-x64) emulator=sim compiler=x86_64-w64-mingw32-g++ work=bench
    options=(--prefix "$builds/sim/tests/e2e/wineprefix")
    ;;
  x86)
    presets=(windows-x86 windows-x86-msvc) emulator=sim compiler=i686-w64-mingw32-g++ work=bench-x86
    options=(--prefix "$builds/sim/tests/e2e/x86-msvc/wineprefix" --wine "$PWD/scripts/wine32"
      --dll "$builds/windows-x86-msvc/library/QT741DLL.dll")
    ;;
  linux)
    presets=(linux-native) emulator=linux-native compiler= work=bench
    options=(--native "$builds/linux-native")
    ;;
  *) echo "unknown architecture '$arch': x86_64, x86 or linux" >&2; exit 2 ;;
esac
preset=${presets[0]}

scripts/install-deps.sh
[ "$arch" != x86 ] || scripts/wine32 --check

echo "== building (${presets[*]})" >&2
for build in "${presets[@]}"; do
  cmake --preset "$build" -B "$builds/$build" >/dev/null && cmake --build "$builds/$build" >/dev/null
done
cmake --preset "$emulator" -B "$builds/$emulator" >/dev/null &&
  cmake --build "$builds/$emulator" --target cardemu >/dev/null
# The probe is a lone Windows program of the benchmarks; built with the
# project's warning flags, warnings as errors.
probe=$builds/$preset/bench/probe.exe
if [ -n "$compiler" ] && [ ! "$probe" -nt bench/probe.cpp ]; then
  mkdir -p "$builds/$preset/bench"
  "$compiler" -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Werror -static -o "$probe" bench/probe.cpp
fi

exec python3 bench/bench.py "${options[@]}" --windows-dir "$builds/$preset" --probe "$probe" \
  --cardemu "$builds/$emulator/emulator/cardemu" --work "$builds/$emulator/tests/$work/work" "$@"
