#!/usr/bin/env python3
"""Fails when an #include crosses a layer the wrong way, and names the line.

The allowed edges are the table in docs/ARCHITECTURE.md ("The layers and what each may
include"): one row per folder, listing the folders (and `<fbsdk>`, the host SDK, and `<fbhost>`,
the stand-in host's control) its sources may include besides their own. A folder with sources
and no row is refused, as is a row whose edges close a cycle. Include paths are taken from the
project root ("network/socket.h"), leading ./ and ../ dropped first; a folder of tools/ is a
layer of its own (tools/host/, tools/monitor/, ...)."""
import os
import re
import subprocess
import sys

TABLE = "docs/ARCHITECTURE.md"
ROW = re.compile(r"^\| `([^`]+)/` \| (.*) \|$")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')
SOURCES = ("*.h", "*.hh", "*.hpp", "*.inl", "*.c", "*.cc", "*.cpp", "*.cxx")
EXTERNAL = {"fbsdk": "<fbsdk>", "fbhost": "<fbhost>"}


def read_table():
    allowed = {}
    with open(TABLE, encoding="utf-8") as handle:
        for line in handle:
            row = ROW.match(line.rstrip("\n"))
            if row:
                allowed[row.group(1)] = set(re.findall(r"`([^`]+?)/?`", row.group(2)))
    return allowed


def layer_of(path, layers):
    """The table's folder a project path belongs to ("tools/host" before "tools"), or None."""
    parts = path.split("/")
    for depth in (2, 1):
        if len(parts) > depth and "/".join(parts[:depth]) in layers:
            return "/".join(parts[:depth])
    return None


def cycle_in(allowed):
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in sorted(allowed.get(node, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target] if target in path else [node, target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(allowed):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    allowed = read_table()
    if not allowed:
        print(f"check_layers: no layer table in {TABLE}")
        return 1
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                            "--", *SOURCES], capture_output=True, text=True,
                           check=True).stdout.split()
    top = {p.split("/")[0] for p in files if "/" in p}
    faults = []
    cycle = cycle_in(allowed)
    if cycle:
        faults.append(f"{TABLE}: the table's edges make a cycle: " + " -> ".join(cycle))
    checked = 0
    for path in files:
        if "/" not in path or not os.path.isfile(path):
            continue
        layer = layer_of(path, allowed)
        if layer is None:
            faults.append(f"{path}: its folder has no row in {TABLE}")
            continue
        checked += 1
        with open(path, encoding="utf-8", errors="replace") as handle:
            for number, line in enumerate(handle, 1):
                include = INCLUDE.match(line)
                if not include:
                    continue
                target = include.group(1)
                while target.startswith(("./", "../")):
                    target = target.split("/", 1)[1]
                first = target.split("/")[0]
                if first in EXTERNAL and "/" in target:
                    wanted = EXTERNAL[first]
                elif first in top and "/" in target:
                    wanted = layer_of(target, allowed) or first
                else:
                    continue  # the C++ and system libraries
                if wanted != layer and wanted not in allowed[layer]:
                    faults.append(f"{path}:{number}: {layer}/ may not include {wanted}"
                                  f"{'' if wanted.startswith('<') else '/'}: {line.strip()}")
    for fault in faults:
        print(fault)
    if faults:
        print(f"check_layers: {len(faults)} fault(s); the allowed edges are the table in {TABLE}")
        return 1
    print(f"check_layers: {checked} files, every include allowed by the table in {TABLE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
