#!/usr/bin/env bash
# The release: builds the Windows and Linux presets (unless this run of test.sh
# has just built them) and writes into build/package/, at the CMake project's
# version (VERSION):
#   QT741DLL-VERSION.zip          the Windows DLLs, import libraries, cardtool.exe,
#                                 carddesk.exe and cardbridge.exe, the headers, the
#                                 CMake package, the bindings and LICENSE.txt (its
#                                 files are checked against tests/package/contents.txt)
#   *.deb, QT741DLL-VERSION-linux-x86_64.tar.gz
#                                 libQT741DLL.so with its headers, pkg-config and
#                                 CMake files, cardtool and cardemu, cardbridge
#                                 (cpack); the tar.gz with LICENSE.txt
#   qt741-VERSION-py3-none-*.whl  the Python package, one wheel a platform
#   qt741-VERSION.tgz             the npm package (Node.js, Electron)
#   qt741-web-VERSION.tgz         the npm package for web pages that call cardbridge
#   QT741.VERSION.nupkg           the NuGet package (.NET, Mono)
#   SHA256SUMS                    of all of them
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh
scripts/install-deps.sh

# What goes where: the folder in the archive, the preset whose QT741DLL.dll and
# import library QT741DLL.lib go there, the module definition file it is linked
# with, and the preset whose cardtool.exe, carddesk.exe and cardbridge.exe go
# beside it (- for none).
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
qt741_build "${presets[@]}" linux-native

cache=$qt741_builds/${presets[0]}/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
[ -n "$version" ] || { echo "package: no CMAKE_PROJECT_VERSION in $cache" >&2; exit 1; }
name=QT741DLL-$version
out=build/package
stage=$out/$name
rm -rf "$out"
mkdir -p "$stage/include" "$stage/cmake"

for build in "${builds[@]}"; do
  read -r folder preset def tool <<<"$build"
  mkdir -p "$stage/$folder"
  cp "$qt741_builds/$preset/library/QT741DLL.dll" "$qt741_builds/$preset/library/QT741DLL.lib" "$stage/$folder/"
  cp "$def" "$stage/$folder/QT741DLL.def"
  [ "$tool" = - ] || cp "$qt741_builds/$tool/cardtool/cardtool.exe" "$qt741_builds/$tool/desk/carddesk.exe" \
    "$qt741_builds/$tool/bridge/cardbridge.exe" "$stage/$folder/"
done
cp include/QT741DLL.h include/qt741_export.h include/mComm.h "$stage/include/"
# find_package(QT741DLL): imports the DLL of the host's width and ABI.
cp package/cmake/QT741DLLConfig.cmake "$qt741_builds/${presets[0]}/cmake/QT741DLLConfigVersion.cmake" "$stage/cmake/"
git ls-files -z bindings | xargs -0 cp --parents -t "$stage"
# The Node.js and web modules' version is the project's, as in their npm packages.
(cd "$stage/bindings/node" && npm pkg set version="$version")
(cd "$stage/bindings/web" && npm pkg set version="$version")
# The integrator's README, with the version, and the license, with Windows line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' package/README.txt >"$stage/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

(cd "$out" && zip -q -r -X "$name.zip" "$name")
rm -rf "$stage"
echo "== $out/$name.zip"
python3 tests/package/check_package.py "$out/$name.zip" tests/package/contents.txt

# The Linux library as Debian packages and a tar.gz.
cpack --config "$qt741_builds/linux-native/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"

# The packages each ecosystem installs: a wheel a platform, the npm package,
# the NuGet package; each carries the shipped DLLs and the .so.
x86=$qt741_builds/windows-x86-msvc x64=$qt741_builds/windows-x64-msvc linux=$qt741_builds/linux-native
/usr/bin/python3 package/python/build_wheels.py --win32 "$x86" --win-amd64 "$x64" --linux "$linux" --out "$out" \
  >/dev/null
package/node/pack.sh "$out" "$x86" "$x64" "$linux" >/dev/null
package/dotnet/pack.sh "$out" "$x86" "$x64" "$linux" >/dev/null
# qt741-web, the browser module for pages that call cardbridge.
web=$(mktemp -d)
cp bindings/web/{package.json,qt741-web.js,qt741-web.d.ts,README.md} LICENSE "$web/"
(cd "$web" && npm pkg set version="$version" && npm pack --pack-destination "$OLDPWD/$out" --loglevel=warn) >/dev/null
rm -rf "$web"
python3 tests/install/packages.py "$version" "$out/qt741-web-$version.tgz"

(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort | xargs sha256sum >SHA256SUMS)
echo "== $out:"
sed 's/^/  /' "$out/SHA256SUMS"
