#!/usr/bin/env bash
# How close a programming run comes to the wire's limit: vkprog programs 48 KiB into a module
# simulated by vkdevsim, which paces the pseudo-terminal like a real 115200 bit/s line. From
# vkprog's --trace: the run's time from sending "L" to sending "G", against the wire's floor,
# every byte of that exchange in both directions at 10 bits each. The same for the AT89C51RD2
# boot loader, the H8 kernel's records and the QX4T boot loader (from the first data record to
# the end), for the backplane behind a simulated USB adapter (latency timer 16 ms as a driver
# that refuses low latency leaves it, 1 ms as one that grants it), vkprog's share of a core
# (user + system time over wall time) and four runs side by side against one alone.
# Prints; asserts nothing.
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
# enough not to matter), as an Intel HEX file and as a container for QRG20 (type 146, whose region 1000-1FFFF holds it).
head -c 49152 /dev/urandom >"$work/data.bin"
srec_cat "$work/data.bin" -binary -offset 0x1000 -o "$work/image.hex" -intel
"$vkprog" pack --body "$work/image.hex" --targets 92000000 "$work/image.vkf" >/dev/null

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
measure() { # FROM TO TRACE [BAUD]
  # The patterns go through the environment: awk -v would turn their "\\" into "\".
  FROM=$1 TO=$2 awk -v baud="${4:-$baud}" '
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
  printf "  ratio, median of %d: %s   (goal <= 1.08)\n" "${#ratios[@]}" "$(median "${ratios[@]}")"
  busier_median=$(median "${busier[@]}")
}

echo "programming 48 KiB (0x1000-0xCFFF) at $baud bit/s, the simulator pacing the line; $runs run(s) each"

# One vkprog run with its times: sets wall, cpu (user + system seconds). Arguments: vkprog's.
timed_vkprog() {
  local TIMEFORMAT='%R %U %S' status=0
  { time "$vkprog" "$@" >"$work/out.txt" 2>&1; } 2>"$work/time.txt" || status=$?
  read -r wall user sys <"$work/time.txt"
  cpu=$(echo "$user + $sys" | bc -l)
  return "$status"
}

# $runs traced runs into figures: vkdevsim gets the array sim, vkprog program the array prog
# (after --port); FROM and TO match the sent entries that open and close the span measured, at
# BAUD (default $baud).
traced_runs() { # NAME FROM TO [BAUD]
  figures=()
  for _ in $(seq "$runs"); do
    start_sim "${sim[@]}"
    "$vkprog" program --port "$port" --quiet --trace "$work/trace.txt" "${prog[@]}" \
      >"$work/out.txt" 2>&1 ||
      { echo "program_throughput: the $1 run failed:"; cat "$work/out.txt"; exit 1; }
    stop_sim
    f=$(measure "$2" "$3" "$work/trace.txt" "${4:-$baud}")
    [ "$f" = incomplete ] && { echo "program_throughput: no $1 exchange in the trace"; exit 1; }
    figures+=("$f")
  done
}

# The backplane runs, with vkdevsim's link options given (none: a plain paced line).
backplane_runs() {
  sim=(backplane --module 7:146 --pace "$@")
  prog=(--target QRG20 --address 7 "$work/image.vkf")
  traced_runs backplane '^"L\\r"$' '^"G\\r"$'
}

backplane_runs
report "backplane module (QRG20 #7), from \"L\" to \"G\":" "${figures[@]}"

# vkprog's share of a core, on runs as a production line makes them (no trace).
shares=()
walls=()
for _ in $(seq "$runs"); do
  start_sim backplane --module 7:146 --pace
  timed_vkprog program --port "$port" --target QRG20 --address 7 --quiet "$work/image.vkf" ||
    { echo "program_throughput: the backplane run failed:"; cat "$work/out.txt"; exit 1; }
  stop_sim
  shares+=("$(echo "100 * $cpu / $wall" | bc -l)")
  walls+=("$wall")
done
single=$(median "${walls[@]}")
echo "vkprog's share of a core over a whole backplane run (user + system / wall), without --trace:"
printf "  runs: %s s; median %.2f %%   (goal < 1 %%)\n" "${walls[*]}" "$(median "${shares[@]}")"

for latency in 16 1; do
  backplane_runs --link "usb:$latency"
  if [ "$latency" = 16 ]; then
    what="behind a USB adapter whose driver refused low latency (latency timer 16 ms)"
  else
    what="behind a USB adapter whose driver granted low latency (latency timer 1 ms)"
  fi
  report "backplane module $what:" "${figures[@]}"
done

# Four units programmed at once, each by its own vkprog, against the run alone above.
pids=()
for unit in 1 2 3 4; do
  "$devsim" backplane --module 7:146 --pace >"$work/sim$unit.out" 2>"$work/sim$unit.err" &
  pids+=($!)
done
for unit in 1 2 3 4; do
  for _ in $(seq 100); do
    grep -q '^PORT ' "$work/sim$unit.out" && break
    sleep 0.05
  done
done
runners=()
for unit in 1 2 3 4; do
  p=$(sed -n 's/^PORT //p' "$work/sim$unit.out")
  (
    TIMEFORMAT='%R'
    { time "$vkprog" program --port "$p" --target QRG20 --address 7 --quiet \
      "$work/image.vkf" >"$work/out$unit.txt" 2>&1; } 2>"$work/wall$unit.txt"
  ) &
  runners+=($!)
done
wait "${runners[@]}" || true
kill "${pids[@]}" 2>/dev/null || true
wait "${pids[@]}" 2>/dev/null || true
parallel=()
for unit in 1 2 3 4; do
  grep -q "Programmed OK" "$work/out$unit.txt" ||
    { echo "program_throughput: parallel run $unit failed:"; cat "$work/out$unit.txt"; exit 1; }
  parallel+=("$(cat "$work/wall$unit.txt")")
done
mean=$(printf '%s\n' "${parallel[@]}" | awk '{s += $1} END {printf "%.3f", s / NR}')
echo "four backplane runs side by side:"
printf "  each: %s s; mean %.3f s against %.3f s alone: ratio %.3f   (goal <= 1.02)\n" \
  "${parallel[*]}" "$mean" "$single" "$(echo "$mean / $single" | bc -l)"

if "$devsim" --help | grep -q '^  isp8051 '; then
  sim=(isp8051 --variant at89 --record-ms 2 --pace)
  prog=(--target AT89C51RD2 --speed "$baud" "$work/image.hex")
  traced_runs AT89C51RD2 '^":[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]00' '^":03000003'
  report "AT89C51RD2 boot loader, from the first data record to the closing command:" \
    "${figures[@]}"
  echo "  The loader echoes every byte as it comes: the two directions overlap on the wire, so"
  echo "  the floor above counts most bytes twice. Against the busier direction alone the ratio"
  echo "  is $busier_median (median)."
  # The loader programs each record before it answers (vkdevsim --record-ms 2), a time of the
  # chip's, not of the line's.
  read -r span sent got _ _ _ <<<"${figures[0]}"
  records=$(grep -c 'tx  @[0-9]* ":' "$work/trace.txt")
  busier=$((sent > got ? sent : got))
  busier_floor=$(echo "$busier * 10 / $baud + $records * 0.002" | bc -l)
  printf "  Against the busier direction plus the loader's 2 ms of programming per record (%d x): %.3f\n" \
    "$records" "$(echo "$span / $busier_floor" | bc -l)"
else
  echo "AT89C51RD2: this vkdevsim has no isp8051 device; skipped"
fi

# The H8: a generated 1,024-byte kernel, then 24 KiB of records at 115200 bit/s, each answered
# by one byte.
mkdir -p "$work/kernels"
head -c 1024 /dev/urandom >"$work/kernel.bin"
srec_cat "$work/kernel.bin" -binary -offset 0xF780 -o "$work/kernels/kernelB.a20" -motorola
head -c 24576 /dev/urandom >"$work/h8.bin"
srec_cat "$work/h8.bin" -binary -o "$work/h8.hex" -intel
export VKPROG_KERNEL_DIR=$work/kernels
sim=(h8 --pace)
prog=(--target H8/3664 "$work/h8.hex")
traced_runs H8 '^":[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]00' '^":00000001FF'
report "H8/3664, the kernel's records (24 KiB), from the first data record to the end record:" \
  "${figures[@]}"

# The QX4T boot loader at 57600 bit/s; it asks for 100 ms before every record, a wait of the
# protocol that stays, so the floor is given both without and with those waits.
qx_baud=57600
sim=(qx4t-boot --pace)
prog=(--target "QX4T - BOOT" "$work/image.hex")
traced_runs "QX4T - BOOT" '^":[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]00' '^"GN\\r"$' "$qx_baud"
records=$(grep -c 'tx  @57600 ":' "$work/trace.txt")
report "QX4T - BOOT at $qx_baud bit/s, from the first data record to \"GN\":" "${figures[@]}"
read -r span sent got floor _ _ <<<"${figures[0]}"
# Every record, the end record included, waits 100 ms; "GN" waits 200 ms after the end.
with_waits=$(echo "$floor + $records * 0.1 + 0.2" | bc -l)
printf "  first run against the wire plus the loader's own waits (%d x 100 ms + 200 ms): %.3f\n" \
  "$records" "$(echo "$span / $with_waits" | bc -l)"

