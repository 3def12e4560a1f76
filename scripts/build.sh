# shellcheck shell=bash
# The build helper the scripts source: configures a preset's build folder when
# it needs it and builds it, quietly unless something fails (then it prints that
# step's output and fails).
#
#   source scripts/build.sh
#   qt741_build PRESET[:TARGET]...   e.g. qt741_build windows-x64 sim:cardemu
#   qt741_build_arch ARCH            what the harness runs for --arch ARCH (its
#                                    table, harness/qt741_harness.py)
#   qt741_ctest ARGS...              ctest ARGS..., noting the tests CTest reports
#                                    skipped (exit 77 where SKIP_RETURN_CODE says so)
#   qt741_ctest_again ARGS...        qt741_ctest ARGS...; when tests fail, runs those
#                                    once more (with their fixtures) and passes if
#                                    they pass then, naming them; QT741_NO_RERUN=1
#                                    keeps the first result
#   qt741_no_skips                   fails, naming them, when any test was skipped,
#                                    unless QT741_ALLOW_SKIP=1; names the tests that
#                                    passed only when run again
#
# The build folders are $qt741_builds/PRESET, build/PRESET unless the caller sets
# qt741_builds. A folder is configured when it has no build system yet or
# CMakePresets.json changed since; CMake itself reconfigures when a CMakeLists.txt
# changes. A preset built whole once in a run is not built again in that run:
# the folders built are in QT741_BUILT, which the scripts a script starts
# inherit (package.sh, started by test.sh, takes test.sh's Windows builds).

qt741_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
qt741_builds=${qt741_builds:-$qt741_root/build}
export QT741_BUILT=${QT741_BUILT-}

qt741_build() {
  local item preset target dir log
  for item in "$@"; do
    preset=${item%%:*}
    target=${item#"$preset"}
    target=${target#:}
    dir=$qt741_builds/$preset
    case $'\n'$QT741_BUILT$'\n' in *$'\n'"$dir"$'\n'*) continue ;; esac
    echo "== build $preset${target:+ ($target)}" >&2
    log=$(mktemp)
    if [ ! -f "$dir/build.ninja" ] || [ "$qt741_root/CMakePresets.json" -nt "$dir/CMakeCache.txt" ]; then
      if ! cmake -S "$qt741_root" --preset "$preset" -B "$dir" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "build: configuring $preset failed" >&2
        return 1
      fi
    fi
    if ! cmake --build "$dir" ${target:+--target "$target"} >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$log"
      echo "build: building $preset${target:+ ($target)} failed" >&2
      return 1
    fi
    rm -f "$log"
    [ -n "$target" ] || QT741_BUILT+=$dir$'\n'
  done
}

qt741_build_arch() {
  local builds
  # Fails (with the harness's reason) for an unknown ARCH, or with 77 where ARCH's
  # loader cannot run on this machine.
  builds=$(python3 "$qt741_root/harness/qt741_harness.py" builds "$1") || return
  # shellcheck disable=SC2086 # one build a word
  qt741_build $builds
}

qt741_skipped=()
qt741_failed=()

qt741_ctest() {
  local log status=0
  log=$(mktemp)
  ctest --output-log "$log" "$@" || status=$?
  mapfile -t -O "${#qt741_skipped[@]}" qt741_skipped < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
  mapfile -t qt741_failed < <(sed -n '/^The following tests FAILED:$/,$ { /(Skipped)$/d; s/^[[:space:]]*[0-9]* - \(.*\) ([^()]*)$/\1/p; }' "$log")
  rm -f "$log"
  return "$status"
}

qt741_rerun=()

# For the suites that run programs against the emulator in real time (Wine's
# serial layer, a pty): a run that failed only because the machine stalled a
# process for longer than a read's 50 ms interval passes when run again; a
# fault in the code fails both times.
qt741_ctest_again() {
  local status=0 failed
  qt741_ctest "$@" || status=$?
  if [ "$status" -ne 0 ] && [ "${#qt741_failed[@]}" -gt 0 ] && [ "${QT741_NO_RERUN:-}" != 1 ]; then
    failed=("${qt741_failed[@]}")
    echo "== the ${#failed[@]} test(s) that failed, once more" >&2
    if ctest --rerun-failed "$@"; then
      status=0
      qt741_rerun+=("${failed[@]}")
      echo "== failed, then passed when run again (the first failure is printed above):" >&2
      printf '  %s\n' "${failed[@]}" >&2
    fi
  fi
  return "$status"
}

qt741_no_skips() {
  if [ "${#qt741_rerun[@]}" -gt 0 ]; then
    echo "== passed only when run again: ${#qt741_rerun[@]} test(s)" >&2
    printf '  %s\n' "${qt741_rerun[@]}" >&2
  fi
  [ "${#qt741_skipped[@]}" -gt 0 ] || return 0
  echo "== skipped: ${#qt741_skipped[@]} test(s) did not run" >&2
  printf '  %s\n' "${qt741_skipped[@]}" >&2
  if [ "${QT741_ALLOW_SKIP:-}" = 1 ]; then
    echo "skipped tests allowed (QT741_ALLOW_SKIP=1)" >&2
    return 0
  fi
  echo "test: a run passes only when every test ran; QT741_ALLOW_SKIP=1 lets skipped tests pass" >&2
  return 1
}
