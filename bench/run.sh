#!/usr/bin/env bash
# Builds the Release tree and runs every benchmark in bench/: each Google Benchmark program
# (bench/bench_*.cpp, built as BUILD_DIR/bin/bench_*) and each whole-process script bench/*.sh
# other than this one, which gets the build folder as its first argument.
# Usage: bench/run.sh [BUILD_DIR]      (default: build)
# BENCH_ARGS passes options to every Google Benchmark program (e.g. --benchmark_filter=Read).
# Figures are printed, never checked: they depend on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build ($build, Release)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$jobs"

failed=()
shopt -s nullglob
for program in "$build"/bin/bench_*; do
  echo
  echo "== $(basename "$program")"
  # shellcheck disable=SC2086
  "$program" ${BENCH_ARGS:-} || failed+=("$(basename "$program")")
done
for script in bench/*.sh; do
  [ "$(basename "$script")" = run.sh ] && continue
  echo
  echo "== $(basename "$script")"
  bash "$script" "$build" || failed+=("$(basename "$script")")
done

if [ ${#failed[@]} -gt 0 ]; then
  echo
  echo "bench/run.sh: did not complete: ${failed[*]}"
  exit 1
fi
