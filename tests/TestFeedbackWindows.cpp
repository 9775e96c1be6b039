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
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

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
    QCoreApplication::processEvents();
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

    QVariantMap sent(int index, const QVariantMap &fields = {}) const
    {
        QVariantMap expected{{"d", store.string(TavoSettings::deviceIdKey)}, {"v", ORVANE_VERSION},
            {"os", ServiceLink::osString()}};
        expected.insert(fields);
        const QVariantMap body
            = QJsonDocument::fromJson(m_server.received.value(index).body).toVariant().toMap();
        return body == expected ? QVariantMap() : body;
    }

    void poll()
    {
        QSignalSpy checked(m_inbox.get(), &MessageInbox::checked);
        m_inbox->checkWithServer();
        QVERIFY(checked.wait(5000));
        QCoreApplication::processEvents();
    }

    void answer(const QByteArray &body, int delayMs = 0)
    {
        m_server.routes["/api/status.php"] = Response{200, body, false, delayMs};
    }

    ReportDialog *send(const QString &text, const QString &email = {})
    {
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        dialog->textArea->setPlainText(text);
        dialog->emailField->setText(email);
        dialog->sendButton->click();
        return dialog;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init()
    {
        QFile::remove(store.fileName());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        qunsetenv("ORVANE_SERVICE_CA");
        m_server.received.clear();
        m_server.requests.clear();
        answer("{}");
        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
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
        QTest::addColumn<bool>("shown");
        const auto row = [](const char *name, int status, const QByteArray &body, bool shown) {
            QTest::newRow(name) << Response{status, body} << shown;
        };
        row("new message", 200, R"({"x": [1], "mid": 7, "msg": "Bonjour !"})", true);
        row("status not looked at", 500, R"({"mid": 7, "msg": "Bonjour !"})", true);
        row("id 0", 200, R"({"mid": 0, "msg": "Bonjour !"})", false);
        row("empty msg", 200, R"({"mid": 7, "msg": ""})", false);
        row("mid as text", 200, R"({"mid": "7", "msg": "Bonjour !"})", false);
        row("mid 7.5", 200, R"({"mid": 7.5, "msg": "Bonjour !"})", false);
        row("msg missing", 200, R"({"mid": 7})", false);
        row("not JSON", 200, "mid=7&msg=Bonjour", false);
        row("over the cap", 200, reply(7, QString(300 * 1024, 'a')), false);
        QTest::newRow("time-out") << Response{200, {}, true} << false;
    }

    void replyForms()
    {
        QFETCH(Response, response);
        QFETCH(bool, shown);
        // Fifty ids already shown: the oldest makes way for the new one.
        store.setObject(TavoSettings::shownMessagesKey, ids(101, 150));
        m_server.routes["/api/status.php"] = response;
        poll();
        QCOMPARE(sent(0), QVariantMap());
        QCOMPARE(store.string(TavoSettings::deviceIdKey).size(), 36);
        QCOMPARE(alerts().size(), shown ? 1 : 0);
        // Recorded only once the user has closed it, and then not shown again.
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(101, 150));
        if (!shown)
            return;
        QCOMPARE(closeAlert(), (QStringList{"Message de Orvane Labs", "", "Bonjour !"}));
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(102, 150) + ids(7, 7));
        poll();
        QVERIFY(alerts().isEmpty());
    }

    void overlappingPollsShowEachMessageOnce()
    {
        answer(reply(7, "Sept"), 300);
        QSignalSpy checked(m_inbox.get(), &MessageInbox::checked);
        m_inbox->checkWithServer();
        m_inbox->checkWithServer();
        QVERIFY(checked.wait(5000));
        QTest::qWait(500);
        QCOMPARE(m_server.requests.size(), 1);
        // While it is open, polls bring the same message, then a newer one.
        poll();
        answer(reply(8, "Huit"));
        poll();
        QCOMPARE(closeAlert().last(), "Sept");
        QCOMPARE(closeAlert().last(), "Huit");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(7, 8));
    }

    // Whatever the network sends is plain text in an alert that fits the screen and comes up
    // at once, however long the message.
    void bodyIsPlainTextInABoundedAlert_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("shown");
        const QString markup = "<b>gras</b> <a href='x'>lien</a>\n&amp;";
        QTest::newRow("markup") << markup << markup;
        QString lines;
        for (int line = 0; lines.size() < 1024 * 1024; ++line)
            lines += QString("Ligne %1 <i>d'un long message</i>\n").arg(line);
        QTest::newRow("1 MiB of lines") << lines << lines.left(20000) + "…";
        const QString word(250000, 'w');
        QTest::newRow("one unbroken word") << word << word.left(20000) + "…";
        QTest::newRow("cut between two halves")
            << QString(19999, 'w') + QString::fromUtf8("😀") << QString(19999, 'w') + "…";
    }

    void bodyIsPlainTextInABoundedAlert()
    {
        QFETCH(QString, body);
        QFETCH(QString, shown);
        m_inbox->receive(reply(9, body));
        m_alert->showPending();
        QCoreApplication::processEvents();
        const auto *view = m_alert->alert()->findChild<QTextEdit *>();
        QCOMPARE(view->toPlainText(), shown);
        QVERIFY(!view->acceptRichText());
        // Looking for word boundaries in a long word takes the square of its length.
        QCOMPARE(view->wordWrapMode() == QTextOption::WrapAnywhere, !shown.contains(' '));
        QVERIFY(m_alert->alert()->frameGeometry().height()
            <= QGuiApplication::primaryScreen()->availableGeometry().height());
        QCOMPARE(view->verticalScrollBar()->maximum() > 0, shown.size() > 100);
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        closeAlert();
    }

    void reportAnswers_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("200 ok true") << Response{200, R"({"ok": true, "id": 12})"} << "" << true;
        QTest::newRow("with an address") << Response{200, R"({"ok": true})"} << " a@b.ch " << true;
        QTest::newRow("200 ok false") << Response{200, R"({"ok": false})"} << "" << false;
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
        send("\n \t Ligne 1\n\nLigne 2  \n\n", email);
        // The window is gone at once; the upload goes on without it.
        QVERIFY(!m_report->dialog() && alerts().isEmpty());
        const QStringList told = accepted
            ? QStringList{"Merci !",
                "Ton signalement est bien parti. La réponse arrivera dans l'app.", ""}
            : QStringList{"Envoi impossible",
                "Impossible d'envoyer pour le moment (réseau ?). Réessaie plus tard ou écris "
                "à support@orvanelabs.ch.",
                ""};
        QCOMPARE(closeAlert(), told);
        QCOMPARE(m_server.requests, QStringList{"/api/report.php"});
        QVariantMap fields{{"text", "Ligne 1\n\nLigne 2"}};
        if (!email.isEmpty())
            fields.insert("email", email);
        QCOMPARE(sent(0, fields), QVariantMap());
    }

    void nothingSent_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("button");
        for (const char *button : {"Annuler", "Escape"})
            QTest::newRow(button) << "Un vrai texte" << button;
        QTest::newRow("blank text") << " \n\t\n  "
                                    << "Envoyer";
    }

    void nothingSent()
    {
        QFETCH(QString, text);
        QFETCH(QString, button);
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        dialog->textArea->setPlainText(text);
        if (button == "Escape")
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            (button == "Envoyer" ? dialog->sendButton : dialog->cancelButton)->click();
        QTRY_VERIFY(!m_report->dialog());
        QTest::qWait(300);
        QVERIFY(m_server.received.isEmpty() && alerts().isEmpty());
    }

    // Kept in memory until it is sent, through a cancelled window; a second opening brings the
    // same window forward.
    void failedReportIsOfferedAgainUntilSent()
    {
        m_server.routes["/api/report.php"] = {500, "{}"};
        send("  Brouillon\n", "moi@exemple.ch");
        QCOMPARE(closeAlert().first(), "Envoi impossible");
        for (const char *typed : {"autre chose", ""}) {
            m_report->open();
            ReportDialog *dialog = m_report->dialog();
            m_report->open();
            QCOMPARE(m_report->dialog(), dialog);
            QCOMPARE(dialog->textArea->toPlainText(), "  Brouillon\n");
            QCOMPARE(dialog->emailField->text(), "moi@exemple.ch");
            dialog->textArea->setPlainText(typed);
            dialog->cancelButton->click();
        }
        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        m_report->open();
        m_report->dialog()->sendButton->click();
        QCOMPARE(closeAlert().first(), "Merci !");
        m_report->open();
        QCOMPARE(
            m_report->dialog()->textArea->toPlainText() + m_report->dialog()->emailField->text(),
            "");
        QFile file(store.fileName());
        QVERIFY(!file.open(QIODevice::ReadOnly) || !file.readAll().contains("Brouillon"));
    }

    // The window takes no more than the service does: a paste is cut at the cursor, a key at
    // the cap does nothing, and all that is held goes out.
    void reportFieldsHoldWhatTheServiceTakes()
    {
        m_report->open();
        QPlainTextEdit *area = m_report->dialog()->textArea;
        area->setPlainText("début fin");
        QTextCursor cursor = area->textCursor();
        cursor.setPosition(6);
        area->setTextCursor(cursor);
        // Short lines: laying out one line of a quarter of a million characters took 40 s.
        const QString paste = QString(63, 'x').append('\n').repeated(ReportDialog::textCap / 64);
        area->insertPlainText(paste);
        QTest::keyClick(area, Qt::Key_Z);
        const QString held = area->toPlainText();
        QCOMPARE(held, "début " + paste.left(ReportDialog::textCap - 9) + "fin");
        m_report->dialog()->emailField->setText(QString(300, 'a'));
        m_report->dialog()->sendButton->click();
        QCOMPARE(closeAlert().first(), "Merci !");
        QCOMPARE(sent(0, {{"text", held}, {"email", QString(ReportDialog::emailCap, 'a')}}),
            QVariantMap());
    }

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

    // Logout, shutdown or "Quitter" close every window, the alert with them, and the objects
    // go: the message stays to be shown. Last, as quitting ends Qt's network thread.
    void endingTheApplicationOverTheAlertKeepsItsMessage_data()
    {
        QTest::addColumn<bool>("quit");
        QTest::newRow("destroyed") << false;
        QTest::newRow("quit") << true;
    }

    void endingTheApplicationOverTheAlertKeepsItsMessage()
    {
        QFETCH(bool, quit);
        m_inbox->receive(reply(7, "Bonjour !"));
        m_alert->showPending();
        if (quit) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            QApplication::exec();
        }
        m_alert = std::make_unique<MessageAlert>();
        m_alert->follow(*m_inbox);
        QCoreApplication::processEvents();
        QVERIFY(alerts().isEmpty() && !store.contains(TavoSettings::shownMessagesKey));
        m_alert->showPending();
        QCOMPARE(closeAlert().last(), "Bonjour !");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids(7, 7));
    }
};

QTEST_MAIN(TestFeedbackWindows)
#include "TestFeedbackWindows.moc"
