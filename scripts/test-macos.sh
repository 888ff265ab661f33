#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The test run for a Mac; it has not run yet (there is no Mac where it was written; see README).
#   1. builds with the system's compiler (Xcode command-line tools) and Homebrew's libraries
#   2. runs the unit and file-system tests (ctest -L 'unit|fs')
#   3. with --disposable-machine only: the end-to-end checks of the real helper, started as root
#      at its fixed socket path with the real plug-in folders, which the Linux suite runs in a
#      sandbox and which have none here. Without the flag nothing outside the build folder is
#      touched, so a developer's Mac keeps its installed helper and plug-ins.
# On a disposable machine a throwaway signing identity (self-signed, in a temporary keychain,
# trusted for code signing in the system's trust settings) signs the client: the helper must
# refuse it, since it does not chain to Apple. Elsewhere the client is left ad-hoc signed. The
# accepted path needs the vendor's Developer ID: set NIMBARA_DEVELOPER_ID to its keychain name.
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
  openssl pkcs12 -export -passout pass:throwaway -inkey "$work/dev.key" -in "$work/dev.pem" \
    -out "$work/dev.p12"
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
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=OFF \
  ${signing[@]+"${signing[@]}"}
ninja -C "$build" -j "$jobs"

section "unit and file-system tests"
ctest --test-dir "$build" --output-on-failure -j "$jobs" -L 'unit|fs'

if ! $disposable; then
  echo "test-macos: end-to-end checks skipped: they run the helper as root at its real socket"
  echo "            and plug-in folders; pass --disposable-machine on a machine thrown away after"
  exit 0
fi

section "end to end (real helper, real paths)"
helper="$build/helper/com.corvellan.nimbara.helper"
client="$build/client/nimbara-helper-client"
socket=/var/run/com.corvellan.nimbara.helper.sock
log="$work/helper.log"
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

segedit "$helper" -extract __TEXT __info_plist "$work/plist"
check "the helper carries its Info.plist" cmp -s "$work/plist" packaging/Info.plist
check "the client carries the throwaway signature" \
  sh -c "codesign -dv '$client' 2>&1 | grep -q 'Identifier=com.corvellan.nimbara'"

sudo sh -c "'$PWD/$helper' > '$log' 2>&1 & echo \$! > '$work/helper.pid'"
helper_pid=$(cat "$work/helper.pid")
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
check "the socket is open to every user" sh -c "[ \"\$(stat -f %Lp '$socket')\" = 666 ]"
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

if [ -n "${NIMBARA_DEVELOPER_ID:-}" ]; then
  codesign --force --sign "$NIMBARA_DEVELOPER_ID" --identifier com.corvellan.nimbara \
    --options runtime --timestamp "$client"
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
  rm -rf "$src"
else
  echo "skip accepted-client checks: NIMBARA_DEVELOPER_ID is not set"
fi

sudo kill -TERM "$helper_pid"
for _ in $(seq 50); do sudo kill -0 "$helper_pid" 2>/dev/null || break; sleep 0.1; done
helper_pid=
check "SIGTERM stops the helper and removes its socket" sh -c "[ ! -e '$socket' ]"
check "the log ends with Stopped" sh -c "tail -n 1 '$log' | grep -q 'Stopped'"
echo "end-to-end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
