#include "UpdateVerifier.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// What the release script printed: "name: value" lines.
QByteArray field(const QByteArray &output, const QByteArray &name)
{
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed();
    }
    return {};
}

} // namespace

class TestUpdateVerifier : public QObject
{
    Q_OBJECT

public:
    enum class Fault {
        FlippedFileByte,
        FlippedSignatureByte,
        LargerExpectedSize,
        SmallerExpectedSize,
        WrongKey,
        TruncatedFile,
        TruncatedFileAndSize,
        MissingFile,
        Directory,
        ShortSignature,
        LongSignature,
        ShortKey,
    };
    Q_ENUM(Fault)

private Q_SLOTS:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void goodFileIsAccepted_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("one byte") << qsizetype(1);
        QTest::newRow("several pages") << qsizetype(3 * 4096 + 17);
        QTest::newRow("empty") << qsizetype(0);
    }

    void goodFileIsAccepted()
    {
        QFETCH(qsizetype, size);
        const KeyPair keys;
        const QByteArray content = randomBytes(size);
        const QString path = m_dir.filePath("good.bin");
        QVERIFY(writeFile(path, content));
        QVERIFY(UpdateVerifier::verify(path, size, keys.sign(content), keys.publicKey));
    }

    void refused_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("flipped file byte") << Fault::FlippedFileByte;
        QTest::newRow("flipped signature byte") << Fault::FlippedSignatureByte;
        QTest::newRow("expected size too large") << Fault::LargerExpectedSize;
        QTest::newRow("expected size too small") << Fault::SmallerExpectedSize;
        QTest::newRow("wrong key") << Fault::WrongKey;
        QTest::newRow("truncated file") << Fault::TruncatedFile;
        QTest::newRow("truncated file, size to match") << Fault::TruncatedFileAndSize;
        QTest::newRow("missing file") << Fault::MissingFile;
        QTest::newRow("directory") << Fault::Directory;
        QTest::newRow("63-byte signature") << Fault::ShortSignature;
        QTest::newRow("65-byte signature") << Fault::LongSignature;
        QTest::newRow("31-byte key") << Fault::ShortKey;
    }

    void refused()
    {
        QFETCH(Fault, fault);
        const KeyPair keys;
        const QByteArray content = randomBytes(10000);
        QString path = m_dir.filePath("package.bin");
        qint64 size = content.size();
        QByteArray signature = keys.sign(content);
        QByteArray publicKey = keys.publicKey;
        QByteArray written = content;

        switch (fault) {
        case Fault::FlippedFileByte:
            written[5000] = char(written[5000] ^ 0x01);
            break;
        case Fault::FlippedSignatureByte:
            signature[10] = char(signature[10] ^ 0x80);
            break;
        case Fault::LargerExpectedSize:
            ++size;
            break;
        case Fault::SmallerExpectedSize:
            --size;
            break;
        case Fault::WrongKey:
            publicKey = KeyPair().publicKey;
            break;
        case Fault::TruncatedFile:
            written.chop(1);
            break;
        case Fault::TruncatedFileAndSize:
            written.chop(100);
            size = written.size();
            break;
        case Fault::MissingFile:
            path = m_dir.filePath("absent.bin");
            break;
        case Fault::Directory:
            path = m_dir.path();
            break;
        case Fault::ShortSignature:
            signature.chop(1);
            break;
        case Fault::LongSignature:
            signature.append('\0');
            break;
        case Fault::ShortKey:
            publicKey.chop(1);
            break;
        }
        QVERIFY(writeFile(m_dir.filePath("package.bin"), written));
        QVERIFY(!UpdateVerifier::verify(path, size, signature, publicKey));
    }

    void compiledInKeyIsUsable() { QCOMPARE(UpdateVerifier::releasePublicKey().size(), 32); }

    // Releases are signed with OpenSSL by the script; the application checks them with
    // libsodium. Both must agree on raw Ed25519.
    void releaseScriptSignaturesAreAccepted_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("small") << qsizetype(5);
        QTest::newRow("1 MiB and a bit") << qsizetype(1024 * 1024 + 3);
    }

    void releaseScriptSignaturesAreAccepted()
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty())
            QSKIP("openssl is not installed");
        QFETCH(qsizetype, size);

        const QString key = m_dir.filePath("release.pem");
        QFile::remove(key);
        const QByteArray keygenOut = runScript({"keygen", key});
        const QByteArray publicKey = QByteArray::fromBase64(keygenOut.trimmed());
        QCOMPARE(publicKey.size(), 32);
        QVERIFY(!(QFile::permissions(key) & (QFile::ReadGroup | QFile::ReadOther)));
        QCOMPARE(runScript({"pubkey", key}), keygenOut);

        const QByteArray content = randomBytes(size);
        const QString path = m_dir.filePath("release.AppImage");
        QVERIFY(writeFile(path, content));
        const QByteArray signOut = runScript({"sign", key, path});
        const QByteArray signature = QByteArray::fromBase64(field(signOut, "signature"));
        QCOMPARE(signature.size(), 64);
        QCOMPARE(field(signOut, "size").toLongLong(), qint64(size));

        QVERIFY(UpdateVerifier::verify(path, size, signature, publicKey));
        QVERIFY(!UpdateVerifier::verify(path, size, signature, KeyPair().publicKey));
    }

    void keygenNeverOverwritesAKey()
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty())
            QSKIP("openssl is not installed");
        const QString key = m_dir.filePath("precious.pem");
        QVERIFY(writeFile(key, "do not lose me"));
        QProcess script;
        script.start(SIGN_RELEASE_SCRIPT, {"keygen", key});
        QVERIFY(script.waitForFinished(30000));
        QVERIFY(script.exitCode() != 0);
        QFile file(key);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("do not lose me"));
    }

private:
    QByteArray runScript(const QStringList &arguments)
    {
        QProcess script;
        script.start(SIGN_RELEASE_SCRIPT, arguments);
        if (!script.waitForFinished(30000) || script.exitStatus() != QProcess::NormalExit
            || script.exitCode() != 0) {
            qWarning() << arguments << script.readAllStandardError();
            return {};
        }
        return script.readAllStandardOutput();
    }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestUpdateVerifier)
#include "TestUpdateVerifier.moc"
