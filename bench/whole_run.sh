#!/usr/bin/env bash
# Whole runs, every serial target side by side: vkprog programs a 4 KiB image into each device
# vkdevsim simulates (pacing its pseudo-terminal like a real line), from vkprog's start to its
# end, against the wire's floor of that run: the busier direction of the run's exchange, every
# byte at the rate it travelled at (10 bits, 11 with parity), from vkprog's --trace. The H8 run
# also sends a generated 1,024-byte kernel at 9600 bit/s first. Beside each, vkprog program
# --dry-run's "run time" estimate and its ratio to the run. Prints; asserts nothing.
# Usage: bench/whole_run.sh [BUILD_DIR] [RUNS]   (defaults: build, $VK_BENCH_RUNS or 3)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-${VK_BENCH_RUNS:-3}}
vkprog=$build/bin/vkprog
devsim=$build/bin/vkdevsim

for program in "$vkprog" "$devsim"; do
  [ -x "$program" ] || { echo "whole_run: $program not found; build first (bench/run.sh does)"; exit 1; }
done
command -v srec_cat >/dev/null ||
  { echo "whole_run: srec_cat not installed (Debian package srecord; scripts/setup.sh)"; exit 1; }

work=$(mktemp -d)
sim_pid=""
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap 'stop_sim; rm -rf "$work"' EXIT
export VK_SETTINGS_FILE=$work/settings.ini
unset VKPROG_SLEEP_PERCENT VK_SERIAL_PORTS # the protocols' own waits, in full

# 4 KiB of random bytes at 0x1000 (Intel HEX, and a container for QRD14, type 136); the same at
# 0 for the boot loaders; a random 1,024-byte kernel for the H8.
head -c 4096 /dev/urandom >"$work/data.bin"
srec_cat "$work/data.bin" -binary -offset 0x1000 -o "$work/image.hex" -intel
srec_cat "$work/data.bin" -binary -o "$work/image0.hex" -intel
"$vkprog" pack --body "$work/image.hex" --targets 88000000 "$work/image.vkf" >/dev/null
mkdir -p "$work/kernels"
head -c 1024 /dev/urandom >"$work/kernel.bin"
srec_cat "$work/kernel.bin" -binary -offset 0xF780 -o "$work/kernels/kernelB.a20" -motorola
export VKPROG_KERNEL_DIR=$work/kernels

start_sim() {
  "$devsim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^PORT //p' "$work/sim.out")
    [ -n "$port" ] && return 0
    grep -q '^CAN ' "$work/sim.out" && port=PCAN && return 0 # on the CAN bus
    sleep 0.05
  done
  echo "whole_run: vkdevsim $1 did not start: $(cat "$work/sim.err")"
  exit 1
}

# The floor of a traced run: each direction's bytes at the rate each entry went at; the busier.
floor_of() { # TRACE BITS
  awk -v bits="$2" '
    function bytes(shown,   t) {
      if (shown ~ /^hex/) return (length(shown) - 3) / 3
      t = substr(shown, 2, length(shown) - 2)
      gsub(/\\x[0-9A-F][0-9A-F]/, "#", t)
      gsub(/\\./, "#", t)
      return length(t)
    }
    /^#/ { next }
    $2 == "can" {
      # A standard CAN frame: 47 bits around its data bytes, bit stuffing left out.
      bitsOf = 47 + 8 * $8
      if ($3 == "tx") tx += bitsOf / substr($4, 2); else rx += bitsOf / substr($4, 2)
      next
    }
    $2 != "tx" && $2 != "rx" { next }
    {
      rate = substr($3, 2)
      shown = $0
      sub(/^ *[0-9.]+ (tx|rx)  @[0-9]+ /, "", shown)
      if ($2 == "tx") tx += bytes(shown) * bits / rate; else rx += bytes(shown) * bits / rate
    }
    END { printf "%.3f\n", (tx > rx ? tx : rx) }' "$1"
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf "%-12s %9s %9s %7s %10s %10s\n" target "run (s)" "floor (s)" ratio "dry run (s)" "run/dry"
# NAME BITS -- vkdevsim arguments -- vkprog program arguments
target() {
  local name=$1 bits=$2
  shift 2
  local sim=() prog=()
  while [ "$1" != -- ]; do sim+=("$1"); shift; done
  shift
  prog=("$@")
  local walls=() floors=()
  for _ in $(seq "$runs"); do
    for attempt in 1 2 3; do
      start_sim "${sim[@]}"
      local TIMEFORMAT='%R'
      { time "$vkprog" program --port "$port" --quiet --trace "$work/trace.txt" "${prog[@]}" \
        >"$work/out.txt" 2>&1; } 2>"$work/wall.txt" ||
        grep -q "nothing written" "$work/out.txt" || # a check-only target ends with exit 1
        # A pseudo-terminal that vanished before the run (another program's on a busy machine)
        # is tried again; anything else ends the bench.
        { grep -q "is not present" "$work/out.txt" && [ "$attempt" -lt 3 ] && { stop_sim; continue; }
          echo "whole_run: the $name run failed:"; cat "$work/out.txt" "$work/sim.err"; stop_sim; exit 1; }
      break
    done
    stop_sim
    walls+=("$(cat "$work/wall.txt")")
    floors+=("$(floor_of "$work/trace.txt" "$bits")")
  done
  start_sim "${sim[@]}"
  estimate=$("$vkprog" program --port "$port" --dry-run "${prog[@]}" 2>&1 |
    sed -n 's/^plan: run time about \([0-9.]*\) s.*/\1/p' || true)
  stop_sim
  local wall floor
  wall=$(median "${walls[@]}")
  floor=$(median "${floors[@]}")
  printf "%-12s %9.2f %9.2f %7.2f %10s %10s\n" "$name" "$wall" "$floor" \
    "$(echo "$wall / $floor" | bc -l)" "${estimate:--}" \
    "$([ -n "$estimate" ] && printf '%.2f' "$(echo "$wall / $estimate" | bc -l)" || echo -)"
}

target QRD14 10 backplane --module 7:136 --pace -- --target QRD14 --address 7 "$work/image.vkf"
target AT89C51RD2 10 isp8051 --variant at89 --record-ms 2 --pace -- \
  --target AT89C51RD2 --speed 115200 "$work/image0.hex"
target H8/3664 10 h8 --pace -- --target H8/3664 "$work/image0.hex"
# The same chip answering the first 0x00 of the rate match instead of the third: what the
# match's 520 ms between two 0x00 costs.
target "H8 (match 1)" 10 h8 --pace --match-zeros 1 -- --target H8/3664 "$work/image0.hex"
target "QX4T - BOOT" 10 qx4t-boot --pace -- --target "QX4T - BOOT" "$work/image0.hex"
target Cortex-M3 11 cortex --pace -- --direct --target Cortex-M3 "$work/image0.hex"
# ST's loader (no check byte behind the data read): erase, write, read back.
target "Cortex-M3 Flash" 11 cortex --pace --no-check-byte -- --direct --target "Cortex-M3 Flash" \
  "$work/image0.hex"
# QX4T - PCAN on a private virtual CAN bus of Qt's (the first process to use the port serves it).
bus="tcp://127.0.0.1:$((20000 + RANDOM % 20000))/can0"
target "QX4T - PCAN" 10 qx4t-can --interface "$bus" -- \
  --can "virtualcan:$bus" --target "QX4T - PCAN" "$work/image.hex"
echo "($runs run(s) each, medians; the floor is the busier direction of the whole exchange)"
