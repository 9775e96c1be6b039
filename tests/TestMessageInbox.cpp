// The makers' replies: which poll replies make a message, that each is shown once and only
// once even when polls overlap, and that whatever the network sends stays plain text inside a
// window that fits the screen.
#include "FakePasteboard.h"
#include "FeedServer.h"
#include "clipboard/TavoEngine.h"
#include "feedback/MessageAlert.h"
#include "feedback/MessageInbox.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"

#include <QApplication>
#include <QJsonDocument>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

using Response = FeedServer::Response;

namespace {

QList<AlertDialog *> visibleAlerts()
{
    QList<AlertDialog *> alerts;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *alert = qobject_cast<AlertDialog *>(widget); alert && alert->isVisible())
            alerts.append(alert);
    }
    return alerts;
}

QString shownBody(AlertDialog *alert)
{
    const auto *view = alert->findChild<QTextEdit *>();
    return view ? view->toPlainText() : QString();
}

QByteArray reply(const QByteArray &mid, const QByteArray &msg)
{
    return "{\"mid\": " + mid + ", \"msg\": " + msg + "}";
}

QVariantList ids(std::initializer_list<qint64> list)
{
    QVariantList result;
    for (qint64 id : list)
        result.append(QVariant::fromValue(id));
    return result;
}

} // namespace

class TestMessageInbox : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    FeedServer m_server;
    std::unique_ptr<MessageInbox> m_inbox;
    std::unique_ptr<MessageAlert> m_alert;

    void answer(const QByteArray &body, int delayMs = 0)
    {
        m_server.routes["/api/status.php"] = Response{200, body, false, delayMs};
    }

    // One poll, to its end and its display step.
    void poll()
    {
        QSignalSpy checked(m_inbox.get(), &MessageInbox::checked);
        m_inbox->checkWithServer();
        QVERIFY(checked.wait(5000));
        QCoreApplication::processEvents();
    }

    void closeAlert()
    {
        QCOMPARE(visibleAlerts().size(), 1);
        visibleAlerts().first()->buttons().first()->click();
        QCoreApplication::processEvents();
    }

    void fresh()
    {
        m_alert.reset();
        m_inbox = std::make_unique<MessageInbox>();
        m_inbox->timeoutMs = 1000;
        m_alert = std::make_unique<MessageAlert>();
        m_alert->follow(*m_inbox);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init()
    {
        QFile::remove(store.fileName());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        m_server.received.clear();
        m_server.requests.clear();
        answer("{}");
        fresh();
    }

    void cleanup()
    {
        m_alert.reset();
        m_inbox.reset();
        QVERIFY(visibleAlerts().isEmpty());
    }

    void replyForms_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("shown");
        QTest::newRow("new message") << Response{200, reply("7", "\"Bonjour !\"")} << true;
        QTest::newRow("other members")
            << Response{200, R"({"x": [1], "mid": 7, "msg": "Bonjour !"})"} << true;
        QTest::newRow("status not looked at") << Response{500, reply("7", "\"Bonjour !\"")} << true;
        QTest::newRow("id 0") << Response{200, reply("0", "\"Bonjour !\"")} << false;
        QTest::newRow("negative id") << Response{200, reply("-7", "\"Bonjour !\"")} << false;
        QTest::newRow("empty msg") << Response{200, reply("8", "\"\"")} << false;
        QTest::newRow("mid as text") << Response{200, reply("\"7\"", "\"Bonjour !\"")} << false;
        QTest::newRow("mid 7.5") << Response{200, reply("7.5", "\"Bonjour !\"")} << false;
        QTest::newRow("mid 1e300") << Response{200, reply("1e300", "\"Bonjour !\"")} << false;
        QTest::newRow("mid true") << Response{200, reply("true", "\"Bonjour !\"")} << false;
        QTest::newRow("msg missing") << Response{200, R"({"mid": 7})"} << false;
        QTest::newRow("msg a number") << Response{200, reply("7", "12")} << false;
        QTest::newRow("not JSON") << Response{200, "mid=7&msg=Bonjour"} << false;
        QTest::newRow("empty object") << Response{200, "{}"} << false;
        const QByteArray big = "\"" + QByteArray(300 * 1024, 'a') + "\"";
        QTest::newRow("over the cap") << Response{200, reply("7", big)} << false;
        QTest::newRow("time-out") << Response{200, {}, true} << false;
    }

    void replyForms()
    {
        QFETCH(Response, response);
        QFETCH(bool, shown);
        m_server.routes["/api/status.php"] = response;
        poll();
        QCOMPARE(visibleAlerts().size(), shown ? 1 : 0);
        if (!shown) {
            QVERIFY(!store.contains(TavoSettings::shownMessagesKey));
            return;
        }
        AlertDialog *alert = visibleAlerts().first();
        QCOMPARE(alert->messageText(), "Message de Orvane Labs");
        QCOMPARE(shownBody(alert), "Bonjour !");
        // Recorded only once the user has closed it.
        QVERIFY(!store.contains(TavoSettings::shownMessagesKey));
        closeAlert();
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7}));

        // The same message again is not news.
        poll();
        QVERIFY(visibleAlerts().isEmpty());
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7}));
    }

    void pollCarriesTheIdentity()
    {
        poll();
        QCOMPARE(m_server.requests, QStringList{"/api/status.php"});
        const QVariantMap expected{{"d", store.string(TavoSettings::deviceIdKey)},
            {"v", ORVANE_VERSION}, {"os", ServiceLink::osString()}};
        QCOMPARE(
            QJsonDocument::fromJson(m_server.received.first().body).toVariant().toMap(), expected);
        QCOMPARE(expected.value("d").toString().size(), 36);
    }

    void fiftyIdsAreKept()
    {
        QVariantList fifty;
        for (qint64 id = 1; id <= 50; ++id)
            fifty.append(QVariant::fromValue(id));
        store.setObject(TavoSettings::shownMessagesKey, fifty);
        answer(reply("51", "\"Le 51e\""));
        poll();
        closeAlert();
        QVariantList kept = fifty.mid(1);
        kept.append(QVariant::fromValue(qint64(51)));
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), kept);
    }

    // Held but not yet shown: a failing poll keeps it and its display step shows it.
    void noNetworkChangesNothing()
    {
        store.setObject(TavoSettings::shownMessagesKey, ids({3}));
        m_inbox->receive(reply("7", "\"En attente\""));
        qputenv("ORVANE_SERVICE_URL", "https://127.0.0.1:9");
        poll();
        QCOMPARE(m_inbox->pendingMessage(), (MessageInbox::Message{7, "En attente"}));
        QCOMPARE(shownBody(visibleAlerts().value(0)), "En attente");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({3}));
        closeAlert();
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({3, 7}));
    }

    void quittingWithTheAlertOpenShowsItAgain()
    {
        answer(reply("7", "\"Bonjour !\""));
        poll();
        QCOMPARE(visibleAlerts().size(), 1);
        // The application ends with the alert on screen.
        fresh();
        QVERIFY(visibleAlerts().isEmpty());
        QVERIFY(!store.contains(TavoSettings::shownMessagesKey));
        poll();
        QCOMPARE(shownBody(visibleAlerts().value(0)), "Bonjour !");
        closeAlert();
    }

    void overlappingPollsShowEachMessageOnce()
    {
        answer(reply("7", "\"Sept\""), 300);
        QSignalSpy checked(m_inbox.get(), &MessageInbox::checked);
        m_inbox->checkWithServer();
        m_inbox->checkWithServer();
        QVERIFY(checked.wait(5000));
        QTest::qWait(500);
        QCOMPARE(m_server.requests.size(), 1);
        QCOMPARE(visibleAlerts().size(), 1);

        // While it is open, polls bring the same message, then a newer one.
        poll();
        QCOMPARE(visibleAlerts().size(), 1);
        answer(reply("8", "\"Huit\""));
        poll();
        QCOMPARE(visibleAlerts().size(), 1);
        QCOMPARE(shownBody(visibleAlerts().first()), "Sept");

        closeAlert();
        QTRY_COMPARE(shownBody(visibleAlerts().value(0)), "Huit");
        closeAlert();
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7, 8}));
    }

    void bodyIsPlainTextInABoundedAlert_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("markup") << "<b>gras</b> <a href='x'>lien</a>\n&amp;" << false;
        QString long1MiB;
        for (int line = 0; long1MiB.size() < 1024 * 1024; ++line)
            long1MiB += QString("Ligne %1 <i>d'un long message</i>\n").arg(line);
        QTest::newRow("1 MiB") << long1MiB << true;
        QTest::newRow("one unbroken word") << QString(20000, 'w') << true;
    }

    void bodyIsPlainTextInABoundedAlert()
    {
        QFETCH(QString, body);
        QFETCH(bool, scrolls);
        m_inbox->receive(QJsonDocument(QJsonObject{{"mid", 9}, {"msg", body}}).toJson());
        m_alert->showPending();
        AlertDialog *alert = m_alert->alert();
        QVERIFY(alert && alert->isVisible());
        QCOMPARE(shownBody(alert), body);
        const auto *view = alert->findChild<QTextEdit *>();
        QVERIFY(!view->acceptRichText());
        QVERIFY(alert->frameGeometry().height()
            <= QGuiApplication::primaryScreen()->availableGeometry().height());
        QCOMPARE(view->verticalScrollBar()->maximum() > 0, scrolls);
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        closeAlert();
    }

    // The launch poll of the whole application, with the window in the task bar or hidden.
    void launchPollShowsTheMessage_data()
    {
        QTest::addColumn<bool>("menuBar");
        QTest::addColumn<qint64>("id");
        QTest::newRow("task bar") << false << qint64(21);
        QTest::newRow("tray") << true << qint64(22);
    }

    void launchPollShowsTheMessage()
    {
        QFETCH(bool, menuBar);
        QFETCH(qint64, id);
        store.setBool(TavoSettings::onboardedKey, true);
        store.setBool(TavoSettings::menuBarModeKey, menuBar);
        answer(reply(QByteArray::number(id), "\"Réponse\""));
        FakePasteboard board;
        TavoEngine engine(board);
        auto app = std::make_unique<AppDelegate>(engine);
        app->applicationDidFinishLaunching();
        QTRY_COMPARE(visibleAlerts().size(), 1);
        QCOMPARE(shownBody(visibleAlerts().first()), "Réponse");
        closeAlert();
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({id}));
    }
};

QTEST_MAIN(TestMessageInbox)
#include "TestMessageInbox.moc"
