#!/usr/bin/env bash
# The demo: builds the library for Windows and the device emulator, starts the
# emulator with a card file, and runs the host tool through a whole cycle: open
# the port, write both tracks, read them back and compare, reset, close. Each
# call is printed with its result and its time.
#
#   scripts/demo.sh               the x86_64 MinGW build under wine64 (quick)
#   scripts/demo.sh --arch x86    the shipped DLL (windows-x86-msvc), loaded by the i686 cardtool.exe
#                                 (windows-x86), under 32-bit Wine on qemu-i386 (scripts/wine32)
set -euo pipefail
cd "$(dirname "$0")/.."

arch=x86_64
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=${2-}; shift 2 || { echo "--arch needs x86_64 or x86" >&2; exit 2; } ;;
    *) echo "usage: $0 [--arch x86_64|x86]" >&2; exit 2 ;;
  esac
done
demo=$PWD/build/demo
case $arch in
  x86_64)
    presets=(windows-x64) wine=/usr/lib/wine/wine64 prefix=$demo/wineprefix boot="about 10 s"
    tools=build/windows-x64/cardtool dll=$tools/QT741DLL.dll
    ;;
  x86)
    presets=(windows-x86 windows-x86-msvc) wine=$PWD/scripts/wine32 prefix=$demo/wineprefix-x86 boot="about 25 s"
    tools=$demo/x86 dll=build/windows-x86-msvc/library/QT741DLL.dll
    ;;
  *) echo "unknown architecture $arch: x86_64 or x86" >&2; exit 2 ;;
esac

scripts/install-deps.sh
[ "$arch" = x86_64 ] || scripts/wine32 --check

echo "== building (${presets[*]})"
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null
done
if [ "$arch" = x86 ]; then
  # The i686 cardtool.exe beside the shipped DLL, which Windows then loads for it.
  mkdir -p "$tools"
  cp build/windows-x86/cardtool/cardtool.exe "$dll" "$tools/"
fi
cmake --preset sim >/dev/null && cmake --build --preset sim --target cardemu >/dev/null

wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$demo"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating a Wine prefix for the demo (once, $boot)"
  "$wine" wineboot -i >"$demo/wineboot-$arch.log" 2>&1
  "$wineserver" -w # the prefix's registry is saved when its server exits
fi
# A server of our own, so that its messages go to a log of their own.
"$wineserver" -p >"$demo/wineserver.log" 2>&1 || true

track1='%B4111111111111111^DEMO/CARD^2512101000000000000?'
track2=';4111111111111111=25121010000000000?'
card=$demo/card.txt
printf 'track1: BLANK\ntrack2: BLANK\n' >"$card"
rm -f "$demo/cardemu.log" # the emulator appends to its log: show this run's frames only

echo "== starting the device emulator (card file $card, swipes itself 300 ms after each command)"
build/sim/emulator/cardemu --card "$card" --link "$demo/com5" --log "$demo/cardemu.log" >"$demo/cardemu.out" &
emulator=$!
cleanup() {
  kill "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -L "$demo/com5" ] && break; sleep 0.1; done
ln -sfn "$demo/com5" "$WINEPREFIX/dosdevices/com5"

cd "$tools"
echo "== cardtool --version ($arch; QT741DLL.dll from $dll)"
"$wine" cardtool.exe --version
echo "== cardtool COM5 write 12 ... read 12 reset"
set +e
"$wine" cardtool.exe COM5 write 12 "$track1" "$track2" read 12 reset | tee "$demo/cardtool.out"
status=${PIPESTATUS[0]}
set -e

echo "== frames the emulator received"
grep -E " RX " "$demo/cardemu.log" || true

echo
read1=$(tr -d '\r' <"$demo/cardtool.out" | sed -n 's/^  track 1: "\(.*\)"$/\1/p')
read2=$(tr -d '\r' <"$demo/cardtool.out" | sed -n 's/^  track 2: "\(.*\)"$/\1/p')
if [ "$status" -eq 0 ] && [ "$read1" = "$track1" ] && [ "$read2" = "$track2" ]; then
  echo "== demo passed: the tracks read back are the tracks written"
else
  echo "== demo FAILED: cardtool exit $status; read back \"$read1\" / \"$read2\"" >&2
  exit 1
fi
