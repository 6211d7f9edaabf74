#!/usr/bin/env bash
# The main job, end to end on this machine: install what is missing, build the test sender and
# the stream monitor, stream the recorded walk, watch it with the monitor for about ten seconds
# (one line per second, then a summary) and draw the solved poses.
#   scripts/demo.sh            -> picture in out/telmora-walk.png, channels in out/telmora-walk.csv
# BUILD_DIR (default build) and SECONDS_TO_WATCH (default 10) can be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
seconds=${SECONDS_TO_WATCH:-10}
out="$root/out"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target telmora-sim-server telmora-monitor
mkdir -p "$out"

# The sender announces itself to 127.0.0.1:22000, where the monitor listens, as the plug-in does.
"$build/tools/sim_server/telmora-sim-server" --name "Telmora Demo" \
    "walk=$root/data/mocap/cmu_02_01_walk.bvh" &
sender=$!
stop_sender() {
    if kill -0 "$sender" 2>/dev/null; then
        kill -TERM "$sender"
        wait "$sender" || true
    fi
}
trap stop_sender EXIT

"$build/tools/monitor/telmora-monitor" "Telmora Demo" walk --duration "$seconds" \
    --picture "$out/telmora-walk.png" --csv "$out/telmora-walk.csv"
stop_sender
echo "The picture of the solved walk is in $out/telmora-walk.png"
