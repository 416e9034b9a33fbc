#!/usr/bin/env bash
# Runs each fuzzer for a bounded time and fails on any crash, failed check,
# leak, hang or memory blow-up.
#
#   fuzz/run.sh BUILD_DIR [SECONDS] [FUZZER...]
#
# BUILD_DIR  a build of the fuzz preset
# SECONDS    fuzzing time for each fuzzer (default 60)
# FUZZER     fuzz_frame_reader, fuzz_capture, fuzz_recv_data (default: all)
#
# Each fuzzer first runs every saved input of fuzz/regressions/<fuzzer>/, then
# fuzzes from a COPY of fuzz/corpus/<fuzzer>/: the committed corpus never
# grows. Corpus, log and any crashing input of each run stay in FUZZ_OUT
# (default: a new folder under /tmp), whose path is printed at the end.
# FUZZ_JOBS fuzzers run at once (default: one per processor).
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
if [ $# -lt 1 ]; then
  sed -n '5,9p' "$0" >&2
  exit 2
fi
build="$1"
seconds="${2:-60}"
shift $(($# > 1 ? 2 : 1))
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(fuzz_frame_reader fuzz_capture fuzz_recv_data)

out="${FUZZ_OUT:-$(mktemp -d /tmp/fuzz-run-XXXXXX)}"
mkdir -p "$out"

export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
# Readable stack traces: Debian installs the symbolizer with a version suffix.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  sym=$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)
  [ -n "$sym" ] && export ASAN_SYMBOLIZER_PATH="$sym"
fi
# Per-input limits: 10 s (a run is milliseconds) and 2 GiB.
common=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# Fuzzes one; false when it failed.
fuzz_one() {
  local f=$1 bin="$build/fuzz/$1" work="$out/$1" regressions seeds rc execs cov corpus
  if [ ! -x "$bin" ]; then
    echo "$f: no program at $bin (build the fuzz preset first)" >&2
    return 1
  fi
  rm -rf "$work"
  mkdir -p "$work/corpus"

  regressions=("$here/regressions/$f"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$bin" "${common[@]}" "${regressions[@]}" >"$work/regressions.log" 2>&1; then
      echo "$f: a saved regression input fails again; see $work/regressions.log" >&2
      tail -n 40 "$work/regressions.log" >&2
      return 1
    fi
  fi

  seeds=$(find "$here/corpus/$f" -type f | wc -l)
  cp -R "$here/corpus/$f/." "$work/corpus/"
  "$bin" "${common[@]}" -max_total_time="$seconds" -artifact_prefix="$work/" \
    "$work/corpus" >"$work/fuzz.log" 2>&1
  rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/fuzz.log" | tail -n 1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  echo "$f: ${execs:-?} executions, ${cov:-no coverage line}, corpus $seeds -> $corpus files"
  if [ $rc -ne 0 ]; then
    echo "$f: FAILED (status $rc); log $work/fuzz.log" >&2
    grep -E '^(==[0-9]+==|fuzz check failed|SUMMARY|artifact_prefix|Test unit written)' "$work/fuzz.log" >&2
    tail -n 60 "$work/fuzz.log" >&2
    return 1
  fi
}

# One fuzzer a processor at a time (FUZZ_JOBS overrides); each is
# single-threaded.
jobs=${FUZZ_JOBS:-$(nproc)}
declare -A running=()
failed=()
reap() {
  local done_pid
  wait -n -p done_pid "${!running[@]}" || failed+=("${running[$done_pid]}")
  unset "running[$done_pid]"
}
for f in "${fuzzers[@]}"; do
  [ ${#running[@]} -lt "$jobs" ] || reap
  fuzz_one "$f" &
  running[$!]=$f
done
while [ ${#running[@]} -gt 0 ]; do reap; done

echo "fuzz output: $out"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers failed: ${failed[*]}" >&2
  exit 1
fi
echo "all ${#fuzzers[@]} fuzzers ran clean"
