#!/usr/bin/env bash
# Makes a program's manual page from its own --help with help2man, so that the page never drifts
# from the program. For a program whose --help lists commands ("Commands:") or devices
# ("Devices:"), each one's own --help is added in a section of its own, verbatim.
#
#   make-manpage.sh PROGRAM OUT.1 INCLUDE.h2m "SHORT DESCRIPTION" [VERSION]
#
# INCLUDE.h2m holds the hand-written sections (help2man's --include format). VERSION is given
# for a program without --version. Writes OUT.1 and OUT.1.gz (gzip -9n, as Debian installs it).
set -euo pipefail

program=$1 out=$2 include=$3 name=$4 version=${5:-}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# roff, taken literally in a no-fill block: backslashes escaped, a leading dot or quote made
# plain text, hyphens as minus signs (options copy and paste as typed).
roff_literal() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\([.']\)/\\\\\&\1/"
}

base=$(basename "$program")
"$program" --help >"$tmp/help"
heading=$(sed -n 's/^\(Commands\|Devices\):$/\1/p' "$tmp/help" | head -n 1)
subcommands=$(sed -n '/^\(Commands\|Devices\):$/,/^$/s/^  \([a-z0-9][a-z0-9-]*\) .*/\1/p' "$tmp/help")
cp "$include" "$tmp/all.h2m"
if [ -n "$subcommands" ]; then
  # "Commands" gives the section "COMMAND OPTIONS", "Devices" "DEVICE OPTIONS".
  heading=${heading%s}
  printf '\n[%s OPTIONS]\n' "${heading^^}" >>"$tmp/all.h2m"
  for sub in $subcommands; do
    printf '.SS "%s %s"\n.nf\n' "$base" "$sub"
    "$program" "$sub" --help | roff_literal
    printf '.fi\n'
  done >>"$tmp/all.h2m"
fi

args=(--no-info --name="$name" --include="$tmp/all.h2m" --output="$tmp/page.1")
[ -n "$version" ] && args+=(--version-string="$version")
help2man "${args[@]}" "$program"
mv "$tmp/page.1" "$out"
gzip -9n -c "$out" >"$out.gz"
