#include "updater/UpdateVerifier.h"

#include <sodium.h>

#ifndef ORVANE_UPDATE_PUBLIC_KEY
#error "ORVANE_UPDATE_PUBLIC_KEY must be defined by the build"
#endif

namespace {

bool sodiumReady()
{
    // A function-local static is initialised once even when several threads get here together.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

namespace UpdateVerifier {

QByteArray releasePublicKey()
{
    const QByteArray::FromBase64Result key = QByteArray::fromBase64Encoding(
        QByteArrayLiteral(ORVANE_UPDATE_PUBLIC_KEY), QByteArray::AbortOnBase64DecodingErrors);
    if (!key || key.decoded.size() != crypto_sign_PUBLICKEYBYTES)
        return {};
    return key.decoded;
}

QByteArray statement(
    UpdateFeed::PackageKind kind, const QString &version, qint64 size, const QByteArray &sha256)
{
    return QByteArrayLiteral("OrvaneTavo update\nkind: ") + UpdateFeed::kindName(kind).toUtf8()
        + QByteArrayLiteral("\nversion: ") + version.toUtf8() + QByteArrayLiteral("\nsize: ")
        + QByteArray::number(size) + QByteArrayLiteral("\nsha256: ") + sha256.toHex()
        + QByteArrayLiteral("\n");
}

bool verify(UpdateFeed::PackageKind kind, const QString &version, const UpdatePackage &package,
    const QByteArray &publicKey)
{
    if (publicKey.size() != crypto_sign_PUBLICKEYBYTES
        || package.signature.size() != crypto_sign_BYTES || package.sha256.size() != 32
        || package.size <= 0 || !sodiumReady())
        return false;
    const QByteArray message = statement(kind, version, package.size, package.sha256);
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(package.signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               quint64(message.size()),
               reinterpret_cast<const unsigned char *>(publicKey.constData()))
        == 0;
}

} // namespace UpdateVerifier
