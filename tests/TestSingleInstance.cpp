#include "platform/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondLaunchHandsOver()
    {
        QTemporaryDir folder;
        auto first = std::make_unique<SingleInstance>(folder.path());
        QSignalSpy asked(first.get(), &SingleInstance::activationRequested);
        QVERIFY(first->claim());

        SingleInstance second(folder.path());
        QVERIFY(!second.claim());
        QTRY_COMPARE(asked.count(), 1);

        // Once the first copy has ended, the next launch runs and is found in its turn.
        first.reset();
        QSignalSpy secondAsked(&second, &SingleInstance::activationRequested);
        QVERIFY(second.claim());
        SingleInstance third(folder.path());
        QVERIFY(!third.claim());
        QTRY_COMPARE(secondAsked.count(), 1);
    }

    // What is left at the socket's name by a crash, by another user or by a planted link never
    // stops a launch, and nothing but a live socket of our own is ever connected to.
    void oddFilesAtTheName_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("socket left by a crash") << "stale";
        QTest::newRow("another user's socket") << "foreign";
        QTest::newRow("link to a live socket") << "link";
        QTest::newRow("regular file") << "file";
    }

    void oddFilesAtTheName()
    {
        QFETCH(QString, kind);
        QTemporaryDir folder;
        QTemporaryDir elsewhere;
        SingleInstance live(elsewhere.path());
        QSignalSpy asked(&live, &SingleInstance::activationRequested);
        QVERIFY(live.claim());
        const QByteArray path = QFile::encodeName(folder.filePath("orvanetavo.socket"));

        if (kind == "stale") {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
            ::close(fd);
        } else if (kind == "foreign") {
            if (::getuid() != 0)
                QSKIP("needs root to give a socket to another user");
            QVERIFY(QFile::rename(live.socketPath(), QString::fromLocal8Bit(path)));
            QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
        } else if (kind == "link") {
            QCOMPARE(::symlink(QFile::encodeName(live.socketPath()).constData(), path), 0);
        } else {
            QFile file(QString::fromLocal8Bit(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        SingleInstance launched(folder.path());
        QVERIFY(launched.claim());
        QTest::qWait(100);
        QCOMPARE(asked.count(), 0);
        // The launch now listens in its own right.
        QVERIFY(!SingleInstance(folder.path()).claim());
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"
