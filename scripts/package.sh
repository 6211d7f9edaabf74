#!/usr/bin/env bash
# Builds the Linux package, TelmoraLink-<version>-Linux.tar.gz, and checks it
# (scripts/check_package.sh): the plug-in with its icon, the tools and the README, as
# `cmake --install` lays them out. A build folder that is configured already is built and packed
# as it is (CI packs the tested build); a new one is configured Release, without tests.
#   scripts/package.sh [BUILD_DIR]   (default build-package)
# The Windows package comes from scripts/windows.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  "$root/scripts/setup.sh" main
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF
fi
cmake --build "$build"
# Only this version's package: an older one left in the folder would be checked instead.
rm -f "$build"/TelmoraLink-*-Linux.tar.gz
(cd "$build" && cpack)
"$root/scripts/check_package.sh" "$build"/TelmoraLink-*-Linux.tar.gz
