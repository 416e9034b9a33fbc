#!/usr/bin/env bash
# Runs the installed test suite on an armhf Debian board over ssh.
#   board/run.sh [user@host[:port]]
# Copies board-toolset_*_armhf.deb and board-toolset-tests_*_armhf.deb from
# BOARD_PACKAGES (default: build/board/debs, where the board preset's
# Package.Make test puts them) to the board, installs
# them with apt, runs /usr/lib/board-toolset/ptest/run-ptest as root and
# brings its PASS/FAIL/SKIP lines back into ./board-results.txt.  Ends with
# status 0 when every test passed, and names the failed ones otherwise.
# With no host it boots the emulated board (board/up.sh) and uses it alike.
# BOARD_SSH_CONFIG names an ssh configuration file to use; BOARD_RUN_TIMEOUT
# (seconds, default 1800) bounds the suite, which is ended with all it
# started when it passes that.  The TOOLSET_* and PTEST_* variables here
# reach the suite (TOOLSET_UART_A and TOOLSET_UART_B name a joined pair),
# but TOOLSET_TEST_EMULATOR: it names this machine's emulator, and the
# board runs its programs natively. BOARD_INSTALL_ONLY=1 stops once the
# packages are installed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "board: $*" >&2; exit 1; }
command -v ssh >/dev/null && command -v scp >/dev/null || fail "no ssh client here (apt-get install openssh-client)"

packages=${BOARD_PACKAGES:-$here/../build/board/debs}
debs=()
for name in board-toolset board-toolset-tests; do
  deb=$(ls -t "$packages/${name}_"*_armhf.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || fail "no ${name}_*_armhf.deb in $packages (the board preset's Package.Make test makes them, see the README)"
  debs+=("$deb")
done

if [ $# -eq 0 ]; then
  state=$(mktemp -d)
  trap '"$here/down.sh" "$state" >/dev/null; rm -rf "$state"' EXIT
  BOARD_WATCH_PID=$$ "$here/up.sh" "$state" || exit 1
  BOARD_SSH_CONFIG=$state/ssh_config "$0" board
  exit
fi

# user@host[:port]; one ssh connection, shared by every command below.
target=$1 port=()
if [[ $target =~ ^(.*):([0-9]+)$ ]]; then target=${BASH_REMATCH[1]} port=(-p "${BASH_REMATCH[2]}"); fi
work=$(mktemp -d)
opts=(-o ControlMaster=auto -o ControlPath="$work/master" -o ControlPersist=120
      -o BatchMode=yes -o ConnectTimeout=15 -o ServerAliveInterval=15 -o ServerAliveCountMax=4)
[ -n "${BOARD_SSH_CONFIG:-}" ] && opts=(-F "$BOARD_SSH_CONFIG" "${opts[@]}")
on_board() { ssh "${opts[@]}" "${port[@]}" "$target" "$@"; }
trap 'ssh "${opts[@]}" -O exit "$target" >/dev/null 2>&1; rm -rf "$work"' EXIT

info=$(on_board 'echo "$(dpkg --print-architecture 2>/dev/null || echo "no dpkg") $(id -u)"' 2>"$work/err") ||
  fail "cannot reach $1: $(tail -n1 "$work/err")"
read -r arch uid <<<"$info"
[ "$arch" = armhf ] || fail "$1 is not an armhf Debian system (its architecture: $arch)"
sudo=; [ "$uid" = 0 ] || sudo="sudo -n"

{ read -r versions; read -r machine; } < <(on_board sh -s <"$here/guest/describe")
echo "board: $1: $versions"
echo "board: $1: machine $machine"

start=$SECONDS
dir=$(on_board 'd=$(mktemp -d /tmp/board-toolset.XXXXXX) && chmod 755 "$d" && echo "$d"') || fail "cannot make a folder on $1"
scp -q "${opts[@]}" ${port:+-P "${port[1]}"} "${debs[@]}" "$target:$dir/" || fail "cannot copy the packages to $1"
if ! on_board "cd $dir && chmod 644 *.deb && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall $(printf './%s ' "${debs[@]##*/}")" \
     >"$work/apt" 2>&1; then
  why=$(grep -m1 -E ' Depends: |^E: ' "$work/apt" | sed 's/^ *//')
  on_board "rm -rf $dir"
  fail "apt on $1 cannot install the packages: ${why:-see its output: $(tail -n1 "$work/apt")}"
fi
on_board "rm -rf $dir"
echo "board: packages installed in $((SECONDS - start)) s: ${debs[*]##*/}"
[ "${BOARD_INSTALL_ONLY:-0}" = 0 ] || exit 0

# The suite runs as a transient systemd service where systemd-run can reach
# the system bus (dbus): at its time limit the whole service, everything the
# suite started, is ended. Elsewhere timeout bounds it (and run-ptest ends
# each case with all it started).
bound=${BOARD_RUN_TIMEOUT:-1800}
suite=/usr/lib/board-toolset/ptest/run-ptest
setenv=() env=()
while IFS= read -r var; do
  setenv+=("--setenv=$(printf %q "$var")") env+=("$(printf %q "$var")")
done < <(env | grep -E '^(TOOLSET|PTEST)_[A-Za-z0-9_]*=' | grep -v '^TOOLSET_TEST_EMULATOR=' || true)
start=$SECONDS
timeout $((bound + 120)) ssh "${opts[@]}" "${port[@]}" "$target" \
  "if [ -S /run/dbus/system_bus_socket ]; then
     exec $sudo systemd-run --quiet --wait --pipe --collect --service-type=exec -p RuntimeMaxSec=$bound ${setenv[*]} $suite
   else exec $sudo env ${env[*]} timeout -k 10 $bound $suite; fi" </dev/null 2>&1 | tee board-results.txt
status=${PIPESTATUS[0]}
passed=$(grep -c '^PASS: ' board-results.txt)
failed=$(grep '^FAIL: ' board-results.txt | cut -d' ' -f2- | tr '\n' ' ')
skipped=$(grep -c '^SKIP: ' board-results.txt)
echo "board: $passed passed, $(wc -w <<<"$failed") failed, $skipped skipped on $1 in $((SECONDS - start)) s ($versions)"
[ -z "$failed" ] || fail "failed on $1: $failed"
[ "$status" -eq 0 ] || fail "the suite on $1 ended with status $status"
[ "$passed" -gt 0 ] || fail "the suite on $1 reported no test"
