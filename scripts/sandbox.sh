#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a command inside a throwaway sandbox in which the helper can live at its real fixed
# paths: /Library, /Users, /run (so /var/run) and /tmp are fresh tmpfs mounts, the rest of the
# system is read-only, and the sandbox has its own pid namespace and /proc.
#   scripts/sandbox.sh BUILD_DIR [--ro-file FILE] [--var-link] -- COMMAND...
# Inside, BUILD_DIR and the source tree are at the same paths (read-only), FILE if given is at
# /script, and $SANDBOX_BWRAP_ARGS (extra mounts) are added to the sandbox's command line.
# --var-link lays /var out as macOS and image-based systems do: a link of root's to private/var,
# a folder of root's (/var/run still leads to /run).
set -euo pipefail
build=$(cd "$1" && pwd); shift
extra=()
var=(--perms 0755 --dir /var --symlink ../run /var/run)
while [ $# -gt 0 ]; do
  case "$1" in
    --ro-file) extra+=(--ro-bind "$2" /script); shift 2 ;;
    --var-link) var=(--perms 0755 --dir /private --perms 0755 --dir /private/var
                     --symlink ../../run /private/var/run --symlink private/var /var); shift ;;
    *) break ;;
  esac
done
read -r -a more <<< "${SANDBOX_BWRAP_ARGS:-}"
extra+=("${more[@]}")
[ "${1:-}" = -- ] && shift
src=$(cd "$(dirname "$0")/.." && pwd)
# Folders bwrap makes on the way to a mount are 0700; open them so that unprivileged users in
# the sandbox reach the socket and the build's programs. They are made after the tmpfs mounts,
# which would otherwise hide those below /tmp (a build there) behind fresh 0700 ones.
open_dirs=()
for top in "$src" "$build"; do
  d=$(dirname "$top")
  while [ "$d" != / ]; do open_dirs+=(--perms 0755 --dir "$d"); d=$(dirname "$d"); done
done
args=(--die-with-parent --unshare-pid --new-session "${var[@]}"
  --ro-bind /usr /usr --symlink usr/bin /bin --symlink usr/sbin /sbin
  --symlink usr/lib /lib --symlink usr/lib64 /lib64 --ro-bind /etc /etc
  --proc /proc --dev /dev --tmpfs /tmp --tmpfs /run
  --tmpfs /Library --tmpfs /Users "${open_dirs[@]}"
  --ro-bind "$src" "$src" --ro-bind "$build" "$build")
exec bwrap "${args[@]}" "${extra[@]}" --setenv BUILD "$build" --setenv SRC "$src" -- "$@"
