#!/usr/bin/env bash
# Whole-process conversion of a 64 KiB Intel HEX file (random data) to S-records:
# `vkprog convert` against `srec_cat` doing the same, in alternating pairs (the one that goes
# first changes every pair). Prints the median times and their ratio; asserts nothing.
# Usage: bench/convert_vs_srec_cat.sh [BUILD_DIR] [PAIRS]   (defaults: build, $VK_BENCH_PAIRS or 200)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build}
pairs=${2:-${VK_BENCH_PAIRS:-200}}
vkprog=$build/bin/vkprog

if [ ! -x "$vkprog" ]; then
  echo "convert_vs_srec_cat: $vkprog not found; build first (bench/run.sh does)"
  exit 1
fi
if ! command -v srec_cat >/dev/null; then
  echo "convert_vs_srec_cat: srec_cat not installed (Debian package srecord; scripts/setup.sh)"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 65536 /dev/urandom >"$work/data.bin"
# An ordinary Intel HEX file: 32 data bytes per record, as srec_cat writes it by default.
srec_cat "$work/data.bin" -binary -o "$work/in.hex" -intel

run_vkprog() { "$vkprog" convert "$work/in.hex" "$work/out_vkprog.s19" >/dev/null; }
run_srec_cat() { srec_cat "$work/in.hex" -intel -o "$work/out_srec_cat.s19" -motorola; }

# Both must have written the same bytes at the same addresses, or the race means nothing.
run_vkprog
run_srec_cat
for who in vkprog srec_cat; do
  # (srec_cat notes that its own output has no start address record: not a fault here.)
  srec_cat "$work/out_$who.s19" -motorola -o "$work/back_$who.bin" -binary 2>/dev/null
done
if ! cmp -s "$work/back_vkprog.bin" "$work/data.bin" || ! cmp -s "$work/back_srec_cat.bin" "$work/data.bin"; then
  echo "convert_vs_srec_cat: WARNING: the two outputs do not hold the same data"
fi

# Microseconds of one run, fork and exec included (the same for both).
time_us() {
  local t0 t1
  t0=$EPOCHREALTIME
  "$@"
  t1=$EPOCHREALTIME
  echo $((${t1/./} - ${t0/./}))
}

vk_times=()
sc_times=()
for ((i = 0; i < pairs; i++)); do
  if ((i % 2 == 0)); then
    vk_times+=("$(time_us run_vkprog)")
    sc_times+=("$(time_us run_srec_cat)")
  else
    sc_times+=("$(time_us run_srec_cat)")
    vk_times+=("$(time_us run_vkprog)")
  fi
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {
  if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
minimum() { printf '%s\n' "$@" | sort -n | head -n 1; }

vk_med=$(median "${vk_times[@]}")
sc_med=$(median "${sc_times[@]}")
in_size=$(wc -c <"$work/in.hex")
echo "convert 64 KiB Intel HEX ($in_size bytes of records) to S-records, $pairs alternating pairs"
printf '  %-9s median %8.2f ms   min %8.2f ms\n' vkprog "$(awk -v t="$vk_med" 'BEGIN {print t / 1000}')" \
  "$(awk -v t="$(minimum "${vk_times[@]}")" 'BEGIN {print t / 1000}')"
printf '  %-9s median %8.2f ms   min %8.2f ms\n' srec_cat "$(awk -v t="$sc_med" 'BEGIN {print t / 1000}')" \
  "$(awk -v t="$(minimum "${sc_times[@]}")" 'BEGIN {print t / 1000}')"
awk -v a="$vk_med" -v b="$sc_med" 'BEGIN {printf "  ratio vkprog/srec_cat (medians): %.3f   (goal <= 1.0)\n", a / b}'
