#pragma once

#include <QByteArray>
#include <QString>

// Checks a downloaded file against the size and the Ed25519 signature the feed gave for it.
namespace UpdateVerifier {

// The makers' public key (32 raw bytes), compiled in.
QByteArray releasePublicKey();

// True only when the file exists, has exactly `expectedSize` bytes and `signature` (64 raw
// bytes) is a valid Ed25519 signature of its whole content under `publicKey` (32 raw bytes).
bool verify(const QString &filePath, qint64 expectedSize, const QByteArray &signature,
    const QByteArray &publicKey);

} // namespace UpdateVerifier
