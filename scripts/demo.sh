#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the helper and runs it in a throwaway sandbox with a client session that shows every
# operation. Nothing outside the sandbox is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build com.corvellan.nimbara.helper nimbara-helper-client >/dev/null
exec scripts/sandbox.sh build -- bash "$PWD/scripts/demo-session.sh"
