#!/usr/bin/env bash
# The window's responsiveness through a whole H8 run (boot kernel included): runs
# BUILD_DIR/bin/window_gap against vkdevsim, with a generated 1,024-byte kernel and a 4 KiB
# image. Prints the longest gap between two turns of the window's event loop; asserts nothing.
# Usage: bench/window_gap.sh [BUILD_DIR]   (default: build)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build}
for program in "$build/bin/window_gap" "$build/bin/vkdevsim"; do
  if [ ! -x "$program" ]; then
    echo "window_gap: $program not found; build first (bench/run.sh does)"
    exit 1
  fi
done
if ! command -v srec_cat >/dev/null; then
  echo "window_gap: srec_cat not installed (Debian package srecord; scripts/setup.sh)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/kernels"
head -c 1024 /dev/urandom >"$work/kernel.bin"
srec_cat "$work/kernel.bin" -binary -offset 0xF780 -o "$work/kernels/kernelB.a20" -motorola
head -c 4096 /dev/urandom >"$work/data.bin"
srec_cat "$work/data.bin" -binary -o "$work/image.hex" -intel
unset VKPROG_SLEEP_PERCENT VK_SERIAL_PORTS
VK_SETTINGS_FILE=$work/settings.ini VKPROG_KERNEL_DIR=$work/kernels \
  "$build/bin/window_gap" "$build/bin/vkdevsim" "$work/image.hex"
