#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test: the unit and end-to-end suites, the
# same suites under AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzzer for a
# bounded time (VK_FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (release)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"

echo "== tests (release)"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build (clang, address + undefined sanitizers, fuzzers)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVK_SANITIZE=address,undefined -DVK_BUILD_FUZZ=ON -DVK_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzzers"
bash scripts/fuzz.sh build-asan "${VK_FUZZ_SECONDS:-30}"

echo "== all tests passed"
