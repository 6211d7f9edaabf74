#!/usr/bin/env bash
# Fails when an #include crosses a layer the wrong way:
#   motion/   includes nothing of network/, tools/, device/, ui/ or the host SDK (<fbsdk/...>);
#   network/  includes nothing of motion/, tools/, device/, ui/ or the host SDK;
#   the host SDK is included only by device/, ui/, the SDK stand-in (sdk/), the host harness
#   (tools/host/), tests/ and bench/;
#   device/ and ui/ (the plug-in) include nothing of tools/.
# Include paths are taken from the project root ("network/socket.h"); leading ./ and ../ are
# dropped first, so a relative path cannot slip through. A folder that does not exist yet has
# nothing to check. Prints every offending line and exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

patterns=('*.h' '*.hh' '*.hpp' '*.inl' '*.c' '*.cc' '*.cpp' '*.cxx')
files=()
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked and new (not ignored) files, so a check before the commit sees them too.
  while IFS= read -r f; do
    [ -f "$f" ] && files+=("$f")
  done < <(git ls-files --cached --others --exclude-standard -- "${patterns[@]}" | sort -u)
else
  names=()
  for p in "${patterns[@]}"; do names+=(-o -name "$p"); done
  while IFS= read -r f; do
    files+=("${f#./}")
  done < <(find . \( -path ./.git -o -path './build*' \) -prune -o -type f \
    \( "${names[@]:1}" \) -print)
fi

if [ ${#files[@]} -eq 0 ]; then
  echo "check_layers: no sources to check"
  exit 0
fi

awk '
function layerOf(path) {
  if (path ~ /^motion\//) return "motion"
  if (path ~ /^network\//) return "network"
  if (path ~ /^device\//) return "device"
  if (path ~ /^ui\//) return "ui"
  if (path ~ /^sdk\//) return "sdk"
  if (path ~ /^tools\/host\//) return "host"
  if (path ~ /^tests\//) return "tests"
  if (path ~ /^bench\//) return "bench"
  return "other"
}
FNR == 1 { layer = layerOf(FILENAME); files++ }
/^[ \t]*#[ \t]*include[ \t]*[<"]/ {
  target = $0
  sub(/^[ \t]*#[ \t]*include[ \t]*[<"]/, "", target)
  sub(/[>"].*$/, "", target)
  while (target ~ /^\.\.?\//) sub(/^\.\.?\//, "", target)
  rule = ""
  if (target ~ /^fbsdk\// && layer != "device" && layer != "ui" && layer != "sdk" &&
      layer != "host" && layer != "tests" && layer != "bench")
    rule = "only device/, ui/, sdk/, tools/host/, tests/ and bench/ include the host SDK"
  else if (layer == "motion" && target ~ /^(network|tools|device|ui)\//)
    rule = "motion/ includes nothing of network/, tools/, device/ or ui/"
  else if (layer == "network" && target ~ /^(motion|tools|device|ui)\//)
    rule = "network/ includes nothing of motion/, tools/, device/ or ui/"
  else if ((layer == "device" || layer == "ui") && target ~ /^tools\//)
    rule = "the plug-in (device/, ui/) includes nothing of tools/"
  if (rule != "") {
    printf "%s:%d: %s: %s\n", FILENAME, FNR, rule, $0
    bad++
  }
}
END {
  if (bad > 0) {
    printf "check_layers: %d include(s) cross a layer the wrong way\n", bad
    exit 1
  }
  printf "check_layers: %d files, every include points the right way\n", files
}
' "${files[@]}"
