#include "updater/FileReplacer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// Bytes that differ from one position to the next, so a chunk written twice or out of order shows.
QByteArray pattern(qsizetype size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content, mode_t mode)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

QStringList entries(const QTemporaryDir &dir)
{
    return QDir(dir.path())
        .entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestFileReplacer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replacesContentAndKeepsMode_data()
    {
        QTest::addColumn<uint>("mode"); // of the old target; 0: there is none
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("0750, several chunks") << 0750u << qsizetype(3 * 1024 * 1024 + 5);
        QTest::newRow("0600, empty") << 0600u << qsizetype(0);
        QTest::newRow("new target") << 0u << qsizetype(10);
    }

    void replacesContentAndKeepsMode()
    {
        QFETCH(uint, mode);
        QFETCH(qsizetype, size);
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        const QString source = dir.filePath("download.part");
        // The new file's mode must not depend on the umask of whoever runs the updater.
        const auto restoreUmask = qScopeGuard([old = ::umask(077)] { ::umask(old); });
        if (mode != 0)
            QVERIFY(writeFile(target, "old version", mode));
        const QByteArray content = pattern(size, 'n');
        QVERIFY(writeFile(source, content, 0604)); // the source's mode must not carry over

        QString error;
        QVERIFY2(FileReplacer::replace(target, source, sha256(content), &error), qPrintable(error));
        QCOMPARE(readFile(target), content);
        QCOMPARE(modeOf(target), mode_t(mode != 0 ? mode : 0755));
        QCOMPARE(entries(dir), QStringList({"OrvaneTavo.AppImage", "download.part"}));
    }

    // Whatever stops the replacement, the old file stays whole and nothing is left beside it.
    void refusedReplacementLeavesOldFile_data()
    {
        QTest::addColumn<QByteArray>("source"); // null: there is none
        QTest::addColumn<QByteArray>("checked"); // the content whose SHA-256 is expected
        QTest::addColumn<bool>("commit"); // what the last look before the rename says
        const QByteArray next = pattern(200000, 'n');
        QTest::newRow("interrupted before the rename") << next << next << false;
        QByteArray swapped = next;
        swapped[150000] = 'x';
        QTest::newRow("source swapped after the check") << swapped << next << true;
        QTest::newRow("no source") << QByteArray() << next << true;
    }

    void refusedReplacementLeavesOldFile()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, checked);
        QFETCH(bool, commit);
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        const QString sourcePath = dir.filePath("download.part");
        const QByteArray old = pattern(100000, 'o');
        QVERIFY(writeFile(target, old, 0755));
        if (!source.isNull())
            QVERIFY(writeFile(sourcePath, source, 0644));

        bool asked = false;
        QString error;
        const bool replaced
            = FileReplacer::replace(target, sourcePath, sha256(checked), &error, [&] {
                  asked = true;
                  // The new content is complete elsewhere; the target is still the old one.
                  return readFile(target) == old && entries(dir).size() == 3 && commit;
              });
        QVERIFY(!replaced);
        QVERIFY(!error.isEmpty());
        QCOMPARE(asked, source == checked);
        QCOMPARE(readFile(target), old);
        QCOMPARE(modeOf(target), mode_t(0755));
        QCOMPARE(entries(dir).size(), source.isNull() ? 1 : 2);
    }
};

QTEST_GUILESS_MAIN(TestFileReplacer)
#include "TestFileReplacer.moc"
