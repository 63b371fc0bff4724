#!/usr/bin/env python3
"""Fails when the folders of a source tree include each other in a cycle.

    check_layers.py [SRC]      (default: src/ beside this script's folder)

Reads every `#include "folder/..."` line of the .h and .cpp files below SRC, where folder is
another folder of SRC, and builds the folder graph. An include from folder A of folder B is
an offence when B includes A back, directly or through other folders. Prints each offending
include with its file and line, then the graph, and exits 1 when there is any; else prints
the graph and exits 0.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"')


def read_includes(src):
    folders = {name for name in os.listdir(src) if os.path.isdir(os.path.join(src, name))}
    edges = {}  # (from, to) -> [(path, line number, text)]
    for folder in sorted(folders):
        for root, _, names in os.walk(os.path.join(src, folder)):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(root, name)
                with open(path, encoding="utf-8", errors="replace") as handle:
                    for number, line in enumerate(handle, 1):
                        match = INCLUDE.match(line)
                        if match and match.group(1) in folders and match.group(1) != folder:
                            edges.setdefault((folder, match.group(1)), []).append(
                                (os.path.relpath(path, os.path.dirname(src)), number, line.strip()))
    return folders, edges


def reachable(start, edges):
    seen, pending = set(), [start]
    while pending:
        current = pending.pop()
        for (source, target) in edges:
            if source == current and target not in seen:
                seen.add(target)
                pending.append(target)
    return seen


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src")
    src = os.path.normpath(src)
    folders, edges = read_includes(src)
    offences = [(edge, sites) for edge, sites in sorted(edges.items())
                if edge[0] in reachable(edge[1], edges)]
    for (source, target), sites in offences:
        print(f"{source}/ includes {target}/, which includes {source}/ back:")
        for path, number, text in sites:
            print(f"  {path}:{number}: {text}")
    print("folder graph:")
    for folder in sorted(folders):
        used = sorted(target for (source, target) in edges if source == folder)
        print(f"  {folder} -> {', '.join(used) if used else '(nothing)'}")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
