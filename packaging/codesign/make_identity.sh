#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes code-signing identities with P-256 keys and long validity.
#   make_identity.sh dev OUTDIR                       root, intermediate and client leaf in OUTDIR
#   make_identity.sh ca PREFIX SUBJECT_CN [ISSUER]    a CA: self-signed, or issued by ISSUER
#   make_identity.sh leaf PREFIX CN ISSUER [codesign|none]
# PREFIX names PREFIX.pem and PREFIX.key; ISSUER is another identity's PREFIX.
set -euo pipefail

days=36500
ext=$(mktemp)
trap 'rm -f "$ext" "$ext.csr"' EXIT

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }

sign_with() { # prefix subject issuer
  openssl req -new -key "$1.key" -subj "$2" -out "$ext.csr"
  openssl x509 -req -in "$ext.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "0x$(openssl rand -hex 16)" \
    -days $days -sha256 -extfile "$ext" -out "$1.pem" 2>/dev/null
}

make_ca() { # prefix cn [issuer]
  newkey "$1"
  if [ $# -lt 3 ]; then
    openssl req -new -x509 -key "$1.key" -subj "/O=Nimbara Development/CN=$2" -days $days -sha256 \
      -set_serial "0x$(openssl rand -hex 16)" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -out "$1.pem"
  else
    printf '%s\n' "basicConstraints=critical,CA:TRUE,pathlen:0" "keyUsage=critical,keyCertSign,cRLSign" \
      "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid:always" > "$ext"
    sign_with "$1" "/O=Nimbara Development/CN=$2" "$3"
  fi
}

make_leaf() { # prefix cn issuer [codesign|none]
  newkey "$1"
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid:always" > "$ext"
  if [ "${4:-codesign}" = codesign ]; then echo "extendedKeyUsage=codeSigning" >> "$ext"; fi
  sign_with "$1" "/O=Nimbara Development/CN=$2" "$3"
}

case "${1:-}" in
  dev)
    mkdir -p "$2"
    make_ca "$2/root" "Nimbara Development Root CA"
    make_ca "$2/intermediate" "Nimbara Development Code Signing CA" "$2/root"
    make_leaf "$2/leaf" "Developer ID Application: Edda Quillon (R7KQ2MZ9TW)" "$2/intermediate"
    ;;
  ca) shift; make_ca "$@" ;;
  leaf) shift; make_leaf "$@" ;;
  *) echo "usage: $0 dev OUTDIR | ca PREFIX CN [ISSUER] | leaf PREFIX CN ISSUER [codesign|none]" >&2; exit 64 ;;
esac
