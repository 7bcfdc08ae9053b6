#!/usr/bin/env bash
# Runs the README's worked example for page authors against a set that is running on this machine,
# and compares what each of its command blocks prints with the reply the README shows after it, so
# that the README says what the service answers. In README.md a line "<!-- road: <name> -->" leads
# a command block and a line "<!-- road: reply -->" the block it prints; each is the indented code
# block that follows its line. The command blocks run one after another in one bash, as a person
# pastes them into one terminal, in a folder where build-win/ is the given build folder. A session
# identifier (eight of 0-9 and A-Z, then "_SID") in a reply matches any other.
# Prints one "ok: ..." or "FAIL: ..." line per block; the exit status is non-zero when one failed.
#
#   scripts/check-readme-road.sh <build folder> [README]     (README: the repository's README.md)
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?check-readme-road needs the build folder}" && pwd) || exit 1
readme=${2:-$here/README.md}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $1"
  failed=$((failed + 1))
}

# The blocks into files: name.N, commands.N and reply.N for the N-th command block.
awk -v dir="$work" '
  function flush() { if (file != "") close(file); file = ""; inside = 0; blanks = 0 }
  /^<!-- road: reply -->$/ { flush(); if (n > 0) file = dir "/reply." n; next }
  /^<!-- road: .* -->$/ {
    flush(); n++
    name = $0; sub(/^<!-- road: /, "", name); sub(/ -->$/, "", name)
    print name > (dir "/name." n); close(dir "/name." n)
    file = dir "/commands." n
    next
  }
  file == "" { next }
  /^$/ { if (inside) blanks++; next }
  /^    / {
    for (; blanks > 0; blanks--) print "" > file
    inside = 1
    sub(/^    /, ""); print > file
    next
  }
  { flush() }
' "$readme"

blocks=$(find "$work" -name 'name.*' | wc -l)
if [ "$blocks" -eq 0 ]; then
  fail "the README's road for page authors: no block marked \"<!-- road: ... -->\" in $readme"
  exit 1
fi

# One script of all blocks, a line of its own after each block's output to part them again.
mkdir "$work/here"
ln -s "$build" "$work/here/build-win"
for i in $(seq "$blocks"); do
  cat "$work/commands.$i" 2>/dev/null
  printf "printf '\\\\036road %d\\\\n'\n" "$i"
done >"$work/road.sh"
(cd "$work/here" && timeout 300 bash --norc "$work/road.sh" </dev/null >"$work/printed" 2>&1)
status=$?
awk -v dir="$work" '
  BEGIN { n = 1; file = dir "/printed.1" }
  /^\036road [0-9]+$/ { close(file); n++; file = dir "/printed." n; next }
  { print > file }
' "$work/printed"

loose() { sed -E 's/[0-9A-Z]{8}_SID/<session>_SID/g' "$1" 2>/dev/null; }
for i in $(seq "$blocks"); do
  name=$(cat "$work/name.$i")
  touch "$work/printed.$i"
  if [ ! -s "$work/commands.$i" ]; then
    fail "the README's road, \"$name\": no command block after its marker"
  elif [ ! -f "$work/reply.$i" ]; then
    fail "the README's road, \"$name\": no reply block (\"<!-- road: reply -->\") after its commands"
  elif [ "$(loose "$work/printed.$i")" = "$(loose "$work/reply.$i")" ]; then
    echo "ok: the README's road, \"$name\": its commands print the reply the README shows"
  else
    fail "the README's road, \"$name\": printed '$(tr '\n' '|' <"$work/printed.$i")', the README shows '$(tr '\n' '|' <"$work/reply.$i")'"
  fi
done
[ "$status" -eq 0 ] || fail "the README's road: its commands ended with status $status"
[ "$failed" -eq 0 ]
