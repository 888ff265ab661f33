# SPDX-License-Identifier: Apache-2.0
# Checks of the copy, the state folder and the server that only a Mac can settle: each names
# the review row it settles (see scripts/macos-check/README.md, "Review rows: file system and
# server"). Sourced by scripts/test-macos.sh, which calls run_file_system_checks once the helper
# runs as root at its fixed socket. What this file relies on from that script:
#   check NAME COMMAND...        counts and prints "ok   NAME" or "FAIL NAME"
#   expect_status STATUS CMD...  succeeds when CMD exits with STATUS (its output discarded)
#   $client  the client program; copies are checked only when the helper serves it (its ping
#            answers), that is when it carries the vendor's Developer ID
#   $log     the helper's standard output
#   $work    a scratch folder of the run, removed at its end
# It runs as the unprivileged user of the run (its home under /Users), with sudo at hand, and
# leaves nothing behind in the plug-in folder or the home. Safe under set -eu.
# shellcheck disable=SC2154  # client, log and work are the calling script's

fs_root=/Library/Audio/Plug-Ins/VST3
fs_state=/private/var/db/com.corvellan.nimbara.helper

# Copies the bundle $fs_src to the plug-in folder as NAME; prints the client's error text.
# shellcheck disable=SC2069  # the error text alone is wanted
fs_copy() { "$client" copy "$fs_src" "$fs_root/$1" 2>&1 >/dev/null || true; }
fs_flags() { stat -f %Xf "$1"; }  # BSD file flags, hexadecimal
fs_no_attributes() { [ -z "$(xattr "$1")" ]; }
fs_compressed() { [ $(( 0x$(fs_flags "$1") & 0x20 )) -ne 0 ]; }  # UF_COMPRESSED
# Error text ($1) empty, or: the copy refused, or its file ($3) the same as the source ($2).
fs_whole_or_refused() { [ -n "$1" ] || cmp -s "$2" "$3"; }
fs_copied_or_noted() { [ "$1" = copied ] || [[ "$1" == *"Full Disk Access"* ]]; }

# M4: the state folder is reached, so the record, the lock and the start-up sweep work.
fs_state_checks() {
  check "M4: the helper keeps its record of staged copies" \
    sh -c "! grep -q 'Cannot keep a record' '$log'"
  check "M4: the state folder is root's alone and holds the lock" \
    sh -c "[ \"\$(sudo stat -f '%u %Lp' '$fs_state')\" = '0 700' ] && sudo test -f '$fs_state/lock'"
}

# M13: a burst of connections larger than the old backlog is never refused.
fs_burst_check() {
  cat > "$work/burst.py" <<'PY'
import socket, sys
refused, held = 0, []
for _ in range(150):
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(sys.argv[1]); held.append(s)
    except ConnectionRefusedError:
        refused += 1
print("refused", refused)
sys.exit(1 if refused else 0)
PY
  check "M13: 150 connections at once, none refused" python3 "$work/burst.py" \
    /var/run/com.corvellan.nimbara.helper.sock
}

# M5, M7 and the flags and modes of a clone: a bundle with a setuid file, a file its owner made
# immutable, a compressed file, a sparse one and one copied right after it was written.
fs_clone_checks() {
  local b="$fs_src/Contents"
  mkdir -p "$b/MacOS"
  printf 'code\n' > "$b/MacOS/plugin"; chmod 4755 "$b/MacOS/plugin"
  printf 'kept\n' > "$b/locked"; chflags uchg "$b/locked"
  head -c 300000 /usr/share/dict/words > "$work/words"
  ditto --hfsCompression "$work/words" "$b/compressed"
  dd if=/dev/zero of="$b/sparse" bs=1 count=0 seek=64m 2>/dev/null; printf end >> "$b/sparse"
  head -c 5000000 /dev/urandom > "$b/fresh"
  check "M7: the source file is compressed by the file system" fs_compressed "$b/compressed"
  local out; out=$(fs_copy "$fs_name")
  check "M5: a bundle holding an immutable file of its owner's is copied ($out)" [ -z "$out" ]
  local c="$fs_root/$fs_name/Contents"
  check "clone: setuid cleared, mode 755, root's" \
    sh -c "[ \"\$(stat -f '%Lp %u' '$c/MacOS/plugin')\" = '755 0' ]"
  check "M5: the copy of the immutable file carries no flags" [ "$(fs_flags "$c/locked")" = 0 ]
  check "clone: no extended attribute on the copies" fs_no_attributes "$c/MacOS/plugin"
  for f in compressed sparse fresh; do
    check "M7: the $f file is copied byte for byte" cmp -s "$b/$f" "$c/$f"
  done
  check "M5: a copy holding a cloned immutable file is removed" "$client" remove "$fs_root/$fs_name"
  chflags nouchg "$b/locked"
  local dataless
  dataless=$(find "$HOME" -maxdepth 6 -type f -flags +dataless 2>/dev/null | head -n 1 || true)
  if [ -n "$dataless" ]; then
    rm -rf "$fs_src"; mkdir -p "$fs_src"; ln "$dataless" "$fs_src/dataless" 2>/dev/null ||
      ditto "$dataless" "$fs_src/dataless"
    out=$(fs_copy "$fs_name")
    check "M7: a dataless file is copied whole or refused, never as zeros ($out)" \
      fs_whole_or_refused "$out" "$dataless" "$fs_root/$fs_name/dataless"
    "$client" remove "$fs_root/$fs_name" || true
  else
    echo "skip M7 dataless: no dataless file here (one needs a file provider such as iCloud Drive)"
  fi
}

# M6: the provenance attribute on a source file; clearing it from a clone may be refused.
fs_provenance_check() {
  rm -rf "$fs_src"; mkdir -p "$fs_src"; printf 'data\n' > "$fs_src/file"
  if ! xattr -w com.apple.provenance x "$fs_src/file" 2>/dev/null; then
    local found
    found=$(find "$HOME/Library/Caches" "$HOME/Downloads" -maxdepth 3 -type f -xattrname \
      com.apple.provenance 2>/dev/null | head -n 1 || true)
    [ -n "$found" ] && ditto "$found" "$fs_src/file"
  fi
  if ! xattr -p com.apple.provenance "$fs_src/file" >/dev/null 2>&1; then
    echo "skip M6: no file with com.apple.provenance can be made or found here"
    return
  fi
  local out; out=$(fs_copy "$fs_name")
  check "M6: a file with com.apple.provenance is copied ($out)" [ -z "$out" ]
  check "M6: the copy carries no attribute" fs_no_attributes "$fs_root/$fs_name/file"
  "$client" remove "$fs_root/$fs_name" || true
}

# M15: a file the caller may read only through a supplementary group (admin, which the run's
# user is in without it being her primary group).
fs_groups_check() {
  if ! id -Gn | tr ' ' '\n' | grep -qx admin || [ "$(id -gn)" = admin ]; then
    echo "skip M15: the user is not in admin as a supplementary group"
    return
  fi
  rm -rf "$fs_src"; mkdir -p "$fs_src"; printf 'group\n' > "$fs_src/file"
  sudo chown root:admin "$fs_src/file"; sudo chmod 640 "$fs_src/file"
  local out; out=$(fs_copy "$fs_name")
  check "M15: a file readable through a supplementary group is copied ($out)" [ -z "$out" ]
  "$client" remove "$fs_root/$fs_name" || true
}

# M20: a source in a privacy-protected folder, named in lower case (the volume ignores case):
# copied when the helper has Full Disk Access, otherwise refused with the note that says so.
fs_privacy_check() {
  local src="$HOME/downloads/nimbara-fs-$$.vst3"
  mkdir -p "$src" && printf 'x\n' > "$src/file"
  # shellcheck disable=SC2069
  local out; out=$("$client" copy "$src" "$fs_root/$fs_name" 2>&1 >/dev/null) && out=copied
  echo "M20: $out"
  check "M20: a protected folder's source is copied or refused with the privacy note" \
    fs_copied_or_noted "$out"
  "$client" remove "$fs_root/$fs_name" >/dev/null 2>&1 || true
  rm -rf "$src"
}

run_file_system_checks() {
  fs_state_checks
  fs_burst_check
  if ! "$client" ping >/dev/null 2>&1; then
    echo "skip copy checks (M5, M6, M7, M15, M20): the helper does not serve this client"
    return 0
  fi
  fs_name="nimbara-fs-$$.vst3"
  fs_src="$HOME/Library/Caches/$fs_name"  # under /Users/, outside the protected folders
  rm -rf "$fs_src"
  fs_clone_checks
  fs_provenance_check
  fs_groups_check
  fs_privacy_check
  chflags -R nouchg "$fs_src" 2>/dev/null || true
  rm -rf "$fs_src"
  sudo rm -rf "${fs_root:?}/$fs_name"
}
