#pragma once

#include "updater/UpdateFeed.h"

#include <QByteArray>
#include <QString>

// Checks that a package offered by the feed is one the makers signed, for this kind and this
// version.
//
// The makers sign a statement, not the file: five lines of UTF-8, each ending in "\n",
//
//   OrvaneTavo update
//   kind: appimage
//   version: 1.4.0
//   size: 41234567
//   sha256: <64 lowercase hex digits>
//
// with the kind ("appimage" or "deb"), the version exactly as the feed writes it, the size in
// bytes in decimal and the file's SHA-256. The updater rebuilds it from the feed and checks the
// signature; the bytes it downloads and installs must then have that size and that SHA-256.
// scripts/sign-release.sh writes the same statement.
namespace UpdateVerifier {

// The makers' public key (32 raw bytes), compiled in.
QByteArray releasePublicKey();

QByteArray statement(
    UpdateFeed::PackageKind kind, const QString &version, qint64 size, const QByteArray &sha256);

// True only when `signature` (64 raw bytes) is a valid Ed25519 signature of the statement for
// `package` under `publicKey` (32 raw bytes).
bool verify(UpdateFeed::PackageKind kind, const QString &version, const UpdatePackage &package,
    const QByteArray &publicKey);

} // namespace UpdateVerifier
