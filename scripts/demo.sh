#!/usr/bin/env bash
# The demo: builds the library and the device emulator, starts the emulator
# with a card file, and runs the host tool through a whole cycle: open the port,
# write both tracks, read them back and compare, reset, close. Each call is
# printed with its result and its time (harness/demo.py; its files are in
# build/demo/).
#
#   scripts/demo.sh               the x86_64 MinGW build under wine64 (quick)
#   scripts/demo.sh --arch x86    the shipped DLL (windows-x86-msvc), loaded by the i686 cardtool.exe
#                                 (windows-x86), under 32-bit Wine on qemu-i386 (scripts/wine32)
#   scripts/demo.sh --arch linux  libQT741DLL.so with the Linux cardtool (linux-native), no Wine
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh

arch=x86_64
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=${2-}; shift 2 || { echo "--arch needs x86_64, x86 or linux" >&2; exit 2; } ;;
    *) echo "usage: $0 [--arch x86_64|x86|linux]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
qt741_build_arch "$arch"
exec python3 harness/demo.py --arch "$arch"
