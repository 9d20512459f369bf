#!/usr/bin/env bash
# The Windows build, proven under Wine: cross-builds vkprog.exe and the test programs that need
# neither Qt nor pseudo-terminals with MinGW-w64 (build-win), then in a Wine prefix copied for the
# run into a temporary folder from one made once per machine
#   1. runs those test programs (image, link, protocols, run controller, Windows platform layer),
#      with a COM port whose far end echoes for the serial device's test;
#   2. compares vkprog.exe's info, convert and pack with Linux vkprog's, byte for byte;
#   3. programs simulated devices (Linux vkdevsim) through COM7, which Wine maps to vkdevsim's
#      pseudo-terminal: the backplane unit and the AT89C51RD2 boot loader, each ending
#      "Programmed OK"; and checks that choosing PCAN without PEAK's library says so.
# Usage: scripts/test-windows.sh [LINUX_BUILD_DIR]   (default build: vkprog and vkdevsim there)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=$(cd "${1:-build}" && pwd)
win=$(mkdir -p "${VK_WIN_BUILD:-build-win}" && cd "${VK_WIN_BUILD:-build-win}" && pwd)
started=$(date +%s)
step() { echo "== windows: $* ($(($(date +%s) - started)) s)"; }

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64 # Debian keeps wine64's loader off PATH
[ -x "$wine" ] || { echo "test-windows: wine64 is not installed (scripts/setup.sh)"; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
for p in "$linux/bin/vkprog" "$linux/bin/vkdevsim"; do
  [ -x "$p" ] || { echo "test-windows: $p is missing; build the Linux programs first"; exit 1; }
done
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

step "cross build (MinGW-w64)"
cmake -S . -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
cmake --build "$win" -j"$(nproc 2>/dev/null || echo 2)"

tmp=$(mktemp -d)
pids=()
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEARCH=win64 DISPLAY=
# No Mono or Gecko installers, no menu entries: nothing that would ask for a window.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

step "Wine prefix"
# Made once per machine and Wine version, kept in the user's cache; each run takes a copy made of
# hard links, except the registry files, which Wine rewrites in place and so are copied whole.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vkprogrammer
kept="$cache/wine-prefix-$("$wine" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)"
if [ ! -f "$kept/system.reg" ]; then
  mkdir -p "$cache"
  rm -rf "$kept.new"
  WINEPREFIX="$kept.new" "$wine" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX="$kept.new" "$wineserver" -w || true
  [ -f "$kept.new/system.reg" ] && mv -T "$kept.new" "$kept"
fi
if [ -f "$kept/system.reg" ]; then
  cp -al "$kept" "$WINEPREFIX" 2>/dev/null || cp -a "$kept" "$WINEPREFIX"
  for r in "$kept"/*.reg; do cp --remove-destination "$r" "$WINEPREFIX/"; done
else
  "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# COM7: the simulated device's terminal (a link vkdevsim makes); COM8: a line that echoes.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$tmp/com7" /f >/dev/null
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM8 /d "$tmp/com8" /f >/dev/null
"$wineserver" -k || true # the ports are read when the server starts
"$wineserver" -w || true
# One server for the whole run, started here with its output discarded: a server that a test
# program starts inherits the script's stderr and, when it ends, lists every object it held
# (some ten thousand lines that would bury the results).
"$wineserver" -p >/dev/null 2>&1 || true

socat PTY,raw,echo=0,link="$tmp/com8" EXEC:cat &
pids+=($!)
for _ in $(seq 50); do [ -e "$tmp/com8" ] && break; sleep 0.1; done

step "unit tests under Wine"
failed=0
for t in platform_tests image_tests link_tests cpu_tests programmer_tests; do
  if VKTEST_ECHO_PORT=8 "$wine" "$win/bin/$t.exe" --gtest_brief=1 >"$tmp/$t.log" 2>&1; then
    echo "$t: $(grep -E '^\[  PASSED' "$tmp/$t.log" | sed 's/\[  PASSED  \] //')"
  else
    echo "$t: FAILED"
    cat "$tmp/$t.log"
    failed=1
  fi
done
[ "$failed" = 0 ] || exit 1

step "vkprog.exe file commands against Linux vkprog"
d="$tmp/files"
mkdir -p "$d/lin" "$d/win"
# 1 KiB of counting bytes at 0x1000, as Intel HEX.
awk 'BEGIN {
  for (a = 4096; a < 5120; a += 16) {
    line = sprintf(":10%04X00", a); sum = 16 + int(a / 256) + a % 256
    for (i = 0; i < 16; i++) { b = (a + i) % 256; sum += b; line = line sprintf("%02X", b) }
    printf "%s%02X\n", line, (256 - sum % 256) % 256
  }
  print ":00000001FF"
}' >"$d/app.hex"
vk_lin() { (cd "$d/lin" && "$linux/bin/vkprog" "$@"); }
vk_win() { (cd "$d/win" && "$wine" "$win/bin/vkprog.exe" "$@"); }
for side in lin win; do
  run=vk_$side
  $run pack --body ../app.hex --targets 88000000 --message "QRD14 release 3" qrd14.vkf >"$d/$side/pack.out"
  $run convert --target QRD14 ../app.hex app.a20 >"$d/$side/convert.out"
  $run info qrd14.vkf >"$d/$side/info.out"
  $run info ../app.hex >"$d/$side/info-hex.out"
done
for f in qrd14.vkf app.a20 pack.out convert.out info.out info-hex.out; do
  cmp "$d/lin/$f" "$d/win/$f" || { echo "vkprog.exe: $f differs from Linux vkprog's"; exit 1; }
  echo "identical: $f ($(wc -c <"$d/lin/$f") bytes)"
done

step "vkprog.exe program through COM7 against vkdevsim"
# program NAME SIM_ARGS -- VKPROG_ARGS: one run; the simulator ends when vkprog.exe hangs up.
program() {
  local name=$1
  shift
  local sim=()
  while [ "$1" != "--" ]; do sim+=("$1"); shift; done
  shift
  rm -f "$tmp/com7"
  "$linux/bin/vkdevsim" "${sim[@]}" --no-pace --link "$tmp/com7" --exit-after 120 \
    >"$tmp/$name.sim" 2>&1 &
  local sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 50); do [ -e "$tmp/com7" ] && break; sleep 0.1; done
  local t0 rc=0
  t0=$(date +%s.%N)
  (cd "$d" && VKPROG_SLEEP_PERCENT=10 "$wine" "$win/bin/vkprog.exe" program --port COM7 \
    --quiet --timeout 60 "$@") >"$tmp/$name.out" 2>&1 || rc=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  printf '%s: exit %s in %.1f s: %s\n' "$name" "$rc" "$(echo "$(date +%s.%N) - $t0" | bc)" \
    "$(grep -a '#[0-9]* Programmed OK' "$tmp/$name.out" | head -1 | tr -d '\r')"
  if [ "$rc" != 0 ] || ! grep -aq 'Programmed OK' "$tmp/$name.out"; then
    cat "$tmp/$name.out" "$tmp/$name.sim"
    exit 1
  fi
}
program backplane backplane --module 7:136 -- --target QRD14 --address 7 win/qrd14.vkf
program at89c51rd2 isp8051 --variant at89 -- --target AT89C51RD2 app.hex

rc=0
(cd "$d" && "$wine" "$win/bin/vkprog.exe" program --port PCAN --target "QX4T - PCAN" \
  app.hex) >"$tmp/pcan.out" 2>&1 || rc=$?
echo "PCAN without PEAK's library: exit $rc: $(head -1 "$tmp/pcan.out" | tr -d '\r')"
if [ "$rc" = 0 ] || ! grep -q 'PCANBasic.dll' "$tmp/pcan.out"; then exit 1; fi

step "all Windows tests passed"
