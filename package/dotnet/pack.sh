#!/usr/bin/env bash
# The NuGet package QT741: bindings/dotnet/QT741.cs compiled by mcs into
# lib/net45/QT741.dll, the library in runtimes/RID/native and LICENSE.txt,
# packed by nuget into OUT with the CMake project's version and the MIT license.
#
#   package/dotnet/pack.sh OUT WIN_X86_BUILD WIN_X64_BUILD LINUX_X64_BUILD
#
# The builds: windows-x86-msvc (the shipped 32-bit DLL), windows-x64-msvc and
# linux-native. The Linux library goes in as libQT741DLL.so, the name .NET and
# Mono both try for DllImport("QT741DLL") (neither tries the soname's .so.1).
set -euo pipefail
[ $# -eq 4 ] || { sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$2/CMakeCache.txt")
[ -n "$version" ] || { echo "pack.sh: no CMAKE_PROJECT_VERSION in $2/CMakeCache.txt" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/lib/net45 "$stage"/runtimes/{win-x86,win-x64,linux-x64}/native
mcs -warnaserror+ -warn:4 -target:library -out:"$stage/lib/net45/QT741.dll" "$root/bindings/dotnet/QT741.cs"
cp "$2/library/QT741DLL.dll" "$stage/runtimes/win-x86/native/"
cp "$3/library/QT741DLL.dll" "$stage/runtimes/win-x64/native/"
cp -L "$4/library/libQT741DLL.so.1" "$stage/runtimes/linux-x64/native/libQT741DLL.so"
cp "$root/LICENSE" "$stage/LICENSE.txt"
# The manifest nuget packs from is the package's .nuspec.
cp "$here/manifest.xml" "$stage/QT741.nuspec"
# No package analysis: it takes the native libraries for assemblies outside lib/.
(cd "$stage" && nuget pack QT741.nuspec -Properties version="$version" -OutputDirectory "$out" -NoPackageAnalysis \
  -NonInteractive -Verbosity quiet)
# The license element came after this nuget (2.8), whose schema refuses it when
# packing; its installs read it, as every later NuGet does. The package is a
# zip: its entries are written again, the manifest's with the element added.
python3 - "$out/QT741.$version.nupkg" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    entries = [(entry, z.read(entry)) for entry in z.infolist()]
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for entry, data in entries:
        if entry.filename == "QT741.nuspec":
            if b"</authors>" not in data:
                sys.exit("pack.sh: no </authors> in QT741.nuspec to put the license after")
            data = data.replace(b"</authors>", b'</authors>\n    <license type="expression">MIT</license>', 1)
        z.writestr(entry, data)
EOF
echo "$out/QT741.$version.nupkg"
