#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs, with apt-get, what building and testing the helper needs on Debian 12.
set -euo pipefail
packages=(cmake ninja-build g++ clang-14 libclang-rt-14-dev llvm-14 pkg-config
  nlohmann-json3-dev libssl-dev openssl libcli11-dev libutf8proc-dev libgtest-dev libgmock-dev libbenchmark-dev
  bubblewrap util-linux python3 binutils coreutils procps
  shellcheck systemd dpkg-dev devscripts man-db groff-base acl rsync strace gdb)
# npm (for the macOS compile check's headers) may already come with a Node.js from elsewhere,
# whose package the Debian one conflicts with: only install it when there is none.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
