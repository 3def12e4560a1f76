#!/usr/bin/env bash
# Fuzzing: builds the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each target on a copy of its committed
# corpus in build/fuzz/corpus, so the committed corpus never grows. Fails when a
# target crashes, breaks an invariant, hangs or leaks; the input that did it is
# left in build/fuzz/findings/<target>/ and the target's log in
# build/fuzz/<target>.log.
#   scripts/fuzz.sh --ci       what CI runs: every committed input once, then a
#                              fixed number of runs from a fixed seed, so the
#                              same commit always meets the same inputs
#   scripts/fuzz.sh [SECONDS]  exploring: SECONDS (default 60) a target from a
#                              new random seed each time
# A finding is fixed, then its input joins tests/fuzz/corpus/<target>/.
# Reproduce one: build/fuzz/tests/fuzz/<target> <input file>
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh

targets=(fuzz_replies fuzz_calls fuzz_bridge)
ci_seed=741
ci_runs=20000 # some 10 to 20 s a target here
mode=explore
seconds=60
case "${1:-}" in
  --ci) mode=ci ;;
  "") ;;
  *) seconds=$1 ;;
esac
scripts/install-deps.sh

qt741_build "${targets[@]/#/fuzz:}"

status=0
for target in "${targets[@]}"; do
  binary=build/fuzz/tests/fuzz/$target
  committed=tests/fuzz/corpus/$target
  corpus=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp "$committed"/* "$corpus"/
  # -timeout: one input may take this long (a track read from a silent device
  # waits 20 virtual minutes, some 0.1 s here); longer is a hang.
  options=(-timeout=60 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/")
  if [ "$mode" = ci ]; then
    echo "== fuzz $target: the committed inputs, then $ci_runs runs from seed $ci_seed"
    if "$binary" "${options[@]}" -runs=0 "$committed" >"$log" 2>&1 &&
      "$binary" "${options[@]}" -seed=$ci_seed -runs=$ci_runs "$corpus" >>"$log" 2>&1; then
      ok=1
    else
      ok=0
    fi
  else
    echo "== fuzz $target for ${seconds} s"
    if "$binary" "${options[@]}" -max_total_time="$seconds" "$corpus" >"$log" 2>&1; then ok=1; else ok=0; fi
  fi
  if [ $ok -eq 1 ]; then
    grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec" "$log" || true
  else
    tail -n 80 "$log"
    echo "fuzz: $target failed; its input is in $findings, its log in $log" >&2
    status=1
  fi
done
exit $status
