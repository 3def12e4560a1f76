#!/usr/bin/env bash
# Every test: builds all four presets, runs the static analysis of the library,
# the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# linux preset's whole suite (unit, emulator, export checks of both Windows
# DLLs, end to end under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in windows-x86 windows-x64 linux linux-asan; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== static analysis"
scripts/lint.sh

echo "== tests under the sanitizers"
ctest --preset linux-asan

echo "== fuzzing"
scripts/fuzz.sh --ci

echo "== all tests"
ctest --preset linux
