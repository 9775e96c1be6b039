#include "PgCluster.h"
#include "ServiceProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// A report the service acknowledged is committed: killing the process with SIGKILL in the
// middle of a burst loses none of them.
class TestServiceDurability : public QObject
{
    Q_OBJECT

    // One kept-alive connection sending reports one after the other, each with a unique text.
    struct Sender
    {
        QTcpSocket socket;
        QByteArray buffer;
        QString inFlight;
        int next = 0;
    };

private Q_SLOTS:
    void acknowledgedReportsSurviveSigkill_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    void acknowledgedReportsSurviveSigkill()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        PgCluster pg;
        QString location = dir.filePath("burst.db");
        if (backend == "postgresql") {
            QString why;
            if (!pg.start(&why))
                QSKIP(qPrintable(why));
            location = pg.location();
        }
        ServiceProcess service;
        QVERIFY(service.start(location, {"--report-limit", "0,0"}));

        constexpr int senders = 16;
        constexpr int killAfter = 600;
        QSet<QString> acknowledged;
        std::vector<std::unique_ptr<Sender>> pool;
        const auto send = [](Sender &s, int id) {
            s.inFlight = QString("burst %1-%2").arg(id).arg(s.next++);
            const QByteArray body = QJsonDocument(
                QJsonObject{{"d", QString("DEV-%1").arg(id)}, {"v", "0.1.0"}, {"os", "debian 12"},
                    {"text",
                        s.inFlight}}).toJson(QJsonDocument::Compact);
            s.socket.write("POST /api/report.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        };
        for (int i = 0; i < senders; ++i) {
            auto s = std::make_unique<Sender>();
            Sender *raw = s.get();
            connect(&raw->socket, &QTcpSocket::readyRead, this, [&, raw, i] {
                raw->buffer += raw->socket.readAll();
                const qsizetype end = raw->buffer.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                qsizetype length = 0;
                for (const QByteArray &line : raw->buffer.left(end).split('\n'))
                    if (line.toLower().startsWith("content-length:"))
                        length = line.mid(15).trimmed().toLongLong();
                if (raw->buffer.size() < end + 4 + length)
                    return;
                const bool ok = raw->buffer.startsWith("HTTP/1.1 200")
                    && raw->buffer.mid(end + 4, length) == R"({"ok":true})";
                raw->buffer.remove(0, end + 4 + length);
                if (ok)
                    acknowledged.insert(raw->inFlight);
                if (acknowledged.size() < killAfter)
                    send(*raw, i);
            });
            raw->socket.connectToHost(QHostAddress::LocalHost, service.port());
            pool.push_back(std::move(s));
        }
        for (int i = 0; i < senders; ++i)
            send(*pool[i], i);
        QTRY_VERIFY_WITH_TIMEOUT(acknowledged.size() >= killAfter, 30000);
        // Requests are still in flight on every connection when the process dies.
        service.kill();
        const QSet<QString> acked = acknowledged;
        pool.clear();

        const ServiceProcess::Output exported = ServiceProcess::run({"export", "--db", location});
        QCOMPARE(exported.exitCode, 0);
        QSet<QString> stored;
        for (const QString &line : exported.out.split('\n', Qt::SkipEmptyParts))
            stored.insert(QJsonDocument::fromJson(line.toUtf8()).object()["text"].toString());
        const QSet<QString> lost = acked - stored;
        QVERIFY2(lost.isEmpty(),
            qPrintable(QString("%1 acknowledged reports lost, e.g. %2")
                           .arg(lost.size())
                           .arg(lost.isEmpty() ? QString() : *lost.begin())));
        QVERIFY(acked.size() >= killAfter);

        // The database opens again for the next start.
        ServiceProcess again;
        QVERIFY(again.start(location));
        QCOMPARE(again.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServiceDurability)
#include "TestServiceDurability.moc"
