#!/usr/bin/env bash
# The main job, end to end on this machine: install what is missing, build the test sender, the
# plug-in and the headless host, stream the recorded walk, and run a user's whole session with
# the plug-in in the host: pick the source and subject in the panel, go online, record ten
# seconds, plot, Characterize, and export the take.
#   scripts/demo.sh   -> out/take.glb, take.bvh, take.csv, take.png, panel.png, session.json
# BUILD_DIR (default build), SECONDS_TO_RECORD (default 10) and PORT (the listening port the
# sender announces to and the panel is set to, default 22000) can be set in the environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
seconds=${SECONDS_TO_RECORD:-10}
port=${PORT:-22000}
out="$root/out"

"$root/scripts/setup.sh" main
# The main job needs neither the tests nor the benchmarks (nor their libraries).
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF
cmake --build "$build" --target telmora-sim-server telmora-host
mkdir -p "$out"

# The sender announces itself to 127.0.0.1:$port, where the plug-in's discovery listens.
echo "Starting the test sender 'Telmora Demo' with the recorded walk (log: $out/sender.log)"
"$build/tools/sim_server/telmora-sim-server" --name "Telmora Demo" --announce-port "$port" \
    "walk=$root/data/mocap/cmu_02_01_walk.bvh" >"$out/sender.log" 2>&1 &
sender=$!
stop_sender() {
    if kill -0 "$sender" 2>/dev/null; then
        kill -TERM "$sender"
        wait "$sender" || true
    fi
}
trap stop_sender EXIT

status=0
"$build/tools/host/telmora-host" session --source "Telmora Demo" --subject walk \
    --record "$seconds" --out "$out" --port "$port" --wait 30 || status=$?
echo "Stopping the test sender"
stop_sender
if [ "$status" -ne 0 ]; then
    echo "The session failed (exit status $status); what happened is in $out/session.json" >&2
    exit "$status"
fi

cat <<EOT

The take is in $out:
  take.glb      the plotted take as glTF 2 (metres): a 65-joint armature with a small skinned
                mesh and one animation "Take"
  take.bvh      the same take as BVH (centimetres), one frame per plotted key
  take.csv      every recorded key: time, bone, translation (cm), rotation (Euler degrees)
  take.png      the plotted character at six moments, front and side
  panel.png     the settings panel with the source and subject picked
  session.json  what happened, in figures

To look at it in a 3-D package, e.g. Blender:
  File > Import > glTF 2.0 (.glb/.gltf) > $out/take.glb, then press Space to play;
  File > Import > Motion Capture (.bvh) > $out/take.bvh with Scale 0.01 (the file is in
  centimetres). Other packages open take.glb with their glTF 2 import and take.bvh with their
  BVH (motion capture) import.
EOT
