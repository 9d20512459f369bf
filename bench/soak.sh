#!/usr/bin/env bash
# Soak: N module runs with vkprog against vkdevsim across the serial targets (the backplane
# unit, AT89C51RD2, QX4T - BOOT, the Cortex-M3 check and, one run in ten, H8/3664 with its
# kernel), each with a small random image and, most of the time, one trouble drawn at random:
# line noise, a stall, the adapter pulled out, or one of vkdevsim's scripted faults. After each
# run the device's flash (--flash-out) is compared with the image: a run vkprog reports as
# programmed whose flash differs is a false success. The Cortex-M3 check writes nothing; its
# false success is "blank" for a memory the simulator was told holds data in the checked range.
# Last line: "N runs, K programmed, F false successes, ..." with the failures by reason and the
# mean time per run. Prints; the exit code is 1 when there was a false success.
# Usage: bash bench/soak.sh [BUILD_DIR] [N] [SEED]   (defaults: build, 100, the time)
# VK_SOAK_JOBS=J runs J modules side by side, each on its own simulator (default 4: the runs
# mostly wait on the protocols' own limits); VK_SOAK_VERBOSE=1 prints a line per run. The mean
# time per run is each run's own wall time.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-100}
seed=${3:-$(date +%s)}
vkprog=$build/bin/vkprog
devsim=$build/bin/vkdevsim
for program in "$vkprog" "$devsim"; do
  if [ ! -x "$program" ]; then
    echo "soak: $program not found; build first (cmake --build $build --target vkprog vkdevsim)"
    exit 1
  fi
done
command -v srec_cat >/dev/null || { echo "soak: srec_cat not installed (package srecord)"; exit 1; }
command -v jq >/dev/null || { echo "soak: jq not installed"; exit 1; }

jobs=${VK_SOAK_JOBS:-4}
top=$(mktemp -d)
# The simulators are the runs' own children: ended by their process ids, which each run keeps in
# $top/sims while its simulator lives, so that an interrupted soak leaves none running.
mkdir -p "$top/sims"
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  for pid_file in "$top"/sims/*; do
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null
  done
  wait
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$top
export VK_SETTINGS_FILE=$work/settings.ini
export VKPROG_KERNEL_DIR=$work/kernels
unset VKPROG_SLEEP_PERCENT VK_SERIAL_PORTS # the protocols' own waits, in full

# The H8/3664's kernel: 1,024 bytes at 0xF780 that look like code.
mkdir -p "$work/kernels"
head -c 1024 /dev/urandom | tr '\377' '\376' >"$work/kernel.bin"
srec_cat "$work/kernel.bin" -binary -offset 0xF780 -o "$work/kernels/kernelB.a20" -motorola

# A random image of 1 to 4 blocks of 128 bytes at 128-aligned places from $1 within $2 blocks;
# leaves image.hex and the list of blocks (address) in blocks.txt, the bytes in block_ADDR.bin.
make_image() {
  local from=$1 slots=$2 n=$((RANDOM % 4 + 1)) args=()
  : >"$work/blocks.txt"
  rm -f "$work"/block_*.bin
  for _ in $(seq "$n"); do
    local at=$((from + 128 * (RANDOM % slots)))
    [ -f "$work/block_$at.bin" ] && continue
    head -c 128 /dev/urandom >"$work/block_$at.bin"
    echo "$at" >>"$work/blocks.txt"
    args+=("$work/block_$at.bin" -binary -offset "$at")
  done
  srec_cat "${args[@]}" -o "$work/image.hex" -intel -obs=16 2>/dev/null
}

# Every block of the image at its place in the flash file.
flash_holds_image() {
  local flash=$1 at
  [ -s "$flash" ] || return 1
  while read -r at; do
    cmp -s -n 128 -i "0:$at" "$work/block_$at.bin" "$flash" || return 1
  done <"$work/blocks.txt"
}

# One trouble for the run, as vkdevsim options; none one time in five.
trouble() {
  local kind=$((RANDOM % 10)) n=$((RANDOM % 4 + 1))
  case $kind in
  0 | 1) ;;
  2) echo "--noise 0.0$((RANDOM % 3 + 1)) --noise-seed $RANDOM" ;;
  3) echo "--stall $((RANDOM % 7000))@$n" ;;
  4) echo "--unplug-after $n" ;;
  5) echo "--fault record:$n=X" ;;
  6) echo "--fault record:$n=$(((RANDOM % 2)) && echo E || echo R)" ;;
  7) echo "--fault record:$n=silent" ;;
  8) echo "--fault record:$n=garbage" ;;
  9) echo "--fault after-records:$n=hangup" ;;
  esac
}

# One run in its own folder; appends "KIND|DETAIL|MS" to $top/results: KIND programmed,
# checked, false or failed.
run_one() {
  local i=$1 work=$top/run$1 sim_pid="" port="" status=0 start result reason said
  RANDOM=$((seed + 7919 * i))
  mkdir -p "$work"
  export VK_SETTINGS_FILE=$work/settings.ini
  local pick=$((RANDOM % 10)) extra flash=$work/flash.bin cortex_data="" target address sim
  # A chip wired straight to the port (the simulator's pseudo-terminal) takes no "OP n".
  local wiring=()
  extra=$(trouble)
  case $pick in
  0 | 1 | 2)
    target=QRG19 address=7
    make_image 0x1000 32
    # The unit's type 145 (0x91) in the container's targets, as a production file carries it.
    "$vkprog" pack --body "$work/image.hex" --targets 91000000 "$work/image.vkf" >/dev/null
    sim=(backplane --module 7:145 --erase-ms 200 --flash-out "$flash")
    ;;
  3 | 4 | 5)
    target=AT89C51RD2 address=0
    make_image 0x0000 64
    sim=(isp8051 --flash-out "$flash")
    ;;
  6 | 7)
    target="QX4T - BOOT" address=0
    make_image 0x0000 64
    sim=(qx4t-boot --erase-ms 200 --flash-out "$flash")
    ;;
  8)
    target=Cortex-M3 address=0 wiring=(--direct)
    make_image 0x0000 4
    sim=(cortex)
    if ((RANDOM % 2)); then
      cortex_data=$((256 * (RANDOM % 40)))
      sim+=(--not-blank-from "$cortex_data")
    fi
    ;;
  9)
    target=H8/3664 address=0
    make_image 0x0000 64
    sim=(h8 --flash-out "$flash")
    ;;
  esac
  local file=$work/image.hex
  [ -f "$work/image.vkf" ] && file=$work/image.vkf
  # shellcheck disable=SC2206
  sim+=(--no-pace $extra)
  "$devsim" "${sim[@]}" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  echo "$sim_pid" >"$top/sims/$i"
  for _ in $(seq 250); do
    port=$(sed -n 's/^PORT //p' "$work/sim.out" 2>/dev/null)
    [ -n "$port" ] && break
    sleep 0.02
  done
  if [ -z "$port" ]; then
    echo "failed|vkdevsim did not start: $(head -c 200 "$work/sim.err")|0" >>"$top/results"
    kill "$sim_pid" 2>/dev/null || true
    rm -f "$top/sims/$i"
    return
  fi
  start=$(date +%s%N)
  "$vkprog" program --port "$port" --target "$target" --address "$address" --quiet "${wiring[@]}" \
    --timeout 600 --report "$work/report.jsonl" "$file" >"$work/out.txt" 2>&1 || status=$?
  local ms=$((($(date +%s%N) - start) / 1000000))
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$top/sims/$i"
  result=$(jq -r '.result' "$work/report.jsonl" 2>/dev/null | tail -n 1)
  # The reason without what differs from run to run: addresses, ports, device paths.
  reason=$(jq -r '.reason // "none"' "$work/report.jsonl" 2>/dev/null | tail -n 1 |
    sed -E 's/ at 0x[0-9A-Fa-f]+//g; s/COM[0-9]+ \([^)]*\): //; s/"OP [0-9]+"/"OP n"/')
  said=$(tail -n 1 "$work/out.txt")
  [ -n "${VK_SOAK_VERBOSE:-}" ] &&
    echo "run $i: $target, vkdevsim ${sim[*]}: $result ($reason), exit $status, $ms ms: $said"
  local kind=failed detail=$reason
  case $result in
  programmed)
    if [ "$status" -ne 0 ]; then
      detail="exit $status after programmed"
    elif flash_holds_image "$flash"; then
      kind=programmed
    else
      kind=false detail="$target, vkdevsim ${sim[*]}: $said"
      cp "$work/image.hex" "${TMPDIR:-/tmp}/soak-false-success-$seed-$i.hex" 2>/dev/null || true
    fi
    ;;
  blank | "not blank" | not_blank | checked)
    kind=checked
    if [ -n "$cortex_data" ] && [ "$cortex_data" -lt 8448 ] && [ "$result" = blank ]; then
      kind=false detail="$target blank, but data from $cortex_data: $said"
    fi
    ;;
  "") detail="no report line (exit $status): $said" ;;
  esac
  echo "$kind|$detail|$ms" >>"$top/results"
  rm -rf "$work"
}

: >"$top/results"
for i in $(seq "$runs"); do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.05; done
  run_one "$i" &
  if ((i % 50 == 0)); then
    echo "soak: $i of $runs runs started, $(grep -c '^programmed' "$top/results") programmed," \
      "$(grep -c '^false' "$top/results") false successes"
  fi
done
wait

programmed=$(grep -c '^programmed|' "$top/results" || true)
checked=$(grep -c '^checked|' "$top/results" || true)
false_success=$(grep -c '^false|' "$top/results" || true)
grep '^false|' "$top/results" | cut -d'|' -f2 | sed 's/^/FALSE SUCCESS: /' || true
failures=$(grep '^failed|' "$top/results" | cut -d'|' -f2 | sort | uniq -c | sort -rn |
  awk '{ n = $1; $1 = ""; printf ", %d%s", n, $0 }' || true)
mean=$(awk -F'|' '{ t += $3 } END { printf "%.2f", NR ? t / NR / 1000 : 0 }' "$top/results")
echo "$runs runs, $programmed programmed, $false_success false successes, $checked checked (nothing written)${failures}; mean ${mean} s per run (seed $seed, $jobs side by side)"
[ "$false_success" -eq 0 ]
