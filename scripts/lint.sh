#!/usr/bin/env bash
# Static analysis: clang-tidy (checks in .clang-tidy) on the library's sources
# with the sim build's compile commands, on the start-up of the windows-x64-msvc
# build and its test programs with that build's, and on the Linux layer under
# libQT741DLL.so and the bridge with the linux-native build's; cppcheck on the
# library, the Win32 layers and the programs (cardbridge, cardtool, cardemu,
# the desk); and the one style of .clang-format over every C++ file. Any
# finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
sources=(serial/*.cpp card/*.cpp library/*.cpp)

[ -f build/sim/compile_commands.json ] || { echo "lint: configure the sim preset first" >&2; exit 1; }
[ -f build/windows-x64-msvc/compile_commands.json ] ||
  { echo "lint: configure the windows-x64-msvc preset first" >&2; exit 1; }
[ -f build/linux-native/compile_commands.json ] ||
  { echo "lint: configure the linux-native preset first" >&2; exit 1; }
echo "== clang-tidy"
clang-tidy --quiet -p build/sim "${sources[@]}" 2>/dev/null
echo "== clang-tidy: the MSVC-ABI start-up and test programs"
clang-tidy --quiet -p build/windows-x64-msvc library/msvc/*.cpp tests/msvc/*.cpp 2>/dev/null
echo "== clang-tidy: the Linux layer (win32linux/) and the time-out rules (win32/)"
clang-tidy --quiet -p build/linux-native win32linux/*.cpp win32/*.cpp 2>/dev/null
echo "== clang-tidy: the bridge (its Linux build)"
printf '%s\n' bridge/calls.cpp bridge/library_linux.cpp bridge/main.cpp bridge/options.cpp bridge/protocol.cpp \
  bridge/server.cpp | xargs -P 2 -n 1 clang-tidy --quiet -p build/linux-native 2>/dev/null
echo "== cppcheck"
# One set of checks; each part with its own include paths.
cppcheck_part() {
  cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --quiet \
    --std=c++17 --language=c++ --suppress=missingIncludeSystem "$@"
}
cppcheck_part -I win32/include -I include -I card -I serial -D QT741_STATIC serial card library
cppcheck_part -I win32/include -I win32 win32 win32linux
for program in bridge cardtool emulator desk; do
  cppcheck_part -I include -I "$program" "$program"
done
echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "lint: no findings"
