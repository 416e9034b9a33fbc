#!/usr/bin/env bash
# The cable pulled from the board's USB-serial adapter (ttyUSB0) while the
# serial channel and the serial helper library wait on it, and plugged back:
# the installed board_uart_test's UartCablePull cases run over ssh and say
# when (a line "PULL" or "PLUG"); board/usb.sh does it through qemu's monitor.
#   cable_pull.sh STATE_DIR
# Afterwards ttyUSB0 and its by-path link are back, on the same device.
set -uo pipefail
state=$1
here=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAIL: $*"; exit 1; }
on_board() { ssh -F "$state/ssh_config" board "$@"; }
. "$state/usb.env" || fail "no $state/usb.env (board/up.sh leaves it)"
link="/dev/serial/by-path/*-usb-0:$usb0_port:1.0-port0"
test_bin=/usr/lib/board-toolset/ptest/tests/board_uart_test
on_board test -x $test_bin || fail "no $test_bin on the board (Board.Suite installs the tests package)"
before=$(on_board "readlink -f $link") || fail "no by-path link for USB port $usb0_port"

status=1
while IFS= read -r line; do
  echo "$line"
  case $line in
    PULL) "$here/usb.sh" "$state" pull || fail "cannot pull the adapter" ;;
    PLUG) "$here/usb.sh" "$state" plug || fail "cannot plug the adapter back" ;;
    "status "*) status=${line#status } ;;
  esac
done < <(timeout 300 ssh -F "$state/ssh_config" board \
           "TOOLSET_PULL_PORT=/dev/ttyUSB0 TOOLSET_TEST_TIMEOUT_SCALE=4 $test_bin --gtest_filter='UartCablePull.*' 2>&1; echo \"status \$?\"")
# Whatever happened, the adapter is left plugged in for the tests after this.
on_board test -e /dev/ttyUSB0 || "$here/usb.sh" "$state" plug
[ "$status" = 0 ] || fail "the cable-pull cases failed (status $status)"
after=$(on_board "readlink -f $link")
[ "$after" = "$before" ] || fail "after the pulls USB port $usb0_port is $after, not $before"
echo PASS
