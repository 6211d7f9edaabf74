#!/usr/bin/env bash
# Sets up, configures, builds and runs every test.
#   scripts/test.sh                      -> build/ , plain RelWithDebInfo build
#   scripts/test.sh DIR [cmake args...]  -> another build folder and options
#     (for example: scripts/test.sh build-asan -DTELMORA_SANITIZE=address,undefined)
# Extra ctest arguments can be given in CTEST_ARGS (for example "-L threaded"), and the build
# can be limited to some targets with BUILD_TARGETS (for example "threaded_tests").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true
case "$build" in /*) ;; *) build="$root/$build" ;; esac

"$root/scripts/setup.sh" tests
# Tests and benchmarks on (a build folder the main job configured has them off), warnings in our
# own code as errors; the caller's arguments come last and win.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELMORA_BUILD_TESTS=ON \
  -DTELMORA_BUILD_BENCH=ON -DTELMORA_WERROR=ON "$@"
# shellcheck disable=SC2086
cmake --build "$build" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure ${CTEST_ARGS:-}
