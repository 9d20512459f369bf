#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test: the release programs, the Debian package
# made from them (lintian, then installed into a scratch root and used), the Windows build and its
# tests under Wine, the unit and end-to-end suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzzer for a bounded time (VK_FUZZ_SECONDS, default 20; as many
# at once as there are cores), and the link and platform tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)
# Each step's heading carries the minutes and seconds since the start, so a slow step shows.
step() { local t=$(($(date +%s) - started)); printf '== %s (%d:%02d)\n' "$*" $((t / 60)) $((t % 60)); }

# The compiler cache makes a second run on the same machine quick; a fresh machine fills it.
# Paths inside the clone are hashed relative to it, so another clone in another folder (each
# CI run has its own) finds what the last one compiled.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi

# The release build makes what ships and what the Windows step compares with; the suites run
# once, in the sanitizer build below, which checks more than a second plain run would.
step "build (release: the programs)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_TEST_HOOKS=OFF "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs" --target vkprog vkprogrammer vkdevsim

step "Debian package: built from the release build, lintian, installed into a scratch root"
bash scripts/package-deb.sh build
bash tests/package/install_test.sh

step "Windows build, tests under Wine"
bash scripts/test-windows.sh build

# The sanitizer builds: line tables are all a report's stack needs (full debug information made
# every compile and link slower), and lld links the many test and fuzz programs faster than ld.
clang_build=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)

step "build (clang, address + undefined sanitizers, fuzzers)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja "${clang_build[@]}" "${launcher[@]}" \
  -DVK_SANITIZE=address,undefined -DVK_BUILD_FUZZ=ON -DVK_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

step "tests (sanitizers)"
# Twice as many at once as there are cores: most of the suites' time is spent waiting on real
# lines (pseudo-terminals paced like a serial line, a device's answer), not computing.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j"$((jobs * 2))"

step "fuzzers"
bash scripts/fuzz.sh build-asan "${VK_FUZZ_SECONDS:-20}"

step "build (clang, thread sanitizer, link and platform tests only)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja "${clang_build[@]}" "${launcher[@]}" \
  -DVK_SANITIZE=thread -DVK_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target link_tests platform_tests

step "tests (thread sanitizer: the serial worker and the tick thread)"
# Only the two test programs are built here; the others' placeholders are left out.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -E '_NOT_BUILT$'

step "all tests passed"
