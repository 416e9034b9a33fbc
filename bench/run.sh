#!/usr/bin/env bash
# bench/run.sh [--size tiny|full] [--only LIST] [--repeat N] [--out DIR]: the benchmarks of bench/README.md, a CSV of
# medians each, then the goals' verdicts (summary.md) and the plots.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=full only=chat,ordinary,bulk,mtu,memory,parrot,lines,waits,footprint,armhf repeat="" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --size | --only | --repeat | --out) declare "${1#--}=${2:?$1 needs a value}"; shift 2 ;;
    *) echo "run.sh: unknown argument $1 (see the top of bench/run.sh)" >&2; exit 2 ;;
  esac
done
# Chat deliveries (lines x receivers), lines at the fixed rate, bulk and MTU bytes delivered, memory lines, echo bytes
# and lines a client, waits, quiet waits; the same under qemu-arm; repeats; time limit (s).
case "$size" in
  tiny) chat=2e4 rate=10 bulk=2.4e7 mtu=2.4e7 mem=1 echo=2000000 lines=200 waits=3 quiet=1
        qchat=5e3 qbulk=4e6 qecho=1e6 reps=${repeat:-1} limit=60 out=${out:-$root/build/bench/tiny} plots=$out ;;
  full) chat=4e6 rate=500 bulk=2e9 mtu=1e9 mem=4 echo=100000000 lines=4000 waits=30 quiet=5
        qchat=2e6 qbulk=1e9 qecho=5e7 reps=${repeat:-5} limit=300 out=${out:-$root/bench/results} plots=$root/bench ;;
  *) echo "run.sh: --size is tiny or full" >&2; exit 2 ;;
esac
# Whether benchmark $1 is asked for; if so, its old results ($2...) go.
want() { case ",$only," in *",$1,"*) shift; rm -f "$@" ;; *) return 1 ;; esac; }
for tool in ncat socat gnuplot strace $(want armhf && echo qemu-arm); do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (see bench/README.md)" >&2; exit 1; }
done
# The release builds, the host one installed where bench/CMakeLists.txt finds portwire as a user would.
b=$root/build/bench
mkdir -p "$out" "$plots" "$b"
out=$(cd "$out" && pwd) plots=$(cd "$plots" && pwd)
step() { "$@" >>"$b/build.log" 2>&1 || { tail -n 30 "$b/build.log" >&2; echo "run.sh: failed: $*" >&2; exit 1; }; }
build() { step cmake -S "$1" -B "$2" "${@:3}"; step cmake --build "$2" -j2; }
echo "run.sh: building into $b"
build "$root" "$b/release" --preset release
step cmake --install "$b/release" --prefix "$b/stage"
build "$root/bench" "$b/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$b/stage"
if want armhf || want footprint; then
  build "$root" "$b/armhf" --preset armhf-release
  build "$root/bench" "$b/tools-armhf" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake"
fi
# The servers as LABEL=COMMAND; the generators set PORT. ncat does not return a sender's own lines.
t=$b/tools h=$b/release a=$b/armhf at=$b/tools-armhf q="qemu-arm -L /usr/arm-linux-gnueabihf"
talkhub="talkhub=$h/talkhub/talkhub \$PORT" bare="bare_relay=$t/bare_relay \$PORT"
nodelay="bare_relay_nodelay=$t/bare_relay \$PORT nodelay" ncat="ncat=ncat --broker --listen --max-conns 300 127.0.0.1 \$PORT"
parrot="parrot=$h/parrot/parrot \$PORT" bare_echo="bare_echo=$t/bare_echo \$PORT 5"
chatload=("$t/chatload" --time-limit "$limit" --repeat "$reps" --no-echo ncat)
echoload=("$t/echoload" --time-limit "$limit" --repeat "$reps")
cd "$out"
if want chat chat.csv; then
  "${chatload[@]}" --csv chat.csv --deliveries $chat "$talkhub" "$ncat" "$bare"
  "${chatload[@]}" --csv chat.csv --repeat 1 --messages $rate --rate 50 "$talkhub" "$ncat" "$bare"
fi
want ordinary chat_ordinary.csv && "${chatload[@]}" --csv chat_ordinary.csv --messages $rate --rate 50 --quickack 0 \
  "$talkhub" "$ncat" "$bare" "$nodelay"
want bulk bulk.csv && "${chatload[@]}" --csv bulk.csv --mode bulk --delivered $bulk "$talkhub" "$bare" "$nodelay" "$ncat"
if want mtu bulk_mtu.csv && ! { command -v ip >/dev/null && unshare -n true 2>/dev/null; }; then
  echo "run.sh: mtu skipped: it needs ip (iproute2) and unshare -n (root, allowed to make network namespaces)"
elif want mtu; then  # in a network namespace of its own, whose loopback has the board's 1500-byte MTU
  unshare -n sh -c 'ip link set lo up && ip link set lo mtu 1500 && exec "$@"' sh \
    "${chatload[@]}" --csv bulk_mtu.csv --mode bulk --delivered $mtu "$talkhub" "$bare" "$nodelay" "$ncat"
fi
want memory memory.csv && "${chatload[@]}" --csv memory.csv --repeat 1 --clients 256 --senders 256 --messages $mem \
  "$talkhub" "$ncat" "$bare"
if want parrot parrot.csv; then
  "${echoload[@]}" --csv parrot.csv --bytes $echo "$parrot" "$bare_echo"
  # socat serves one client: the same volume on one. Its PIPE echo at times stalls, a peer's fault: tiny runs go on.
  "${echoload[@]}" --csv parrot.csv --clients 1 --bytes $((echo * 5)) "socat=socat TCP-LISTEN:\$PORT,bind=127.0.0.1,reuseaddr PIPE" ||
    { [ "$size" = tiny ] && echo "run.sh: socat stalled; its row is left out of this tiny run" >&2; }
fi
want lines parrot_lines.csv && for v in 1:0:0 8:0:0 8:1:0 8:1:1; do  # window:batch:nodelay
  IFS=: read -r w batch nd <<<"$v"
  "${echoload[@]}" --csv parrot_lines.csv --lines $lines --window "$w" --batch "$batch" --nodelay "$nd" "$parrot" "$bare_echo"
done
if want waits waits*.csv waits_strace.txt; then
  for baud in 115200 921600; do for n in 100 600 4000; do for v in portwire:10 portwire:8 naive:10; do
    "$t/portwait" --csv waits.csv --impl ${v%:*} --bits ${v#*:} --baud $baud --want $n --waits $waits
  done; done; done
  # The counting wrappers against the system's own count, every thread.
  strace -f -c -e trace=ppoll,clock_nanosleep -o waits_strace.txt \
    "$t/portwait" --csv waits_strace.csv --baud 115200 --want 600 --waits $waits
  for baud in 115200 4000000; do for v in 2:1 100:50; do  # bytes wanted:missing
    "$t/portwait" --csv waits_quiet.csv --baud $baud --want ${v%:*} --quiet ${v#*:} --waits $quiet
  done; done
fi
want footprint && bash "$root/bench/footprint.sh" "$a" | tee footprint.csv
if want armhf armhf_*.csv; then
  qtalkhub="talkhub=$q $a/talkhub/talkhub \$PORT" qbare="bare_relay=$q $at/bare_relay \$PORT"
  "${chatload[@]}" --csv armhf_chat.csv --deliveries $qchat "$qtalkhub" "$qbare"
  "${chatload[@]}" --csv armhf_bulk.csv --mode bulk --delivered $qbulk "$qtalkhub" "$qbare" \
    "bare_relay_nodelay=$q $at/bare_relay \$PORT nodelay"
  "${chatload[@]}" --csv armhf_memory.csv --repeat 1 --clients 256 --senders 256 --messages $mem "$qtalkhub" "$qbare"
  "${echoload[@]}" --csv armhf_parrot.csv --bytes $qecho "parrot=$q $a/parrot/parrot \$PORT" "bare_echo=$q $at/bare_echo \$PORT 5"
fi
"$t/verdicts" .
gnuplot -e "dir='$out'; out='$plots'" "$root/bench/plots.gp"
echo "run.sh: done; CSVs and summary.md in $out, plots in $plots"
