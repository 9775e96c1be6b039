#include "updater/UpdateVerifier.h"

#include <QFile>
#include <QFileInfo>

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

bool verify(const QString &filePath, qint64 expectedSize, const QByteArray &signature,
    const QByteArray &publicKey)
{
    if (publicKey.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES)
        return false;
    if (expectedSize < 0 || !sodiumReady())
        return false;
    if (filePath.isEmpty() || !QFileInfo(filePath).isFile())
        return false;

    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The size is checked on the opened file before a single byte is read: a download that is
    // short or padded is refused at once, whatever its length.
    if (file.size() != expectedSize)
        return false;

    const auto *sig = reinterpret_cast<const unsigned char *>(signature.constData());
    const auto *key = reinterpret_cast<const unsigned char *>(publicKey.constData());
    if (expectedSize == 0) {
        const unsigned char nothing = 0;
        return crypto_sign_verify_detached(sig, &nothing, 0, key) == 0;
    }

    // Mapped rather than read: a package of a hundred megabytes costs no copy in memory.
    const uchar *content = file.map(0, expectedSize);
    if (!content)
        return false;
    const bool valid = crypto_sign_verify_detached(sig, content, quint64(expectedSize), key) == 0;
    file.unmap(const_cast<uchar *>(content));
    return valid;
}

} // namespace UpdateVerifier
