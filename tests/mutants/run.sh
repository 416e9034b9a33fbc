#!/usr/bin/env bash
# The mutation check: each fault in tests/mutants/faults is put, alone, into
# a copy of the tree, which is built, and the tests of the deliverable it
# touches (its suite and its rows of the hostile matrix) run against it. A
# fault they catch fails them; one that survives is named, and the check
# fails.
#   tests/mutants/run.sh [PATTERN]     only the faults whose title holds PATTERN
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
list=$top/tests/mutants/faults
pattern=${1:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The tests that stand for each deliverable, by the first word of a title.
tests_of() {
  local rows='Matrix/HostileMatrix\.Row'
  case $1 in
    talkhub) echo "^(Talkhub|Calls/TalkhubCallFails|$rows/talkhub_)" ;;
    parrot) echo "^(Parrot|Transcript\.parrot|$rows/parrot_)" ;;
    serial) echo "^(Builds/Serial|$rows/serial)" ;;
    portwire) echo "^(Port|$rows/portwire)" ;;
    scangrab) echo "^(Scan|Driver|WireFrames|Transcript\.scangrab|$rows/scangrab_)" ;;
    reapall | reapfast | reapblock | childnote) echo "^(Reapers|Transcript\.reapers|$rows/$1_)" ;;
    fifotap | fifokbd) echo "^(Fifo|Transcript\.fifo|$rows/$1_)" ;;
    coinalarm) echo "^(Transcript\.coinalarm|$rows/coinalarm_)" ;;
    spawnls) echo "^(Spawnls|Transcript\.spawnls|$rows/spawnls_)" ;;
    *) return 1 ;;
  esac
}

# The copy: the tracked files as they are now, built once in full.
(cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$work" 2>/dev/null) ||
  { echo "mutants: cannot copy the tree from $top" >&2; exit 1; }
tree=$work
(cd "$tree" && cmake --preset default >/dev/null && cmake --build --preset default >/dev/null) ||
  { echo "mutants: the tree does not build as it is" >&2; exit 1; }

# Faults: a title line, the file, the line as it is ("-") and as the fault
# has it ("+"), optionally the cases that catch it soonest ("?" and a ctest
# regex: they run first, and the deliverable's cases only when they pass), a
# blank line between faults; "#" lines are comments.
caught=0 survived=() broken=()
# Runs the cases that match $1; fails as soon as one fails.
run_cases() {
  ctest --test-dir "$tree/build/default" -R "$1" -LE 'slow|memcheck' -j2 --stop-on-failure >"$work/test.log" 2>&1
}
try_fault() {
  local title=$1 file=$2 from=$3 to=$4 first=$5 regex
  regex=$(tests_of "${title%%:*}") || { broken+=("$title (no tests for ${title%%:*})"); return; }
  local path=$tree/$file
  [ "$(grep -cxF -- "$from" "$path" 2>/dev/null)" = 1 ] ||
    { broken+=("$title (its line is not in $file once)"); return; }
  cp "$path" "$work/saved"
  FROM=$from TO=$to python3 -c 'import os,sys
p=sys.argv[1]; s=open(p).read().split("\n")
s[s.index(os.environ["FROM"])]=os.environ["TO"]; open(p,"w").write("\n".join(s))' "$path"
  local start=$SECONDS verdict
  if ! cmake --build "$tree/build/default" >"$work/build.log" 2>&1; then
    broken+=("$title (does not build)")
    verdict="not applied (does not build)"
  elif { [ -z "$first" ] || run_cases "$first"; } && run_cases "$regex"; then
    verdict="SURVIVED"
    survived+=("$title")
  else
    verdict="caught by $(grep -m1 -oE '[0-9]+ - [^ ]+' "$work/test.log" | cut -d' ' -f3)"
    caught=$((caught + 1))
  fi
  echo "mutants: $title: $verdict ($((SECONDS - start)) s)"
  cp "$work/saved" "$path"
}

title= file= from= to= first=
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'*) continue ;;
    '') [ -z "$title" ] || { [[ $title == *"$pattern"* ]] && try_fault "$title" "$file" "$from" "$to" "$first"; }
        title= file= from= to= first= ;;
    -*) from=${line:1} ;;
    +*) to=${line:1} ;;
    '?'*) first=${line:1} ;;
    *) if [ -z "$title" ]; then title=$line; else file=$line; fi ;;
  esac
done < <(cat "$list"; echo)

echo "mutants: $caught caught, ${#survived[@]} survived, ${#broken[@]} not applied, in $SECONDS s"
for t in "${survived[@]}"; do echo "mutants: survived: $t"; done
for t in "${broken[@]}"; do echo "mutants: not applied: $t"; done
[ ${#survived[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
