#!/usr/bin/env bash
# Runs each fuzz target far longer than the test command does, one target
# at a time:
#   scripts/fuzz.sh [runs]     inputs per target, 10,000,000 by default
# What a target learns stays in build/fuzz/corpus/<target> for the next run;
# an input that fails is kept in build/fuzz/findings/. Ends with a table of
# libFuzzer's final statistics.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-10000000}
case $runs in
'' | *[!0-9]*)
  echo "usage: scripts/fuzz.sh [runs]" >&2
  exit 2
  ;;
esac

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

targets=(fuzz_string fuzz_codec fuzz_error_text)
findings=build/fuzz/findings
mkdir -p "$findings"
status=0
rows=()
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  mkdir -p "$corpus"
  echo "fuzz: $target, $runs inputs (log in $log)"
  start=$(date +%s)
  # The first directory takes what the run learns; the seeds are only read.
  if build/fuzz/tests/fuzz/$target -runs="$runs" -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    result="no finding"
  else
    result="FINDING (see $log)"
    status=1
  fi
  seconds=$(($(date +%s) - start))
  grep -E '^(Done|stat::)' "$log" || tail -n 20 "$log"
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rows+=("$target|${executed:-?}|${seconds} s|$result")
done

echo
echo "| target | executions | time | result |"
echo "|---|---|---|---|"
for row in "${rows[@]}"; do
  IFS='|' read -r target executed seconds result <<<"$row"
  echo "| \`$target\` | $executed | $seconds | $result |"
done
exit $status
