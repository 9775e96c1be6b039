#!/usr/bin/env bash
# Signs OrvaneTavo release packages with Ed25519 (OpenSSL 3), the way the updater checks them.
#
# The private key is the makers' secret: where it lives is their business, and it must NEVER be
# committed to this repository nor copied to a build machine that does not sign releases. Only its
# public half goes into the build, through the CMake cache variable ORVANE_UPDATE_PUBLIC_KEY.
#
#   scripts/sign-release.sh keygen <private.pem>      makes a new key pair (refuses to overwrite)
#                                                     and prints the base64 public key
#   scripts/sign-release.sh pubkey <private.pem>      prints the base64 of the 32 raw public key bytes
#   scripts/sign-release.sh sign <private.pem> <file> <appimage|deb> <version>
#                                                     prints the file's size, its SHA-256 and the
#                                                     base64 signature of its statement, for the feed
#
# What is signed is not the file but a statement of the package's kind, version, size and
# SHA-256 (five lines, each ending in a newline), so that a signed file can never be offered as
# another version or as the other kind of package:
#
#   OrvaneTavo update
#   kind: appimage
#   version: 1.4.0
#   size: 41234567
#   sha256: <64 lowercase hex digits>
#
# The version is written exactly as in the feed. The signatures are plain (pure) Ed25519 over
# the statement's bytes, which libsodium's crypto_sign_verify_detached accepts as they are.
set -euo pipefail

usage() {
  sed -n '8,13p' "$0" | sed 's/^#   //' >&2
  exit 2
}

command -v openssl >/dev/null || { echo "sign-release: openssl is required" >&2; exit 1; }

pubkey() {
  # The DER SubjectPublicKeyInfo of an Ed25519 key ends with the 32 raw key bytes.
  openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 -w0
  echo
}

[ $# -ge 1 ] || usage
case "$1" in
  keygen)
    [ $# -eq 2 ] || usage
    key=$2
    if [ -e "$key" ]; then
      echo "sign-release: $key already exists; not overwriting a key" >&2
      exit 1
    fi
    # Nobody but the owner may ever read the private key, not even for a moment.
    (umask 077 && openssl genpkey -algorithm ED25519 -out "$key")
    pubkey "$key"
    ;;
  pubkey)
    [ $# -eq 2 ] || usage
    pubkey "$2"
    ;;
  sign)
    [ $# -eq 5 ] || usage
    key=$2
    file=$3
    kind=$4
    version=$5
    [ -f "$file" ] || { echo "sign-release: no such file: $file" >&2; exit 1; }
    case "$kind" in
      appimage|deb) ;;
      *) echo "sign-release: the kind is appimage or deb, not: $kind" >&2; exit 1 ;;
    esac
    # The feed's own rule: numbers separated by dots, then maybe a pre-release tag.
    [[ "$version" =~ ^[0-9]+(\.[0-9]+)*(-[0-9A-Za-z.-]+)?$ ]] ||
      { echo "sign-release: not a version: $version" >&2; exit 1; }
    size=$(stat -c %s -- "$file")
    sha256=$(sha256sum -- "$file" | cut -d' ' -f1)
    statement=$(mktemp)
    trap 'rm -f "$statement"' EXIT
    printf 'OrvaneTavo update\nkind: %s\nversion: %s\nsize: %s\nsha256: %s\n' \
      "$kind" "$version" "$size" "$sha256" >"$statement"
    # -rawin: Ed25519 signs the message itself, never a digest of it.
    signature=$(openssl pkeyutl -sign -rawin -inkey "$key" -in "$statement" | base64 -w0)
    echo "size: $size"
    echo "sha256: $sha256"
    echo "signature: $signature"
    ;;
  *)
    usage
    ;;
esac
