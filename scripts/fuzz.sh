#!/usr/bin/env bash
# Fuzzing: builds the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each target for SECONDS (default 60) on a
# copy of its committed seeds in build/fuzz/corpus, so the committed corpus
# never grows. Fails when a target crashes, breaks an invariant, hangs or leaks;
# the input that did it is left in build/fuzz/findings/<target>/ and the
# target's log in build/fuzz/<target>.log.
#   scripts/fuzz.sh [SECONDS]
# Reproduce a finding: build/fuzz/tests/fuzz/<target> <input file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/install-deps.sh

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in fuzz_replies fuzz_calls; do
  corpus=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp tests/fuzz/corpus/$target/* "$corpus"/
  echo "== fuzz $target for ${seconds} s"
  # -timeout: one input may take this long (a track read from a silent device
  # waits 20 virtual minutes, some 0.1 s here); longer is a hang.
  if build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1; then
    grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec" "$log" || true
  else
    tail -n 80 "$log"
    echo "fuzz: $target failed; its input is in $findings, its log in $log" >&2
    status=1
  fi
done
exit $status
