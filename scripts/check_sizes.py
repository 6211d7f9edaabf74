#!/usr/bin/env python3
"""Fails when a file of the host-facing code grows past 400 lines, or a function there (or in the
body solver) past 80, and names it: such a file holds more than one thing, such a function does
more than one step. Tests are not held to it.

Functions are found the way clang-format lays them out: a definition whose line ends with "{" at
namespace scope (column 0) or in a class (column 4), closed by "}" at the same column. Lambdas
count towards the function they are written in."""
import os
import re
import subprocess
import sys

FILE_FOLDERS = ("device/", "tools/host/", "sdk/host/")
FUNCTION_PATHS = FILE_FOLDERS + ("motion/body_solver.cpp",)
MAX_FILE_LINES = 400
MAX_FUNCTION_LINES = 80
NOT_A_FUNCTION = re.compile(
    r"^\s*(namespace|class|struct|enum|union|extern|if|for|while|switch|else|do|try|catch)\b")


def functions(lines):
    """(first line, length, text) of each function definition."""
    found = []
    i = 0
    while i < len(lines):
        line = lines[i]
        indent = len(line) - len(line.lstrip(" "))
        starts = (indent in (0, 4) and line.rstrip().endswith("{") and line.strip() != "{"
                  and not NOT_A_FUNCTION.match(line) and "=" not in line.split("(")[0])
        if starts:
            header = line
            j = i
            while "(" not in header and j > 0 and lines[j - 1].strip() and \
                    not lines[j - 1].rstrip().endswith((";", "}", "{")):
                j -= 1
                header = lines[j] + header
            if "(" in header:
                close = re.compile("^" + " " * indent + "}")
                k = i + 1
                while k < len(lines) and not close.match(lines[k]):
                    k += 1
                found.append((i + 1, k - i + 1, line.strip()))
                i = k
        i += 1
    return found


def main():
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                            "--", "*.cpp", "*.h"], capture_output=True, text=True,
                           check=True).stdout.split()
    faults = []
    for path in files:
        if "/tests/" in "/" + path or not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as handle:
            lines = handle.read().split("\n")
        if path.startswith(FILE_FOLDERS) and len(lines) - 1 > MAX_FILE_LINES:
            faults.append(f"{path}: {len(lines) - 1} lines (at most {MAX_FILE_LINES})")
        if path.startswith(FUNCTION_PATHS):
            for first, length, text in functions(lines):
                if length > MAX_FUNCTION_LINES:
                    faults.append(f"{path}:{first}: a function of {length} lines (at most "
                                  f"{MAX_FUNCTION_LINES}): {text}")
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"check_sizes: no file over {MAX_FILE_LINES} lines, no function over "
          f"{MAX_FUNCTION_LINES}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
