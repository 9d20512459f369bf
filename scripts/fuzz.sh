#!/usr/bin/env bash
# Runs every fuzzer of a build for a bounded time on its corpus in fuzz/corpus/NAME, as many at
# once as the machine has cores.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
seconds=${2:-30}
jobs=$(nproc 2>/dev/null || echo 2)
shopt -s nullglob
fuzzers=("$build"/bin/fuzz_*)
[ ${#fuzzers[@]} -gt 0 ] || { echo "no fuzzers in $build/bin"; exit 0; }
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# One fuzzer; its summary (and, when it failed, the end of its output) goes to its log, which is
# printed whole when it ends so that the fuzzers' lines do not interleave.
fuzz_one() {
  local f=$1 name corpus work artifacts status=0
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  # Crash inputs go beside the build, not into the working tree.
  artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$artifacts"
  "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" >"$logs/$name.out" 2>&1 || status=$?
  {
    echo "-- $name for ${seconds}s"
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$logs/$name.out" || true
    if [ "$status" -ne 0 ]; then
      tail -n 60 "$logs/$name.out"
      echo "$name failed (exit $status)"
    fi
  } >"$logs/$name.summary"
  rm -rf "$work"
  return "$status"
}

failed=0
running=0
for f in "${fuzzers[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  fuzz_one "$f" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
cat "$logs"/*.summary
exit "$failed"
