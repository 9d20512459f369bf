#!/usr/bin/env bash
# Runs every fuzzer of a build for a bounded time on its corpus in fuzz/corpus/NAME.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
seconds=${2:-30}
shopt -s nullglob
found=0
for f in "$build"/bin/fuzz_*; do
  found=1
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name for ${seconds}s"
  log=$(mktemp)
  status=0
  # Crash inputs go beside the build, not into the working tree.
  artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$artifacts"
  "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$log" || true
  [ "$status" -eq 0 ] || tail -n 60 "$log"
  rm -f "$log"
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$name failed (exit $status)"; exit 1
  fi
done
[ "$found" -eq 1 ] || echo "no fuzzers in $build/bin"
