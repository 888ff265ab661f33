#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The test run for a Mac; it has not run yet (there is no Mac where it was written; see README).
#   1. builds with the system's compiler (Xcode command-line tools) and Homebrew's libraries,
#      utf8proc as its static archive, and checks what the programs link and start on
#   2. runs the unit and file-system tests (ctest -L 'unit|fs')
#   3. with --disposable-machine only: the end-to-end checks of the real helper as root, first
#      started by hand, then installed and run by launchd as a package would (upgrade, log
#      rotation, uninstall), with the real socket path and plug-in folders, which the Linux
#      suite runs in a sandbox and which have none here. Without the flag nothing outside the
#      build folder is touched, so a developer's Mac keeps its installed helper and plug-ins.
# On a disposable machine a throwaway signing identity (self-signed, in a temporary keychain,
# trusted for code signing in the system's trust settings) signs the client and the helper with
# the hardened runtime: the helper must refuse the client, since it does not chain to Apple.
# Elsewhere both are left ad-hoc signed. The accepted path needs the vendor's Developer ID: set
# NIMBARA_DEVELOPER_ID to its keychain name. Each check prints "ok" or "FAIL" and its name; the
# run fails when one did. Written for the bash 3.2 and BSD tools macOS ships.
# Usage: scripts/test-macos.sh [--disposable-machine]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(uname -s)" = Darwin ] || { echo "test-macos: this runs on macOS; on Linux use scripts/test.sh"; exit 1; }
disposable=false
case "${1:-}" in
  --disposable-machine) disposable=true ;;
  "") ;;
  *) echo "usage: scripts/test-macos.sh [--disposable-machine]"; exit 64 ;;
esac
section() { printf '\n=== %s ===\n' "$*"; }
build="build-macos"
jobs=$(sysctl -n hw.ncpu)
label=com.corvellan.nimbara.helper
socket=/var/run/$label.sock
state_folder=/var/db/$label
passed=0 failed=0
check() { # name, command...: the command must succeed
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok   $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}
expect_status() { # status, command...
  local want=$1 got=0; shift
  "$@" >/dev/null 2>&1 || got=$?
  [ "$got" -eq "$want" ]
}
wait_for() { # tries, command...: repeats the command every 0.1 s until it succeeds
  local tries=$1; shift
  while [ "$tries" -gt 0 ]; do "$@" && return 0; tries=$((tries - 1)); sleep 0.1; done
  return 1
}
finish() { echo "test-macos: $passed passed, $failed failed"; [ "$failed" -eq 0 ]; }

section "dependencies (Homebrew)"
for formula in cmake ninja nlohmann-json cli11 utf8proc googletest; do
  brew list --versions "$formula" >/dev/null || brew install "$formula"
done

work=$(mktemp -d /tmp/nimbara-macos-XXXXXX)
keychain="$work/dev.keychain-db"
identity="Nimbara Throwaway Developer"
signing=()
cleanup() {
  if [ -n "${helper_pid:-}" ]; then sudo kill "$helper_pid" 2>/dev/null || true; fi
  if [ -f "$work/installed" ]; then sudo "$uninstaller" --remove-log >/dev/null 2>&1 || true; fi
  if [ -f "$work/trusted" ]; then sudo security remove-trusted-cert -d "$work/dev.pem" || true; fi
  security delete-keychain "$keychain" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
if $disposable; then
  section "throwaway signing identity"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$identity" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=critical,codeSigning" \
    -keyout "$work/dev.key" -out "$work/dev.pem" 2>/dev/null
  # The keychain reads only the older PKCS#12 encryption: OpenSSL 3 writes it with -legacy,
  # LibreSSL (/usr/bin/openssl) and OpenSSL 1.1 by default and refuse that option.
  legacy=()
  case "$(openssl version)" in OpenSSL\ 3*) legacy=(-legacy) ;; esac
  openssl pkcs12 -export ${legacy[@]+"${legacy[@]}"} -passout pass:throwaway \
    -inkey "$work/dev.key" -in "$work/dev.pem" -out "$work/dev.p12"
  security create-keychain -p throwaway "$keychain"
  security unlock-keychain -p throwaway "$keychain"
  security import "$work/dev.p12" -k "$keychain" -P throwaway -T /usr/bin/codesign >/dev/null
  security set-key-partition-list -S apple-tool:,apple: -s -k throwaway "$keychain" >/dev/null
  # codesign signs only with an identity it trusts; this changes the machine's trust settings,
  # which is why it happens on a disposable machine only (and is undone at exit).
  sudo security add-trusted-cert -d -r trustRoot -p codeSign "$work/dev.pem" && touch "$work/trusted"
  signing=(-DCODESIGN_IDENTITY="$identity" -DCODESIGN_KEYCHAIN="$keychain" -DCODESIGN_TIMESTAMP=OFF)
fi

section "build (system compiler)"
utf8proc_archive="$(brew --prefix utf8proc)/lib/libutf8proc.a"
if [ ! -f "$utf8proc_archive" ]; then
  # The bottle carries only the shared library: the static archive from the source Homebrew
  # fetches for the same version (checked against the formula's hash).
  brew fetch --build-from-source utf8proc >/dev/null
  mkdir -p "$work/utf8proc"
  tar -xzf "$(brew --cache --build-from-source utf8proc)" -C "$work/utf8proc" --strip-components 1
  make -C "$work/utf8proc" libutf8proc.a >/dev/null
  utf8proc_archive="$work/utf8proc/libutf8proc.a"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=OFF \
  -DUTF8PROC_LIBRARY="$utf8proc_archive" ${signing[@]+"${signing[@]}"}
ninja -C "$build" -j "$jobs"
helper="$build/helper/$label"
client="$build/client/nimbara-helper-client"
# Only the system's libraries, loaded from where only the system can change them; macOS 13 as the
# oldest system; this machine's architecture.
system_libraries_only() { ! otool -L "$1" | tail -n +2 | awk '{print $1}' | grep -v -e '^/usr/lib/' -e '^/System/'; }
starts_on_13() { otool -l "$1" | grep -A4 LC_BUILD_VERSION | grep -q 'minos 13.0'; }
for program in "$helper" "$client"; do
  check "$(basename "$program") links only /usr/lib and /System" system_libraries_only "$program"
  check "$(basename "$program") starts on macOS 13" starts_on_13 "$program"
  check "$(basename "$program") is built for $(uname -m)" sh -c "lipo -archs '$program' | grep -qw '$(uname -m)'"
done

section "unit and file-system tests"
check "unit and file-system tests" ctest --test-dir "$build" --output-on-failure -j "$jobs" -L 'unit|fs'

if ! $disposable; then
  echo "test-macos: end-to-end checks skipped: they run the helper as root at its real socket"
  echo "            and plug-in folders; pass --disposable-machine on a machine thrown away after"
  finish
  exit
fi

section "end to end: the helper started by hand (real helper, real paths)"
log="$work/helper.log"
segedit "$helper" -extract __TEXT __info_plist "$work/plist"
check "the helper carries its Info.plist" cmp -s "$work/plist" packaging/Info.plist
check "the client carries the throwaway signature" \
  sh -c "codesign -dv '$client' 2>&1 | grep -q 'Identifier=com.corvellan.nimbara$'"
check "the helper is signed with the hardened runtime" \
  sh -c "codesign -dv '$helper' 2>&1 | grep -q 'flags=.*runtime'"

sudo sh -c "'$PWD/$helper' > '$log' 2>&1 & echo \$! > '$work/helper.pid'"
helper_pid=$(cat "$work/helper.pid")
wait_for 50 test -S "$socket" || true
check "the socket is open to every user" sh -c "[ \"\$(stat -f %Lp '$socket')\" = 666 ]"
# The state folder is reached where /var is a link: the record of staged copies, the lock and
# the start-up sweep work only then.
check "the helper keeps its record of staged copies" sh -c "! grep -q 'Cannot keep a record' '$log'"
check "the state folder holds the lock, root's alone" \
  sudo sh -c "[ \"\$(stat -f '%Su %Lp' '$state_folder')\" = 'root 700' ] && [ -f '$state_folder/lock' ]"
check "the pid file names the helper" sudo sh -c "[ \"\$(cat '$state_folder/helper.pid')\" = '$helper_pid' ]"
check "a client signed by a non-Apple identity is refused (77)" expect_status 77 "$client" ping
cp "$client" "$work/adhoc-client"
codesign --force --sign - "$work/adhoc-client"
check "an ad-hoc signed client is refused (77)" expect_status 77 "$work/adhoc-client" ping
cat > "$work/unsigned_ping.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(b'{"v":1,"id":"1","op":"ping"}\n')
sys.exit(0 if b"SIGNATURE_INVALID" in s.recv(4096) else 1)
PY
check "python3 speaking the protocol is refused" python3 "$work/unsigned_ping.py" "$socket"
check "each refusal is logged with the pid" grep -q "Rejected connection: signature invalid (pid: " "$log"

# The cost of one check: a refused signed client runs the whole check (validity of the running
# code, then the requirement). Spaced so the refusal log's rate limit plays no part.
cat > "$work/check_cost.py" <<'PY'
import subprocess, sys, time
times = []
for _ in range(10):
    start = time.monotonic()
    subprocess.run([sys.argv[1], "ping"], capture_output=True)
    times.append(time.monotonic() - start)
    time.sleep(0.25)
times.sort()
print("one check with a signed client, connect to refusal: median %.1f ms, worst %.1f ms"
      % (times[5] * 1000, times[-1] * 1000))
sys.exit(0 if times[5] < 0.5 else 1)
PY
check "one signature check takes well under a second" python3 "$work/check_cost.py" "$client"
# The helper raises its descriptor limit to the hard limit at start; launchd gives daemons an
# unlimited hard limit, which setrlimit may refuse (getrlimit(2): EINVAL above OPEN_MAX).
cat > "$work/fd_limit.py" <<'PY'
import resource
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
print("descriptor limit: soft %s, hard %s; launchd: %s" % (soft, hard, open("/dev/stdin").read().strip()))
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
print("raised to %s" % (resource.getrlimit(resource.RLIMIT_NOFILE)[0],))
PY
check "the descriptor limit can be raised to launchd's hard limit" \
  sh -c "launchctl limit maxfiles | sudo sh -c 'ulimit -Hn unlimited 2>/dev/null; python3 $work/fd_limit.py'"

sudo kill -TERM "$helper_pid"
wait_for 100 sh -c "! sudo kill -0 $helper_pid 2>/dev/null" || true
helper_pid=
check "SIGTERM stops the helper and removes its socket" sh -c "[ ! -e '$socket' ]"
check "the pid file goes with the helper" sudo sh -c "[ ! -e '$state_folder/helper.pid' ]"
check "the log ends with Stopped" sh -c "tail -n 1 '$log' | grep -q 'Stopped'"

section "end to end: installed from a package and run by launchd"
installed_log=/Library/Logs/$label.log
uninstaller=/usr/local/share/nimbara/uninstall.sh
package_id=$label
# The package a vendor builds: the install tree (the rotation rule under private/etc, since /etc
# is a link that a payload must not replace) and the installer scripts.
stage="$work/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr/local >/dev/null
mkdir -p "$stage/private" && mv "$stage/etc" "$stage/private/etc"
(cd "$stage" && find . -type f -o -type l) | sed -e 's|^\.||' -e 's|^/private/etc/|/etc/|' > "$work/installed-files"
pkgbuild --root "$stage" --identifier "$package_id" --version "$(/usr/libexec/PlistBuddy -c \
  'Print CFBundleVersion' packaging/Info.plist)" --scripts packaging/macos/scripts \
  --install-location / "$work/helper.pkg" >/dev/null
job_pid() { sudo launchctl print "system/$label" 2>/dev/null | awk '$1 == "pid" {print $3}'; }
install_package() { sudo installer -pkg "$work/helper.pkg" -target / >/dev/null && touch "$work/installed"; }
check "the package installs" install_package
wait_for 100 test -S "$socket" || true
first_pid=$(job_pid)
check "postinstall has launchd run the helper" test -n "$first_pid"
check "the package receipt is there" expect_status 0 pkgutil --pkg-info "$package_id"
check "the installed helper refuses the throwaway client (77)" expect_status 77 "$client" ping
check "the helper keeps its record under launchd" sh -c "! grep -q 'Cannot keep a record' '$installed_log'"
check "the pid file names launchd's job" sudo sh -c "[ \"\$(cat '$state_folder/helper.pid')\" = '$first_pid' ]"
# Background Task Management lists a launchd daemon with the app it belongs to.
check "Background Task Management names the vendor's app for the helper" \
  sh -c "sudo sfltool dumpbtm 2>/dev/null | grep -A12 '$label' | grep -q 'com.corvellan.nimbara'"

# The rotation: newsyslog renames the log, makes a fresh one and signals the helper by its pid
# file; the helper writes on in the fresh file, and nothing written after that goes to the old.
sudo newsyslog -F -f "/etc/newsyslog.d/$label.conf" || echo "test-macos: newsyslog failed"
check "after a rotation the helper writes to the fresh log" \
  wait_for 50 grep -q "Reopened the log at $installed_log" "$installed_log"
expect_status 77 "$client" ping || true
check "a line after the rotation lands in the fresh log" \
  wait_for 20 grep -q "Rejected connection" "$installed_log"
check "the rotated log ends before the reopen" sh -c "! grep -q 'Reopened' '$installed_log.0'"

# An upgrade: the package again while the helper runs; launchd must run a new instance.
check "an upgrade over a running helper installs" install_package
wait_for 100 sh -c "[ -n \"\$(sudo launchctl print system/$label 2>/dev/null | awk '\$1 == \"pid\" {print \$3}')\" ]" || true
upgraded_pid=$(job_pid)
check "a new instance runs after the upgrade" sh -c "[ -n '$upgraded_pid' ] && [ '$upgraded_pid' != '$first_pid' ]"

# Acting through the helper needs a client it serves: the vendor's Developer ID signs one.
accepted=false
if [ -n "${NIMBARA_DEVELOPER_ID:-}" ]; then
  codesign --force --sign "$NIMBARA_DEVELOPER_ID" --identifier com.corvellan.nimbara \
    --options runtime --timestamp "$client"
  accepted=true
fi
# shellcheck disable=SC2034  # for the file-system checks
user=$(id -un)
# Part of this run kept in a file of its own: checks of what the helper does on the file
# system (clones, flags, attributes, compressed and dataless files, protected folders, acting as
# the caller). It defines run_file_system_checks, called here with the helper installed and
# running under launchd. It may use: check NAME CMD..., expect_status STATUS CMD...,
# wait_for TRIES CMD...; $client (the client; served only when $accepted is true), $accepted,
# $user (the user this script runs as; root is reached with sudo), $work (a scratch folder,
# removed at exit), $installed_log (the helper's log), $state_folder, $socket, $label.
if [ -f scripts/test-macos/file-system-checks.sh ]; then
  # shellcheck source=/dev/null
  . scripts/test-macos/file-system-checks.sh
  run_file_system_checks
fi

if $accepted; then
  root=/Library/Audio/Plug-Ins/VST3
  name="nimbara-e2e-$$.vst3"
  src="$HOME/Library/Caches/$name"  # under /Users/, outside the privacy-guarded folders
  mkdir -p "$src/Contents/MacOS" && echo code > "$src/Contents/MacOS/plugin"
  chmod 4755 "$src/Contents/MacOS/plugin"
  xattr -w com.apple.quarantine "0081;00000000;test;" "$src/Contents/MacOS/plugin"
  check "the Developer ID client is served" "$client" ping
  check "copy" "$client" copy "$src" "$root/$name"
  check "the copy has no setuid bit" sh -c "[ \"\$(stat -f %Lp '$root/$name/Contents/MacOS/plugin')\" = 755 ]"
  check "the copy has no quarantine or other attributes" \
    sh -c "[ -z \"\$(xattr '$root/$name/Contents/MacOS/plugin')\" ]"
  check "the copy belongs to root" sh -c "[ \"\$(stat -f %u '$root/$name/Contents/MacOS/plugin')\" = 0 ]"
  check "remove" "$client" remove "$root/$name"
  check "removed" sh -c "[ ! -e '$root/$name' ]"
  # App Management (macOS 13+) guards signed bundles of other teams against changes by apps
  # without the permission: a plug-in signed by another team is replaced and removed all the same.
  other="$root/nimbara-other-team-$$.vst3"
  sudo mkdir -p "$other/Contents/MacOS" && sudo cp /usr/bin/true "$other/Contents/MacOS/other"
  sudo plutil -create xml1 "$other/Contents/Info.plist"
  sudo plutil -insert CFBundleIdentifier -string com.example.other "$other/Contents/Info.plist"
  sudo plutil -insert CFBundleExecutable -string other "$other/Contents/Info.plist"
  sudo codesign --force --sign "$identity" --keychain "$keychain" "$other" ||
    echo "test-macos: could not sign $other; it stays as the system left it"
  check "another team's signed bundle is replaced (App Management)" "$client" copy "$src" "$other"
  check "another team's signed bundle is removed (App Management)" "$client" remove "$other"
  rm -rf "$src"
else
  echo "skip accepted-client checks (copy, remove, App Management): NIMBARA_DEVELOPER_ID is not set"
fi

section "uninstall"
uninstall_out=$(sudo "$uninstaller" --remove-log) || true
echo "$uninstall_out"
rm -f "$work/installed"
for named in "removed $state_folder" "removed the package receipt $package_id" "removed $uninstaller"; do
  check "uninstall says: $named" grep -q "^$named" <<<"$uninstall_out"
done
left_behind() { # what the package put in place, the state folder, the socket, the log, the job
  local path
  while IFS= read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "left: $path"; return 1; fi
  done < "$work/installed-files"
  for path in "$state_folder" "$socket" "$installed_log"; do
    if sudo test -e "$path"; then echo "left: $path"; return 1; fi
  done
  ! sudo launchctl print "system/$label" >/dev/null 2>&1 && ! pkgutil --pkg-info "$package_id" >/dev/null 2>&1
}
check "uninstall removes everything it installed, the state folder, the log and the receipt" left_behind
finish
