#!/usr/bin/env bash
# Cross-builds the Windows parts with mingw-w64 (cmake/mingw-w64.cmake) into build-windows and
# runs under Wine: their GoogleTest programs, the host harness's validator on TelmoraLink.dll,
# and a session in which telmora-host.exe records from the Linux test sender over loopback.
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

# program:tests left out under Wine (a gtest negative filter), with the reason beside it.
#
# Wine binds a UDP socket bound to a loopback address other than 0.0.0.0 to the whole loopback
# interface instead (0.0.0.0 plus SO_BINDTODEVICE, so that it also gets broadcasts): a peer
# bound to 127.0.0.2 sends from 127.0.0.1, and 127.0.0.2:P is "in use" (10048) while
# 127.0.0.1:P is bound. The tests below tell servers apart by their loopback address, so they
# cannot run there; the same code passes them on Linux.
loopbackIdentity=DiscoveryAnnouncement.AcceptsRefusesOrIgnoresEachAnnouncement
for t in RepeatsRefreshTheEntryAndOnlyChangesNotify ServersAreKeyedBySenderAddress \
  SilentServerIsRemovedOnceWithOneNotification RestartsOnAnotherPortAndBackKeepingTheList \
  PortInUseIsReportedAndAFreedPortWorksAgain OnlyTheLatestHeldRegistrationIsCalled \
  ListenerMayReleaseItsTokenAndStopTheServiceButNotReRegister \
  ControlCharactersOfANameAreEscapedInTheLogOnly; do
  loopbackIdentity+=":DiscoveryTest.$t"
done
loopbackIdentity+=":DiscoverySharedPort.EveryServiceOnAPortHearsEveryAnnouncement"
loopbackIdentity+=":DiscoveryLifetime.StartAndStopFromTwoThreads"
streamLoopbackIdentity=StreamClientTest.OnlyTheServerStreamEndpointReachesTheCallback
streamLoopbackIdentity+=:StreamClientTest.ConnectingElsewhereStopsTheOldStreamFirst
# Wine's shutdown() of a UDP socket does not end a receive waiting in another thread, nor make
# the next one fail (it keeps timing out with 10060). Our loops do not rely on it: they look at
# their stop flag after every receive time-out.
shutdownWake=UdpSocketTest.ShutdownEndsAReceiverWaitingInAnotherThread
# Without Assimp the session tests' sender streams the synthetic walk, which passes the same
# hips positions more than once per stride: the check that every recorded key differs cannot
# hold for it (the Linux run, streaming the recorded walk, keeps it).
syntheticRepeats=DeviceSessionTest.LiveRecordedAndPlottedSessionKeepsTheChannelValues
# The skeleton test server (POSIX sockets) is not built for Windows; its session test is
# compiled out there.
programs=(
  "network_winsock_tests:"
  "network_socket_tests:-$shutdownWake"
  "network_stream_client_tests:-$streamLoopbackIdentity"
  "network_discovery_tests:-$loopbackIdentity"
  "motion_frame_tests:"
  "motion_solver_tests:"
  "motion_channel_tests:"
  "motion_channel_threaded_tests:"
  "device_core_tests:"
  "device_library_unload_tests:"
  "device_session_tests:-$syntheticRepeats"
)
targets=(fbsdk TelmoraLink telmora-host)
for p in "${programs[@]}"; do targets+=("${p%%:*}"); done
nice -n 10 cmake --build "$build" -j2 --target "${targets[@]}"
step "built"

# The plug-in's export table: the host's two entry points and nothing else of ours (names
# only: mingw adds no others to a DLL that marks its exports with __declspec(dllexport)).
plugin="$build/bin/TelmoraLink.dll"
exports=$(x86_64-w64-mingw32-objdump -p "$plugin" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $NF}' | sort)
echo "windows: TelmoraLink.dll exports:" $exports
if [ "$exports" != "$(printf '%s\n' EntryPointordeviceskeleton LIBRARY_INIT)" ]; then
  echo "windows: TelmoraLink.dll must export exactly LIBRARY_INIT and EntryPointordeviceskeleton" >&2
  exit 1
fi

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
# recvmsg: Connection reset by peer") before it runs a test.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

status=0
for p in "${programs[@]}"; do
  program="$build/bin/${p%%:*}.exe"
  filter=${p#*:}
  args=()
  if [ -n "$filter" ]; then args+=("--gtest_filter=$filter"); fi
  # A program that hangs under Wine must not hold the stage: 5 minutes each at most.
  if ! timeout 300 wine "$program" "${args[@]}"; then
    echo "windows: $(basename "$program") failed under Wine" >&2
    status=1
  fi
done
step "tests run"

# Paths given to the Windows programs are relative to bin/: CLI11 on Windows reads an argument
# that starts with '/' as an option.
cd "$build/bin"
host=telmora-host.exe
plugin=TelmoraLink.dll
# The validator, every check, quick counts (as in the sanitizer builds), fixed seed. The prefix
# is warm by now: the first program of a new prefix loads the DLL in over 100 ms, later ones in
# about 30.
if ! timeout 300 wine "$host" validate --quick --seed 20261208 "$plugin"; then
  echo "windows: telmora-host.exe validate failed under Wine" >&2
  status=1
fi
step "validator run"

# A session: the Linux test sender streams the recorded walk over loopback to telmora-host.exe
# under Wine, which records, plots and writes what it can (no pictures, no glTF in this build;
# session.json, take.bvh and take.csv). Under Wine a socket bound to 127.0.0.x sends from
# 127.0.0.1 (see above), so everything is addressed as 127.0.0.1.
sender="$root/build/tools/sim_server/telmora-sim-server"
if [ ! -x "$sender" ]; then
  # No plain Linux build beside this one (.ci/run makes it first): the sender alone.
  cmake -S "$root" -B "$build/linux-sender" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELMORA_BUILD_TESTS=OFF -DTELMORA_BUILD_BENCH=OFF -DTELMORA_BUILD_PLUGIN=OFF >/dev/null
  nice -n 10 cmake --build "$build/linux-sender" -j2 --target telmora-sim-server
  sender="$build/linux-sender/tools/sim_server/telmora-sim-server"
  step "Linux test sender built"
fi
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
