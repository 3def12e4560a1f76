#!/usr/bin/env bash
# Installs what scripts/wine32 needs to run 32-bit Windows programs: the i386
# architecture, Debian's 32-bit Wine (wine32:i386) and qemu-user 8.1 or later from
# the release's backports suite (the release's own qemu is too old for Wine).
# Nothing is registered machine-wide (no qemu-user-binfmt): the wrapper registers
# qemu in a binfmt_misc of its own. Called by scripts/install-deps.sh; quick, with
# no apt at all, when everything is there, and a no-op where the kernel cannot
# give the wrapper its binfmt_misc.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
reason=$(scripts/wine32 --check 2>&1) || status=$?
case $status in
  0) exit 0 ;;
  77)
    echo "$reason; not installing it" >&2
    exit 0
    ;;
esac
echo "$reason"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
backports=$codename-backports

# The mirror of the machine's own sources: the first "deb" entry for the release
# itself, in one-line (.list) or deb822 (.sources) form. Its Signed-By goes along.
mirror_of_release() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk -v suite="$codename" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit }
      }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v suite="$codename" '
      BEGIN { RS = ""; FS = "\n" }
      {
        delete f
        for (n = 1; n <= NF; n++) {
          if ($n ~ /^#/ || $n !~ /^[A-Za-z-]+:/) continue
          key = tolower(substr($n, 1, index($n, ":") - 1))
          value = substr($n, index($n, ":") + 1)
          gsub(/^[ \t]+|[ \t]+$/, "", value)
          f[key] = value
        }
        if (tolower(f["enabled"]) == "no" || (" " f["types"] " ") !~ / deb /) next
        if ((" " f["suites"] " ") !~ (" " suite " ")) next
        split(f["uris"], uris, /[ \t]+/)
        print uris[1] (f["signed-by"] != "" ? " " f["signed-by"] : "")
        exit
      }' "$file"
  done
}

# Whether apt knows the backports suite from an enabled source (commented-out
# lines and disabled stanzas do not count); asked after an update.
has_backports() {
  apt-cache policy | grep -q "n=$backports,"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture"
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
if ! has_backports; then
  read -r mirror signed_by < <(mirror_of_release | head -n1) || true
  if [ -z "${mirror-}" ]; then
    echo "No apt source for $codename found in /etc/apt: cannot add $backports for qemu-user" >&2
    exit 1
  fi
  echo "Adding $backports from the same mirror as $codename"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n' "$mirror" "$backports"
    [ -z "${signed_by-}" ] || printf 'Signed-By: %s\n' "$signed_by"
  } | $sudo tee "/etc/apt/sources.list.d/$backports.sources" >/dev/null
  $sudo apt-get update -qq
fi

echo "Installing wine32:i386 and qemu-user from $backports (about 3 minutes, 1 GiB)"
# Backports have a low priority: only what is asked for here comes from there.
$sudo apt-get install -y -qq -t "$backports" --no-install-recommends qemu-user >/dev/null
$sudo apt-get install -y -qq wine32:i386 >/dev/null
scripts/wine32 --check
