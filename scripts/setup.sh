#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages, when missing.
# Non-interactive and idempotent: a second run installs nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libglm-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libassimp-dev libcairo2-dev libcli11-dev
  clang-format
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix googletest wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all dependencies present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
