#!/usr/bin/env python3
"""Checks every #include "..." in src/, link/ and tools/ against src/layers.txt.

A file may include headers of its own folder and of the folders listed
above its folder (for link/ and tools/: those named after the colon).
Prints each include that goes against the order, with file and line, and
exits 1 when there is any.
"""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_layers(path):
    """Returns {folder: set of folders it may include}."""
    allowed, below = {}, []
    with open(path) as table:
        for raw in table:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if ":" in line:
                folder, others = line.split(":", 1)
                allowed[folder.strip()] = set(others.split()) | {folder.strip()}
            else:
                allowed[line] = set(below) | {line}
                below.append(line)
    return allowed


def folder_of(header, including_file_folder, known):
    """The layer folder an include names: the longest known prefix."""
    if "/" not in header:
        return including_file_folder
    parts = header.split("/")
    for n in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in known:
            return candidate
    return None  # not a folder of ours (a system or library header)


def violations(top, allowed):
    found = []
    for root in ("src", "link", "tools"):
        for dirpath, _, names in os.walk(os.path.join(top, root)):
            sources = sorted(n for n in names if n.endswith((".h", ".cpp")))
            if not sources:
                continue
            folder = os.path.relpath(dirpath, os.path.join(top, "src")) if root == "src" else root
            if folder not in allowed:
                found.append(f"{dirpath}: folder not in src/layers.txt")
                continue
            for name in sources:
                path = os.path.join(dirpath, name)
                with open(path, errors="replace") as source:
                    for number, text in enumerate(source, 1):
                        match = INCLUDE.match(text)
                        target = match and folder_of(match.group(1), folder, allowed)
                        if target and target not in allowed[folder]:
                            shown = os.path.relpath(path, top)
                            found.append(f"{shown}:{number}: {folder} includes {match.group(1)} ({target} is not below it)")
    return found


def main():
    top = sys.argv[1] if len(sys.argv) > 1 else TOP
    problems = violations(top, read_layers(os.path.join(top, "src", "layers.txt")))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
