#include "FeedServer.h"
#include "diagnostics/ServiceLink.h"
#include "settings/TavoSettings.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

using Response = FeedServer::Response;

class TestServiceLink : public QObject
{
    Q_OBJECT

    const SettingsStore &store = TavoSettings::defaults();

private Q_SLOTS:
    void init() { QFile::remove(store.fileName()); }

    void deviceIdIsMadeOnceAndKept()
    {
        QCOMPARE(ServiceLink::storedDeviceId(), "?");
        const QString id = ServiceLink::deviceId();
        QVERIFY2(
            QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(id).hasMatch(),
            qPrintable(id));
        QCOMPARE(ServiceLink::storedDeviceId(), id);
        // Whatever someone stored is used as it stands.
        store.setObject(TavoSettings::deviceIdKey, "à la main {pas un UUID}");
        QCOMPARE(ServiceLink::deviceId(), "à la main {pas un UUID}");
    }

    void osString_data()
    {
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("debian 12") << QStringList{"debian", "12", "6.1.0-18-amd64"};
        QTest::newRow("fedora 13.6") << QStringList{"fedora", "13.6.7", "6.8.0"};
        QTest::newRow("arch") << QStringList{"arch", "unknown", "6.9.1-arch1"};
        QTest::newRow("linux 6.1") << QStringList{"unknown", "unknown", "6.1.0-18-amd64"};
    }

    void osString()
    {
        QFETCH(QStringList, parts);
        QCOMPARE(ServiceLink::osString(parts[0], parts[1], parts[2]), QTest::currentDataTag());
    }

    void onlyHttpsOnThisMachineOverrides_data()
    {
        QTest::addColumn<bool>("honoured");
        for (const char *address : {"https://127.0.0.1:8443", "https://127.45.6.7",
                 "https://[::1]:9", "https://LocalHost:9"})
            QTest::newRow(address) << true;
        for (const char *address : {"http://127.0.0.1:9", "https://example.org",
                 "https://127.0.0.1.example.org", "https://localhost.example.org",
                 "https://0.0.0.0:9", "https://me@127.0.0.1:9", "127.0.0.1:9"})
            QTest::newRow(address) << false;
    }

    void onlyHttpsOnThisMachineOverrides()
    {
        QFETCH(bool, honoured);
        const QString address = QTest::currentDataTag();
        qputenv("ORVANE_SERVICE_URL", address.toUtf8());
        QCOMPARE(
            ServiceLink::baseUrl(), honoured ? QUrl(address) : QUrl("https://api.orvanelabs.ch"));
    }

    // One compact JSON POST a call, never sent again and never sent on; nothing to read
    // whenever the request ended without a whole answer.
    void oneRequestAtMostOneAnswer_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<int>("status"); // 0: no answer
        QTest::addColumn<int>("requests");
        QTest::newRow("answer") << Response{200, "{}"} << true << 200 << 1;
        QTest::newRow("redirect not followed")
            << Response{302, "", false, 0, "Location: /elsewhere\r\n"} << true << 302 << 1;
        QTest::newRow("time-out") << Response{200, "{}", true} << true << 0 << 1;
        QTest::newRow("body over the cap")
            << Response{200, QByteArray(ServiceLink::replySizeCap + 1, 'x')} << true << 0 << 1;
        QTest::newRow("connection dropped")
            << Response{200, "", false, 0, "", 0, true} << true << 0 << 1;
        QTest::newRow("certificate not trusted") << Response{200, "{}"} << false << 0 << 0;
    }

    void oneRequestAtMostOneAnswer()
    {
        QFETCH(Response, response);
        QFETCH(bool, trusted);
        QFETCH(int, status);
        QFETCH(int, requests);
        // A server of its own, not trusted by this process: only ORVANE_SERVICE_CA makes it so,
        // and no TLS session from an earlier row skips the check.
        FeedServer server;
        QVERIFY(server.start(false));
        qputenv("ORVANE_SERVICE_URL", server.url("").toString().toUtf8());
        qputenv("ORVANE_SERVICE_CA", trusted ? server.certificatePath().toUtf8() : "");
        server.routes["/api/status.php"] = response;
        server.routes["/elsewhere"] = {200, "{}"};

        const QJsonObject body{{"d", "X"}, {"text", "é\n\"guillemets\""}};
        QNetworkReply *reply = ServiceLink::post("/api/status.php", body, 500);
        std::optional<ServiceLink::Answer> answer;
        bool done = false;
        connect(reply, &QNetworkReply::finished, reply, [&] {
            answer = ServiceLink::answerOf(reply);
            done = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return done; }, 15000));
        QTest::qWait(300); // room for a request sent again
        QCOMPARE(answer ? answer->status : 0, status);
        QCOMPARE(server.requests, QStringList(requests, "/api/status.php"));
        for (const FeedServer::Request &request : std::as_const(server.received)) {
            QCOMPARE(request.method, "POST");
            QCOMPARE(request.body, QJsonDocument(body).toJson(QJsonDocument::Compact));
            QCOMPARE(request.headers.value("content-type"), "application/json");
            QVERIFY(
                !request.headers.contains("authorization") && !request.headers.contains("cookie"));
        }
        if (status == 200)
            QCOMPARE(answer->body, "{}");
    }
};

QTEST_MAIN(TestServiceLink)
#include "TestServiceLink.moc"
