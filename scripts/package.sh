#!/usr/bin/env bash
# The release package: builds the Windows presets (unless this run of test.sh
# has just built them) and writes build/package/QT741DLL-VERSION.zip (VERSION:
# the CMake project's version), then checks its list of files
# (tests/package/check_package.py).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh
scripts/install-deps.sh

# What goes where: the folder in the archive, the preset whose QT741DLL.dll and
# import library QT741DLL.lib go there, the module definition file it is linked
# with, and the preset whose cardtool.exe goes beside it (- for none).
builds=(
  "x86       windows-x86-msvc library/QT741DLL.def      windows-x86"
  "x64       windows-x64-msvc library/QT741DLL.def      windows-x64"
  "mingw/x86 windows-x86      library/QT741DLL-i686.def -"
  "mingw/x64 windows-x64      library/QT741DLL.def      -"
)

presets=()
for build in "${builds[@]}"; do
  read -r _ preset _ tool <<<"$build"
  presets+=("$preset")
  [ "$tool" = - ] || presets+=("$tool")
done
mapfile -t presets < <(printf '%s\n' "${presets[@]}" | sort -u)
qt741_build "${presets[@]}"

cache=$qt741_builds/${presets[0]}/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
[ -n "$version" ] || { echo "package: no CMAKE_PROJECT_VERSION in $cache" >&2; exit 1; }
name=QT741DLL-$version
out=build/package
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/include"

for build in "${builds[@]}"; do
  read -r folder preset def tool <<<"$build"
  mkdir -p "$stage/$folder"
  cp "$qt741_builds/$preset/library/QT741DLL.dll" "$qt741_builds/$preset/library/QT741DLL.lib" "$stage/$folder/"
  cp "$def" "$stage/$folder/QT741DLL.def"
  [ "$tool" = - ] || cp "$qt741_builds/$tool/cardtool/cardtool.exe" "$stage/$folder/"
done
cp include/QT741DLL.h include/qt741_export.h include/mComm.h "$stage/include/"
git ls-files -z bindings | xargs -0 cp --parents -t "$stage"
# The integrator's README, with the version and Windows line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' package/README.txt >"$stage/README.txt"

(cd "$out" && zip -q -r -X "$name.zip" "$name")
echo "== $out/$name.zip"
python3 tests/package/check_package.py "$out/$name.zip" tests/package/contents.txt
