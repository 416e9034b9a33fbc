#!/usr/bin/env bash
# Stops the emulated board started by board/up.sh, and its watchdog.
#   board/down.sh STATE_DIR
set -uo pipefail
state=$1

# Kills the process whose id is in FILE if it still is the program NAME.
stop() {
  local file=$1 name=$2 pid
  pid=$(cat "$file" 2>/dev/null) || return 0
  if [ -n "$pid" ] && tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null | grep -q "$name"; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  fi
  rm -f "$file"
}
stop "$state/watchdog.pid" board-watchdog
stop "$state/qemu.pid" qemu-system-arm
rm -f "$state/port"
if [ -f "$state/deadline" ]; then
  echo "board: the guest was killed at its deadline, $(cat "$state/deadline") s after the boot; last lines of its console:" >&2
  tail -n 25 "$state/console.log" 2>/dev/null | sed 's/^/  | /' >&2
  rm -f "$state/deadline"
  exit 1
fi
echo "board: guest stopped"
