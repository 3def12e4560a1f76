#!/usr/bin/env bash
# Benchmarks of the library under Wine against the device emulator paced at
# 9600 baud: each card function's time against the line's floor, the Escape
# reaction, the processor time of a wait for the swipe, and the pieces of a wait
# (Sleep, GetAsyncKeyState, the read interval time-out). Prints a table; asserts
# nothing. Arguments go to bench/bench.py (e.g. --runs 3, or "ops cpu").
#
# Uses the end-to-end tests' Wine prefix: do not run it while they run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== building" >&2
cmake --preset windows-x64 >/dev/null && cmake --build --preset windows-x64 >/dev/null
cmake --preset linux >/dev/null && cmake --build --preset linux --target cardemu >/dev/null
# The probe is a lone Windows program of the benchmarks; built with the
# project's warning flags, warnings as errors.
mkdir -p build/windows-x64/bench
if [ ! build/windows-x64/bench/probe.exe -nt bench/probe.cpp ]; then
  x86_64-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Werror -static -o build/windows-x64/bench/probe.exe bench/probe.cpp
fi

exec python3 bench/bench.py "$@"
