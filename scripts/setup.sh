#!/usr/bin/env bash
# Installs every system package the build, the tests, the fuzzers, the benchmarks, the demo and
# the Debian package need. Idempotent and non-interactive; runs apt-get only when something is
# missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-serialport-dev qt6-serialbus-dev qt6-base-dev-tools
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang llvm lld libclang-rt-14-dev
  srecord sdcc socat xvfb xauth imagemagick nlohmann-json3-dev
  fonts-dejavu-core
  g++-mingw-w64-x86-64-posix wine64 bc zip
  help2man lintian dpkg-dev fakeroot file bash-completion man-db desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
