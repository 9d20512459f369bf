#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test: the unit and end-to-end suites, the
# Debian package (lintian, then installed into a scratch root and used), the same suites under
# AddressSanitizer and UndefinedBehaviorSanitizer, each fuzzer for a bounded time
# (VK_FUZZ_SECONDS, default 30), and the link and platform tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (release)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"

echo "== tests (release)"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Debian package: built from the release build, lintian, installed into a scratch root"
bash scripts/package-deb.sh build
bash tests/package/install_test.sh

echo "== Windows build, tests under Wine"
bash scripts/test-windows.sh build

echo "== build (clang, address + undefined sanitizers, fuzzers)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVK_SANITIZE=address,undefined -DVK_BUILD_FUZZ=ON -DVK_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzzers"
bash scripts/fuzz.sh build-asan "${VK_FUZZ_SECONDS:-30}"

echo "== build (clang, thread sanitizer, link and platform tests only)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVK_SANITIZE=thread -DVK_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target link_tests platform_tests

echo "== tests (thread sanitizer: the serial worker and the tick thread)"
# Only the two test programs are built here; the others' placeholders are left out.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -E '_NOT_BUILT$'

echo "== all tests passed"
