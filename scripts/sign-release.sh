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
#   scripts/sign-release.sh sign <private.pem> <file> prints the base64 of the 64-byte signature of
#                                                     the whole file and its size, for the feed
#
# The signatures are plain (pure) Ed25519 over the file's bytes, which libsodium's
# crypto_sign_verify_detached accepts as they are.
set -euo pipefail

usage() {
  sed -n '8,12p' "$0" | sed 's/^#   //' >&2
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
    [ $# -eq 3 ] || usage
    key=$2
    file=$3
    [ -f "$file" ] || { echo "sign-release: no such file: $file" >&2; exit 1; }
    # -rawin: Ed25519 signs the message itself, never a digest of it.
    signature=$(openssl pkeyutl -sign -rawin -inkey "$key" -in "$file" | base64 -w0)
    size=$(stat -c %s -- "$file")
    echo "signature: $signature"
    echo "size: $size"
    ;;
  *)
    usage
    ;;
esac
