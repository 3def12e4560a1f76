#!/usr/bin/env bash
# The npm package qt741: bindings/node with the libraries in prebuilds/ and
# LICENSE, the version the CMake project's, packed by npm pack into OUT.
#
#   package/node/pack.sh OUT WIN32_IA32_BUILD WIN32_X64_BUILD LINUX_X64_BUILD
#
# The builds: windows-x86-msvc (the shipped 32-bit DLL), windows-x64-msvc and
# linux-native (libQT741DLL.so.1).
set -euo pipefail
[ $# -eq 4 ] || { sed -n '2,9s/^# \{0,1\}//p' "$0"; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$2/CMakeCache.txt")
[ -n "$version" ] || { echo "pack.sh: no CMAKE_PROJECT_VERSION in $2/CMakeCache.txt" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$root"/bindings/node/{package.json,qt741.js,qt741.d.ts,README.md} "$root/LICENSE" "$stage/"
mkdir -p "$stage"/prebuilds/{win32-ia32,win32-x64,linux-x64}
cp "$2/library/QT741DLL.dll" "$stage/prebuilds/win32-ia32/"
cp "$3/library/QT741DLL.dll" "$stage/prebuilds/win32-x64/"
cp -L "$4/library/libQT741DLL.so.1" "$stage/prebuilds/linux-x64/"
tarball=$(cd "$stage" && npm pkg set version="$version" && npm pack --pack-destination "$out" --loglevel=warn)
echo "$out/$tarball"
