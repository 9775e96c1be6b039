// The link to the makers' service, their replies and the problem report, from the service's
// answers to what the user sees: which replies make a message, that each is shown once and comes
// back when the application ended over it, what a report carries and how its answer is told.
#include "FeedServer.h"
#include "diagnostics/ServiceLink.h"
#include "feedback/MessageAlert.h"
#include "feedback/MessageInbox.h"
#include "feedback/ProblemReport.h"
#include "settings/TavoSettings.h"

#include <QApplication>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QUuid>

using Response = FeedServer::Response;

namespace {

// The visible alerts but the report window.
QList<AlertDialog *> alerts()
{
    QList<AlertDialog *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *alert = qobject_cast<AlertDialog *>(widget);
        if (alert && alert->isVisible() && !qobject_cast<ReportDialog *>(alert))
            found.append(alert);
    }
    return found;
}

// Closes the one alert on screen: its title, informative text and message.
QStringList closeAlert()
{
    if (!QTest::qWaitFor([] { return alerts().size() == 1; }, 5000))
        return {"<no alert>"};
    AlertDialog *alert = alerts().first();
    const auto *view = alert->findChild<QTextEdit *>();
    const QStringList texts{
        alert->messageText(), alert->informativeText(), view ? view->toPlainText() : ""};
    alert->buttons().first()->click();
    return texts;
}

QByteArray reply(qint64 mid, const QString &msg)
{
    return QJsonDocument(QJsonObject{{"mid", mid}, {"msg", msg}}).toJson();
}

QVariantList ids(qint64 first, qint64 last)
{
    QVariantList list;
    for (qint64 id = first; id <= last; ++id)
        list.append(QVariant::fromValue(id));
    return list;
}

} // namespace

class TestFeedbackWindows : public QObject
{
    Q_OBJECT

    const SettingsStore &store = TavoSettings::defaults();
    FeedServer m_server;
    std::unique_ptr<MessageInbox> m_inbox;
    std::unique_ptr<MessageAlert> m_alert;
    std::unique_ptr<ProblemReport> m_report;

    // What the `index`th request carried when it was not the identity with `fields` (an empty
    // one is left out), in one compact JSON POST.
    QVariantMap sent(int index, const QVariantMap &fields = {}) const
    {
        const FeedServer::Request request = m_server.received.value(index);
        const QJsonDocument json = QJsonDocument::fromJson(request.body);
        QVariantMap expected{{"d", store.string(TavoSettings::deviceIdKey)}, {"v", ORVANE_VERSION},
            {"os", ServiceLink::osString()}, {"as", "POST application/json compact"}};
        expected.insert(fields);
        expected.removeIf([](const auto &field) { return field.value() == QString(); });
        QVariantMap body = json.toVariant().toMap();
        body.insert("as",
            QString(request.method + " " + request.headers.value("content-type")
                + (json.toJson(QJsonDocument::Compact) == request.body ? " compact" : "")));
        return body == expected ? QVariantMap() : body;
    }

    void poll()
    {
        QSignalSpy checked(m_inbox.get(), &MessageInbox::checked);
        m_inbox->checkWithServer();
        QVERIFY(checked.wait(5000));
    }

    ReportDialog *open(const QString &text, const QString &email = {})
    {
        m_report->open();
        m_report->dialog()->setDraft(text, email);
        return m_report->dialog();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init()
    {
        QFile::remove(store.fileName());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        m_server.received.clear();
        m_server.requests.clear();
        m_server.routes = {{"/api/report.php", {200, R"({"ok": true})"}}};
        m_inbox = std::make_unique<MessageInbox>();
        m_inbox->timeoutMs = 1000;
        m_alert = std::make_unique<MessageAlert>();
        m_alert->follow(*m_inbox);
        m_report = std::make_unique<ProblemReport>();
        m_report->timeoutMs = 500;
    }

    void cleanup()
    {
        m_report.reset();
        m_alert.reset();
        m_inbox.reset();
        QVERIFY(alerts().isEmpty());
    }

    void replyForms_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("shown"); // empty: no alert
        // clang-format off
        QTest::newRow("new message") << Response{200, R"({"x": [1], "mid": 7, "msg": "Bonjour !"})"} << "Bonjour !";
        QTest::newRow("status not looked at") << Response{500, R"({"mid": 7, "msg": "Bonjour !"})"} << "Bonjour !";
        // Whatever the network sends is plain text in an alert that fits the screen and comes up
        // at once, however long the message.
        const QString markup = QString("<b>gras</b> <a href='x'>lien</a>\n&amp;").repeated(100);
        QTest::newRow("markup, more lines than fit") << Response{200, reply(7, markup)} << markup;
        QTest::newRow("one unbroken word") << Response{200, reply(7, QString(250000, 'w'))} << QString(20000, 'w') + "…";
        QTest::newRow("cut between two halves") << Response{200, reply(7, QString(19999, 'w') + "😀")} << QString(19999, 'w') + "…";
        QTest::newRow("id 0") << Response{200, R"({"mid": 0, "msg": "Bonjour !"})"} << "";
        QTest::newRow("empty msg") << Response{200, R"({"mid": 7, "msg": ""})"} << "";
        QTest::newRow("mid as text") << Response{200, R"({"mid": "7", "msg": "Bonjour !"})"} << "";
        QTest::newRow("mid 7.5") << Response{200, R"({"mid": 7.5, "msg": "Bonjour !"})"} << "";
        QTest::newRow("msg missing") << Response{200, R"({"mid": 7})"} << "";
        QTest::newRow("not JSON") << Response{200, "mid=7&msg=Bonjour"} << "";
        QTest::newRow("over the cap") << Response{200, reply(7, QString(ServiceLink::replySizeCap, 'a'))} << "";
        // Neither followed nor sent again, whatever ends the request.
        QTest::newRow("redirect") << Response{302, "", false, 0, "Location: /elsewhere\r\n"} << "";
        QTest::newRow("time-out") << Response{200, {}, true} << "";
        QTest::newRow("connection dropped") << Response{200, "", false, 0, "", 0, true} << "";
        // clang-format on
    }

    void replyForms()
    {
        QFETCH(Response, response);
        QFETCH(QString, shown);
        // Fifty ids already shown: the oldest makes way for the new one.
        store.setObject(TavoSettings::shownMessagesKey, ids(101, 150));
        m_server.routes["/api/status.php"] = response;
        poll();
        QCOMPARE(m_server.requests, QStringList{"/api/status.php"});
        QCOMPARE(sent(0), QVariantMap());
        QCOMPARE(alerts().size(), shown.isEmpty() ? 0 : 1);
        // Recorded only once the user has closed it, and then not shown again.
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(101, 150));
        if (shown.isEmpty())
            return;
        const auto *view = alerts().first()->findChild<QTextEdit *>();
        // Looking for word boundaries in a long word takes the square of its length.
        QCOMPARE(view->wordWrapMode() == QTextOption::WrapAnywhere, !shown.contains(' '));
        QVERIFY(alerts().first()->frameGeometry().height()
            <= QGuiApplication::primaryScreen()->availableGeometry().height());
        QCOMPARE(view->verticalScrollBar()->maximum() > 0, shown.size() > 100);
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(closeAlert(), (QStringList{"Message de Orvane Labs", "", shown}));
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(102, 150) + ids(7, 7));
        poll();
        QVERIFY(alerts().isEmpty());
    }

    // A poll asked for while one is out is not sent.
    void overlappingPollsShowEachMessageOnce()
    {
        m_server.routes["/api/status.php"] = {200, reply(7, "Sept"), false, 300};
        m_inbox->checkWithServer();
        poll();
        QCOMPARE(m_server.requests.size(), 1);
        // While it is open, polls bring the same message, then a newer one.
        poll();
        m_server.routes["/api/status.php"] = {200, reply(8, "Huit")};
        poll();
        QCOMPARE(closeAlert().last(), "Sept");
        // The alert that goes with its owner, as at the application's end, records nothing: the
        // message stays to be shown. (Quitting over it is seen by the end-to-end test's logout.)
        QTRY_COMPARE(alerts().size(), 1);
        m_alert = std::make_unique<MessageAlert>();
        m_alert->follow(*m_inbox);
        QVERIFY(alerts().isEmpty());
        m_alert->showPending();
        QCOMPARE(closeAlert().last(), "Huit");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(7, 8));
    }

    void reportAnswers_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("200 ok true") << Response{200, R"({"ok": true, "id": 12})"} << "" << true;
        QTest::newRow("200 ok false") << Response{200, R"({"ok": false})"} << " a@b.ch " << false;
        QTest::newRow("201 ok true") << Response{201, R"({"ok": true})"} << "" << false;
        QTest::newRow("not JSON") << Response{200, "<html>ok</html>"} << "" << false;
        QTest::newRow("ok as text") << Response{200, R"({"ok": "true"})"} << "" << false;
        QTest::newRow("time-out") << Response{200, {}, true} << "" << false;
    }

    void reportAnswers()
    {
        QFETCH(Response, response);
        QFETCH(QString, email);
        QFETCH(bool, accepted);
        m_server.routes["/api/report.php"] = response;
        const QString typed = "\n \t Ligne 1\n\nLigne 2  \n\n";
        open(typed, email)->sendButton->click();
        // The window is gone at once; the upload goes on without it.
        QVERIFY(!m_report->dialog() && alerts().isEmpty());
        QCOMPARE(closeAlert().join('|'),
            accepted ? "Merci !|Ton signalement est bien parti. La réponse arrivera dans l'app.|"
                     : "Envoi impossible|Impossible d'envoyer pour le moment (réseau ?). Réessaie "
                       "plus tard ou écris à support@orvanelabs.ch.|");
        QCOMPARE(sent(0, {{"text", "Ligne 1\n\nLigne 2"}, {"email", email}}), QVariantMap());
        QFile file(store.fileName());
        QVERIFY(!file.open(QIODevice::ReadOnly) || !file.readAll().contains("Ligne"));
        // What did not arrive is offered again as it was typed, from memory only; what arrived
        // is done with. Cancelled, escaped or sent blank, a window sends nothing and leaves the
        // draft as it was; a second opening brings the same window forward.
        for (int way = 0; way < 3; ++way) {
            m_report->open();
            ReportDialog *dialog = m_report->dialog();
            m_report->open();
            QCOMPARE(m_report->dialog(), dialog);
            QCOMPARE(dialog->textArea->toPlainText() + dialog->emailField->text(),
                accepted ? "" : typed + email);
            dialog->textArea->setPlainText(way == 2 ? " \n\t\n  " : "autre chose");
            if (way == 1)
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                (way == 2 ? dialog->sendButton : dialog->cancelButton)->click();
            QTRY_VERIFY(!m_report->dialog());
        }
        QTest::qWait(300);
        QVERIFY(alerts().isEmpty() && m_server.requests.size() == 1);
    }

    // The window takes no more than the service does: a paste is cut at the cursor, a key at
    // the cap does nothing, and all that is held goes out.
    void reportFieldsHoldWhatTheServiceTakes()
    {
        QPlainTextEdit *area = open("début fin", QString(300, 'a'))->textArea;
        QTextCursor cursor = area->textCursor();
        cursor.setPosition(6);
        area->setTextCursor(cursor);
        // Short lines: laying out one line of a quarter of a million characters took 40 s.
        const QString paste = QString(63, 'x').append('\n').repeated(ReportDialog::textCap / 64);
        area->insertPlainText(paste);
        QTest::keyClick(area, Qt::Key_Z);
        const QString held = area->toPlainText();
        QCOMPARE(held, "début " + paste.left(ReportDialog::textCap - 9) + "fin");
        m_report->dialog()->sendButton->click();
        QCOMPARE(closeAlert().first(), "Merci !");
        QCOMPARE(sent(0, {{"text", held}, {"email", QString(ReportDialog::emailCap, 'a')}}),
            QVariantMap());
    }

    // What every request carries, where it goes, and whom it trusts there.
    void identityAddressAndTrust()
    {
        const QString id = ServiceLink::deviceId();
        QCOMPARE(id, QUuid::fromString(id).toString(QUuid::WithoutBraces).toUpper());
        QCOMPARE(ServiceLink::storedDeviceId(), id);
        // Whatever someone stored is used as it stands.
        store.setObject(TavoSettings::deviceIdKey, "à la main {pas un UUID}");
        QCOMPARE(ServiceLink::deviceId(), "à la main {pas un UUID}");
        // clang-format off
        const QStringList systems[] = { // what is said; the system's name, its version, the kernel's
            {"debian 12", "debian", "12", "6.1.0-18-amd64"}, {"fedora 13.6", "fedora", "13.6.7", "6.8.0"},
            {"arch", "arch", "unknown", "6.9.1-arch1"}, {"linux 6.1", "unknown", "unknown", "6.1.0-18-amd64"}};
        // Only https on this machine is honoured.
        const QList<QByteArray> honoured{"https://127.0.0.1:8443", "https://127.45.6.7", "https://[::1]:9", "https://LocalHost:9"},
            refused{"http://127.0.0.1:9", "https://example.org", "https://127.0.0.1.example.org", "https://localhost.example.org",
                "https://0.0.0.0:9", "https://me@127.0.0.1:9", "127.0.0.1:9"};
        // clang-format on
        for (const QStringList &system : systems)
            QCOMPARE(ServiceLink::osString(system[1], system[2], system[3]), system[0]);
        for (const QByteArray &address : honoured + refused) {
            qputenv("ORVANE_SERVICE_URL", address);
            QCOMPARE(ServiceLink::baseUrl(),
                QUrl(honoured.contains(address) ? QString(address) : "https://api.orvanelabs.ch"));
        }
        // A service this process does not trust is one only with ORVANE_SERVICE_CA. A server
        // each, so that no TLS session kept from a trusted request skips the check.
        for (const bool trusted : {false, true}) {
            FeedServer server;
            QVERIFY(server.start(false));
            qputenv("ORVANE_SERVICE_URL", server.url("").toString().toUtf8());
            qputenv("ORVANE_SERVICE_CA", trusted ? server.certificatePath().toUtf8() : "");
            poll();
            QCOMPARE(server.requests.size(), trusted ? 1 : 0);
        }
    }
};

QTEST_MAIN(TestFeedbackWindows)
#include "TestFeedbackWindows.moc"
