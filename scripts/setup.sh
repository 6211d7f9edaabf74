#!/usr/bin/env bash
# Installs, from Debian's packages, what a job needs and is missing. Each level includes the
# ones before it:
#   scripts/setup.sh main    the build: compilers, CMake and the libraries of the plug-in, the
#                            test sender, the monitor (with its page's libraries from the npm
#                            registry) and the headless host (scripts/demo.sh)
#   scripts/setup.sh tests   plus GoogleTest, Google Benchmark, tshark (the Wireshark
#                            dissector's tests), Blender with Xvfb (a window for it), numpy
#                            and pytest (the Blender add-on and its tests), Chromium (the
#                            monitor page's tests) and, from the npm registry, the Khronos glTF
#                            validator and puppeteer-core
#                            (scripts/test.sh; the default)
#   scripts/setup.sh ci      plus clang-format, clang with libFuzzer, and mingw-w64 with Wine
#                            for the Windows build (.ci/run, scripts/fuzz.sh, scripts/windows.sh)
# Non-interactive and idempotent: a second run installs nothing.
set -euo pipefail
level=${1:-tests}

# The package groups, read by name through `declare -n` below.
# shellcheck disable=SC2034
{
  build=(cmake ninja-build g++ pkg-config libglm-dev nlohmann-json3-dev libassimp-dev
    libcairo2-dev libcli11-dev libpcap-dev libtinygltf-dev libwebsocketpp-dev libasio-dev)
  tests=(libgtest-dev libgmock-dev libbenchmark-dev tshark blender xvfb xauth python3-numpy
    python3-pytest chromium)
  formatting=(clang-format shellcheck pyflakes3)
  fuzzing=(clang libclang-rt-14-dev)
  windows=(g++-mingw-w64-x86-64-posix googletest wine wine64)
}

steps=("the build's compilers and libraries:build")
case "$level" in
  main) ;;
  tests) steps+=("GoogleTest, Google Benchmark, tshark, Blender and Xvfb:tests") ;;
  ci)
    steps+=("GoogleTest, Google Benchmark, tshark, Blender and Xvfb:tests" "clang-format, shellcheck and pyflakes3:formatting"
      "clang and libFuzzer:fuzzing" "mingw-w64, GoogleTest's sources and Wine:windows")
    ;;
  *)
    echo "setup: unknown level '$level' (main, tests or ci)" >&2
    exit 2
    ;;
esac

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
updated=no
for step in "${steps[@]}"; do
  what=${step%:*}
  declare -n group=${step##*:}
  mapfile -t needed < <(missing "${group[@]}")
  if [ ${#needed[@]} -eq 0 ]; then
    echo "setup: $what: present"
    continue
  fi
  echo "setup: $what: installing ${needed[*]}"
  if [ $updated = no ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    updated=yes
  fi
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${needed[@]}"
done

# Packages from the npm registry, the versions each folder's package-lock.json names, into its
# node_modules: the set monitor page's libraries (built into telmora-monitor) for every level;
# the glTF validator and puppeteer-core (drives Chromium in the page's tests) for the tests.
root="$(cd "$(dirname "$0")/.." && pwd)"
npm_folder() {
  local what=$1 folder=$2 package=$3
  if [ -d "$folder/node_modules/$package" ]; then
    echo "setup: $what: present"
  elif ! command -v npm >/dev/null; then
    # The machine's Node.js brings npm; Debian's own npm package would replace that Node.js.
    echo "setup: $what needs Node.js with npm, which this machine lacks" >&2
    exit 1
  else
    echo "setup: $what: installing from the npm registry"
    npm ci --prefix "$folder" --no-audit --no-fund --loglevel=error
  fi
}
npm_folder "the set monitor page's libraries" "$root/tools/monitor/web" three
if [ "$level" != main ]; then
  npm_folder "the glTF validator" "$root/scripts/gltf" gltf-validator
  npm_folder "puppeteer-core" "$root/tests/browser" puppeteer-core
fi
