#!/usr/bin/env bash
# Cross-builds the Windows parts with mingw-w64 (cmake/mingw-w64.cmake) into build-windows and
# runs under Wine: their tests through ctest (the GoogleTest programs, the DLL's export check,
# the host harness's validator on TelmoraLink.dll), the win64 package's check, and a session in
# which telmora-host.exe records from the Linux test sender over loopback.
# Wine's first start (creating the prefix inside the build folder) is part of the run. Prints
# the time of each step. Programs and DLLs are all in $build/bin (Windows finds fbsdk.dll
# beside the program that needs it). cairo and Assimp have no mingw packages: the pictures,
# take import and glTF export are compiled out of this build.
#   scripts/windows.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
started=$SECONDS
step() { echo "windows: $1 ($((SECONDS - started)) s so far)"; }

"$root/scripts/setup.sh" ci
# Release: without debug information the statically linked programs compile and link in about
# half the time, which keeps the stage under ten minutes.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DTELMORA_BUILD_BENCH=OFF

# Everything the cross build has: the plug-in, the SDK stand-in, the host harness, the test
# programs.
nice -n 10 cmake --build "$build" -j2
step "built"

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine to offer to install
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
  step "Wine prefix created"
fi
# One wine server for the whole stage: each program otherwise starts and leaves its own, and a
# program started while the last one's server is shutting down loses it ("wine client error:
# recvmsg: Connection reset by peer") before it runs a test. The first program also starts
# Wine's background services, which keep the descriptors it was given: started here with
# nowhere to write, they cannot hold a test's output pipe (and ctest with it) open.
wineserver -p 2>/dev/null || true  # (or the one already running for this prefix)
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

# The tests, the plug-in's export check and the validator, through ctest: the toolchain's
# emulator runs each program under Wine, and a test Wine cannot pass skips itself with its
# reason. A program that hangs under Wine must not hold the stage: 5 minutes each at most.
status=0
if ! ctest --test-dir "$build" --output-on-failure --timeout 300; then
  echo "windows: tests failed under Wine" >&2
  status=1
fi
step "tests run"

# The package a user unpacks: its contents listed, its DLL's exports checked, the validator run
# from it under Wine on the plug-in beside it.
# Only this version's package: an older one left in the folder would be checked instead.
rm -f "$build"/TelmoraLink-*-win64.zip
(cd "$build" && cpack >/dev/null)
if ! "$root/scripts/check_package.sh" "$build"/TelmoraLink-*-win64.zip; then
  echo "windows: the win64 package failed its check" >&2
  status=1
fi
step "package checked"

# Paths given to the Windows programs are relative to bin/: CLI11 on Windows reads an argument
# that starts with '/' as an option.
cd "$build/bin"
host=telmora-host.exe
plugin=TelmoraLink.dll
# A session: the Linux test sender streams the recorded walk over loopback to telmora-host.exe
# under Wine, which records, plots and writes what it can (no pictures, no glTF in this build;
# session.json, take.bvh and take.csv). Under Wine a socket bound to 127.0.0.x sends from
# 127.0.0.1 (tests/common/wine.h), so everything is addressed as 127.0.0.1.
sender="$root/build/tools/sim_server/telmora-sim-server"
if [ ! -x "$sender" ]; then
  # No plain Linux build beside this one (.ci/run makes it first): the sender alone.
  cmake -S "$root" -B "$build/linux-sender" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF -DTELMORA_BUILD_PLUGIN=OFF >/dev/null
  nice -n 10 cmake --build "$build/linux-sender" -j2 --target telmora-sim-server
  sender="$build/linux-sender/tools/sim_server/telmora-sim-server"
  step "Linux test sender built"
fi
# The C API from C, telmora_c_api_test.exe against telmora.dll, under Wine.
if ! timeout 240 "$root/capi/tests/with_sender.sh" "$sender" telmora_c_api_test.exe wine; then
  echo "windows: the C API test under Wine failed" >&2
  status=1
fi
step "C API tested"
port=$((23000 + RANDOM % 4000))
out="$build/session"
rm -rf "$out"
"$sender" --name "Wine Session Sender" --announce-address 127.0.0.1 --announce-port "$port" \
  --bind 127.0.0.1 --duration 240 >"$build/session-sender.log" 2>&1 &
senderPid=$!
if ! timeout 240 wine "$host" session "$plugin" --source "Wine Session Sender" --subject walk \
  --record 2 --port "$port" --wait 30 --out "$out"; then
  echo "windows: the session under Wine failed" >&2
  status=1
fi
kill "$senderPid" 2>/dev/null || true
wait "$senderPid" 2>/dev/null || true
if ! grep -q '"result": *"ok"' "$out/session.json" 2>/dev/null; then
  echo "windows: session.json missing or not ok" >&2
  status=1
fi
for file in take.bvh take.csv; do
  [ -s "$out/$file" ] || { echo "windows: the session wrote no $file" >&2; status=1; }
done
step "session run"

wineserver -k || true
echo "windows: stage took $((SECONDS - started)) s"
exit $status
