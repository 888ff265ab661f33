#!/usr/bin/env python3
"""Runs every command of a compile database with -fsyntax-only and the warnings as errors.

Usage: compile_all.py compile_commands.json LABEL JOBS
Prints one line per failing source with the compiler's output, then "LABEL: N passed, N failed".
"""
import json
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]
# Includes the build could add for imported targets: the Linux system headers must never
# answer for Apple's.
FORBIDDEN_INCLUDES = {"/usr/include", "/usr/local/include"}


def syntax_only(entry):
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
    return kept + WARNINGS + ["-fsyntax-only"]


def main():
    database, label, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    entries = json.load(open(database))
    if not entries:
        print(f"{label}: the compile database lists no sources")
        return 1

    def run(entry):
        done = subprocess.run(syntax_only(entry), cwd=entry["directory"], capture_output=True,
                              text=True)
        return entry["file"], done.returncode, done.stdout + done.stderr

    failed = 0
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        for path, code, output in pool.map(run, entries):
            if code != 0 or output.strip():
                failed += 1
                print(f"{label}: FAILED {path}\n{output}")
    print(f"macos-check-{label}: {len(entries) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
