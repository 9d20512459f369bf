#!/usr/bin/env bash
# Sets up a fresh machine, builds, and shows the program at work without any hardware: vkdevsim
# plays the backplane programmer unit with two QRD14 modules (addresses 7 and 8, type 136) on a
# pseudo-terminal, and vkprog programs a demo firmware container into both, as the window's
# MultiProgram button does, printing the status line and the Programmer page's log.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" --target vkprog vkdevsim
if [ -n "${DISPLAY:-}" ]; then
  cmake --build build -j"$jobs" --target vkprogrammer ||
    echo "run.sh: the window did not build; the demo goes on without it"
fi

vkprog=build/bin/vkprog
vkdevsim=build/bin/vkdevsim
demo=build/demo
mkdir -p "$demo"
# An 8051 program linked at 0x1000: QRD14's region is 1000-7FFF.
body=tests/data/sdcc/blink-at-1000.ihx
# The demo neither reads nor changes the user's own settings.
export VK_SETTINGS_FILE=$demo/settings.ini

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "== a firmware container for QRD14 (type 136) around $body (an 8051 program built with sdcc)"
"$vkprog" pack --body "$body" --targets 88000000 --message "Demo firmware for QRD14" "$demo/demo.vkf"
"$vkprog" info "$demo/demo.vkf"
echo

echo "== the simulated programmer unit, modules 7 and 8 of type 136"
# Made before the simulator starts: the loop below may look before the background job has
# opened it.
: >"$demo/sim.out"
"$vkdevsim" backplane --module 7:136 --module 8:136 >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^PORT //p' "$demo/sim.out")
  [ -n "$port" ] && break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "run.sh: vkdevsim did not start:"
  cat "$demo/sim.err"
  exit 1
fi
echo "serving on $port"
if [ -n "${DISPLAY:-}" ] && [ -x build/bin/vkprogrammer ]; then
  cat <<EOF

A display is present: to try the window against a simulator of your own, start one with a
fixed name and give that name a COM number:

    $vkdevsim backplane --module 7:136 --module 8:136 --link /tmp/vk-backplane &
    VK_SERIAL_PORTS=COM1=/tmp/vk-backplane build/bin/vkprogrammer $demo/demo.vkf

(or VK_SERIAL_PORTS=COM1=$port while this demo's simulator runs). Choose COM1 on the
Target page, QRD14 in the tree, address 7 and press Program on the Programmer page.
EOF
fi
echo

echo "== vkprog program --range 7-8: MultiProgram, modules 7 and 8 in turn"
echo "   $vkprog program --port $port --target QRD14 --range 7-8 $demo/demo.vkf"
status=0
"$vkprog" program --port "$port" --target QRD14 --range 7-8 "$demo/demo.vkf" | tee "$demo/run.txt" ||
  status=$?
cleanup
sim_pid=""
echo
echo "== what the simulated unit went through"
grep -E '^(module|unit)' "$demo/sim.err" || true
echo
echo "== the Programmer page's log"
grep -E ' #[0-9]+ (Programmed OK|Erased OK|Failed)$' "$demo/run.txt"
exit "$status"
