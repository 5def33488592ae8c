#!/usr/bin/env bash
# Renders the manual pages and checks that each program's --help and its
# manual agree:
#   check-manuals.sh MAN_DIR PAGE=PROGRAM... [PAGE]
# PAGE is a built roff page (trelvaned.8); PROGRAM the program it describes.
# A PAGE without a program (trelvane.set.5) is only rendered.
set -euo pipefail

man_dir=$1
shift
command -v groff >/dev/null || { echo "SKIP: groff is missing (Debian package groff-base)"; exit 77; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Plain text of a page, without hyphenation, so option names stay whole.
render() {
  local warnings
  warnings=$(groff -man -Tutf8 -ww -rHY=0 -z "$1" 2>&1)
  [[ -z $warnings ]] || fail "$1 renders with warnings: $warnings"
  groff -man -Tutf8 -rHY=0 -P-cbou "$1" 2>/dev/null
}

# The section SECTION of a rendered page (up to the next heading).
man_section() {
  awk -v want="$2" '/^[A-Z][A-Z ]*$/ { inside = ($0 == want); next } inside' <<<"$1"
}

# Options defined in a rendered page: the names on its term lines.
man_options() {
  grep -E '^ {7}-' <<<"$1" | grep -oE -- '(^|[ ,|[])--?[A-Za-z][A-Za-z0-9-]*' |
    sed -E 's/^[ ,|[]*//' | sort -u
}

# Options listed by --help: the names in the first column of its lines.
help_options() {
  grep -E '^ +-' <<<"$1" | sed -E 's/^ +//; s/ {2,}.*//' |
    grep -oE -- '(^|[ ,|[])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[ ,|[]*//' | sort -u
}

# Commands listed by --help under "Commands:": the first word of each line
# indented by two spaces.
help_commands() {
  awk '/^[A-Za-z].*:$/ { inside = ($0 == "Commands:"); next }
       inside && /^  [a-z]/ { print $1 }' <<<"$1" | sort -u
}

check_program() {
  local page=$1 program=$2 name
  name=$(basename "$program")
  local text help
  text=$(render "$man_dir/$page")
  [[ -n $text ]] || { fail "$page renders empty"; return; }
  grep -q "^NAME" <<<"$text" || fail "$page has no NAME section"
  help=$("$program" --help) || { fail "$name --help failed"; return; }

  local in_help in_man
  in_help=$(help_options "$help")
  in_man=$(man_options "$(man_section "$text" OPTIONS)")
  local missing extra
  missing=$(comm -23 <(echo "$in_help") <(echo "$in_man") | tr '\n' ' ')
  extra=$(comm -13 <(echo "$in_help") <(echo "$in_man") | tr '\n' ' ')
  [[ -z $missing ]] || fail "$name --help lists options its manual does not describe: $missing"
  [[ -z $extra ]] || fail "$page describes options $name --help does not list: $extra"

  local commands
  commands=$(help_commands "$help")
  if [[ -n $commands ]]; then
    local man_commands
    man_commands=$(man_section "$text" COMMANDS | grep -E '^ {7}[a-z]' | awk '{ print $1 }' | sort -u)
    missing=$(comm -23 <(echo "$commands") <(echo "$man_commands") | tr '\n' ' ')
    extra=$(comm -13 <(echo "$commands") <(echo "$man_commands") | tr '\n' ' ')
    [[ -z $missing ]] || fail "$name --help lists commands its manual does not describe: $missing"
    [[ -z $extra ]] || fail "$page describes commands $name --help does not list: $extra"
  fi

  # Every help or version option the help lists works on its own.
  local line option
  while IFS= read -r line; do
    for option in $(grep -oE -- '--?[A-Za-z][A-Za-z0-9-]*' <<<"$line"); do
      "$program" "$option" >/dev/null 2>&1 || fail "$name $option, listed by --help, fails"
    done
  done < <(awk '/^[A-Za-z].*:$/ { inside = ($0 == "Options:"); next } inside' <<<"$help" |
             grep -E '^ +-' | sed -E 's/^ +//; s/ {2,}.*//' | grep -E -- '--(help|version)')

  # One version option, the same in every program.
  local version
  for option in -V --version; do
    version=$("$program" "$option" 2>/dev/null) || fail "$name $option fails"
    [[ $version =~ ^$name\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$name $option printed '$version'"
  done
  echo "$page checked against $name --help ($(echo $in_help | wc -w) options)"
}

for spec in "$@"; do
  if [[ $spec == *=* ]]; then
    check_program "${spec%%=*}" "${spec#*=}"
  else
    text=$(render "$man_dir/$spec")
    grep -q "^NAME" <<<"$text" || fail "$spec has no NAME section"
    echo "$spec renders"
  fi
done
((failures == 0))
