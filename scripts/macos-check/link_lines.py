#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Reads the link lines an Apple configuration of this tree would run (ninja -t commands) and
checks what the helper and the client would depend on at run time: nothing but the system's
libraries (/usr/lib and /System of the SDK, which a link line names only with -l and
-framework), no search or run path, macOS 13.0 as the deployment target and every
architecture asked for. Static archives are part of the program and pass; a shared library
named by its path does not, wherever it lies (a Homebrew prefix on a Mac, /usr/lib here).

Usage: link_lines.py BUILD_TREE LABEL ARCH...
Prints each finding, then "LABEL: N programs checked, N findings"."""
import shlex
import subprocess
import sys

PROGRAMS = ("helper/com.corvellan.nimbara.helper", "client/nimbara-helper-client")
DEPLOYMENT = "-mmacosx-version-min=13.0"
SHARED = (".dylib", ".tbd", ".so")
ALLOWED_LIBS = {"c++", "c", "System", "bsm", "m", "pthread", "dl", "objc"}


def findings(args, archs):
    """What in one link command's arguments makes the program depend on more than the system."""
    found = []
    if DEPLOYMENT not in args:
        found.append(f"no {DEPLOYMENT}")
    got = [args[i + 1] for i, a in enumerate(args[:-1]) if a == "-arch"]
    if sorted(got) != sorted(archs):
        found.append(f"architectures {got}, not {archs}")
    expanded = []
    for arg in args:  # -Wl,a,b hands a and b to the linker
        expanded += arg.split(",")[1:] if arg.startswith("-Wl,") else [arg]
    for i, arg in enumerate(expanded):
        nxt = expanded[i + 1] if i + 1 < len(expanded) else ""
        if arg in ("-rpath", "-L", "-F") or arg.startswith(("-L", "-F")) and len(arg) > 2:
            path = nxt if arg in ("-rpath", "-L", "-F") else arg[2:]
            found.append(f"{arg} {path}: a search or run path outside the system")
        elif arg.startswith("-l") and arg[2:] not in ALLOWED_LIBS:
            found.append(f"{arg}: not a system library")
        elif arg.endswith(SHARED) or ".dylib" in arg or ".so." in arg:
            found.append(f"{arg}: a shared library named by its path, not one of the system's")
        elif arg == "-framework" and nxt.startswith("/"):
            found.append(f"-framework {nxt}")
    return found


def link_command(tree, program):
    out = subprocess.run(["ninja", "-C", tree, "-t", "commands", program], check=True,
                         capture_output=True, text=True).stdout.strip().splitlines()
    return shlex.split(out[-1])  # the program's own link step comes last


def main():
    tree, label, archs = sys.argv[1], sys.argv[2], sys.argv[3:]
    total = 0
    for program in PROGRAMS:
        args = link_command(tree, program)
        if f"{program}" not in " ".join(args) or "-o" not in args:
            print(f"{label}: {program}: no link step found")
            total += 1
            continue
        for finding in findings(args, archs):
            print(f"{label}: {program}: {finding}")
            total += 1
    print(f"macos-link-{label}: {len(PROGRAMS)} programs checked, {total} findings")
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
