#!/usr/bin/env bash
# The set monitor's figures (tests/browser/figures.mjs): its CPU with 1 and 20 pages watching a
# 120 Hz subject, bytes a second per page, and sendto -> page drawn (median, p99), with the
# test sender, the monitor and Debian's headless Chromium on this machine.
#   scripts/monitor_figures.sh [BUILD_DIR]     (TELMORA_FIGURES_SECONDS: each window, default 10)
#   scripts/monitor_figures.sh --screenshot    the README's picture instead, docs/monitor.png
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
script=figures.mjs
out=()
if [ "${1:-}" = --screenshot ]; then
  script=screenshot.mjs
  out=("$root/docs/monitor.png")
  shift
fi
build=${1:-$root/build}
"$root/scripts/setup.sh" tests
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target telmora-monitor telmora-sim-server
TELMORA_MONITOR_EXE="$build/tools/monitor/telmora-monitor" \
  TELMORA_SIM_SERVER_EXE="$build/tools/sim_server/telmora-sim-server" \
  TELMORA_MOCAP_DIR="$root/data/mocap" node "$root/tests/browser/$script" "${out[@]}"
