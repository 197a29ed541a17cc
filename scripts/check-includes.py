#!/usr/bin/env python3
"""Checks that every #include "..." keeps to the layers: a file of one target (a library, a
program, a test executable) includes only headers of that target or of a library it links.

Which file belongs where is read from the build, not from folder names: the script configures a
scratch build tree of the Fuzz type (so that the fuzz targets are in it too; clang++-14, as
scripts/setup.sh installs it) and reads CMake's code model (file API). Nothing is built.
  - A file listed in a target's sources (a .cpp, a generated header, a header named in
    target_sources) belongs to that target, or to each target that lists it.
  - A header belongs to the target that compiles the .cpp of the same name beside it.
  - A header without such a .cpp belongs to the lowest library that compiles a file of its
    folder (the one that every other library compiling there links; without one, to each of
    them). Where no library compiles in its folder (the programs' folders), and in the test tree
    (whose helpers serve the test executables of every layer), such a header has no target of
    its own: it is checked as part of each file that includes it, for that file's target.
  - OWNER below names the headers that belong elsewhere, each with its reason.
What a target may include: its own headers and those of every library it links, directly or
through others (its dependencies in the code model that are libraries; a program another one
waits for is no dependency). An include against the grain prints the file, the line and the two
targets, one line each, and the script exits with 1.

Usage: scripts/check-includes.py
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))

# Headers whose owner the rules above would get wrong.
OWNER = {
    # The math types' conversions are inline and need only math and proto; the one function it
    # declares that reads a Player is defined in ProtobufConversion.cpp, with the world, so a
    # call to it from below fails the link (the links-alone programs).
    "Common/Protobuf/ProtobufConversion.h": "velmor_wire",
    # The networking singleton: its instance and constructor are the wire's (NetworkInstance.cpp,
    # as every diagnostic line reads ownId), its operations the world's (Network.cpp); the header
    # needs only the wire, and a call to an operation from below fails the link.
    "Common/Network/Network.h": "velmor_wire",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
LIBRARY_TYPES = {"STATIC_LIBRARY", "SHARED_LIBRARY", "MODULE_LIBRARY", "OBJECT_LIBRARY", "INTERFACE_LIBRARY"}


def code_model(build):
    query = os.path.join(build, ".cmake", "api", "v1", "query")
    os.makedirs(query)
    open(os.path.join(query, "codemodel-v2"), "w").close()
    configure = subprocess.run(
        ["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Fuzz", "-DCMAKE_CXX_COMPILER=clang++-14"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if configure.returncode != 0:
        sys.exit("check-includes: the scratch configure failed:\n" + configure.stderr)
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = max(f for f in os.listdir(reply) if f.startswith("index-"))
    with open(os.path.join(reply, index)) as f:
        model_file = json.load(f)["reply"]["codemodel-v2"]["jsonFile"]
    with open(os.path.join(reply, model_file)) as f:
        model = json.load(f)
    targets = {}
    for entry in model["configurations"][0]["targets"]:
        with open(os.path.join(reply, entry["jsonFile"])) as f:
            targets[entry["id"]] = json.load(f)
    return targets


class Layers:
    def __init__(self, build):
        targets = code_model(build)
        self.owners = {}  # absolute path -> names of the targets that list it
        self.links = {}  # target name -> names of the libraries it may include, itself too
        self.dirs = []  # the include folders, in the order first met
        name = {tid: t["name"] for tid, t in targets.items()}
        self.library = {t["name"] for t in targets.values() if t["type"] in LIBRARY_TYPES}
        for t in targets.values():
            for source in t.get("sources", []):
                path = os.path.realpath(os.path.join(ROOT, source["path"]))
                self.owners.setdefault(path, set()).add(t["name"])
            for group in t.get("compileGroups", []):
                for include in group.get("includes", []):
                    path = os.path.realpath(include["path"])
                    if path not in self.dirs and (path.startswith(ROOT) or path.startswith(build)):
                        self.dirs.append(path)
            deps = {name[d["id"]] for d in t.get("dependencies", [])}
            self.links[t["name"]] = {t["name"]} | (deps & self.library)
        for target in self.links:  # through others
            todo = list(self.links[target])
            while todo:
                for lib in self.links.get(todo.pop(), ()):
                    if lib not in self.links[target]:
                        self.links[target].add(lib)
                        todo.append(lib)
        self.folder_libraries = {}
        for path, owners in self.owners.items():
            self.folder_libraries.setdefault(os.path.dirname(path), set()).update(owners & self.library)
        self.tests = os.path.join(ROOT, "Tests") + os.sep

    def owner(self, path):
        """The targets a file belongs to; empty for a header checked as part of its includers."""
        rel = os.path.relpath(path, ROOT)
        if rel in OWNER:
            return {OWNER[rel]}
        if path in self.owners:
            return self.owners[path]
        stem, ext = os.path.splitext(path)
        if ext in (".h", ".hpp"):
            for source_ext in (".cpp", ".cc"):
                if stem + source_ext in self.owners:
                    return self.owners[stem + source_ext]
            if path.startswith(self.tests):
                return set()
            libs = self.folder_libraries.get(os.path.dirname(path), set())
            lowest = {lib for lib in libs if all(lib in self.links[other] for other in libs)}
            return lowest or libs
        return set()

    def resolve(self, includer, text):
        for folder in [os.path.dirname(includer)] + self.dirs:
            path = os.path.realpath(os.path.join(folder, text))
            if os.path.isfile(path):
                return path
        return None  # not ours (a system header, or a typo the compiler reports)


def show(path):
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


def check(layers):
    problems = {}  # (file, line, targets) -> its line
    checked = set()
    for rel in OWNER:
        if not os.path.isfile(os.path.join(ROOT, rel)):
            problems[rel, 0, ()] = f"{rel}: named in check-includes.py's OWNER, but there is no such file"
    ours = (".cpp", ".cc", ".h", ".hpp")
    files = [p for p in layers.owners if p.startswith(ROOT + os.sep) and os.path.splitext(p)[1] in ours]
    # Also the headers that nothing includes (outside a git checkout, only what is included).
    try:
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "*.h"], capture_output=True, text=True).stdout
    except OSError:
        listed = ""
    files += [os.path.join(ROOT, p) for p in listed.split()]
    # (file, the targets it is checked for, the files that brought it in if it has no target)
    todo = [(path, frozenset(layers.owner(path)), ()) for path in sorted(set(files))]
    while todo:
        path, targets, via = todo.pop()
        if (path, targets) in checked or not targets:
            continue
        checked.add((path, targets))
        with open(path, errors="replace") as f:
            lines = f.readlines()
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            header = layers.resolve(path, match.group(1))
            if header is None:
                continue
            owners = layers.owner(header)
            if not owners:
                todo.append((header, targets, via + (path,)))
                continue
            todo.append((header, frozenset(owners), ()))
            wrong = sorted(t for t in targets if not owners & layers.links[t])
            if wrong and (path, number, tuple(wrong)) not in problems:
                where = f" (included by {' via '.join(show(v) for v in via)})" if via else ""
                links = "it does not link" if len(wrong) == 1 else "they do not link"
                problems[path, number, tuple(wrong)] = (
                    f"{show(path)}:{number}: {', '.join(wrong)} includes \"{match.group(1)}\" of "
                    f"{' or '.join(sorted(owners))}, which {links}{where}")
    return sorted(problems.values()), len({p for p, _ in checked})


def main():
    if shutil.which("clang++-14") is None:
        sys.exit("check-includes: needs clang++-14 for the fuzz targets' code model (scripts/setup.sh installs it)")
    build = tempfile.mkdtemp(prefix="regionserver-includes.")
    try:
        problems, count = check(Layers(os.path.realpath(build)))
    finally:
        shutil.rmtree(build, ignore_errors=True)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check-includes: {len(problems)} include(s) against the layers")
        return 1
    print(f"check-includes: the includes of {count} files keep to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
