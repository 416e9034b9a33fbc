#!/usr/bin/env bash
# board/run.sh, and board/lava/run.sh (the cases "lava..."), given what they
# cannot use: each case ends with one line that says why, a non-zero status,
# and nothing of the run left running.
#   runner_test.sh STATE_DIR CASE
# CASE "unreachable": a host where no ssh server listens.
# CASE "nopackages":  a folder without the packages.
# CASE "baddepends":  packages apt on the booted board cannot install (they
#                     depend on a package no archive has).
# CASE "lavanopackages", "lavabaddepends": the same under LAVA, where the
#                     board fetches the packages over HTTP.
set -uo pipefail
state=$1 case=$2
here=$(cd "$(dirname "$0")/.." && pwd)
export TMPDIR
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

debs=$TMPDIR/debs
mkdir -p "$debs"
fake() {  # fake NAME DEPENDS: an empty armhf package
  mkdir -p "$TMPDIR/$1/DEBIAN"
  printf 'Package: %s\nVersion: 0.0.1\nArchitecture: armhf\nMaintainer: none <none@example.org>\nDescription: test\nDepends: %s\n' \
    "$1" "$2" >"$TMPDIR/$1/DEBIAN/control"
  dpkg-deb -b -Zgzip "$TMPDIR/$1" "$debs/${1}_0.0.1_armhf.deb" >/dev/null
}
target=board runner=$here/run.sh bound=120
case $case in
  lava*) runner=$here/lava/run.sh target=$TMPDIR/lava bound=900 ;;
esac
case $case in
  unreachable) fake board-toolset libc6; fake board-toolset-tests libc6; target=root@127.0.0.1:1
               want='^board: cannot reach root@127\.0\.0\.1:1: ' ;;
  nopackages)  want='^board: no board-toolset_\*_armhf\.deb in ' ;;
  baddepends)  fake board-toolset no-such-package-anywhere; fake board-toolset-tests board-toolset
               want='^board: apt on board cannot install the packages: .*no-such-package-anywhere' ;;
  lavanopackages) want='^lava: no board-toolset_\*_armhf\.deb in ' ;;
  lavabaddepends) fake board-toolset no-such-package-anywhere; fake board-toolset-tests board-toolset
                  want='^lava: the board cannot fetch or install the packages from .*no-such-package-anywhere' ;;
  *) fail "unknown case $case" ;;
esac

config=
[ "$target" = board ] && config=$state/ssh_config
out=$(BOARD_PACKAGES=$debs BOARD_SSH_CONFIG=$config timeout "$bound" "$runner" "$target" 2>&1)
status=$?
echo "$out"
[ "$status" -ne 0 ] || fail "run.sh ended with status 0"
[ "$status" -ne 124 ] || fail "run.sh did not end within $bound s"
# Besides the lines that name what the board runs (and how long LAVA's
# actions took), one line: the reason.
reason=$(grep -v -e "^board: $target: kernel " -e "^board: $target: machine " \
  -e '^lava: emulated board: ' -e '^lava: lava-run took ' <<<"$out")
[ "$(wc -l <<<"$reason")" -eq 1 ] || fail "not one line"
grep -qE "$want" <<<"$reason" || fail "not the line wanted ($want)"
# The shared ssh connection lives under TMPDIR; it must be gone.
left=$(pgrep -af "$TMPDIR" | grep -v "^$$ ")
[ -z "$left" ] || fail "left running: $left"
echo PASS
