#!/bin/sh
# The steps of board/lava/ptest.yaml, on the board: fetches both packages
# from the folder URL, installs them with apt, runs the installed suite with
# PTEST_JOBS, TOOLSET_UART_PAIRS and TOOLSET_TEST_TIMEOUT_SCALE, and reports
# each PASS:/FAIL:/SKIP: line as a LAVA test case of that name.
#   board/lava/ptest.sh URL
# Then the case "suite": pass only when every case passed. A job whose cases
# failed still ends complete, so whoever reads the results checks the cases.
# When the packages cannot be had the case "install" fails and nothing runs.
# Always ends with status 0: the results are the cases.
set -u
url=${1%/}
# What it runs on, in board/run.sh's words.
sh "$(dirname "$0")/../guest/describe" | sed -e '1s/^/board: /' -e '2s/^/board: machine /'
work=$(mktemp -d)
chmod 755 "$work"   # apt-helper downloads as the _apt user
trap 'rm -rf "$work"' EXIT

install_failed() {
  echo "board: $*"
  lava-test-case install --result fail
  lava-test-case suite --result fail
  exit 0
}

[ -n "$url" ] || install_failed "no PACKAGES folder given"
/usr/lib/apt/apt-helper download-file "$url/" "$work/index" >"$work/log" 2>&1 ||
  install_failed "cannot fetch $url/: $(tail -n1 "$work/log")"
debs=
for name in board-toolset board-toolset-tests; do
  deb=$(sed -n "s/.*href=\"\(${name}_[^\"/]*_armhf\.deb\)\".*/\1/p" "$work/index" | sort -V | tail -n1)
  [ -n "$deb" ] || install_failed "no ${name}_*_armhf.deb in $url/"
  /usr/lib/apt/apt-helper download-file "$url/$deb" "$work/$deb" >"$work/log" 2>&1 ||
    install_failed "cannot fetch $url/$deb: $(tail -n1 "$work/log")"
  debs="$debs $work/$deb"
done
# shellcheck disable=SC2086  # two paths without spaces
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall $debs >"$work/log" 2>&1 ||
  install_failed "apt cannot install the packages: $({ grep -m1 -E ' Depends: |^E: ' "$work/log" || tail -n1 "$work/log"; } | sed 's/^ *//')"
lava-test-case install --result pass

# An empty parameter leaves the suite its default.
[ -n "${PTEST_JOBS:-}" ] || unset PTEST_JOBS
[ -n "${TOOLSET_UART_PAIRS:-}" ] || unset TOOLSET_UART_PAIRS
[ -n "${TOOLSET_TEST_TIMEOUT_SCALE:-}" ] || unset TOOLSET_TEST_TIMEOUT_SCALE
# Its lines go to the console as they come (LAVA waits on the console).
{ /usr/lib/board-toolset/ptest/run-ptest </dev/null 2>&1; echo $? >"$work/status"; } | tee "$work/results"

# The cases, after the suite, so that their reports do not interleave with
# its output on the console.
verdict=pass
while read -r result name; do
  case $result in
    PASS:) lava-test-case "$name" --result pass ;;
    FAIL:) lava-test-case "$name" --result fail; verdict=fail ;;
    SKIP:) lava-test-case "$name" --result skip; verdict=fail ;;
  esac
done <"$work/results"
grep -q -E '^(PASS|FAIL|SKIP): ' "$work/results" || verdict=fail
[ "$(cat "$work/status")" = 0 ] || verdict=fail
lava-test-case suite --result "$verdict"
