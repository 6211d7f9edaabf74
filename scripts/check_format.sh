#!/usr/bin/env bash
# Fails when a tracked *.cpp or *.h file differs from the root .clang-format, and names it.
# Uses Debian's clang-format (installed by scripts/setup.sh). To fix: clang-format -i FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ]; then
  echo "check_format: no sources to check"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "check_format: ${#files[@]} files match .clang-format ($(clang-format --version))"
