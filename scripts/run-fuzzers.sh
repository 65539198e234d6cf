#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build for the given number of seconds,
# starting from the seed corpus in tests/fuzz/corpus/<harness>/ (the seeds are
# replayed first; new inputs go to a scratch folder so the repository stays clean).
# Usage: run-fuzzers.sh <fuzz build folder> <seconds per harness> [harness name filter]
set -euo pipefail
build=${1:?fuzz build folder}
seconds=${2:?seconds per harness}
filter=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
passed=0
failed=0
for harness in "$build"/tests/fuzz/fuzz_*; do
  [ -f "$harness" ] && [ -x "$harness" ] || continue
  name=$(basename "$harness")
  if [ -n "$filter" ] && [[ "$name" != *"$filter"* ]]; then continue; fi
  seeds="$root/tests/fuzz/corpus/$name"
  mkdir -p "$scratch/$name" "$scratch/$name-artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$scratch/$name-artifacts/")
  [ -f "$root/tests/fuzz/$name.dict" ] && args+=(-dict="$root/tests/fuzz/$name.dict")
  dirs=("$scratch/$name")
  [ -d "$seeds" ] && dirs+=("$seeds")
  echo "== $name: ${seconds}s"
  if ! "$harness" "${args[@]}" "${dirs[@]}" >"$scratch/$name.log" 2>&1; then
    echo "FAILED: $name"; tail -n 60 "$scratch/$name.log"
    mkdir -p "$root/$build/fuzz-findings" && cp -r "$scratch/$name-artifacts/." "$root/$build/fuzz-findings/" 2>/dev/null || true
    status=1
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$scratch/$name.log" | tail -n 2
  fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status
