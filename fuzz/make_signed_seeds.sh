#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Writes the signed-file fuzzer's seeds: a tiny ELF image signed by the build's identity, the
# same signed for another identifier and by an untrusted identity, and damaged copies of it.
#   make_signed_seeds.sh CODESIGN_TOOL IDENTITY_DIR IDENTIFIER MAKE_IDENTITY_SH OUTDIR
set -euo pipefail
tool=$1 ident=$2 identifier=$3 make_identity=$4 out=$5
rm -rf "$out"; mkdir -p "$out"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

sign() { # identity-dir identifier input output
  "$tool" sign --identifier "$2" --cert "$1/leaf.pem" --key "$1/leaf.key" \
    --chain "$1/intermediate.pem" "$3" "$4" >/dev/null
}
# Copies $1 to $2 with the byte at offset $3 (negative: from the end) replaced by $4 (octal).
patch() {
  local size off; size=$(stat -c %s "$1"); off=$3
  [ "$off" -lt 0 ] && off=$((size + off))
  cp "$1" "$2"
  printf "\\$4" | dd of="$2" bs=1 seek="$off" conv=notrunc status=none
}

{ printf '\177ELF\002\001\001'; head -c 57 /dev/zero; } > "$work/tiny"
cp "$work/tiny" "$out/unsigned"
sign "$ident" "$identifier" "$work/tiny" "$out/valid"
sign "$ident" "com.example.other" "$work/tiny" "$out/other-identifier"
bash "$make_identity" dev "$work/stranger" >/dev/null 2>&1
sign "$work/stranger" "$identifier" "$work/tiny" "$out/untrusted"

v=$out/valid size=$(stat -c %s "$out/valid")
patch "$v" "$out/code-tampered" 20 001
patch "$v" "$out/trailer-version" -27 002     # format version, low byte
patch "$v" "$out/trailer-length" -29 377      # CMS length, low byte
patch "$v" "$out/trailer-limit" -33 001       # code limit, low byte
patch "$v" "$out/cms-first-byte" 64 061
patch "$v" "$out/cms-last-byte" -41 000
head -c $((size - 1)) "$v" > "$out/truncated"
{ head -c 64 "$v"; tail -c 40 "$v"; } > "$out/no-cms"
