#!/usr/bin/env bash
# Fails when an #include crosses a layer the wrong way:
#   motion/   includes nothing of network/, tools/, device/, ui/, plugin/ or the host SDK
#             (<fbsdk/...>);
#   network/  includes nothing of motion/, capture/, tools/, device/, ui/, plugin/ or the host
#             SDK;
#   capture/  includes nothing of motion/, tools/, device/, ui/, plugin/ or the host SDK;
#   capi/     (the C API the Blender add-on loads) includes nothing of ui/, plugin/, tools/,
#             blender/ or the host SDK: of the device only its host-free parts;
#   the host SDK is included only by device/, ui/, plugin/, the SDK stand-in (sdk/), the host
#   harness (tools/host/), tests/ and bench/;
#   the plug-in is layered device/ < ui/ < plugin/: device/ includes nothing of ui/ or plugin/,
#   ui/ nothing of plugin/, and none of them anything of tools/;
#   no two top-level folders include each other, directly or through others.
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

# The project's top-level folders: an include path starting with one of them is the project's.
folders=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name 'build*' -printf '%f ')

awk -v folders="$folders" '
BEGIN {
  n = split(folders, names, " ")
  for (i = 1; i <= n; i++) projectFolders[names[i]] = 1
}
function layerOf(path) {
  if (path ~ /^motion\//) return "motion"
  if (path ~ /^network\//) return "network"
  if (path ~ /^capture\//) return "capture"
  if (path ~ /^capi\//) return "capi"
  if (path ~ /^device\//) return "device"
  if (path ~ /^ui\//) return "ui"
  if (path ~ /^plugin\//) return "plugin"
  if (path ~ /^sdk\//) return "sdk"
  if (path ~ /^tools\/host\//) return "host"
  if (path ~ /^tests\//) return "tests"
  if (path ~ /^bench\//) return "bench"
  return "other"
}
# The top-level folder of a path, or "" for a file at the root or a system header.
function folderOf(path) {
  if (path !~ /\//) return ""
  sub(/\/.*$/, "", path)
  return path
}
FNR == 1 { layer = layerOf(FILENAME); folder = folderOf(FILENAME); files++ }
/^[ \t]*#[ \t]*include[ \t]*[<"]/ {
  target = $0
  sub(/^[ \t]*#[ \t]*include[ \t]*[<"]/, "", target)
  sub(/[>"].*$/, "", target)
  while (target ~ /^\.\.?\//) sub(/^\.\.?\//, "", target)
  targetFolder = folderOf(target)
  if (targetFolder in projectFolders && folder != "" && targetFolder != folder) {
    if (!((folder, targetFolder) in edge)) {
      edge[folder, targetFolder] = FILENAME ":" FNR
      successors[folder] = successors[folder] " " targetFolder
    }
  }
  rule = ""
  if (target ~ /^fbsdk\// && layer != "device" && layer != "ui" && layer != "plugin" &&
      layer != "sdk" && layer != "host" && layer != "tests" && layer != "bench")
    rule = "only device/, ui/, plugin/, sdk/, tools/host/, tests/ and bench/ include the host SDK"
  else if (layer == "motion" && target ~ /^(network|tools|device|ui|plugin)\//)
    rule = "motion/ includes nothing of network/, tools/, device/, ui/ or plugin/"
  else if (layer == "network" && target ~ /^(motion|capture|tools|device|ui|plugin)\//)
    rule = "network/ includes nothing of motion/, capture/, tools/, device/, ui/ or plugin/"
  else if (layer == "capture" && target ~ /^(motion|tools|device|ui|plugin)\//)
    rule = "capture/ includes nothing of motion/, tools/, device/, ui/ or plugin/"
  else if (layer == "capi" && (target ~ /^(tools|ui|plugin|blender)\// ||
           target ~ /^device\/(device|device_hardware|device_controls)\.h/))
    rule = "capi/ includes nothing of tools/, ui/, plugin/, blender/ or the host-facing device code"
  else if ((layer == "device" || layer == "ui" || layer == "plugin") && target ~ /^tools\//)
    rule = "the plug-in (device/, ui/, plugin/) includes nothing of tools/"
  else if (layer == "device" && target ~ /^(ui|plugin)\//)
    rule = "device/ includes nothing of ui/ or plugin/ (the panel and the entry sit above it)"
  else if (layer == "ui" && target ~ /^plugin\//)
    rule = "ui/ includes nothing of plugin/ (the library entry sits above the panel)"
  if (rule != "") {
    printf "%s:%d: %s: %s\n", FILENAME, FNR, rule, $0
    bad++
  }
}
# Depth-first search over the folder graph; a folder met again while still on the path closes a
# cycle, reported with the include that makes each of its steps.
function visit(node,    list, n, i, next_, k, cycle) {
  state[node] = 1
  path[++depth] = node
  n = split(successors[node], list, " ")
  for (i = 1; i <= n; i++) {
    next_ = list[i]
    if (state[next_] == 1) {
      cycle = next_
      for (k = depth; k >= 1 && path[k] != next_; k--) {}
      for (; k <= depth; k++) {
        printf "%s: %s/ -> %s/\n", edge[path[k], (k < depth ? path[k + 1] : next_)], \
               path[k], (k < depth ? path[k + 1] : next_)
      }
      printf "include cycle between folders through %s/\n", cycle
      bad++
    } else if (state[next_] == 0) {
      visit(next_)
    }
  }
  depth--
  state[node] = 2
}
END {
  for (f in successors) if (!(f in state)) state[f] = 0
  for (f in successors) if (state[f] == 0) visit(f)
  if (bad > 0) {
    printf "check_layers: %d include(s) cross a layer the wrong way\n", bad
    exit 1
  }
  printf "check_layers: %d files, every include points the right way\n", files
}
' "${files[@]}"
