#!/usr/bin/env bash
# Runs every benchmark of the toolset against its peers and comparison loops,
# writes one CSV per benchmark, a summary with the goals, and the plots.
#
#   bench/run.sh [--size tiny|full] [--only LIST] [--repeat N] [--out DIR] [--plots DIR] [--build DIR]
#
#   --size tiny   a few seconds per benchmark, to check that they all still work
#                 (CI); results go to build/bench/tiny unless --out says otherwise
#   --size full   the documented run (default); CSVs go to bench/results, plots
#                 next to bench/README.md
#   --only LIST   comma-separated subset of:
#                 chat,ordinary,bulk,mtu,memory,parrot,lines,waits,footprint,armhf
#   --repeat N    runs of each configuration (default: 1 tiny, 5 full)
#   --build DIR   where the Release builds go (default build/bench)
#
# mtu runs the bulk benchmark again in a private network namespace whose
# loopback has a 1500-byte MTU, like the board's Ethernet: run.sh starts
# itself there with `unshare -n` (needs root) and skips it with a message
# where it cannot (a container without the right to make namespaces).
#
# Builds: the `release` preset (host) and the `armhf-release` preset (board),
# each into a folder of its own under the build folder, and the tools of
# bench/CMakeLists.txt for both, with -j2. All traffic stays on 127.0.0.1; every load
# ends by itself (a count and a time limit); the servers started here are
# stopped by their process id.
#
# Needs (Debian): cmake ninja-build g++ crossbuild-essential-armhf qemu-user
# ncat socat gnuplot-nox strace iproute2 (for mtu; unshare is in util-linux).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
size=full
only=chat,ordinary,bulk,mtu,memory,parrot,lines,waits,footprint,armhf
out=""
plots=""
build=""
repeat=""
in_netns=0
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=${2:?}; shift 2 ;;
    --only) only=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    --plots) plots=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    --repeat) repeat=${2:?}; shift 2 ;;
    --in-netns) in_netns=1; shift ;;  # internal: the mtu part, inside unshare -n
    -h | --help) sed -n '2,29p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

BUILD=${build:-$ROOT/build/bench}
case "$size" in
  tiny)
    out=${out:-$BUILD/tiny}
    CHAT_DELIVERIES=20000     # lines x receivers per flood run
    RATE_LINES=10             # lines per sender at the fixed rate
    BULK_DELIVERED=24000000   # bytes delivered per bulk run
    MTU_DELIVERED=24000000    # the same, over the 1500-byte MTU
    LINES=200                 # lines per line-at-a-time echo client
    MEM_LINES=1
    ECHO_BYTES=2000000        # per echo client
    WAITS=3
    QUIET_WAITS=1             # waits on a line gone quiet part-way, 3 s each
    REPEAT=1
    QEMU_CHAT_DELIVERIES=5000
    QEMU_BULK_DELIVERED=4000000
    QEMU_ECHO_BYTES=1000000
    TIME_LIMIT=60
    ;;
  full)
    out=${out:-$ROOT/bench/results}
    plots=${plots:-$ROOT/bench}
    CHAT_DELIVERIES=4000000
    RATE_LINES=500
    BULK_DELIVERED=2000000000
    MTU_DELIVERED=1000000000
    LINES=4000
    MEM_LINES=4
    ECHO_BYTES=100000000
    WAITS=30
    QUIET_WAITS=5
    REPEAT=5
    QEMU_CHAT_DELIVERIES=2000000
    QEMU_BULK_DELIVERED=1000000000
    QEMU_ECHO_BYTES=50000000
    TIME_LIMIT=300
    ;;
  *) echo "run.sh: --size is tiny or full" >&2; exit 2 ;;
esac
plots=${plots:-$out}
if [ -n "$repeat" ]; then
  case "$repeat" in *[!0-9]* | 0) echo "run.sh: --repeat is a number of 1 or more" >&2; exit 2 ;; esac
  REPEAT=$repeat
fi
CLIENT_COUNTS="16 64 256"
SENDERS=4
RATE=50  # lines per second per sender at the fixed rate

want() { case ",$only," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }

mkdir -p "$out" "$plots" "$BUILD/logs"
LOGS=$BUILD/logs
HOST=$BUILD/release
ARM=$BUILD/armhf-release
TOOLS=$BUILD/tools
ARMTOOLS=$BUILD/tools-armhf
EMU=(qemu-arm -L /usr/arm-linux-gnueabihf)

note() { printf '\n== %s\n' "$*"; }

# Inside the namespace: the loopback up with the MTU of the board's network.
if [ "$in_netns" = 1 ]; then
  ip link set lo up
  ip link set lo mtu 1500
fi

# Runs a build step with its output in a log; shows the end of it on failure.
step() {
  local log=$LOGS/$1.log
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "run.sh: build step failed: $*" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

for tool in ncat socat gnuplot strace; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (apt-get install ncat socat gnuplot-nox strace)" >&2; exit 1; }
done

# ---------------------------------------------------------------- builds
if [ "$in_netns" = 1 ]; then
  :  # the outer run.sh has built everything
elif want chat || want ordinary || want bulk || want mtu || want memory || want parrot || want lines || want waits; then
  note "building ($size run, results in $out)"
  step host-configure cmake -S "$ROOT" --preset release -B "$HOST"
  step host-build cmake --build "$HOST" -j2 --target talkhub parrot
  step tools-configure cmake -S "$ROOT/bench" -B "$TOOLS" -G Ninja -DCMAKE_BUILD_TYPE=Release
  step tools-build cmake --build "$TOOLS" -j2
fi
if want armhf || want footprint; then
  command -v qemu-arm >/dev/null || { echo "run.sh: qemu-arm is missing (apt-get install qemu-user)" >&2; exit 1; }
  step arm-configure cmake -S "$ROOT" --preset armhf-release -B "$ARM"
  step arm-build cmake --build "$ARM" -j2
  step armtools-configure cmake -S "$ROOT/bench" -B "$ARMTOOLS" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/armhf-toolchain.cmake"
  step armtools-build cmake --build "$ARMTOOLS" -j2 --target bare_relay bare_relay_nodelay bare_echo
fi

# ---------------------------------------------------------------- servers
SERVER_PID=""
stop_server() {
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
  fi
}
trap stop_server EXIT

# start_server NAME ARCH: starts one server on a fresh port; sets PORT,
# SERVER_PID and ECHO (1 when the relay returns a sender's own blocks).
start_server() {
  local name=$1 arch=$2 bin=$HOST tools=$TOOLS emu=()
  if [ "$arch" = armhf ]; then bin=$ARM; tools=$ARMTOOLS; emu=("${EMU[@]}"); fi
  PORT=$("$TOOLS/freeport")
  ECHO=1
  case "$name" in
    talkhub) "${emu[@]}" "$bin/talkhub/talkhub" "$PORT" >/dev/null & ;;
    bare_relay) "${emu[@]}" "$tools/bare_relay" "$PORT" & ;;
    bare_relay_nodelay) "${emu[@]}" "$tools/bare_relay_nodelay" "$PORT" & ;;
    ncat) ncat --broker --listen --max-conns 300 127.0.0.1 "$PORT" & ECHO=0 ;;
    parrot) "${emu[@]}" "$bin/parrot/parrot" "$PORT" & ;;
    bare_echo) "${emu[@]}" "$tools/bare_echo" "$PORT" 5 & ;;
    socat) socat "TCP-LISTEN:$PORT,bind=127.0.0.1,reuseaddr" PIPE & ;;
    *) echo "run.sh: unknown server $name" >&2; exit 1 ;;
  esac
  SERVER_PID=$!
}

# Servers that end by themselves (the echo servers after their clients):
# give them a few seconds, then stop them and say so.
expect_exit() {
  for _ in $(seq 50); do
    kill -0 "$SERVER_PID" 2>/dev/null || { wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=""; return 0; }
    sleep 0.1
  done
  echo "run.sh: server $SERVER_PID did not end after its last client" >&2
  stop_server
  return 1
}

# csv FILE COMMAND...: appends the command's CSV line, with the header when
# the file is new.
csv() {
  local file=$1 header=0
  shift
  [ -s "$file" ] || header=1
  timeout --kill-after=5 $((TIME_LIMIT + 30)) "$@" --time-limit "$TIME_LIMIT" --header "$header" | tee -a "$file"
}

per() { # per TOTAL DIVISOR MIN: TOTAL / DIVISOR, at least MIN
  awk -v t="$1" -v d="$2" -v m="$3" 'BEGIN { v = int(t / d); if (v < m) v = m; print v }'
}

chat_runs() { # chat_runs FILE ARCH DELIVERIES SERVERS...
  local file=$1 arch=$2 deliveries=$3 n s lines
  shift 3
  for n in $CLIENT_COUNTS; do
    for _ in $(seq "$REPEAT"); do
      for s in "$@"; do
        lines=$(per "$deliveries" $((SENDERS * (n - 1))) 10)
        start_server "$s" "$arch"
        csv "$file" "$TOOLS/chatload" --mode chat --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
          --echo "$ECHO" --clients "$n" --senders "$SENDERS" --messages "$lines" --window 16
        stop_server
      done
    done
  done
}

bulk_runs() { # bulk_runs FILE ARCH DELIVERED SERVERS...
  local file=$1 arch=$2 delivered=$3 n s bytes
  shift 3
  for n in $CLIENT_COUNTS; do
    for _ in $(seq "$REPEAT"); do
      for s in "$@"; do
        bytes=$(per "$delivered" $((SENDERS * (n - 1))) 65536)
        start_server "$s" "$arch"
        csv "$file" "$TOOLS/chatload" --mode bulk --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
          --echo "$ECHO" --clients "$n" --senders "$SENDERS" --bytes "$bytes" --block 1024
        stop_server
      done
    done
  done
}

memory_runs() { # memory_runs FILE ARCH SERVERS...: 256 clients, every one sends
  local file=$1 arch=$2 s
  shift 2
  for s in "$@"; do
    start_server "$s" "$arch"
    csv "$file" "$TOOLS/chatload" --mode chat --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
      --echo "$ECHO" --clients 256 --senders 256 --messages "$MEM_LINES" --window 16
    stop_server
  done
}

echo_runs() { # echo_runs FILE ARCH BYTES SERVERS...
  local file=$1 arch=$2 bytes=$3 s clients each
  shift 3
  for _ in $(seq "$REPEAT"); do
    for s in "$@"; do
      clients=5
      each=$bytes
      # socat serves one connection and ends: the same volume on one.
      [ "$s" = socat ] && clients=1 && each=$((bytes * 5))
      start_server "$s" "$arch"
      if ! csv "$file" "$TOOLS/echoload" --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
        --clients "$clients" --bytes "$each"; then
        # socat's PIPE echo now and then stalls with both directions full. It
        # is a peer, not ours: in the tiny run, which only checks that our
        # benchmarks work, its row is left out; a full run still stops.
        [ "$s" = socat ] && [ "$size" = tiny ] || exit 1
        echo "run.sh: socat stalled; its row is left out of this tiny run" >&2
        stop_server
        continue
      fi
      expect_exit
    done
  done
}

# ---------------------------------------------------------------- host runs
if want chat; then
  note "1. talkhub, chat lines: as fast as the window allows, then at $RATE lines/s per sender"
  rm -f "$out/chat.csv"
  chat_runs "$out/chat.csv" host "$CHAT_DELIVERIES" talkhub ncat bare_relay
  # Fixed rate, clients that acknowledge every read at once.
  for n in $CLIENT_COUNTS; do
    for s in talkhub ncat bare_relay; do
      start_server "$s" host
      csv "$out/chat.csv" "$TOOLS/chatload" --mode chat --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
        --echo "$ECHO" --clients "$n" --senders "$SENDERS" --messages "$RATE_LINES" --rate "$RATE" --quickack 1
      stop_server
    done
  done
fi

if want ordinary; then
  note "1b. talkhub, chat lines at $RATE lines/s per sender, ordinary clients (acknowledgements delayed)"
  # A relay that leaves Nagle on holds each line until the previous one is
  # acknowledged, and these clients delay that acknowledgement.
  rm -f "$out/chat_ordinary.csv"
  for n in $CLIENT_COUNTS; do
    for _ in $(seq "$REPEAT"); do
      for s in talkhub ncat bare_relay bare_relay_nodelay; do
        start_server "$s" host
        csv "$out/chat_ordinary.csv" "$TOOLS/chatload" --mode chat --label "$s" --port "$PORT" --server-pid "$SERVER_PID" \
          --echo "$ECHO" --clients "$n" --senders "$SENDERS" --messages "$RATE_LINES" --rate "$RATE" --quickack 0
        stop_server
      done
    done
  done
fi

if want bulk; then
  note "2. talkhub, bulk: $SENDERS senders of 1024-byte blocks"
  rm -f "$out/bulk.csv"
  bulk_runs "$out/bulk.csv" host "$BULK_DELIVERED" talkhub bare_relay bare_relay_nodelay ncat
fi

if want mtu; then
  if [ "$in_netns" = 1 ]; then
    note "2b. talkhub, bulk over a 1500-byte MTU ($(ip -o link show lo | grep -o 'mtu [0-9]*'))"
    bulk_runs "$out/bulk_mtu.csv" host "$MTU_DELIVERED" talkhub bare_relay bare_relay_nodelay ncat
    exit 0
  fi
  rm -f "$out/bulk_mtu.csv"
  if ! command -v ip >/dev/null || ! unshare -n true 2>/dev/null; then
    note "2b. skipped: bulk over a 1500-byte MTU needs ip (iproute2) and unshare -n (root, allowed to make network namespaces)"
  else
    unshare -n -- bash "$0" --in-netns --size "$size" --only mtu --repeat "$REPEAT" --out "$out" --plots "$plots" \
      --build "$BUILD"
  fi
fi

if want memory; then
  note "3. memory with 256 clients"
  rm -f "$out/memory.csv"
  memory_runs "$out/memory.csv" host talkhub ncat bare_relay
fi

if want parrot; then
  note "4. parrot: five clients in turn, $ECHO_BYTES bytes each, verified"
  rm -f "$out/parrot.csv"
  echo_runs "$out/parrot.csv" host "$ECHO_BYTES" parrot bare_echo socat
fi

if want waits; then
  note "5. portwire waits on a pseudo-terminal"
  rm -f "$out/waits.csv"
  for baud in 115200 921600; do
    for n in 100 600 4000; do
      for v in "portwire 10" "portwire 8" "naive 10"; do
        set -- $v
        hdr=0
        [ -s "$out/waits.csv" ] || hdr=1
        timeout 300 "$TOOLS/portwait" --impl "$1" --bits "$2" --baud "$baud" --want "$n" --waits "$WAITS" \
          --header "$hdr" | tee -a "$out/waits.csv"
      done
    done
  done
  # Cross-check of the counting wrappers with the system's own count.
  strace -f -c -e trace=select,pselect6,poll,ppoll,clock_nanosleep,nanosleep -o "$out/waits_strace.txt" \
    "$TOOLS/portwait" --impl portwire --bits 10 --baud 115200 --want 600 --waits "$WAITS" --header 1 \
    >"$out/waits_strace.csv"
  # The line goes quiet part-way: 1 of 2 or 50 of 100 bytes never come and
  # every wait runs its 3 s time-out. Goal: at most 1% of a core.
  rm -f "$out/waits_quiet.csv"
  for baud in 115200 4000000; do
    for v in "2 1" "100 50"; do
      set -- $v
      hdr=0
      [ -s "$out/waits_quiet.csv" ] || hdr=1
      timeout 300 "$TOOLS/portwait" --impl portwire --baud "$baud" --want "$1" --quiet "$2" --timeout 3000 \
        --waits "$QUIET_WAITS" --header "$hdr" | tee -a "$out/waits_quiet.csv"
    done
  done
fi

if want lines; then
  note "4b. parrot, line-at-a-time clients: $LINES lines each, round trip of each line"
  # Kernel defaults on the client (Nagle, delayed acknowledgements) or Nagle
  # off; one line at a time, a sliding window of 8, or blocks of 8 pasted at once.
  rm -f "$out/parrot_lines.csv"
  for _ in $(seq "$REPEAT"); do
    for v in "1 0 0" "8 0 0" "8 1 0" "8 1 1"; do
      set -- $v
      for s in parrot bare_echo; do
        start_server "$s" host
        hdr=0
        [ -s "$out/parrot_lines.csv" ] || hdr=1
        timeout --kill-after=5 $((TIME_LIMIT + 30)) "$TOOLS/echoload" --label "$s" --port "$PORT" \
          --server-pid "$SERVER_PID" --clients 5 --lines "$LINES" --window "$1" --batch "$2" --nodelay "$3" \
          --time-limit "$TIME_LIMIT" --header "$hdr" | tee -a "$out/parrot_lines.csv"
        expect_exit
      done
    done
  done
fi

# ---------------------------------------------------------------- board
if want footprint; then
  note "6. footprint of the armhf build"
  bash "$ROOT/bench/footprint.sh" "$ARM" | tee "$out/footprint.csv"
fi

if want armhf; then
  note "7. benchmarks 1 to 4 built for armhf, under qemu-arm, against the bare loops built the same way"
  rm -f "$out"/armhf_*.csv
  chat_runs "$out/armhf_chat.csv" armhf "$QEMU_CHAT_DELIVERIES" talkhub bare_relay
  bulk_runs "$out/armhf_bulk.csv" armhf "$QEMU_BULK_DELIVERED" talkhub bare_relay bare_relay_nodelay
  memory_runs "$out/armhf_memory.csv" armhf talkhub bare_relay
  echo_runs "$out/armhf_parrot.csv" armhf "$QEMU_ECHO_BYTES" parrot bare_echo
fi

# ---------------------------------------------------------------- report
note "summary and plots"
bash "$ROOT/bench/report.sh" "$out" "$plots"
echo "run.sh: done; CSVs and summary.md in $out, plots in $plots"
