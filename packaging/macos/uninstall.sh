#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Removes the helper: stops it, then removes its launchd property list, executable, socket and
# log rotation rule. The log stays unless --remove-log is given.
# Usage: sudo uninstall.sh [--remove-log]
set -eu
label=com.corvellan.nimbara.helper
remove_log=no
case "${1:-}" in
  "") ;;
  --remove-log) remove_log=yes ;;
  *) echo "usage: $0 [--remove-log]" >&2; exit 64 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: must run as root (sudo)" >&2
  exit 77
fi
launchctl bootout "system/$label" >/dev/null 2>&1 || true
rm -f "/Library/LaunchDaemons/$label.plist" \
  "/Library/PrivilegedHelperTools/$label" \
  "/var/run/$label.sock" \
  "/etc/newsyslog.d/$label.conf"
if [ "$remove_log" = yes ]; then
  rm -f "/Library/Logs/$label.log" "/Library/Logs/$label.log."[0-9]*
fi
echo "removed $label"
