#!/usr/bin/env bash
# Runs a test program against the test sender streaming the walk: starts the sender announcing
# to a free port on 127.0.0.1, runs PROGRAM PORT NAME (with RUNNER before it, e.g. wine), stops
# the sender, and exits with the program's status.
#   with_sender.sh SENDER PROGRAM [RUNNER...]
set -euo pipefail
sender=$1
program=$2
shift 2
name="C API Test Sender $$"
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$sender" --name "$name" --announce-address 127.0.0.1 --announce-port "$port" \
  --bind 127.0.0.1 --rate 120 >/dev/null 2>&1 &
senderPid=$!
trap 'kill "$senderPid" 2>/dev/null || true; wait "$senderPid" 2>/dev/null || true' EXIT
"$@" "$program" "$port" "$name"
