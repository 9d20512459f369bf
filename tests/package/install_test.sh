#!/usr/bin/env bash
# Installs the Debian package into a scratch root (dpkg-deb -x) and uses what it installed: the
# programs' versions against the package's, vkprog's file and link commands (vkprog hands the
# latter to the installed vkprog-link), the H8 kernel folder under /usr/share, the manual pages,
# the bash completion against the installed vkprog, the desktop entry and icon.
#
#   install_test.sh [PACKAGE.deb]      (default: the one in dist/)
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=${1:-$(ls dist/vkprogrammer_*.deb)}

root=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
export VK_SETTINGS_FILE=$root/settings.ini VK_SYSTEM_SETTINGS_FILE=$root/system.ini
unset VKPROG_KERNEL_DIR VK_SERIAL_PORTS

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_in() { # TEXT NEEDLE WHAT
  grep -qF -- "$2" <<<"$1" || fail "$3: \"$2\" not in: $1"
}

# One version: the package's, vkprog's and the window's.
version=$(dpkg-deb -f "$deb" Version)
[ "$("$bin/vkprog" --version)" = "vkprog (V&K Programmer) $version" ] ||
  fail "vkprog --version is not $version: $("$bin/vkprog" --version)"
[ "$("$bin/vkprogrammer" --version)" = "vkprogrammer (V&K Programmer) $version" ] ||
  fail "vkprogrammer --version is not $version"
expect_in "$(dpkg-deb -f "$deb" Depends)" "libqt6core6" "Depends (from dpkg-shlibdeps)"

# The file commands in vkprog itself, a link command through the installed vkprog-link.
expect_in "$("$bin/vkprog" targets)" "QX4T - PCAN" "vkprog targets"
expect_in "$("$bin/vkprog" ports)" "PCAN" "vkprog ports (through vkprog-link)"

# An H8 kernel in the package's kernel folder is found by the installed vkprog. The port is a
# pseudo-terminal of the installed vkdevsim.
# A kernel is S1 data covering its 1,024 bytes exactly: 64 records of 16 bytes from F780.
awk 'BEGIN {
  print "S00600004844521B"
  for (a = 63360; a < 64384; a += 16) {
    line = sprintf("S113%04X", a); sum = 19 + int(a / 256) + a % 256
    for (i = 0; i < 16; i++) { b = (a + i) % 256; sum += b; line = line sprintf("%02X", b) }
    printf "%s%02X\n", line, 255 - sum % 256
  }
  print "S9030000FC"
}' >"$root/usr/share/vkprogrammer/kernels/kernelA.a20"
: >"$root/sim.out" # there before the simulator writes to it, for the reads below
"$bin/vkdevsim" h8 >>"$root/sim.out" 2>/dev/null &
sim_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^PORT //p' "$root/sim.out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "vkdevsim h8 did not start"
plan=$("$bin/vkprog" program --dry-run --port "$port" --target QRE15 tests/data/sdcc/blink.ihx) ||
  fail "vkprog program --dry-run failed: $plan"
expect_in "$plan" "plan: kernel $root/usr/share/vkprogrammer/kernels/kernelA.a20" "the kernel folder"

# Manual pages, vkprog-link's the same as vkprog's.
for page in vkprog vkprogrammer vkdevsim vkprog-link; do
  zcat "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q '^\.SH NAME' ||
    fail "no manual page $page(1)"
done

# The completion file, sourced as bash-completion does, completes from the installed vkprog.
completion=$root/usr/share/bash-completion/completions/vkprog
[ -f "$completion" ] || fail "no bash completion file"
complete_words() { # the candidates bash would offer for the words given (last: being typed)
  PATH="$bin:$PATH" bash -c '
    source /usr/share/bash-completion/bash_completion 2>/dev/null || true
    source "$0"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _vkprog vkprog "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' "$completion" "$@"
}
expect_in "$(complete_words vkprog pro)" "program" "completion of a command"
expect_in "$(complete_words vkprog program --ta)" "--target" "completion of an option"
[ "$(complete_words vkprog program --target '"QX4T - P')" = "QX4T - PCAN" ] ||
  fail "completion of a target name with spaces: $(complete_words vkprog program --target '"QX4T - P')"
expect_in "$(complete_words vkprog detect --port PC)" "PCAN" "completion of a port"

# The window in the desktop menu.
desktop=$root/usr/share/applications/vkprogrammer.desktop
desktop-file-validate "$desktop" || fail "desktop entry: desktop-file-validate"
grep -q '^Exec=vkprogrammer ' "$desktop" && [ -x "$bin/vkprogrammer" ] || fail "desktop entry: Exec"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/vkprogrammer.svg" ] || fail "no icon"
grep -q dialout "$root/usr/share/doc/vkprogrammer/README.Debian" || fail "README.Debian: dialout"

[ "$failures" -eq 0 ] || exit 1
echo "install test: $(basename "$deb") installs and works from $root"
