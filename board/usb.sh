#!/usr/bin/env bash
# Pulls the emulated board's USB-serial adapter ttyUSB0 (whose other end is
# STATE_DIR/ttyUSB0.sock here) out of its socket, or plugs it back into the
# same one, through qemu's monitor (STATE_DIR/monitor.sock; board/up.sh
# leaves in STATE_DIR/usb.env where the adapter sits).
#   board/usb.sh STATE_DIR pull|plug
# The guest sees what a pulled cable shows: the device and its links go away,
# and come back under the same by-path link once plugged in again.
set -uo pipefail
state=$1
. "$state/usb.env" || exit 1
case ${2:-} in
  pull) command='device_del usb0' ;;
  plug) command="device_add $usb0_device" ;;
  *) echo "usage: board/usb.sh STATE_DIR pull|plug" >&2; exit 2 ;;
esac
# The monitor echoes what it is given; a refusal is a line of its own.
reply=$(printf '%s\n' "$command" | timeout 10 socat -t 2 - UNIX-CONNECT:"$state/monitor.sock" 2>&1 |
        tr -d '\r' | sed 's/\x1b\[[0-9]*[A-Za-z]//g' | grep -v -e '^(qemu)' -e '^QEMU .* monitor' || true)
[ -z "$reply" ] || { echo "board: the monitor refused '$command': $reply" >&2; exit 1; }
