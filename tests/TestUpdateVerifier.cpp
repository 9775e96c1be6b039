#include "updater/UpdateVerifier.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

namespace {

struct KeyPair
{
    QByteArray publicKey{crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized};
    QByteArray secretKey{crypto_sign_SECRETKEYBYTES, Qt::Uninitialized};

    KeyPair()
    {
        // Idempotent; the test's own key pair is made before initTestCase runs.
        if (sodium_init() < 0)
            qFatal("libsodium cannot be initialised");
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
            reinterpret_cast<unsigned char *>(secretKey.data()));
    }

    QByteArray sign(const QByteArray &message) const
    {
        QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
            reinterpret_cast<const unsigned char *>(message.constData()), message.size(),
            reinterpret_cast<const unsigned char *>(secretKey.constData()));
        return signature;
    }
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    randombytes_buf(bytes.data(), size_t(size));
    return bytes;
}

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

} // namespace

class TestUpdateVerifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compiledInKeyIsUsable() { QCOMPARE(UpdateVerifier::releasePublicKey().size(), 32); }

    void onlyTheSignedFileIsAccepted_data()
    {
        QTest::addColumn<QByteArray>("written"); // null: no file at all
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("publicKey");
        QTest::addColumn<bool>("accepted");

        const QByteArray content = randomBytes(10000);
        const QByteArray sig = m_keys.sign(content);
        const QByteArray key = m_keys.publicKey;
        QByteArray tampered = content;
        tampered[5000] ^= 0x01;
        QTest::newRow("good file") << content << qint64(10000) << sig << key << true;
        QTest::newRow("good empty file")
            << QByteArray("") << qint64(0) << m_keys.sign({}) << key << true;
        QTest::newRow("flipped byte") << tampered << qint64(10000) << sig << key << false;
        QTest::newRow("wrong size") << content << qint64(10001) << sig << key << false;
        QTest::newRow("wrong key")
            << content << qint64(10000) << sig << KeyPair().publicKey << false;
        QTest::newRow("truncated download")
            << content.chopped(1) << qint64(10000) << sig << key << false;
        QTest::newRow("missing file") << QByteArray() << qint64(10000) << sig << key << false;
        QTest::newRow("63-byte signature")
            << content << qint64(10000) << sig.chopped(1) << key << false;
        QTest::newRow("31-byte key") << content << qint64(10000) << sig << key.chopped(1) << false;
    }

    void onlyTheSignedFileIsAccepted()
    {
        QFETCH(QByteArray, written);
        QFETCH(qint64, size);
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, publicKey);
        const QString path = m_dir.filePath("package.bin");
        QFile::remove(path);
        if (!written.isNull())
            QVERIFY(writeFile(path, written));
        QTEST(UpdateVerifier::verify(path, size, signature, publicKey), "accepted");
    }

    // Releases are signed with OpenSSL by the script; the application checks them with
    // libsodium. Both must agree on raw Ed25519.
    void releaseScriptSignaturesAreAccepted()
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty())
            QSKIP("openssl is not installed");
        const QString key = m_dir.filePath("release.pem");
        const QList<QByteArray> keygenOut = runScript({"keygen", key});
        const QByteArray publicKey = QByteArray::fromBase64(keygenOut.value(0));
        QCOMPARE(publicKey.size(), 32);
        QVERIFY(!(QFile::permissions(key) & (QFile::ReadGroup | QFile::ReadOther)));
        QCOMPARE(runScript({"pubkey", key}), keygenOut);

        const qsizetype size = 1024 * 1024 + 3;
        const QString path = m_dir.filePath("release.AppImage");
        QVERIFY(writeFile(path, randomBytes(size)));
        const QList<QByteArray> signOut = runScript({"sign", key, path});
        QVERIFY(signOut.value(0).startsWith("signature: "));
        const QByteArray signature = QByteArray::fromBase64(signOut.value(0).mid(11));
        QCOMPARE(signature.size(), 64);
        QCOMPARE(signOut.value(1), "size: " + QByteArray::number(size));
        QVERIFY(UpdateVerifier::verify(path, size, signature, publicKey));

        // A second keygen must never replace the makers' key.
        QVERIFY(runScript({"keygen", key}).isEmpty());
        QCOMPARE(runScript({"pubkey", key}), keygenOut);
    }

private:
    QTemporaryDir m_dir;
    const KeyPair m_keys;
};

QTEST_GUILESS_MAIN(TestUpdateVerifier)
#include "TestUpdateVerifier.moc"
