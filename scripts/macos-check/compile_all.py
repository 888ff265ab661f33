#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compiles every source of a compile database with the warnings as errors, then checks that
every symbol of the project's namespace that one object needs is defined by another: a call
into a service that this system's platform layer lacks fails here rather than at a Mac's linker.

Usage: compile_all.py compile_commands.json LABEL JOBS
Prints one line per failing source with the compiler's output and each missing symbol with the
objects that need it, then "LABEL: N passed, N failed".
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]
# Includes the build could add for imported targets: the Linux system headers must never
# answer for Apple's.
FORBIDDEN_INCLUDES = {"/usr/include", "/usr/local/include"}


# Mangled symbols of the project's own namespace (Mach-O adds a leading underscore): functions,
# const members, variables, vtables and type data.
OWN_SYMBOL = re.compile(r"^_?_Z(?:T[VIS]|GV)?NK?7nimbara")


def compile_to(entry, obj):
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept, skip = [], False
    for i, arg in enumerate(args):
        if skip:
            skip = False
            continue
        if arg in ("-isystem", "-I") and i + 1 < len(args) and args[i + 1] in FORBIDDEN_INCLUDES:
            skip = True
            continue
        if arg in ("-I" + d for d in FORBIDDEN_INCLUDES):
            continue
        if arg == "-o" or arg in ("-MF", "-MT"):
            skip = True
            continue
        if arg == "-MD":
            continue
        kept.append(arg)
    # Unoptimised and without debug data: the objects are only read for their symbols.
    return kept + WARNINGS + ["-O0", "-g0", "-c", "-o", obj]


def symbols(obj):
    """The project's symbols an object defines, and those it needs from elsewhere."""
    listing = subprocess.run(["llvm-nm-14", "-P", obj], capture_output=True, text=True,
                             check=True).stdout
    defined, needed = set(), set()
    for line in listing.splitlines():
        name, kind = (line.split() + ["", ""])[:2]  # POSIX format: "name type [value size]"
        if OWN_SYMBOL.match(name):
            (needed if kind in ("U", "w", "v") else defined).add(name)
    return defined, needed


def demangled(name):
    return subprocess.run(["llvm-cxxfilt-14", "-_", name], capture_output=True,
                          text=True).stdout.strip() or name


def main():
    database, label, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    entries = json.load(open(database))
    if not entries:
        print(f"{label}: the compile database lists no sources")
        return 1

    objects = os.path.join(os.path.dirname(os.path.abspath(database)), "check-objects")
    os.makedirs(objects, exist_ok=True)

    def run(numbered):
        index, entry = numbered
        obj = os.path.join(objects, f"{index}.o")
        done = subprocess.run(compile_to(entry, obj), cwd=entry["directory"],
                              capture_output=True, text=True)
        return entry["file"], obj, done.returncode, done.stdout + done.stderr

    failed, missing, compiled = 0, 0, []
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        for path, obj, code, output in pool.map(run, enumerate(entries)):
            if code != 0 or output.strip():
                failed += 1
                print(f"{label}: FAILED {path}\n{output}")
            else:
                compiled.append((path, obj))
    if not failed:
        defined, needers = set(), {}
        for path, obj in compiled:
            has, needs = symbols(obj)
            defined |= has
            for name in needs:
                needers.setdefault(name, []).append(os.path.basename(path))
        for name in sorted(set(needers) - defined):
            missing += 1
            users = ", ".join(sorted(needers[name]))
            print(f"{label}: UNDEFINED {demangled(name)}, needed by {users}")
    print(f"macos-check-{label}: {len(entries) - failed} passed, {failed} failed, "
          f"{missing} symbols undefined")
    return 1 if failed or missing else 0


if __name__ == "__main__":
    sys.exit(main())
