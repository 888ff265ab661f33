#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks what a packager ships: the installed tree (stripped, signatures intact, man pages),
the hardening of the programs, the systemd units, the launchd property list and installer
scripts, and that a vendor build leaves the general client unsigned.
Usage: packaging_test.py CHECK SOURCE_DIR BUILD_DIR
  (CHECK: tree, hardening, systemd, uninstall, macos, vendor)
The paths to check against come from the build's CMake cache. A development build is installed
with the explicit opt-in NIMBARA_INSTALL_DEVELOPMENT_IDENTITY=ON, as only a test tree may."""
import json, os, plistlib, re, shutil, stat, subprocess, sys, tempfile

HELPER = "com.corvellan.nimbara.helper"


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def cache(build):
    text = open(os.path.join(build, "CMakeCache.txt")).read()
    return dict(re.findall(r"^(\w+):\w+=(.*)$", text, re.M))


def install(build, dest, strip=False):
    run("cmake", "-DNIMBARA_INSTALL_DEVELOPMENT_IDENTITY=ON", f"-DCMAKE_INSTALL_DO_STRIP={int(strip)}",
        "-P", f"{build}/cmake_install.cmake", env={**os.environ, "DESTDIR": dest})
    return dest + cache(build)["CMAKE_INSTALL_PREFIX"]


def check_refusal(build, tmp):
    """A development build's plain `cmake --install` stops before it puts anything in place."""
    c = cache(build)
    if c.get("CODESIGN_ANCHOR_PEM") or c.get("NIMBARA_INSTALL_DEVELOPMENT_IDENTITY") == "ON":
        return
    dest = os.path.join(tmp, "refused")
    r = subprocess.run(["cmake", "--install", build], capture_output=True, text=True,
                       env={**os.environ, "DESTDIR": dest})
    assert r.returncode != 0 and "Refusing to install a development build" in r.stderr, r
    assert not os.path.exists(dest), os.listdir(dest)


def check_tree(src, build, tmp):
    check_refusal(build, tmp)
    root = install(build, f"{tmp}/stage", strip=True)
    signed = "client/nimbara-helper-client" if not cache(build).get("CODESIGN_ANCHOR_PEM") else None
    want = {  # installed file -> (mode, file in the build it comes from)
        f"libexec/{HELPER}": (0o755, f"helper/{HELPER}"),
        "bin/nimbara-helper-client": (0o755, "client/nimbara-helper-client"),
        "bin/nimbara-codesign": (0o755, "tools/nimbara-codesign"),
        f"lib/systemd/system/{HELPER}.service": (0o644, f"packaging/{HELPER}.service"),
        f"lib/systemd/system/{HELPER}.socket": (0o644, None),
        f"lib/tmpfiles.d/{HELPER}.conf": (0o644, None),
        **{f"share/man/{page}": (0o644, None) for page in (
            "man1/nimbara-helper-client.1", "man1/nimbara-codesign.1", f"man8/{HELPER}.8")},
        **{f"share/doc/nimbara_helper/{d}": (0o644, None)
           for d in ("README.md", "SECURITY.md", "NEWS.md", "LICENSE", "install.md", "protocol.md")},
    }
    # The client library: archive, shared library, headers, pkg-config files, CMake package.
    lib = cache(build).get("CMAKE_INSTALL_LIBDIR", "lib")
    config = cache(build).get("CMAKE_BUILD_TYPE", "").lower() or "noconfig"
    version = cache(build)["CMAKE_PROJECT_VERSION"]
    want.update({
        f"{lib}/libnimbara-client.a": (0o644, None),
        **{f"{lib}/libnimbara-client.so{v}": (0o644, None) for v in ("", ".0", f".{version}")},
        **{f"include/nimbara/{h}": (0o644, None)
           for h in ("client.h", "client.hpp", "module.modulemap")},
        **{f"{lib}/pkgconfig/{pc}.pc": (0o644, None)
           for pc in ("nimbara-client", "nimbara-client-static")},
        **{f"{lib}/cmake/NimbaraClient/NimbaraClient{f}.cmake": (0o644, None)
           for f in ("Config", "ConfigVersion", "Targets", f"Targets-{config}")},
    })
    got = {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(tmp + "/stage")
           for f in fs}
    assert got == set(want), f"installed {sorted(got)}"
    for rel, (mode, built) in want.items():
        path = os.path.join(root, rel)
        assert stat.S_IMODE(os.stat(path).st_mode) == mode, f"{rel}: mode"
        if built != signed and rel.startswith(("bin/", "libexec/")):  # the strip did happen
            assert ".debug_info" not in run("readelf", "-S", path), f"{rel} not stripped"
        elif built:  # as built; the signed client kept out of the strip, its signature intact
            assert open(path, "rb").read() == open(os.path.join(build, built), "rb").read(), rel
    if signed:
        run(f"{build}/tools/nimbara-codesign", "verify", f"{root}/bin/nimbara-helper-client")
    for prog, name in (("bin/nimbara-helper-client", "nimbara-helper-client"),
                       ("bin/nimbara-codesign", "nimbara-codesign")):
        version = run(f"{root}/{prog}", "--version").strip()
        assert version == f"{name} {cache(build)['CMAKE_PROJECT_VERSION']}", version
    for page in [p for p in want if p.startswith("share/man/")]:
        lint = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                               f"{root}/{page}"], capture_output=True, text=True,
                              env={**os.environ, "MANROFFSEQ": ""})
        assert lint.returncode == 0 and not lint.stderr, (page, lint.stderr)
    doctor = subprocess.run([f"{root}/bin/nimbara-helper-client", "doctor", "--json", "--socket",
                             f"{tmp}/none.sock", "--helper", f"{root}/libexec/{HELPER}"],
                            capture_output=True, text=True)
    report = json.loads(doctor.stdout)
    assert doctor.returncode == 69 and report["status"] == 69, doctor
    assert report["installed"]["version"] == cache(build)["CMAKE_PROJECT_VERSION"], report


def check_hardening(src, build, tmp):
    """Every installed program is hardened. Control-flow protection is left out: Debian 12's C
    start-up files lack its note, so no program there can pass that check. The signing tool's
    libc calls all have sizes the compiler knows, which the FORTIFY check cannot tell from none."""
    if not shutil.which("hardening-check"):
        print("hardening-check (Debian package devscripts) is not installed")
        sys.exit(77)
    for opts, prog in (([], f"helper/{HELPER}"), ([], "client/nimbara-helper-client"),
                       (["--nofortify"], "tools/nimbara-codesign")):
        subprocess.run(["hardening-check", "--nocfprotection", *opts, f"{build}/{prog}"],
                       check=True)


def check_systemd(src, build, tmp):
    root = install(build, tmp)
    unit = open(f"{root}/lib/systemd/system/{HELPER}.service").read()
    assert f"ExecStart={cache(build)['CMAKE_INSTALL_PREFIX']}/libexec/{HELPER}\n" in unit
    # Offline checks need the program at ExecStart; point it into the staging folder.
    staged = os.path.join(tmp, f"{HELPER}.service")
    open(staged, "w").write(re.sub(r"^ExecStart=", f"ExecStart={tmp}", unit, flags=re.M))
    shutil.copy(f"{root}/lib/systemd/system/{HELPER}.socket", tmp)
    run("systemd-analyze", "verify", staged, os.path.join(tmp, f"{HELPER}.socket"),
        env={**os.environ, "MANPATH": f"{root}/share/man"})  # Documentation=man:...
    socket_unit = open(f"{tmp}/{HELPER}.socket").read()
    for line in ("ListenStream=/run/com.corvellan.nimbara.helper.sock", "SocketMode=0666"):
        assert line + "\n" in socket_unit, line
    assert "Type=notify\n" in unit  # the socket comes from systemd: /run stays read-only
    assert not re.search(r"^ReadWritePaths=(.*\s)?/run(\s|$)", unit, re.M), "/run writable"
    # The score counts the host's network namespace and netlink (0.6), which the client check's
    # socket diagnostics need although no IP address family is allowed, and CAP_CHOWN (0.2),
    # with which a removal takes a folder over before emptying it.
    out = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--threshold=24",
                          staged], capture_output=True, text=True)
    print(out.stdout.strip().splitlines()[-1])
    assert out.returncode == 0, "exposure above 2.4"
    # The tmpfiles rule creates every folder the unit lets the helper write, 0755 root.
    run("systemd-tmpfiles", f"--root={tmp}/fs", "--create", f"{root}/lib/tmpfiles.d/{HELPER}.conf")
    for line in re.findall(r"^ReadWritePaths=(.*)$", unit, re.M):
        for folder in re.findall(r'"-?([^"]+)"|-?(\S+)', line):
            folder = folder[0] or folder[1]
            if folder != "/run":
                assert stat.S_IMODE(os.stat(f"{tmp}/fs{folder}").st_mode) == 0o755, folder


def check_uninstall(src, build, tmp):
    """The Linux uninstall lines of docs/install.md, run on a staged install beside what the
    tmpfiles rule and a helper make, leave only the system's own folders."""
    prefix, stage = cache(build)["CMAKE_INSTALL_PREFIX"], f"{tmp}/stage"
    root = install(build, stage)
    run("systemd-tmpfiles", f"--root={stage}", "--create", f"{root}/lib/tmpfiles.d/{HELPER}.conf")
    os.makedirs(f"{stage}/var/lib/{HELPER}")
    os.makedirs(f"{stage}/run")
    for made in (f"var/lib/{HELPER}/lock", f"var/lib/{HELPER}/staged", f"run/{HELPER}.sock"):
        open(f"{stage}/{made}", "w").close()
    doc = open(os.path.join(src, "docs/install.md")).read()
    for line in re.search(r"<!-- uninstall-linux -->\n((?:    .*\n)+)", doc)[1].splitlines():
        cmd = line.strip().removeprefix("sudo ")
        if not cmd.startswith("systemctl "):  # the staged tree has no service manager
            cmd = re.sub(r'(^|[\s"])/usr/', rf"\1{stage}{prefix}/", cmd)
            run("bash", "-c", re.sub(r'(^|[\s"])/(var|run|Library)/', rf"\1{stage}/\2/", cmd))
    system = {"var", "var/lib", "run"} | {os.path.relpath(prefix + d, "/") for d in (
        "", "/bin", "/libexec", "/lib", "/lib/systemd", "/lib/systemd/system", "/lib/tmpfiles.d",
        "/share", "/share/man", "/share/man/man1", "/share/man/man8", "/share/doc",
        "/include", "/lib/pkgconfig", "/lib/cmake")}
    system |= {os.path.dirname(d) for d in system if d}  # /usr above /usr/local
    left = {os.path.relpath(os.path.join(d, f), stage) for d, ds, fs in os.walk(stage)
            for f in fs + ds}
    assert left <= system, f"left behind: {sorted(left - system)}"


# A launchctl that knows the old job for `known` more queries after bootout and refuses the
# first `refusals` bootstraps as launchd does while a job goes away; every call is recorded.
FAKE_LAUNCHCTL = """#!/bin/bash
echo "launchctl $*" >> "$CALLS"
n() { local v; v=$(cat "$STATE/$1" 2>/dev/null || echo 0); echo $((v + 1)) > "$STATE/$1"; echo "$v"; }
case $1 in
  print) [ "$(n print)" -lt "$KNOWN" ] ;;
  bootout) : ;;
  bootstrap) [ "$(n bootstrap)" -ge "$REFUSALS" ] || { echo "Bootstrap failed: 5: Input/output error"; exit 5; } ;;
esac
"""


def run_package_script(tmp, script, volume, known, refusals):
    """Runs an installer script with launchctl, chown, chmod and sleep stubbed; returns its
    status, output and the launchctl calls in order."""
    stubs, state = f"{tmp}/stubs", f"{tmp}/state"
    shutil.rmtree(state, ignore_errors=True)
    os.makedirs(stubs, exist_ok=True)
    os.makedirs(state)
    for name, body in (("launchctl", FAKE_LAUNCHCTL), ("chown", "#!/bin/sh\n"),
                       ("chmod", "#!/bin/sh\n"), ("sleep", "#!/bin/sh\n")):
        open(f"{stubs}/{name}", "w").write(body)
        os.chmod(f"{stubs}/{name}", 0o755)
    env = {**os.environ, "PATH": f"{stubs}:{os.environ['PATH']}", "CALLS": f"{state}/calls",
           "STATE": state, "KNOWN": str(known), "REFUSALS": str(refusals)}
    r = subprocess.run(["bash", script, "pkg", "/", volume], capture_output=True, text=True, env=env)
    calls = open(f"{state}/calls").read().splitlines() if os.path.exists(f"{state}/calls") else []
    return r.returncode, r.stdout + r.stderr, [c.split()[1] for c in calls]


def check_package_scripts(pkg, tmp):
    """postinstall waits for the old job to go, retries the bootstrap, never fails the install
    and acts only on the running system; preinstall too."""
    post, pre = f"{pkg}/scripts/postinstall", f"{pkg}/scripts/preinstall"
    # volume, launchd knows the old job for N queries, refuses M bootstraps: status, said, calls
    cases = [
        ("/Volumes/Other", 0, 0, "nothing started", []),
        ("/", 3, 2, "started com.corvellan", ["bootout", "print", "print", "print", "print",
                                              "bootstrap", "bootstrap", "bootstrap"]),
        ("/", 0, 99, "could not start com.corvellan.nimbara.helper: Bootstrap failed: 5",
         ["bootout", "print"] + ["bootstrap"] * 5),
    ]
    for volume, known, refusals, said, calls in cases:
        status, out, got = run_package_script(tmp, post, volume, known, refusals)
        assert status == 0 and said in out and got == calls, (volume, known, refusals, out, got)
    assert run_package_script(tmp, pre, "/Volumes/Other", 1, 0)[2] == []
    assert run_package_script(tmp, pre, "/", 1, 0)[2] == ["print", "bootout"]


def check_macos(src, build, tmp):
    pkg = os.path.join(src, "packaging/macos")
    c = cache(build)  # the places the macOS install rules use
    with open(os.path.join(pkg, f"{HELPER}.plist"), "rb") as f:
        plist = plistlib.load(f)
    assert plist == {
        "Label": HELPER, "ProgramArguments": [c["NIMBARA_MACOS_HELPER"]], "RunAtLoad": True,
        "KeepAlive": True, "StandardOutPath": c["NIMBARA_MACOS_LOG"],
        "StandardErrorPath": c["NIMBARA_MACOS_LOG"],
        "ExitTimeOut": 15,  # the helper stops within 10 seconds of SIGTERM
        # Login Items names the vendor's application, the helper's one client, not a bare binary
        "AssociatedBundleIdentifiers": [c["CODESIGN_CLIENT_IDENTIFIER"]],
        # launchd holds the socket (mode 0666) and hands it over under this name
        "Sockets": {"Listeners": {"SockFamily": "Unix", "SockType": "stream", "SockPathMode": 0o666,
                                  "SockPathName": "/var/run/com.corvellan.nimbara.helper.sock"}},
    }, plist
    assert c["NIMBARA_MACOS_LOG"].startswith("/Library/Logs/")
    rule = [l.split() for l in open(os.path.join(pkg, f"{HELPER}.newsyslog.conf"))
            if l.strip() and not l.startswith("#")]
    # the log, root's, 0644, 5 kept, 1 MiB, no flags; the helper's pid file and SIGHUP
    assert rule == [[c["NIMBARA_MACOS_LOG"], "root:wheel", "644", "5", "1024", "*", "-",
                     c["NIMBARA_MACOS_PID_FILE"], "1"]], rule
    uninstall = f"{build}/packaging/uninstall.sh"
    scripts = [os.path.join(pkg, s) for s in ("scripts/preinstall", "scripts/postinstall")]
    for s in scripts + [uninstall]:
        run("bash", "-n", s)
    run("shellcheck", "-s", "bash", *scripts, uninstall)
    check_package_scripts(pkg, tmp)
    text = open(uninstall).read().replace("$label", HELPER)
    prefix = c["CMAKE_INSTALL_PREFIX"]
    for path in [c[k] for k in ("NIMBARA_MACOS_HELPER", "NIMBARA_MACOS_DAEMON_PLIST",
                                "NIMBARA_MACOS_NEWSYSLOG_RULE", "NIMBARA_MACOS_STATE_FOLDER")] + [
            f"{prefix}/bin/nimbara-helper-client", f"{prefix}/share/man/man1/nimbara-helper-client.1",
            f"{prefix}/share/man/man8/{HELPER}.8", f"{prefix}/share/doc/nimbara_helper",
            f"{prefix}/share/nimbara", f"pkgutil --forget \"$package\""]:
        assert path in text, f"uninstall.sh does not remove {path}"


def check_vendor(src, build, tmp):
    """A vendor build generates no development identity and does not sign the client."""
    os.makedirs(f"{tmp}/vendor")
    for f in ("root.pem", "leaf.pem", "leaf.key", "intermediate.pem"):
        shutil.copy(f"{build}/codesign/dev/{f}", f"{tmp}/vendor/{f}")
    run("cmake", "-S", src, "-B", f"{tmp}/b", "-G", "Ninja", "-DBUILD_TESTING=OFF",
        f"-DCODESIGN_ANCHOR_PEM={tmp}/vendor/root.pem", f"-DCODESIGN_IDENTITY_DIR={tmp}/vendor")
    assert not os.path.exists(f"{tmp}/b/codesign/dev")
    signs = lambda b: re.search(r"build client/nimbara-helper-client:[^\n]*\n(  [^\n]*\n)*?"
                                r"  POST_BUILD = [^\n]*nimbara-codesign sign",
                                open(f"{b}/build.ninja").read())
    assert not signs(f"{tmp}/b"), "vendor build signs nimbara-helper-client"
    assert signs(build), "development build does not sign nimbara-helper-client"


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        globals()["check_" + sys.argv[1]](sys.argv[2], sys.argv[3], tmp)
