#!/usr/bin/env bash
# Every option that a program's --help names (and, for vkprog and vkdevsim, each command's or
# device's --help) appears in its manual page: a page made before an option was added fails.
#
#   manpage_options_test.sh BIN_DIR MAN_DIR
set -euo pipefail
bin=$1 man=$2
export QT_QPA_PLATFORM=offscreen

# The options a help text names: --word or -x at the start of a word.
options_in() {
  grep -oE '(^|[][ (|,])--?[A-Za-z][A-Za-z0-9-]*' | sed 's/^[][ (|,]//' | sort -u
}

# The page as text: roff's escapes for minus signs and fonts taken out.
page_text() {
  zcat "$1" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/\\[&\/,]//g'
}

failures=0
check() { # PROGRAM [SUBCOMMAND]
  local program=$1 sub=${2:-} page="$man/$1.1.gz" text missing=()
  [ -f "$page" ] || { echo "FAIL: no manual page $page"; failures=$((failures + 1)); return; }
  text=$(page_text "$page")
  local opt
  for opt in $("$bin/$program" ${sub:+"$sub"} --help | options_in); do
    grep -qE -- "(^|[^A-Za-z0-9-])$opt([^A-Za-z0-9-]|\$)" <<<"$text" || missing+=("$opt")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "FAIL: $program${sub:+ $sub}: not in $page: ${missing[*]}"
    failures=$((failures + 1))
  fi
}

for program in vkprog vkprogrammer vkdevsim; do
  check "$program"
  # vkprog's commands and vkdevsim's devices, as their overviews list them.
  for sub in $("$bin/$program" --help |
    sed -n '/^\(Commands\|Devices\):$/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p'); do
    check "$program" "$sub"
    checked_subcommands=1
  done
done
# The overviews must still list commands, or the loop above checks nothing.
[ "${checked_subcommands:-0}" = 1 ] || { echo "FAIL: no command found in vkprog --help"; exit 1; }
[ "$failures" -eq 0 ] || exit 1
echo "every option of every --help is in the manual pages"
