#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and the
# 32-bit Wine world (scripts/install-wine32.sh); quick when they are all there already.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64
  clang clang-tidy clang-format cppcheck libclang-rt-14-dev
  lld llvm
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$(dirname "$0")/install-wine32.sh"
