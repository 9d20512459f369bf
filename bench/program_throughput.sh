#!/usr/bin/env bash
# How close a programming run comes to the wire's limit: vkprog programs 48 KiB into a module
# simulated by vkdevsim, which paces the pseudo-terminal like a real 115200 bit/s line. From
# vkprog's --trace: the run's time from sending "L" to sending "G", against the wire's floor,
# every byte of that exchange in both directions at 10 bits each. The same for the AT89C51RD2
# boot loader, from its first data record to its closing command. Prints; asserts nothing.
# Usage: bench/program_throughput.sh [BUILD_DIR] [RUNS]   (defaults: build, $VK_BENCH_RUNS or 3)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-${VK_BENCH_RUNS:-3}}
vkprog=$build/bin/vkprog
devsim=$build/bin/vkdevsim
baud=115200

for program in "$vkprog" "$devsim"; do
  if [ ! -x "$program" ]; then
    echo "program_throughput: $program not found; build first (bench/run.sh does)"
    exit 1
  fi
done
if ! command -v srec_cat >/dev/null; then
  echo "program_throughput: srec_cat not installed (Debian package srecord; scripts/setup.sh)"
  exit 1
fi

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

# 48 KiB of random bytes at 0x1000-0xCFFF (an erased 128-byte block among them is unlikely
# enough not to matter), as an Intel HEX file and as a container for QRD14 (type 136).
head -c 49152 /dev/urandom >"$work/data.bin"
srec_cat "$work/data.bin" -binary -offset 0x1000 -o "$work/image.hex" -intel
"$vkprog" pack --body "$work/image.hex" --targets 88000000 "$work/image.vkf" >/dev/null

# Starts a simulator; sets sim_pid and port.
start_sim() {
  "$devsim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^PORT //p' "$work/sim.out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "program_throughput: vkdevsim $1 did not start: $(cat "$work/sim.err")"
  exit 1
}

# From a trace: the time between the first sent entry matching FROM and the first later sent
# entry matching TO, the bytes sent and received in between, and the ratio to the floor.
measure() {
  # The patterns go through the environment: awk -v would turn their "\\" into "\".
  FROM=$1 TO=$2 awk -v baud="$baud" '
    BEGIN { from = ENVIRON["FROM"]; to = ENVIRON["TO"] }
    function bytes(shown,   t) {
      if (shown ~ /^hex/) return (length(shown) - 3) / 3
      t = substr(shown, 2, length(shown) - 2)
      gsub(/\\x[0-9A-F][0-9A-F]/, "#", t)
      gsub(/\\./, "#", t)
      return length(t)
    }
    /^#/ { next }
    $2 != "tx" && $2 != "rx" { next }
    {
      shown = $0
      sub(/^ *[0-9.]+ (tx|rx)  @[0-9]+ /, "", shown)
      if (start == "" && $2 == "tx" && shown ~ from) start = $1
      if (start == "") next
      if (end == "" && $2 == "tx" && shown ~ to) { end = $1; next }
      if (end != "") next
      if ($2 == "tx") sent += bytes(shown); else got += bytes(shown)
    }
    END {
      if (start == "" || end == "") { print "incomplete"; exit }
      floor = (sent + got) * 10 / baud
      busier = (sent > got ? sent : got) * 10 / baud
      printf "%.3f %d %d %.3f %.3f %.3f\n", end - start, sent, got, floor, (end - start) / floor,
        (end - start) / busier
    }' "$3"
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

report() { # name, figures of each run
  local name=$1
  shift
  echo "$name"
  local ratios=() busier=()
  for figures in "$@"; do
    read -r span sent got floor ratio ratio2 <<<"$figures"
    printf "  run: %7.3f s; %d bytes out, %d in; wire floor %7.3f s; ratio %.3f\n" \
      "$span" "$sent" "$got" "$floor" "$ratio"
    ratios+=("$ratio")
    busier+=("$ratio2")
  done
  printf "  ratio, median of %d: %s   (goal <= 1.3)\n" "${#ratios[@]}" "$(median "${ratios[@]}")"
  busier_median=$(median "${busier[@]}")
}

echo "programming 48 KiB (0x1000-0xCFFF) at $baud bit/s, the simulator pacing the line; $runs run(s) each"

figures=()
for _ in $(seq "$runs"); do
  start_sim backplane --module 7:136 --pace
  "$vkprog" program --port "$port" --target QRD14 --address 7 --quiet \
    --trace "$work/trace.txt" "$work/image.vkf" >"$work/out.txt" 2>&1 ||
    { echo "program_throughput: the backplane run failed:"; cat "$work/out.txt"; exit 1; }
  stop_sim
  f=$(measure '^"L\\r"$' '^"G\\r"$' "$work/trace.txt")
  [ "$f" = incomplete ] && { echo "program_throughput: no L ... G in the trace"; exit 1; }
  figures+=("$f")
done
report "backplane module (QRD14 #7), from \"L\" to \"G\":" "${figures[@]}"

if "$devsim" --help | grep -q '^  isp8051 '; then
  figures=()
  for _ in $(seq "$runs"); do
    start_sim isp8051 --variant at89 --pace
    "$vkprog" program --port "$port" --target AT89C51RD2 --speed "$baud" --quiet \
      --trace "$work/trace.txt" "$work/image.hex" >"$work/out.txt" 2>&1 ||
      { echo "program_throughput: the AT89C51RD2 run failed:"; cat "$work/out.txt"; exit 1; }
    stop_sim
    f=$(measure '^":[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]00' '^":03000003' "$work/trace.txt")
    [ "$f" = incomplete ] && { echo "program_throughput: no records in the trace"; exit 1; }
    figures+=("$f")
  done
  report "AT89C51RD2 boot loader, from the first data record to the closing command:" \
    "${figures[@]}"
  echo "  The loader echoes every byte as it comes: the two directions overlap on the wire, so"
  echo "  the floor above counts most bytes twice. Against the busier direction alone the ratio"
  echo "  is $busier_median (median)."
else
  echo "AT89C51RD2: this vkdevsim has no isp8051 device; skipped"
fi
