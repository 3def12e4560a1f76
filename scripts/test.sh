#!/usr/bin/env bash
# Every test: builds all four presets and the release package (which builds the
# MSVC-ABI presets and checks the archive's files), runs the static analysis of
# the library, the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the linux preset's whole suite (unit, emulator, export checks of the Windows
# DLLs, end to end and the bindings under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in windows-x86 windows-x64 linux linux-asan; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== release package (builds the other Windows presets too)"
scripts/package.sh

echo "== static analysis"
scripts/lint.sh

echo "== tests under the sanitizers"
ctest --preset linux-asan

echo "== fuzzing"
scripts/fuzz.sh 60

echo "== all tests"
ctest --preset linux
