#!/usr/bin/env bash
# Makes the Debian package dist/vkprogrammer_VERSION_ARCH.deb from the release build folder
# (default build; configured and built here when needed, only the installed targets) with CPack,
# then checks it with lintian: any error fails.
#
#   bash scripts/package-deb.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

bash scripts/setup.sh >/dev/null

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_TEST_HOOKS=OFF >/dev/null
fi
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
if [ -n "$(cache VK_SANITIZE)" ] || [ "$(cache CMAKE_BUILD_TYPE)" != Release ]; then
  echo "package-deb: $build is not a plain release build; give a release build folder" >&2
  exit 2
fi
if [ "$(cache VK_TEST_HOOKS)" = ON ]; then
  echo "package-deb: $build has the tests' hooks; configure it with -DVK_TEST_HOOKS=OFF" >&2
  exit 2
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake --build "$build" -j"$jobs" --target vkprog vkprog-link vkprogrammer vkdevsim manpages \
  package_changelog

# One version everywhere: project(VERSION), which vkprog --version prints, and the change log's
# latest entry.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
program_version=$("$build/bin/vkprog" --version | sed -n 's/^vkprog (V&K Programmer) //p')
changelog_version=$(sed -n '1s/^vkprogrammer (\([^)]*\)).*/\1/p' packaging/debian/changelog)
if [ "$version" != "$program_version" ] || [ "$version" != "$changelog_version" ]; then
  echo "package-deb: versions differ: project $version, vkprog --version $program_version," \
    "packaging/debian/changelog $changelog_version" >&2
  exit 1
fi

rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB >/dev/null)
mkdir -p dist
rm -f dist/vkprogrammer_*.deb
cp "$build"/cpack/vkprogrammer_*.deb dist/
deb=$(ls dist/vkprogrammer_*.deb)
echo "$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends

# lintian gives no error and no warning. Left at the information level, not shown here:
# hardening-no-fortify-functions and hardening-no-bindnow (the release build keeps the
# compiler's defaults, PIE and RELRO; no second build just for the package),
# binary-has-unneeded-section (.comment, left by CPack's strip), the README in the kernel folder
# (it tells the admin what goes there) and a "spelling error", "ontain", which is "may not
# contain" cut in two where the linker laid out the strings.
echo "== lintian"
lintian --fail-on error --display-level '>=warning' "$deb"
echo "lintian: no error"
