#!/usr/bin/env bash
# Sets up a fresh machine, builds, and shows the program at work on a real firmware image:
# a small 8051 program built with sdcc is wrapped into a V&K container, inspected, converted
# and listed with vkprog.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" --target vkprog

vkprog=build/bin/vkprog
demo=build/demo
mkdir -p "$demo"
body=tests/data/sdcc/blink.ihx

echo "== the target catalogue"
"$vkprog" targets
echo
echo "== a container for QRD14 (type 136) around $body"
"$vkprog" pack --body "$body" --targets 88000000 --message "Demo firmware for QRD14" "$demo/demo.vkf"
"$vkprog" info "$demo/demo.vkf"
echo
echo "== saved as S-records, prepared for QRD14 (jump table and checksum word)"
"$vkprog" convert --target QRD14 "$demo/demo.vkf" "$demo/demo.a20"
"$vkprog" info "$demo/demo.a20"
echo
echo "== the first lines of the buffer listing"
"$vkprog" dump "$demo/demo.a20" | head -n 8
