#!/usr/bin/env bash
# scangrab on the board against zorlan_sim on this machine, across a real
# serial port: the simulator's pseudo-terminal is joined to the host end of
# the board's PORT (STATE_DIR/PORT.sock: ttyS2, a 16550A, or ttyUSB0, a USB
# adapter), and the installed scangrab runs on /dev/PORT over ssh
# (STATE_DIR/ssh_config, written by board/up.sh).
#   host_peer.sh STATE_DIR ZORLAN_SIM CASE [PORT]
# CASE "listing": a healthy scanner, answer y, the whole listing comes back.
# CASE "health":  the scanner reports an internal error; scangrab says so
#                 and ends (with status 0, as it does on every scanner fault).
# CASE "pulled":  the USB adapter's cable is pulled mid-grab (board/usb.sh);
#                 scangrab reports the port error and ends without spinning,
#                 and the adapter is plugged back.
# zorlan_sim is the armhf build, run here under user-mode qemu.
set -uo pipefail
state=$1 sim=$2 case=$3 port=${4:-ttyS2}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

case $case in
  listing) sim_args=() ;;
  health)  sim_args=(--health 2,9) ;;
  pulled)  sim_args=(--pace --nodes 8192) ;;  # a grab of a few seconds to pull the cable in
  *) fail "unknown case $case" ;;
esac

# The simulator prints its terminal's path first; read it with a deadline.
exec {simout}< <(exec qemu-arm -L /usr/arm-linux-gnueabihf "$sim" "${sim_args[@]}" 2>"$work/sim.err")
pids+=($!)
pty=
read -r -t 30 -u "$simout" pty
[ -n "$pty" ] || fail "zorlan_sim printed no terminal: $(cat "$work/sim.err")"

# Join it to the port's end; socat reports when both sides are open.
exec {joinlog}< <(exec socat -d -d UNIX-CONNECT:"$state/$port.sock" "FILE:$pty,raw,echo=0" 2>&1)
pids+=($!)
joined=
while read -r -t 30 -u "$joinlog" line; do
  [[ $line == *"starting data transfer loop"* ]] && { joined=1; break; }
done
[ -n "$joined" ] || fail "could not join zorlan_sim to $port: $line"

ssh -F "$state/ssh_config" board test -x /usr/bin/scangrab ||
  fail "no /usr/bin/scangrab on the board (Board.Suite installs the package)"
# Line by line (stdbuf), so that the grab's start shows when it happens; the
# last line is the clock ticks scangrab used (the shell's children's).
grab="echo y | timeout -k 5 240 stdbuf -oL scangrab /dev/$port; s=\$?; set -- \$(cat /proc/\$\$/stat); echo \"ticks \$((\${16} + \${17}))\"; exit \$s"
timeout 260 ssh -F "$state/ssh_config" board "$grab" >"$work/out" 2>&1 &
grabber=$!
pids+=($grabber)
if [ "$case" = pulled ]; then
  for _ in $(seq 300); do grep -q '^waiting for data' "$work/out" && break; sleep 0.1; done
  grep -q '^waiting for data' "$work/out" || fail "scangrab did not start its grab: $(cat "$work/out")"
  "$here/usb.sh" "$state" pull || fail "cannot pull the adapter"
fi
wait "$grabber"
status=$?
[ "$case" = pulled ] && { "$here/usb.sh" "$state" plug || fail "cannot plug the adapter back"; }
out=$(grep -v '^ticks ' "$work/out")
ticks=$(sed -n 's/^ticks //p' "$work/out")
echo "$out" | head -n 12
echo "... ($(echo "$out" | wc -l) lines, status $status, $ticks clock ticks)"

case $case in
  listing)
    [ "$status" -eq 0 ] || fail "scangrab ended with status $status"
    grep -q '^ZorLan health status : OK. (errorcode: 0)' <<<"$out" || fail "no healthy status line"
    rows=$(grep -c ' theta: [0-9.]* Dist: ' <<<"$out")
    [ "$rows" -eq 720 ] || fail "$rows measurements listed, wanted 720"
    # The answer is piped, so the program ends the question's line itself.
    grep -A1 '(y/n) $' <<<"$out" | grep -q '^S  theta: 0.00 Dist: ' ||
      fail "the listing does not start on the line after the prompt with a scan start at 0 degrees"
    ;;
  health)
    [ "$status" -eq 0 ] || fail "scangrab ended with status $status"
    grep -q '^ZorLan health status : Error. (errorcode: 9)' <<<"$out" || fail "no error status line"
    grep -q 'theta:' <<<"$out" && fail "a failing scanner was asked for a scan"
    grep -q '^Error, zorlan internal error detected. Please reboot the device to retry.$' <<<"$out" ||
      fail "no internal error message"
    ;;
  pulled)
    [ "$status" -eq 0 ] || fail "scangrab ended with status $status"
    grep -q '^Error, cannot grab scan data.$' <<<"$out" || fail "no grab error"
    grep -q 'theta:' <<<"$out" && fail "a broken scan was drawn or listed"
    # Its work up to the pull takes a few ticks; a spin until the time-outs
    # would take hundreds.
    [ "${ticks:-999}" -lt 100 ] || fail "scangrab used $ticks clock ticks"
    ;;
esac
echo "PASS"
