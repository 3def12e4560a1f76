#!/usr/bin/env bash
# qt741_ctest_again (scripts/build.sh) against a small CTest project: a test that
# fails once and then passes is run again, with its fixture's setup, and named;
# a test that fails every time fails the run; QT741_NO_RERUN=1 keeps the first
# result. Usage: rerun_test.sh WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
rm -rf "$work" && mkdir -p "$work/src"
cat >"$work/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(rerun NONE)
enable_testing()
# Each test writes its name to runs as it starts.
set(runs ${CMAKE_BINARY_DIR}/runs)
set(seen ${CMAKE_BINARY_DIR}/seen)
add_test(NAME setup COMMAND sh -c "echo setup >>${runs}")
add_test(NAME once COMMAND sh -c "echo once >>${runs}; test -f ${seen} || { touch ${seen}; echo '  9 - bogus (Failed)'; exit 1; }")
add_test(NAME always COMMAND sh -c "echo always >>${runs}; exit 1")
add_test(NAME fine COMMAND sh -c "echo fine >>${runs}")
set_tests_properties(setup PROPERTIES FIXTURES_SETUP fx)
set_tests_properties(once always PROPERTIES FIXTURES_REQUIRED fx)
CMAKE
cmake -S "$work/src" -B "$work/build" >/dev/null || exit 1

failures=0
# name | environment | ctest arguments | expected status (ctest fails with 8) |
# the tests named as passed when run again | the tests run, in order
cases=(
  "flaky once|-|-E always|0|once|setup once fine setup once"
  "flaky once, its output shown|-|-E always --output-on-failure|0|once|setup once fine setup once"
  "fails every time|-|-E once|8||setup always fine setup always"
  "both|-||8||setup once always fine setup once always"
  "no rerun asked|QT741_NO_RERUN=1|-E always|8||setup once fine"
  "all pass|-|-R fine|0||fine"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name envs args want_status want_again want_runs <<<"$row"
  rm -f "$work/build/seen" "$work/build/runs"
  [ "$envs" = - ] && envs=
  # shellcheck disable=SC2086,SC2016 # the arguments are words; $ is the inner shell's
  out=$(cd "$work/build" && env $envs bash -c 'source "$1/scripts/build.sh"; shift
        status=0; qt741_ctest_again "$@" || status=$?; echo "status=$status"
        echo "again=${qt741_rerun[*]}"' _ "$here/../.." $args 2>&1)
  got_status=$(sed -n 's/^status=//p' <<<"$out")
  got_again=$(sed -n 's/^again=//p' <<<"$out")
  got_runs=$(xargs <"$work/build/runs")
  if [ "$got_status" != "$want_status" ] || [ "$got_again" != "$want_again" ] || [ "$got_runs" != "$want_runs" ]; then
    echo "FAIL $name: status $got_status (expected $want_status), run again and passed: '$got_again'" \
      "(expected '$want_again'), tests run: '$got_runs' (expected '$want_runs')"
    printf '    %s\n' "${out//$'\n'/$'\n'    }"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
done
exit $((failures > 0))
