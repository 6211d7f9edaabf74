#!/usr/bin/env bash
# Checks a package as a user receives it: unpacks it into a scratch folder beside it, lists its
# contents, checks that the plug-in exports exactly the two entry points, and runs the packaged
# telmora-host (--version, then the validator with quick counts) on the packaged plug-in, found
# beside it. A .zip is the Windows package: its programs run under Wine (WINEPREFIX as set by
# scripts/windows.sh) and its DLL is read with mingw-w64's objdump.
#   scripts/check_package.sh TelmoraLink-<version>-Linux.tar.gz | TelmoraLink-<version>-win64.zip
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
name=$(basename "$package")
name=${name%.zip}
name=${name%.tar.gz}
scratch="$(dirname "$package")/unpacked"
rm -rf "$scratch"
mkdir -p "$scratch"
(cd "$scratch" && cmake -E tar xf "$package")
unpacked="$scratch/$name"

echo "package: $(basename "$package"):"
(cd "$unpacked" && find . -type f | sort | sed 's/^\.\//  /')

case "$package" in
  *.zip)
    plugin=plugins/TelmoraLink.dll
    addon=(share/telmoralink/telmoralink-*-windows-x64.zip telmoralink/telmora.dll)
    host=(timeout 300 wine ./telmora-host.exe)
    reader=(-DOBJDUMP=x86_64-w64-mingw32-objdump)
    ;;
  *)
    plugin=plugins/libTelmoraLink.so
    addon=(share/telmoralink/telmoralink-[0-9.]*[0-9].zip telmoralink/libtelmora.so)
    host=(timeout 300 ./telmora-host)
    reader=(-DNM=nm)
    ;;
esac
for file in "$plugin" plugins/quorvelicon.png share/telmoralink/README.md \
  share/telmoralink/telmora.lua; do
  [ -f "$unpacked/$file" ] || { echo "package: no $file" >&2; exit 1; }
done
cmake -DLIBRARY="$unpacked/$plugin" "${reader[@]}" -P "$root/plugin/check_exports.cmake"
# The Blender add-on: its zip holds the add-on, its extension manifest and the core's library.
# shellcheck disable=SC2206
zips=("$unpacked"/${addon[0]})
[ -f "${zips[0]}" ] || { echo "package: no Blender add-on (${addon[0]})" >&2; exit 1; }
for member in telmoralink/__init__.py telmoralink/blender_manifest.toml "${addon[1]}"; do
  python3 -c 'import sys, zipfile; sys.exit(sys.argv[2] not in zipfile.ZipFile(sys.argv[1]).namelist())' \
    "${zips[0]}" "$member" || { echo "package: the add-on's zip has no $member" >&2; exit 1; }
done

# From bin/, as a user starts it: the host finds the plug-in in ../plugins by itself.
cd "$unpacked/bin"
version=$("${host[@]}" --version | tr -d '\r')
echo "package: $version"
[ "$version" = "telmora-host $(sed -n 's/^project(TelmoraLink VERSION \([0-9.]*\).*/\1/p' \
  "$root/CMakeLists.txt")" ] || { echo "package: unexpected version line" >&2; exit 1; }
output=$("${host[@]}" validate --quick --seed 20261208 | tr -d '\r')
echo "$output"
echo "$output" | head -1 | grep -q "plugins.TelmoraLink\|plugins.libTelmoraLink" ||
  { echo "package: the host did not validate the packaged plug-in" >&2; exit 1; }
