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

private:
    const SettingsStore &store = TavoSettings::defaults();
    FeedServer m_server;

    // Posts and waits for the end; nothing when the request failed before an answer.
    static std::optional<ServiceLink::Answer> post(const QJsonObject &body, int timeoutMs = 5000)
    {
        QNetworkReply *reply = ServiceLink::post("/api/status.php", body, timeoutMs);
        if (!reply)
            return std::nullopt;
        std::optional<ServiceLink::Answer> answer;
        bool done = false;
        connect(reply, &QNetworkReply::finished, reply, [&] {
            answer = ServiceLink::answerOf(reply);
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 15000))
            qFatal("the request never ended");
        return answer;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Not trusted by this process: only ORVANE_SERVICE_CA makes it so.
        QVERIFY(m_server.start(false));
    }

    void init()
    {
        QFile::remove(store.fileName());
        m_server.received.clear();
        m_server.requests.clear();
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        qputenv("ORVANE_SERVICE_CA", m_server.certificatePath().toUtf8());
    }

    void deviceIdIsMadeOnceAndKept()
    {
        QCOMPARE(ServiceLink::storedDeviceId(), "?");
        QVERIFY(!store.contains(TavoSettings::deviceIdKey));

        const QString id = ServiceLink::deviceId();
        QVERIFY2(
            QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(id).hasMatch(),
            qPrintable(id));
        QCOMPARE(store.string(TavoSettings::deviceIdKey), id);
        QCOMPARE(ServiceLink::deviceId(), id);
        QCOMPARE(ServiceLink::storedDeviceId(), id);

        // Whatever someone stored is used as it stands.
        store.setObject(TavoSettings::deviceIdKey, "à la main {pas un UUID}");
        QCOMPARE(ServiceLink::deviceId(), "à la main {pas un UUID}");
    }

    void osString_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("kernel");
        QTest::addColumn<QString>("text");
        const auto row
            = [](const char *type, const char *version, const char *kernel, const char *text) {
                  QTest::newRow(text)
                      << QString(type) << QString(version) << QString(kernel) << QString(text);
              };
        row("debian", "12", "6.1.0-18-amd64", "debian 12");
        row("fedora", "13.6.7", "6.8.0", "fedora 13.6"); // the patch level is dropped
        row("arch", "unknown", "6.9.1-arch1", "arch"); // a rolling release
        row("unknown", "unknown", "6.1.0-18-amd64", "linux 6.1"); // no os-release at all
    }

    void osString()
    {
        QFETCH(QString, type);
        QFETCH(QString, version);
        QFETCH(QString, kernel);
        QFETCH(QString, text);
        QCOMPARE(ServiceLink::osString(type, version, kernel), text);
    }

    void onlyHttpsOnThisMachineOverrides_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("honoured");
        QTest::newRow("127.0.0.1") << "https://127.0.0.1:8443" << true;
        QTest::newRow("127/8") << "https://127.45.6.7" << true;
        QTest::newRow("::1") << "https://[::1]:9" << true;
        QTest::newRow("localhost") << "https://LocalHost:9" << true;
        QTest::newRow("plain http") << "http://127.0.0.1:9" << false;
        QTest::newRow("other host") << "https://example.org" << false;
        QTest::newRow("look-alike") << "https://127.0.0.1.example.org" << false;
        QTest::newRow("localhost look-alike") << "https://localhost.example.org" << false;
        QTest::newRow("any address") << "https://0.0.0.0:9" << false;
        QTest::newRow("with user") << "https://me@127.0.0.1:9" << false;
        QTest::newRow("not a URL") << "127.0.0.1:9" << false;
    }

    void onlyHttpsOnThisMachineOverrides()
    {
        QFETCH(QString, address);
        QFETCH(bool, honoured);
        QCOMPARE(ServiceLink::loopbackOnly(address).isValid(), honoured);
        qputenv("ORVANE_SERVICE_URL", address.toUtf8());
        QCOMPARE(ServiceLink::baseUrl() == QUrl(address), honoured);
        if (!honoured)
            QCOMPARE(ServiceLink::baseUrl(), QUrl("https://api.orvanelabs.ch"));
    }

    void requestIsOneCompactJsonPost()
    {
        m_server.routes["/api/status.php"] = {200, "{}"};
        const QJsonObject body{{"d", "X"}, {"text", "é\n\"guillemets\""}};
        const auto answer = post(body);
        QVERIFY(answer);
        QCOMPARE(answer->status, 200);
        QCOMPARE(answer->body, "{}");
        QCOMPARE(m_server.received.size(), 1);
        const FeedServer::Request request = m_server.received.first();
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.path, "/api/status.php");
        QCOMPARE(request.body, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QCOMPARE(request.headers.value("content-type"), "application/json");
        for (const char *header : {"authorization", "cookie"})
            QVERIFY(!request.headers.contains(header));
    }

    // Every way a request can end without an answer to read.
    void failuresGiveNoAnswer_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("time-out") << Response{200, "{}", true} << true;
        QTest::newRow("body over the cap")
            << Response{200, QByteArray(ServiceLink::replySizeCap + 1, 'x')} << true;
        QTest::newRow("certificate not trusted") << Response{200, "{}"} << false;
    }

    void failuresGiveNoAnswer()
    {
        QFETCH(Response, response);
        QFETCH(bool, trusted);
        // A server of its own: a TLS session from an earlier test would skip the check.
        FeedServer server;
        QVERIFY(server.start(false));
        qputenv("ORVANE_SERVICE_URL", server.url("").toString().toUtf8());
        if (!trusted)
            qunsetenv("ORVANE_SERVICE_CA");
        else
            qputenv("ORVANE_SERVICE_CA", server.certificatePath().toUtf8());
        server.routes["/api/status.php"] = response;
        QVERIFY(!post({}, 300));
        QCOMPARE(server.requests.size(), trusted ? 1 : 0);
    }

    void redirectsAreNotFollowed()
    {
        m_server.routes["/api/status.php"] = {302, "", false, 0, "Location: /elsewhere\r\n"};
        m_server.routes["/elsewhere"] = {200, R"({"mid": 1, "msg": "x"})"};
        const auto answer = post({});
        QVERIFY(answer);
        QCOMPARE(answer->status, 302);
        QCOMPARE(m_server.requests, QStringList{"/api/status.php"});
    }
};

QTEST_MAIN(TestServiceLink)
#include "TestServiceLink.moc"
