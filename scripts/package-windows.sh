#!/usr/bin/env bash
# Makes the Windows release: build-win/vkprog-windows-VERSION.zip with vkprog.exe, the README's
# Windows section (as README-Windows.txt, CR LF) and the licence texts of what vkprog.exe
# carries (the MinGW-w64 runtime and GCC's libraries, linked in statically).
# Usage: scripts/package-windows.sh [BUILD_DIR]   (default build-win; built when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
win=${1:-build-win}
if [ ! -x "$win/bin/vkprog.exe" ]; then
  cmake -S . -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DVK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$win" --target vkprog
fi
version=$(sed -n 's/^project(VKProgrammer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=vkprog-windows-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/licences"

cp "$win/bin/vkprog.exe" "$stage/$name/"
x86_64-w64-mingw32-strip "$stage/$name/vkprog.exe" 2>/dev/null || true
# The README's "## Windows" section, up to the next section.
awk '/^## Windows$/ {on = 1} on && /^## / && !/^## Windows$/ {exit} on' README.md |
  sed 's/$/\r/' >"$stage/$name/README-Windows.txt"
[ -s "$stage/$name/README-Windows.txt" ] || { echo "package-windows: no Windows section in README.md"; exit 1; }
for f in LICENSE LICENSE.txt COPYING; do
  [ -f "$f" ] && sed 's/$/\r/' "$f" >"$stage/$name/licences/V&K Programmer.txt"
done
for pkg in mingw-w64-common gcc-mingw-w64-base; do
  src=/usr/share/doc/$pkg/copyright
  [ -f "$src" ] || { echo "package-windows: $src is missing (scripts/setup.sh)"; exit 1; }
  sed 's/$/\r/' "$src" >"$stage/$name/licences/$pkg.txt"
done

rm -f "$win/$name.zip"
(cd "$stage" && zip -qr -X "$OLDPWD/$win/$name.zip" "$name")
echo "$win/$name.zip"
unzip -l "$win/$name.zip"
