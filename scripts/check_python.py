#!/usr/bin/python3
"""Fails when pyflakes finds a fault in a tracked Python file, and names it.

Blender declares properties as annotations that are calls (`name: StringProperty(name="Port")`);
pyflakes reads the strings inside them as forward type annotations. Those two kinds of message
(a string that does not parse as a type, a name in it that is not defined) are dropped on the
lines of such a call, and only there; every other message counts.
"""
import ast
import subprocess
import sys

from pyflakes import api, messages, reporter


class Collector(reporter.Reporter):
    def __init__(self):
        super().__init__(sys.stdout, sys.stderr)
        self.found = []

    def flake(self, message):
        self.found.append(message)

    def syntaxError(self, filename, msg, lineno, offset, text):
        self.found.append(f"{filename}:{lineno}: {msg}")


def property_call_lines(source):
    """The lines of annotations that are calls (Blender's property declarations)."""
    lines = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Call):
            lines.update(range(node.annotation.lineno, node.annotation.end_lineno + 1))
    return lines


def main():
    files = subprocess.run(["git", "ls-files", "--", "*.py"], capture_output=True, text=True,
                           check=True).stdout.split()
    faults = []
    for path in files:
        with open(path, encoding="utf-8") as handle:
            source = handle.read()
        collector = Collector()
        api.check(source, path, collector)
        exempt = property_call_lines(source)
        for message in collector.found:
            if isinstance(message, str):
                faults.append(message)
                continue
            in_property = message.lineno in exempt and isinstance(
                message, (messages.ForwardAnnotationSyntaxError, messages.UndefinedName))
            if not in_property:
                faults.append(str(message))
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"check_python: {len(files)} files without a pyflakes fault")
    return 0


if __name__ == "__main__":
    sys.exit(main())
