#!/usr/bin/env bash
# The man page renders with man(1) without a warning, and names every command and every option
# that `quorvale-dat --help-all` lists.
#
#   man_page_test.sh QUORVALE-DAT MAN-PAGE
set -euo pipefail
tool=$1
page=$2

warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
rendered=$(MANWIDTH=100 LC_ALL=C.UTF-8 man --warnings=all -l "$page" 2>"$warnings" | col -b) || {
  echo "man -l $page failed:"; cat "$warnings"; exit 1; }
if [ -s "$warnings" ]; then
  echo "man -l $page warns:"; cat "$warnings"; exit 1
fi
[ -n "$rendered" ] || { echo "man -l $page rendered nothing"; exit 1; }

# Options of the program (--help) belong in OPTIONS; those of each command (COMMAND --help, less
# the program's) in the command's own section, from its heading to the next one. --help-all
# lists the same commands and options; it is compared with them below.
options_of() { grep -oE '(^|[ ,])--?[a-z][a-z-]*' | sed 's/^[ ,]//' | sort -u; }
section() {  # the rendered lines of the section whose heading starts with $1
  awk -v h="$1" '/^[A-Z]/ || /^   [^ ]/ { on = (index($0, h) == 1) } on' <<<"$rendered"
}
global=$("$tool" --help | sed '/^Subcommands:/,$d' | options_of)
commands=$("$tool" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')

missing=0
passed=0
check() {  # check TEXT WHAT
  if grep -qF -- "$1" <<<"$2"; then
    passed=$((passed + 1))
  else
    echo "the man page does not name $1 $3"; missing=$((missing + 1))
  fi
}
for o in $global; do check "$o" "$(section OPTIONS)" "under OPTIONS"; done
all_options=$global
for c in $commands; do
  text=$(section "   $c")
  if [ -z "$text" ]; then
    echo "the man page has no section for the command '$c'"; missing=$((missing + 1)); continue
  fi
  for o in $("$tool" "$c" --help | options_of | grep -vxF -- "$global"); do
    check "$o" "$text" "in the section of '$c'"
    all_options+=$'\n'$o
  done
done
# Nothing in --help-all that the per-command helps did not list.
for o in $("$tool" --help-all | options_of); do
  grep -qxF -- "$o" <<<"$all_options" || { echo "--help-all lists $o, no command's help does"; missing=$((missing + 1)); }
done
echo "$passed passed, $missing failed"
[ "$missing" -eq 0 ] && [ "$passed" -gt 0 ]
