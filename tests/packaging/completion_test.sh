#!/usr/bin/env bash
# The bash completion of tessaline-cli offers exactly what tessaline-cli(1)
# documents (the completion is built from the page's synopses, and checked
# here against the options and keys the page describes, as rendered), and
# offers writers, discs, choices and files where they belong.
set -uo pipefail
completion=$1 # the built completion script
page=$2       # the built tessaline-cli.1
cli=$3        # the built tessaline-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run \
  TESSALINE_WRITERS_DIR=$work/writers TESSALINE_DISCS_DIR=$work/discs TESSALINE_NO_REAL_DRIVES=1
mkdir -m 700 "$work/run"
PATH=$(dirname "$cli"):$PATH

# shellcheck disable=SC1091
[[ -f /usr/share/bash-completion/bash_completion ]] && source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"

# What the page describes, as rendered: "command|SUBSECTION" for each command,
# "item|SECTION|SUBSECTION|TERM" for each term followed by its indented text.
described=$(awk '
  /^\.SH / { section = substr($0, 5); gsub(/"/, "", section); subsection = ""; next }
  /^\.SS / { subsection = substr($0, 5); if (section == "COMMANDS") print "command|" subsection; next }
  $0 == ".RS 4" && previous ~ /^\\fB/ {
    term = previous; sub(/^\\fB/, "", term); sub(/\\fR.*/, "", term)
    print "item|" section "|" subsection "|" term
  }
  { previous = $0 }' "$page")
terms() { awk -F'|' -v s="$1" -v ss="$2" -v p="$3" '$1 == "item" && $2 == s && $3 == ss && $4 ~ p { print $4 }' <<<"$described"; }
commands=$(awk -F'|' '$1 == "command" { print $2 }' <<<"$described")

# What the completion offers for a command line typed up to the cursor.
offers() {
  COMP_LINE=$1 COMP_POINT=${#1}
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *' ' ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tessaline_cli
  sorted "${COMPREPLY[@]}"
}
sorted() { printf '%s\n' "$@" | sed '/^$/d' | sort -u | paste -sd' '; }
failures=0
expect() {
  local got
  got=$(offers "$1")
  [[ $got == "$2" ]] || { echo "FAIL: [$1] offers [$got], expected [$2]"; failures=$((failures + 1)); }
}

[[ $(wc -l <<<"$commands") -gt 20 ]] || { echo "FAIL: the page describes too few commands"; exit 1; }
# shellcheck disable=SC2046
expect "tessaline-cli " "$(sorted $(cut -d' ' -f1 <<<"$commands"))"
# shellcheck disable=SC2046
expect "tessaline-cli -" "$(sorted $(terms "GLOBAL OPTIONS" "" '^--'))"
# shellcheck disable=SC2046
expect "tessaline-cli writer " "$(sorted $(sed -n 's/^writer //p' <<<"$commands"))"
# shellcheck disable=SC2046
expect "tessaline-cli config " "$(sorted $(terms COMMANDS config '^[a-z]'))"
keys=$(terms PREFERENCES "" '^[a-zA-Z]')
# shellcheck disable=SC2086
expect "tessaline-cli config get " "$(sorted $keys)"
while read -r command; do
  # shellcheck disable=SC2046
  expect "tessaline-cli $command -" "$(sorted --help $(terms COMMANDS "$command" '^--'))"
done <<<"$commands"

# The keys are the program's own.
# shellcheck disable=SC2046
program_keys=$(sorted $("$cli" config list | grep -oE '\b[a-z]+([A-Z][a-z]*)+\b'))
# shellcheck disable=SC2086
[[ $program_keys == "$(sorted $keys)" ]] || { echo "FAIL: config list has [$program_keys]"; failures=$((failures + 1)); }

# Names from the program, choices, files, and nothing where nothing fits;
# each row: what is typed|what is offered, sorted.
"$cli" writer create alpha && "$cli" writer create "two words" &&
  "$cli" writer insert alpha --medium cd-rw && "$cli" writer eject alpha >/dev/null || exit 1
disc=$("$cli" writer discs | cut -f1)
mkdir "$work/sources" && touch "$work/sources/a.iso"
table=(
  "tessaline-cli burn --writer |alpha two\\ words"
  "tessaline-cli --verbose status --writer t|two\\ words"
  "tessaline-cli writer insert |alpha two\\ words"
  "tessaline-cli writer insert alpha --disc |$disc"
  "tessaline-cli writer insert alpha --medium |cd-r cd-rom cd-rw dvd"
  "tessaline-cli writer insert alpha --session $work/sources/a.iso $work/sources/|$work/sources/a.iso"
  "tessaline-cli writer tray alpha |close open"
  "tessaline-cli config set disableVerification |false true"
  "tessaline-cli help wr|writer writers"
  "tessaline-cli burn --yes $work/sou|$work/sources"
  "tessaline-cli writer create |"
  "tessaline-cli burn --speed |"
)
for row in "${table[@]}"; do expect "${row%%|*}" "${row#*|}"; done

((failures == 0)) || exit 1
echo "completion: offers what the manual documents"
