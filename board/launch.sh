#!/usr/bin/env bash
# Runs a command on the board and exits with its status; the board preset's
# CMAKE_CROSSCOMPILING_EMULATOR, so CTest starts every test binary through it.
#   board/launch.sh STATE_DIR PROGRAM [ARGS...]
# The emulated board (board/up.sh) serves on the host port in STATE_DIR/port.
# The command runs in the current directory (the build tree is shared at the
# same path) with the GTEST_* and TOOLSET_* variables of this environment.
# Its output comes back as it is written; when this launcher is killed (a
# test time-out), the board kills the command and all it started.
# The tests listed in STATE_DIR/build-machine-tests run on this machine
# under user-mode qemu instead.
set -uo pipefail
state=$1; shift

# Tests of the built files that need the build machine's tools run here:
# each line of the list is a program and a pattern its arguments must match.
while read -r program pattern; do
  [ "$program" = "$1" ] || continue
  for a in "${@:2}"; do
    if [[ $a =~ $pattern ]]; then
      export TOOLSET_TEST_EMULATOR="qemu-arm -L /usr/arm-linux-gnueabihf"
      exec $TOOLSET_TEST_EMULATOR "$@"
    fi
  done
done < <(cat "$state/build-machine-tests" 2>/dev/null)

port=$(cat "$state/port" 2>/dev/null) ||
  { echo "board: no board is up (no $state/port); CTest boots it before the tests" >&2; exit 125; }

# Quotes one word for the guest's shell.
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

request="cd $(q "$PWD") 2>/dev/null || cd /tmp; exec env"
while IFS= read -r var; do
  request+=" $(q "$var")"
done < <(env | grep -E '^(GTEST|TOOLSET)_[A-Za-z0-9_]*=' || true)
for a in "$@"; do request+=" $(q "$a")"; done
[[ $request == *$'\n'* ]] && { echo "board: arguments with line breaks cannot be sent to the board" >&2; exit 125; }

# The request, then an input that stays open and silent (ignoreeof): the
# board takes the end of the connection for the end of this launcher (killed
# at a test time-out).
work=$(umask 077 && mktemp -d)
trap 'rm -rf "$work"' EXIT
{ cat "$state/token" && echo && printf '%s\n' "$request"; } >"$work/request" 2>/dev/null ||
  { echo "board: cannot read the board's token in $state" >&2; exit 125; }
socat -t 0.2 "OPEN:$work/request,rdonly,ignoreeof!!STDOUT" \
  "TCP:127.0.0.1:$port,connect-timeout=${BOARD_CONNECT_TIMEOUT:-10}" |
  while IFS= read -r line || [ -n "$line" ]; do
    # Everything but the last line, "@@board-exit N", and the line break the
    # board puts before it; line by line as it comes, for a test cut off.
    if [[ $line =~ ^@@board-exit\ ([0-9]+)$ ]]; then
      echo "${BASH_REMATCH[1]}" >"$work/status"
      held=
      continue
    fi
    [ -n "${held:-}" ] && echo && held=
    if [ -z "$line" ]; then held=1; continue; fi
    printf '%s\n' "$line"
  done
status=$(cat "$work/status" 2>/dev/null)
if [ -z "$status" ]; then
  echo "board: the connection to the board ended without a status" >&2
  qemu_state=$(cut -d' ' -f3 "/proc/$(cat "$state/qemu.pid" 2>/dev/null)/stat" 2>/dev/null)
  if [ -z "$qemu_state" ] || [ "$qemu_state" = Z ]; then
    echo "board: qemu is gone; last lines of the console:" >&2
    tail -n 15 "$state/console.log" 2>/dev/null | sed 's/^/  | /' >&2
  fi
  exit 125
fi
exit "$status"
