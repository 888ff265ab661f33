#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A program outside the tree uses the installed client library: the library component of BUILD
# is installed into a scratch prefix, one program in C finds it with pkg-config and one in C++17
# with find_package(NimbaraClient); each links it in, is signed with BUILD's test identity like
# the tests' clients, and pings and copies through the real helper in the sandbox. The C program
# is also linked against the shared library and run where no helper listens.
# Usage: tests/install/consumer_test.sh BUILD_DIR   (as root, for the sandbox)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
work=$build/consumer-test  # inside the build, which the sandbox shows
rm -rf "$work"; mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --component client-library --prefix "$prefix" >/dev/null
# Nothing but the library, its headers and how to find them.
(cd "$prefix" && find . -type f -o -type l | sort) > "$work/installed"
if grep -vE '^\./(lib(/[^/]+)?/(libnimbara-client\.(a|so(\.[0-9.]+)?)|pkgconfig/nimbara-client(-static)?\.pc|cmake/NimbaraClient/[A-Za-z-]+\.cmake)|include/nimbara/(client\.h|client\.hpp|module\.modulemap))$' "$work/installed"; then
  echo "unexpected files installed"; exit 1
fi
pcpath=$(dirname "$(find "$prefix" -name nimbara-client.pc)")
export PKG_CONFIG_PATH=$pcpath

cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/ping_copy" "$src/tests/install/consumer/ping_copy.c" \
  $(pkg-config --cflags --libs nimbara-client-static)
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/ping_copy_shared" \
  "$src/tests/install/consumer/ping_copy.c" $(pkg-config --cflags --libs nimbara-client)
cmake -S "$src/tests/install/consumer" -B "$work/cxx" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
ninja -C "$work/cxx" >/dev/null
cp "$work/cxx/ping_copy_cxx" "$work/"

# The shared library is found and answers without a helper.
out=$(LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libnimbara-client.so')") \
  "$work/ping_copy_shared" "$work/none.sock" /Users/a /Library/b || true)
grep -q "^connect: result=2 code= error=cannot connect to $work/none.sock" <<< "$out" || { echo "$out"; exit 1; }

id=$build/codesign/dev
for prog in ping_copy ping_copy_cxx; do
  "$build/tools/nimbara-codesign" sign --identifier com.corvellan.nimbara --cert "$id/leaf.pem" \
    --key "$id/leaf.key" --chain "$id/intermediate.pem" "$work/$prog" "$work/$prog.signed"
  mv "$work/$prog.signed" "$work/$prog"
done

out=$("$src/scripts/sandbox.sh" "$build" -- bash -c '
  . "$SRC/tests/sandbox/prelude.sh"
  W=$BUILD/consumer-test
  mkdir -p /Users/ann/Foo.vst3/Contents; head -c 50000000 /dev/zero > /Users/ann/Foo.vst3/Contents/big
  chown -R 1000:1000 /Users/ann
  start_helper
  as_user "$W/ping_copy" /Users/ann/Foo.vst3 "$VST3/Foo.vst3"; echo "c-status=$?"
  as_user "$W/ping_copy_cxx" /Users/ann/Foo.vst3 "$VST3/Bar.vst3"; echo "cxx-status=$?"
  cmp /Users/ann/Foo.vst3/Contents/big "$VST3/Bar.vst3/Contents/big" && echo same
  stop_helper' 2>&1)
echo "$out" | grep -v '^progress [0-9]'
for want in "ping: result=0 code= error= reason=" "copy: result=0 code= error= reason=" \
  "copy again: result=1 code=OP_FAILED error=The operation couldn’t be completed. (Helper.OperationError error 0.) reason=Copy failed: Cannot read /Users/nobody/none: No such file or directory" \
  "progress 0/" "c-status=0" "ping: ok" "copy: ok" "cxx-status=0" "same"; do
  grep -qF -- "$want" <<< "$out" || { echo "missing: $want"; exit 1; }
done
echo "consumer programs: C (pkg-config) and C++17 (CMake) pinged and copied through the helper"
