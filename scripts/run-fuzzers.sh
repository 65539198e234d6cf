#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build for the given number of seconds,
# starting from the seed corpus in tests/fuzz/corpus/<harness>/ (the seeds are
# replayed first; new inputs go to a scratch folder so the repository stays clean).
# JOBS harnesses run at once (default 1), each on its own core.
# Usage: run-fuzzers.sh <fuzz build folder> <seconds per harness> [harness name filter] [jobs]
set -euo pipefail
build=${1:?fuzz build folder}
seconds=${2:?seconds per harness}
filter=${3:-}
jobs=${4:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One harness; its report is printed in one piece once it ends, and its
# status left in $scratch/<name>.status.
run_one() {
  local harness=$1 name seeds args dirs report
  name=$(basename "$harness")
  seeds="$root/tests/fuzz/corpus/$name"
  mkdir -p "$scratch/$name" "$scratch/$name-artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$scratch/$name-artifacts/")
  [ -f "$root/tests/fuzz/$name.dict" ] && args+=(-dict="$root/tests/fuzz/$name.dict")
  dirs=("$scratch/$name")
  [ -d "$seeds" ] && dirs+=("$seeds")
  if "$harness" "${args[@]}" "${dirs[@]}" >"$scratch/$name.log" 2>&1; then
    report=$(printf '== %s: %ss\n' "$name" "$seconds"; grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$scratch/$name.log" | tail -n 2 || true)
    echo 0 >"$scratch/$name.status"
  else
    report=$(printf '== %s: %ss\nFAILED: %s\n' "$name" "$seconds" "$name"; tail -n 60 "$scratch/$name.log")
    mkdir -p "$build/fuzz-findings" && cp -r "$scratch/$name-artifacts/." "$build/fuzz-findings/" 2>/dev/null || true
    echo 1 >"$scratch/$name.status"
  fi
  printf '%s\n' "$report"
}

names=()
for harness in "$build"/tests/fuzz/fuzz_*; do
  [ -f "$harness" ] && [ -x "$harness" ] || continue
  name=$(basename "$harness")
  if [ -n "$filter" ] && [[ "$name" != *"$filter"* ]]; then continue; fi
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$harness" &
  names+=("$name")
done
wait

passed=0
failed=0
for name in "${names[@]}"; do
  if [ "$(cat "$scratch/$name.status" 2>/dev/null)" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
