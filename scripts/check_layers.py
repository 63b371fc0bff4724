#!/usr/bin/env python3
"""Fails when a folder of a source tree includes or links a folder its layer table forbids.

    check_layers.py [--table TABLE] [SRC]
        TABLE: default layers.txt beside this script; SRC: default src/ beside this script's folder

The table (see layers.txt) gives each folder of SRC one row: the folders it may include (and
link) and, after a "|", the folders it may only link. "name = folder" lets rows call a folder
by its layer's name. Checked:
  - every `#include "folder/..."` of the .h, .cpp and .rc files below SRC/<from>/, where folder
    is another folder of SRC, must name a folder of <from>'s row;
  - every target_link_libraries(T ...) in SRC/<folder>/CMakeLists.txt and *.cmake: a library
    defined in another folder's CMake files must be allowed by the row of the folder defining T
    (of the file's folder when T is defined nowhere in SRC);
  - the table itself: each folder of SRC has one row, each name on it is a folder of SRC, and
    no folder can reach itself through the rows.
Prints each offence with its file, line and text and exits 1 when there is any; else prints
the folder graph and exits 0.
"""
import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"')
SOURCES = (".h", ".cpp", ".rc")
DEFINITION = re.compile(r"\b(?:add_library|add_executable|add_custom_target)\s*\(\s*([\w.+-]+)")
LINK = re.compile(r"\btarget_link_libraries\s*\(([^)]*)\)")
LINK_KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE", "LINK_PUBLIC", "LINK_PRIVATE",
                 "LINK_INTERFACE_LIBRARIES", "debug", "optimized", "general"}


def read_table(path, folders):
    """Returns ({folder: (may include, may only link)}, [problems]) with names resolved."""
    aliases, rows, problems = {}, {}, []
    with open(path, encoding="utf-8") as handle:
        lines = [(number, line.split("#", 1)[0].strip()) for number, line in enumerate(handle, 1)]
    for number, line in lines:
        if "=" in line and ":" not in line:
            name, _, folder = (part.strip() for part in line.partition("="))
            aliases[name] = folder
    where = f"{os.path.relpath(path)}"

    def folder_of(name, number):
        folder = aliases.get(name, name)
        if folder not in folders:
            problems.append(f"{where}:{number}: names {folder}/, which is no folder of src/")
        return folder

    for number, line in lines:
        if not line or ("=" in line and ":" not in line):
            continue
        name, colon, rest = line.partition(":")
        if not colon:
            problems.append(f"{where}:{number}: neither 'folder: ...' nor 'name = folder'")
            continue
        source = folder_of(name.strip(), number)
        included, _, linked = rest.partition("|")
        if source in rows:
            problems.append(f"{where}:{number}: a second row for {source}/")
        rows[source] = ({folder_of(n, number) for n in included.split()},
                        {folder_of(n, number) for n in linked.split()})
    for folder in sorted(folders - set(rows)):
        problems.append(f"{where}: no row for src/{folder}/")
    for source in sorted(rows):
        if source in reachable(source, rows):
            problems.append(f"{where}: the rows let {source}/ reach itself")
    return rows, problems


def reachable(start, rows):
    seen, pending = set(), [start]
    while pending:
        included, linked = rows.get(pending.pop(), (set(), set()))
        for target in (included | linked) - seen:
            seen.add(target)
            pending.append(target)
    return seen


def folder_files(src, folder, accept):
    for root, _, names in os.walk(os.path.join(src, folder)):
        for name in sorted(names):
            if accept(name):
                yield os.path.join(root, name)


def read_includes(src, folders):
    """Returns [(from, to, path, line number, text)] of the includes between folders."""
    includes = []
    for folder in sorted(folders):
        for path in folder_files(src, folder, lambda name: name.endswith(SOURCES)):
            with open(path, encoding="utf-8", errors="replace") as handle:
                for number, line in enumerate(handle, 1):
                    match = INCLUDE.match(line)
                    if match and match.group(1) in folders and match.group(1) != folder:
                        includes.append((folder, match.group(1), path, number, line.strip()))
    return includes


def read_links(src, folders):
    """Returns [(from, to, path, line number, text)] of the links between folders' targets."""
    files = {}  # path -> (folder, text without comments)
    owner = {}  # target -> folder defining it
    for folder in sorted(folders):
        for path in folder_files(src, folder,
                                 lambda name: name == "CMakeLists.txt" or name.endswith(".cmake")):
            with open(path, encoding="utf-8", errors="replace") as handle:
                text = re.sub(r"#[^\n]*", "", handle.read())
            files[path] = (folder, text)
            for match in DEFINITION.finditer(text):
                owner.setdefault(match.group(1), folder)
    links = []
    for path, (folder, text) in files.items():
        for match in LINK.finditer(text):
            items = match.group(1).split()
            source = owner.get(items[0], folder) if items else folder
            for item in items[1:]:
                target = owner.get(item)
                if item in LINK_KEYWORDS or target is None or target == source:
                    continue
                number = text.count("\n", 0, match.start()) + 1
                links.append((source, target, path, number,
                              f"target_link_libraries({items[0]} ... {item})"))
    return links


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--table", default=os.path.join(here, "layers.txt"))
    parser.add_argument("src", nargs="?", default=os.path.join(here, "..", "src"))
    arguments = parser.parse_args()
    src = os.path.normpath(arguments.src)
    shown = os.path.dirname(src)
    folders = {name for name in os.listdir(src) if os.path.isdir(os.path.join(src, name))}
    rows, problems = read_table(arguments.table, folders)
    for problem in problems:
        print(problem)

    offences, used = 0, set()
    for kind, uses in (("include", read_includes(src, folders)), ("link", read_links(src, folders))):
        for source, target, path, number, text in uses:
            included, linked = rows.get(source, (set(), set()))
            used.add((source, target))
            if target in included or (kind == "link" and target in linked):
                continue
            offences += 1
            print(f"{os.path.relpath(path, shown)}:{number}: {text}  "
                  f"({source}/ may not {kind} {target}/)")

    print("folder graph (what each folder includes or links; * allowed but unused):")
    for folder in sorted(rows):
        included, linked = rows[folder]
        names = [name + ("" if (folder, name) in used else "*") for name in sorted(included)]
        names += ["link " + name + ("" if (folder, name) in used else "*") for name in sorted(linked)]
        print(f"  {folder} -> {', '.join(names) if names else '(nothing)'}")
    return 1 if problems or offences else 0


if __name__ == "__main__":
    sys.exit(main())
