#include "FileReplacer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

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

// The new file's mode must not depend on the umask of whoever runs the updater.
class UmaskScope
{
public:
    explicit UmaskScope(mode_t mask)
        : m_previous(::umask(mask))
    {
    }
    ~UmaskScope() { ::umask(m_previous); }

private:
    mode_t m_previous;
};

} // namespace

class TestFileReplacer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replacesContentAndKeepsMode_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("0644, small") << 0644u << qsizetype(10);
        QTest::newRow("0755, several chunks") << 0755u << qsizetype(3 * 1024 * 1024 + 5);
        QTest::newRow("0600, empty") << 0600u << qsizetype(0);
        QTest::newRow("0750") << 0750u << qsizetype(4096);
    }

    void replacesContentAndKeepsMode()
    {
        QFETCH(uint, mode);
        QFETCH(qsizetype, size);
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        const QString source = dir.filePath("download.part");
        QVERIFY(writeFile(target, "old version", mode));
        const QByteArray content = pattern(size, 'n');
        QVERIFY(writeFile(source, content, 0604)); // the source's mode must not carry over

        QString error;
        QVERIFY2(FileReplacer::replace(target, source, &error), qPrintable(error));
        QCOMPARE(readFile(target), content);
        QCOMPARE(modeOf(target), mode_t(mode));
        QCOMPARE(entries(dir), QStringList({"OrvaneTavo.AppImage", "download.part"}));
    }

    void newTargetIsExecutable()
    {
        const UmaskScope umask(077);
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        const QString source = dir.filePath("download.part");
        QVERIFY(writeFile(source, "new version", 0600));

        QVERIFY(FileReplacer::replace(target, source));
        QCOMPARE(readFile(target), QByteArray("new version"));
        QCOMPARE(modeOf(target), mode_t(0755));
    }

    void interruptedWriteLeavesOldFile()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        const QString source = dir.filePath("download.part");
        const QByteArray old = pattern(100000, 'o');
        QVERIFY(writeFile(target, old, 0755));
        QVERIFY(writeFile(source, pattern(200000, 'n'), 0644));

        bool asked = false;
        QString error;
        const bool replaced = FileReplacer::replace(target, source, &error, [&] {
            asked = true;
            // The new content is complete somewhere else; the target itself is still the old one.
            return readFile(target) == old && entries(dir).size() == 3;
        });
        QVERIFY(asked);
        QVERIFY(!replaced);
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(target), old);
        QCOMPARE(modeOf(target), mode_t(0755));
        QCOMPARE(entries(dir), QStringList({"OrvaneTavo.AppImage", "download.part"}));
    }

    void missingSourceFails_data()
    {
        QTest::addColumn<bool>("targetExists");
        QTest::newRow("target exists") << true;
        QTest::newRow("no target") << false;
    }

    void missingSourceFails()
    {
        QFETCH(bool, targetExists);
        QTemporaryDir dir;
        const QString target = dir.filePath("OrvaneTavo.AppImage");
        if (targetExists)
            QVERIFY(writeFile(target, "old version", 0755));

        bool asked = false;
        QString error;
        QVERIFY(!FileReplacer::replace(target, dir.filePath("absent"), &error, [&] {
            asked = true;
            return true;
        }));
        QVERIFY(!asked);
        QVERIFY(!error.isEmpty());
        QCOMPARE(entries(dir), targetExists ? QStringList{"OrvaneTavo.AppImage"} : QStringList{});
        if (targetExists)
            QCOMPARE(readFile(target), QByteArray("old version"));
    }
};

QTEST_GUILESS_MAIN(TestFileReplacer)
#include "TestFileReplacer.moc"
