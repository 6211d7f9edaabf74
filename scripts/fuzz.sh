#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for SECONDS (default 60)
# from the seed corpus in fuzz/corpus. Any finding (crash, sanitizer report, broken property,
# leak, time-out) fails the script; its input is left in build-fuzz/findings/ and belongs in
# fuzz/corpus/<target's folder>/ once fixed, where the corpus replay test keeps it.
#   scripts/fuzz.sh [SECONDS]
# FUZZ_BUILD overrides the build folder; FUZZ_RUNS=N runs N inputs per target instead of a time;
# FUZZ_ONLY=target runs one target. FUZZ_CHUNK=M (with FUZZ_RUNS) spreads the N inputs over
# processes of M inputs each, all growing one corpus: that is how the long runs go. Assimp's BVH
# importer leaks what it has read of a malformed hierarchy, so a single process would run out of
# memory, and libFuzzer's leak check after every leaking input would slow it fivefold; chunks
# leave the per-input check out and LeakSanitizer checks each chunk when it exits instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD:-$root/build-fuzz}

"$root/scripts/setup.sh" ci
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DTELMORA_BUILD_FUZZERS=ON \
  -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF
targets=(stream_datagram_fuzzer announcement_fuzzer take_file_fuzzer capture_file_fuzzer)
cmake --build "$build" --target "${targets[@]}"

# target:seed folder:longest input
runs=(
  "stream_datagram_fuzzer:stream:512"
  "announcement_fuzzer:announcement:4095"
  "take_file_fuzzer:bvh:8192"
  "capture_file_fuzzer:capture:8192"
)
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The take-file target writes each input to a file: keep that in memory where there is a tmpfs.
if [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

# fuzzOnce target seeds maxLen findings log limit...: one libFuzzer process over the corpus.
fuzzOnce() {
  local target=$1 seeds=$2 maxLen=$3 findings=$4 log=$5
  shift 5
  "$build/fuzz/$target" "$@" -max_len="$maxLen" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$build/corpus/$seeds" \
    "$root/fuzz/corpus/$seeds" >"$log" 2>&1
}

status=0
for run in "${runs[@]}"; do
  IFS=: read -r target seeds maxLen <<<"$run"
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$target" != "$FUZZ_ONLY" ]; then continue; fi
  # New inputs go to a scratch corpus in the build folder; the repository's seeds are read only.
  findings="$build/findings/$seeds"
  log="$build/$target.log"
  mkdir -p "$build/corpus/$seeds" "$findings"
  started=$SECONDS
  if [ -n "${FUZZ_RUNS:-}" ] && [ -n "${FUZZ_CHUNK:-}" ]; then
    echo "fuzz: $target for $FUZZ_RUNS inputs in chunks of $FUZZ_CHUNK"
    ran=0 chunk=0 failed=0
    while [ "$ran" -lt "$FUZZ_RUNS" ]; do
      chunk=$((chunk + 1))
      count=$((FUZZ_RUNS - ran < FUZZ_CHUNK ? FUZZ_RUNS - ran : FUZZ_CHUNK))
      if ! fuzzOnce "$target" "$seeds" "$maxLen" "$findings" "$log" -runs="$count" \
          -seed="$chunk" -detect_leaks=0; then
        failed=1
        break
      fi
      ran=$((ran + count))
    done
    echo "fuzz: $target ran $ran inputs in $chunk processes, $((SECONDS - started)) s"
  else
    limit=(-max_total_time="$seconds")
    if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi
    echo "fuzz: $target for ${FUZZ_RUNS:-${seconds}s}${FUZZ_RUNS:+ inputs}"
    failed=0
    fuzzOnce "$target" "$seeds" "$maxLen" "$findings" "$log" "${limit[@]}" || failed=1
  fi
  if [ "$failed" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: $target found a failing input: $(ls "$findings")" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" | tail -n 2
  fi
done
exit $status
