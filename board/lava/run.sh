#!/usr/bin/env bash
# Runs the installed test suite on the emulated board as a LAVA job, with
# Debian's lava-dispatcher (lava-run) and no LAVA server.
#   board/lava/run.sh [STATE_DIR]
# Renders the board's device dictionary (board-qemu.jinja2, render.py),
# serves board-toolset_*_armhf.deb and board-toolset-tests_*_armhf.deb from
# BOARD_PACKAGES (default build/board/debs) over HTTP on this machine's
# loopback, checks job-qemu.yaml against LAVA's schema and hands it to
# lava-run, which boots the board (the image board/image.sh makes), installs
# both packages there and runs the installed suite (ptest.yaml). Every case
# is read back from lava-run's log (STATE_DIR/lava.log); ends with status 0
# when every case passed, and names the failed and skipped ones otherwise.
# STATE_DIR (default a temporary folder) keeps the job, the device, the log
# and lava-run's output. LAVA_RUN_TIMEOUT (seconds, default 3000) bounds
# lava-run, which is ended with all it started when it passes that.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
board=$(dirname "$here")
fail() { echo "lava: $*" >&2; exit 1; }
command -v lava-run >/dev/null || fail "no lava-run here (tools/setup installs lava-dispatcher)"
command -v qemu-system-arm >/dev/null || fail "qemu-system-arm is missing (tools/setup installs it)"

packages=${BOARD_PACKAGES:-$board/../build/board/debs}
debs=()
for name in board-toolset board-toolset-tests; do
  deb=$(ls -t "$packages/${name}_"*_armhf.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || fail "no ${name}_*_armhf.deb in $packages (the board preset's Package.Make test makes them, see the README)"
  debs+=("$deb")
done

# lava-run and the HTTP server, each in a process group of its own, are
# ended with all they started when this script ends.
running=() scratch=
stop() {
  local pid
  for pid in "${running[@]}"; do kill -TERM -- "-$pid" 2>/dev/null; done
  for pid in "${running[@]}"; do wait "$pid" 2>/dev/null; done
  running=()
  # lava-run starts qemu in a session of its own; one left behind by a
  # lava-run that was killed is known by this run's own UART socket.
  [ -z "${state:-}" ] || pgrep -f -- "path=$state/uart.sock" | xargs -r kill -KILL 2>/dev/null
}
trap 'stop; [ -z "$scratch" ] || rm -rf "$scratch"' EXIT
trap 'exit 2' HUP INT TERM
if [ $# -gt 0 ]; then state=$1; mkdir -p "$state" || exit 1
else state=$(mktemp -d); scratch=$state; fi
state=$(cd "$state" && pwd)
rm -rf "$state/files" "$state/debs" "$state/output" "$state/lava.log" "$state"/*.sock
mkdir -p "$state/files" "$state/debs" "$state/output"

# What the job deploys: the image, an initramfs, the test definition.
image=$("$board/image.sh") || exit 1
timeout 120 "$board/mkinitramfs.sh" "$(dirname "$image")" "$state/files/initramfs.cpio" || fail "cannot make the initramfs"
ln -s "$image/vmlinuz" "$image/root.ext4" "$state/files/"
tar -C "$board/.." -czf "$state/files/ptest.tar.gz" board/lava/ptest.yaml board/lava/ptest.sh board/guest/describe
"$here/render.py" "$here/board-qemu.jinja2" STATE="$state" >"$state/device.yaml" || exit 1

# The packages, on the loopback, which the guest reaches as 10.0.2.2.
cp "${debs[@]}" "$state/debs/"
setsid /usr/bin/python3 -u -m http.server --bind 127.0.0.1 --directory "$state/debs" 0 >"$state/http.log" 2>&1 </dev/null &
running+=($!)
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^Serving HTTP on .* port \([0-9]*\) .*/\1/p' "$state/http.log")
  [ -n "$port" ] && break
  kill -0 "${running[0]}" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "cannot serve the packages over HTTP: $(tail -n1 "$state/http.log")"

sed -e "s|@FILES@|file://$state/files|g" -e "s|@PACKAGES@|http://10.0.2.2:$port|g" \
  "$here/job-qemu.yaml" >"$state/job.yaml"
"$here/validate.sh" --schema "$state/job.yaml" || exit 1

start=$SECONDS
bound=${LAVA_RUN_TIMEOUT:-3000}
setsid timeout -k 30 "$bound" lava-run --job-id "$$" --output-dir "$state/output" \
  --device "$state/device.yaml" "$state/job.yaml" >"$state/lava.out" 2>"$state/lava.log" </dev/null &
running+=($!)
wait "${running[-1]}"
status=$?
stop
elapsed=$((SECONDS - start))

# The results: one "results" record per case on lava-run's standard error.
/usr/bin/python3 - "$state/lava.log" "$elapsed" "$status" "$bound" "${port}" <<'PY'
import re, sys, yaml
log, elapsed, status, bound, port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
cases, lava, board, errors, ends, printed = [], {}, [], [], [], []
for line in open(log, errors="replace"):
    if not line.startswith("{"):
        continue
    try:
        record = yaml.load(line, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    except yaml.YAMLError:
        continue
    if not isinstance(record, dict):
        continue
    level, msg = record.get("lvl"), record.get("msg")
    if level == "results" and isinstance(msg, dict):
        if msg.get("definition") == "lava":
            lava[msg.get("case")] = msg
        else:
            cases.append((msg.get("case"), msg.get("result")))
    elif level == "target" and isinstance(msg, str):
        if msg.startswith("board: "):
            board.append(msg.strip())
        # The suite's own lines on the console: each case needs a result.
        line = re.match(r"(PASS|FAIL|SKIP): (\S+)\s*$", msg)
        if line:
            printed.append(line.group(2))
    elif level == "error":
        errors.append(str(msg))
    elif level == "info" and isinstance(msg, str):
        # The end of a top-level action: "end: 1 tmpfs-deploy (duration 00:00:23) [common]".
        end = re.match(r"end: \d+ (\S+) \(duration (\S+)\)", msg)
        if end:
            ends.append("%s %s" % end.groups())

def fail(why):
    sys.stderr.write("lava: %s\n" % why)
    sys.exit(1)

for line in board:
    if line.startswith("board: kernel ") or line.startswith("board: machine "):
        print("lava: emulated board:" + line[len("board:"):])
print("lava: lava-run took %s" % ", ".join(ends))
if status == 124 or status == 137:
    fail("lava-run outlived %s s (see %s)" % (bound, log))
if not cases:
    reached = any(name.endswith("login-action") and entry.get("result") == "pass" for name, entry in lava.items())
    if not reached:
        fail("the board never reached its prompt (console in %s)%s" % (log, ": " + errors[-1] if errors else ""))
    fail("the job ran no test case (see %s)%s" % (log, ": " + errors[-1] if errors else ""))
result = dict(cases)
if result.get("install") == "fail":
    why = [line for line in board if not line.startswith(("board: kernel ", "board: machine "))]
    fail("the board cannot fetch or install the packages from http://10.0.2.2:%s: %s" % (port, why[-1][len("board: "):] if why else "see " + log))
suite = [(name, r) for name, r in cases if name not in ("install", "suite")]
passed = [n for n, r in suite if r == "pass"]
failed = [n for n, r in suite if r == "fail"]
skipped = [n for n, r in suite if r == "skip"]
print("lava: %d passed, %d failed, %d skipped on the emulated board in %d s" % (len(passed), len(failed), len(skipped), elapsed))
if failed or skipped:
    fail("failed on the emulated board: %s" % " ".join(failed + ["%s (skipped)" % n for n in skipped]))
unreported = sorted(set(printed) - set(result))
if unreported:
    fail("no LAVA result for the cases %s (see %s)" % (" ".join(unreported), log))
if not suite:
    fail("the suite on the emulated board reported no test")
if result.get("suite") != "pass":
    fail("the suite on the emulated board did not end well (see %s)" % log)
if errors:
    fail("lava-run: %s" % errors[-1])
PY
