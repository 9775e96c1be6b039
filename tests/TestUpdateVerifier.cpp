#include "updater/UpdateVerifier.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The release script's output, split in lines; nothing when it fails.
QList<QByteArray> runScript(const QStringList &arguments)
{
    QProcess script;
    script.start(SIGN_RELEASE_SCRIPT, arguments);
    if (!script.waitForFinished(30000) || script.exitCode() != 0)
        return {};
    return script.readAllStandardOutput().split('\n');
}

// The SHA-256 in the statement the makers signed.
const QByteArray signedHash(32, '\x5e');

} // namespace

using Kind = UpdateFeed::PackageKind;

class TestUpdateVerifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(m_publicKey.data()),
            reinterpret_cast<unsigned char *>(m_secretKey.data()));
    }

    void compiledInKeyIsUsable() { QCOMPARE(UpdateVerifier::releasePublicKey().size(), 32); }

    // The makers signed an AppImage of 10000 bytes as version 1.4.0; the feed may say
    // anything else about it.
    void onlyWhatTheStatementSaysIsAccepted_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("version");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("sha256");
        QTest::addColumn<QByteArray>("publicKey");
        QTest::addColumn<bool>("accepted");

        const auto row = [](const char *name, Kind kind, const char *version, qint64 size,
                             const QByteArray &sha256, const QByteArray &key, bool accepted) {
            QTest::newRow(name) << kind << QString(version) << size << sha256 << key << accepted;
        };
        const Kind appImage = Kind::AppImage;
        const QByteArray key = m_publicKey;
        const QByteArray otherHash = QByteArray(signedHash).replace(31, 1, "\x5f");
        row("as signed", appImage, "1.4.0", 10000, signedHash, key, true);
        row("as a newer version", appImage, "99.0", 10000, signedHash, key, false);
        row("as the .deb", Kind::Deb, "1.4.0", 10000, signedHash, key, false);
        row("another size", appImage, "1.4.0", 10001, signedHash, key, false);
        row("another file", appImage, "1.4.0", 10000, otherHash, key, false);
        row("another key", appImage, "1.4.0", 10000, signedHash, QByteArray(32, 'k'), false);
        row("31-byte key", appImage, "1.4.0", 10000, signedHash, key.chopped(1), false);
    }

    void onlyWhatTheStatementSaysIsAccepted()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, version);
        QFETCH(qint64, size);
        QFETCH(QByteArray, sha256);
        QFETCH(QByteArray, publicKey);
        const QByteArray signature
            = sign(UpdateVerifier::statement(Kind::AppImage, "1.4.0", 10000, signedHash));
        const UpdatePackage package{QUrl(), size, sha256, signature};
        QTEST(UpdateVerifier::verify(kind, version, package, publicKey), "accepted");
        QVERIFY(!UpdateVerifier::verify(
            kind, version, UpdatePackage{QUrl(), size, sha256, signature.chopped(1)}, publicKey));
    }

    // Releases are signed with OpenSSL by the script; the application checks them with
    // libsodium. Both must write the same statement and agree on raw Ed25519.
    void releaseScriptStatementsAreAccepted()
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty())
            QSKIP("openssl is not installed");
        const QString key = m_dir.filePath("release.pem");
        const QList<QByteArray> keygenOut = runScript({"keygen", key});
        const QByteArray publicKey = QByteArray::fromBase64(keygenOut.value(0));
        QCOMPARE(publicKey.size(), 32);
        QVERIFY(!(QFile::permissions(key) & (QFile::ReadGroup | QFile::ReadOther)));
        QCOMPARE(runScript({"pubkey", key}), keygenOut);

        const QByteArray content(1024 * 1024 + 3, 'r');
        const QString path = m_dir.filePath("release.deb");
        QVERIFY(writeFile(path, content));
        const QList<QByteArray> out = runScript({"sign", key, path, "deb", "1.5.0-beta.2"});
        QCOMPARE(out.value(0), "size: " + QByteArray::number(content.size()));
        QCOMPARE(out.value(1),
            "sha256: " + QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        QVERIFY(out.value(2).startsWith("signature: "));
        const UpdatePackage package{QUrl(), content.size(),
            QByteArray::fromHex(out.value(1).mid(8)), QByteArray::fromBase64(out.value(2).mid(11))};
        QVERIFY(UpdateVerifier::verify(Kind::Deb, "1.5.0-beta.2", package, publicKey));

        // Nothing is signed for a kind or a version the feed could not carry.
        QVERIFY(runScript({"sign", key, path, "snap", "1.5.0"}).isEmpty());
        QVERIFY(runScript({"sign", key, path, "deb", "1.5.0\nkind: appimage"}).isEmpty());
        // A second keygen must never replace the makers' key.
        QVERIFY(runScript({"keygen", key}).isEmpty());
        QCOMPARE(runScript({"pubkey", key}), keygenOut);
    }

private:
    QByteArray sign(const QByteArray &message) const
    {
        QByteArray signature(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
            reinterpret_cast<const unsigned char *>(message.constData()), message.size(),
            reinterpret_cast<const unsigned char *>(m_secretKey.constData()));
        return signature;
    }

    QTemporaryDir m_dir;
    QByteArray m_publicKey{crypto_sign_PUBLICKEYBYTES, 0};
    QByteArray m_secretKey{crypto_sign_SECRETKEYBYTES, 0};
};

QTEST_GUILESS_MAIN(TestUpdateVerifier)
#include "TestUpdateVerifier.moc"
