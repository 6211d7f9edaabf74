#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for SECONDS (default 60)
# from the seed corpus in fuzz/corpus. Any finding (crash, sanitizer report, broken property,
# leak, time-out) fails the script; its input is left in build-fuzz/findings/ and belongs in
# fuzz/corpus/<target's folder>/ once fixed, where the corpus replay test keeps it.
#   scripts/fuzz.sh [SECONDS]
# FUZZ_BUILD overrides the build folder; FUZZ_RUNS=N runs N inputs per target instead of a time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD:-$root/build-fuzz}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DTELMORA_BUILD_FUZZERS=ON \
  -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF
targets=(stream_datagram_fuzzer announcement_fuzzer take_file_fuzzer)
cmake --build "$build" --target "${targets[@]}"

# target:seed folder:longest input
runs=(
  "stream_datagram_fuzzer:stream:512"
  "announcement_fuzzer:announcement:4095"
  "take_file_fuzzer:bvh:8192"
)
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for run in "${runs[@]}"; do
  IFS=: read -r target seeds maxLen <<<"$run"
  # New inputs go to a scratch corpus in the build folder; the repository's seeds are read only.
  work="$build/corpus/$seeds"
  findings="$build/findings/$seeds"
  mkdir -p "$work" "$findings"
  limit=(-max_total_time="$seconds")
  if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi
  echo "fuzz: $target for ${FUZZ_RUNS:-${seconds}s}${FUZZ_RUNS:+ inputs}"
  if ! "$build/fuzz/$target" "${limit[@]}" -max_len="$maxLen" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$root/fuzz/corpus/$seeds" \
      >"$build/$target.log" 2>&1; then
    tail -n 60 "$build/$target.log"
    echo "fuzz: $target found a failing input: $(ls "$findings")" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/$target.log" | tail -n 2
  fi
done
exit $status
