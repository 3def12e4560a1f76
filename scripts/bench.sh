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
# The default is the x86_64 MinGW build under wine64. What each one builds and
# runs is the harness's table (harness/qt741_harness.py).
#
# The Wine runs use the end-to-end tests' Wine prefix of that build: do not run
# them while those tests run. The build folders are build/PRESET, or
# $QT741_BENCH_BUILD/PRESET when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh
qt741_builds=${QT741_BENCH_BUILD:-$qt741_builds}

arch=x86_64
if [ "${1-}" = --arch ]; then
  arch=${2-}
  shift 2 || true
fi

scripts/install-deps.sh
qt741_build_arch "$arch"
exec python3 bench/bench.py --arch "$arch" --builds "$qt741_builds" "$@"
