// The makers' replies and the problem report, from the service's answers to what the user sees:
// which replies make a message, that each is shown once and comes back when the application
// ended over it, what a report carries and how its answer is told. The windows are also saved,
// light and dark, to PNG files under the build folder (screenshots/).
#include "DarkPalette.h"
#include "FakePasteboard.h"
#include "FeedServer.h"
#include "clipboard/TavoEngine.h"
#include "feedback/MessageAlert.h"
#include "feedback/MessageInbox.h"
#include "feedback/ProblemReport.h"
#include "kit/Symbols.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>
#include <QTextEdit>

using Response = FeedServer::Response;

namespace {

const QString failedText = QString::fromUtf8(
    "Impossible d'envoyer pour le moment (réseau ?). Réessaie plus tard ou écris à "
    "support@orvanelabs.ch.");
const QString sentText
    = QString::fromUtf8("Ton signalement est bien parti. La réponse arrivera dans l'app.");

// The visible alerts but the report window, the newest last.
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

QString shownBody(AlertDialog *alert)
{
    const auto *view = alert ? alert->findChild<QTextEdit *>() : nullptr;
    return view ? view->toPlainText() : QString();
}

QByteArray reply(qint64 mid, const QString &msg)
{
    return QJsonDocument(QJsonObject{{"mid", mid}, {"msg", msg}}).toJson();
}

QVariantList ids(std::initializer_list<qint64> list)
{
    QVariantList result;
    for (qint64 id : list)
        result.append(QVariant::fromValue(id));
    return result;
}

// Closes the one alert on screen and answers its texts.
QStringList closeAlert()
{
    if (!QTest::qWaitFor([] { return alerts().size() == 1; }, 5000))
        return {"<no alert>"};
    AlertDialog *alert = alerts().first();
    const QStringList texts{alert->messageText(), alert->informativeText(), shownBody(alert)};
    alert->buttons().first()->click();
    QCoreApplication::processEvents();
    return texts;
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

    QVariantMap identity() const
    {
        return {{"d", store.string(TavoSettings::deviceIdKey)}, {"v", ORVANE_VERSION},
            {"os", ServiceLink::osString()}};
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

    void fresh()
    {
        m_alert.reset();
        m_inbox = std::make_unique<MessageInbox>();
        m_inbox->timeoutMs = 1000;
        m_alert = std::make_unique<MessageAlert>();
        m_alert->follow(*m_inbox);
    }

    // Opens the report window, fills it and presses "Envoyer".
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
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setWindowIcon(Symbols::applicationIcon());
        QVERIFY(m_server.start());
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
    }

    void init()
    {
        QFile::remove(store.fileName());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        m_server.received.clear();
        m_server.requests.clear();
        answer("{}");
        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        fresh();
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
        row("new message", 200, R"({"mid": 7, "msg": "Bonjour !"})", true);
        row("other members", 200, R"({"x": [1], "mid": 7, "msg": "Bonjour !"})", true);
        row("status not looked at", 500, R"({"mid": 7, "msg": "Bonjour !"})", true);
        row("id 0", 200, R"({"mid": 0, "msg": "Bonjour !"})", false);
        row("negative id", 200, R"({"mid": -7, "msg": "Bonjour !"})", false);
        row("empty msg", 200, R"({"mid": 7, "msg": ""})", false);
        row("mid as text", 200, R"({"mid": "7", "msg": "Bonjour !"})", false);
        row("mid 7.5", 200, R"({"mid": 7.5, "msg": "Bonjour !"})", false);
        row("mid 1e300", 200, R"({"mid": 1e300, "msg": "Bonjour !"})", false);
        row("msg missing", 200, R"({"mid": 7})", false);
        row("msg a number", 200, R"({"mid": 7, "msg": 12})", false);
        row("not JSON", 200, "mid=7&msg=Bonjour", false);
        row("over the cap", 200, reply(7, QString(300 * 1024, 'a')), false);
        QTest::newRow("time-out") << Response{200, {}, true} << false;
    }

    void replyForms()
    {
        QFETCH(Response, response);
        QFETCH(bool, shown);
        m_server.routes["/api/status.php"] = response;
        poll();
        QCOMPARE(QJsonDocument::fromJson(m_server.received.value(0).body).toVariant().toMap(),
            identity());
        QCOMPARE(store.string(TavoSettings::deviceIdKey).size(), 36);
        QCOMPARE(alerts().size(), shown ? 1 : 0);
        // Recorded only once the user has closed it, and then not shown again.
        QVERIFY(!store.contains(TavoSettings::shownMessagesKey));
        if (!shown)
            return;
        QCOMPARE(closeAlert(), (QStringList{"Message de Orvane Labs", "", "Bonjour !"}));
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7}));
        poll();
        QVERIFY(alerts().isEmpty());
    }

    void fiftyIdsAreKept()
    {
        QVariantList fifty;
        for (qint64 id = 1; id <= 50; ++id)
            fifty.append(QVariant::fromValue(id));
        store.setObject(TavoSettings::shownMessagesKey, fifty);
        answer(reply(51, "Le 51e"));
        poll();
        closeAlert();
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), fifty.mid(1) + ids({51}));
    }

    // Held but not yet shown: a failing poll keeps it and its display step shows it.
    void noNetworkKeepsThePendingMessage()
    {
        store.setObject(TavoSettings::shownMessagesKey, ids({3}));
        m_inbox->receive(reply(7, "En attente"));
        qputenv("ORVANE_SERVICE_URL", "https://127.0.0.1:9");
        poll();
        QCOMPARE(closeAlert().last(), "En attente");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({3, 7}));
    }

    void destroyedOverTheAlertShowsItAgain()
    {
        answer(reply(7, "Bonjour !"));
        poll();
        QCOMPARE(alerts().size(), 1);
        fresh();
        QVERIFY(alerts().isEmpty());
        poll();
        QCOMPARE(closeAlert().last(), "Bonjour !");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7}));
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
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7, 8}));
    }

    // Whatever the network sends is plain text in an alert that fits the screen and comes up
    // at once, however long the message.
    void bodyIsPlainTextInABoundedAlert_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("scrolls");
        const QString markup = "<b>gras</b> <a href='x'>lien</a>\n&amp;";
        QTest::newRow("markup") << markup << markup << false;
        QString lines;
        for (int line = 0; lines.size() < 1024 * 1024; ++line)
            lines += QString("Ligne %1 <i>d'un long message</i>\n").arg(line);
        QTest::newRow("1 MiB of lines") << lines << lines.left(20000) + "…" << true;
        const QString word(250000, 'w');
        QTest::newRow("one unbroken word") << word << word.left(20000) + "…" << true;
        QTest::newRow("cut between two halves")
            << QString(19999, 'w') + QString::fromUtf8("😀") << QString(19999, 'w') + "…" << true;
    }

    void bodyIsPlainTextInABoundedAlert()
    {
        QFETCH(QString, body);
        QFETCH(QString, shown);
        QFETCH(bool, scrolls);
        m_inbox->receive(reply(9, body));
        QElapsedTimer clock;
        clock.start();
        m_alert->showPending();
        QCoreApplication::processEvents();
        // Well within a second even on a loaded machine; the whole word took half a minute.
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        AlertDialog *alert = m_alert->alert();
        const auto *view = alert->findChild<QTextEdit *>();
        QCOMPARE(view->toPlainText(), shown);
        QVERIFY(!view->acceptRichText());
        QCOMPARE(view->wordWrapMode() == QTextOption::WrapAnywhere, !shown.contains(' '));
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
        QTest::newRow("task bar") << false;
        QTest::newRow("tray") << true;
    }

    void launchPollShowsTheMessage()
    {
        QFETCH(bool, menuBar);
        store.setBool(TavoSettings::onboardedKey, true);
        store.setBool(TavoSettings::menuBarModeKey, menuBar);
        answer(reply(21, "Réponse"));
        FakePasteboard board;
        TavoEngine engine(board);
        auto app = std::make_unique<AppDelegate>(engine);
        app->applicationDidFinishLaunching();
        QCOMPARE(closeAlert().last(), "Réponse");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({21}));
    }

    void reportAnswers_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("200 ok true")
            << Response{200, R"({"ok": true, "id": 12})"} << QString() << true;
        QTest::newRow("with an address")
            << Response{200, R"({"ok": true})"} << QString(" a@b.ch ") << true;
        QTest::newRow("200 ok false") << Response{200, R"({"ok": false})"} << QString() << false;
        QTest::newRow("201 ok true") << Response{201, R"({"ok": true})"} << QString() << false;
        QTest::newRow("500 ok true") << Response{500, R"({"ok": true})"} << QString() << false;
        QTest::newRow("not JSON") << Response{200, "<html>ok</html>"} << QString() << false;
        QTest::newRow("ok as text") << Response{200, R"({"ok": "true"})"} << QString() << false;
        QTest::newRow("ok as number") << Response{200, R"({"ok": 1})"} << QString() << false;
        QTest::newRow("time-out") << Response{200, {}, true} << QString() << false;
    }

    void reportAnswers()
    {
        QFETCH(Response, response);
        QFETCH(QString, email);
        QFETCH(bool, accepted);
        m_server.routes["/api/report.php"] = response;
        send("\n \t Ligne 1\n\nLigne 2  \n\n", email);
        // The window is gone at once; the upload goes on without it.
        QVERIFY(!m_report->dialog());
        QVERIFY(alerts().isEmpty());
        const QStringList told = accepted ? QStringList{"Merci !", sentText}
                                          : QStringList{"Envoi impossible", failedText};
        QCOMPARE(closeAlert().mid(0, 2), told);
        QCOMPARE(m_server.requests, QStringList{"/api/report.php"});
        QVariantMap expected = identity();
        expected.insert("text", "Ligne 1\n\nLigne 2");
        if (!email.isEmpty())
            expected.insert("email", email);
        QCOMPARE(
            QJsonDocument::fromJson(m_server.received.first().body).toVariant().toMap(), expected);
    }

    void nothingSent_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("button");
        QTest::newRow("Annuler") << "Un vrai texte"
                                 << "Annuler";
        QTest::newRow("Escape") << "Un vrai texte"
                                << "Escape";
        QTest::newRow("blank text") << " \n\t\n  "
                                    << "Envoyer";
        QTest::newRow("empty text") << QString() << "Envoyer";
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
        QVERIFY(m_server.received.isEmpty());
        QVERIFY(alerts().isEmpty());
    }

    void failedReportIsOfferedAgainUntilSent()
    {
        m_server.routes["/api/report.php"] = {500, "{}"};
        send("  Brouillon\n", "moi@exemple.ch");
        QCOMPARE(closeAlert().first(), "Envoi impossible");
        // Cancelling the window leaves the draft as it was; a second opening brings it forward.
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        m_report->open();
        QCOMPARE(m_report->dialog(), dialog);
        QCOMPARE(dialog->textArea->toPlainText(), "  Brouillon\n");
        QCOMPARE(dialog->emailField->text(), "moi@exemple.ch");
        dialog->textArea->setPlainText("autre chose");
        dialog->cancelButton->click();
        m_report->open();
        QCOMPARE(m_report->dialog()->textArea->toPlainText(), "  Brouillon\n");

        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        m_report->dialog()->sendButton->click();
        QCOMPARE(closeAlert().first(), "Merci !");
        m_report->open();
        QCOMPARE(m_report->dialog()->textArea->toPlainText(), "");
        QCOMPARE(m_report->dialog()->emailField->text(), "");
        m_report->dialog()->cancelButton->click();
        // Kept in memory only.
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
        area->insertPlainText(QString(ReportDialog::textCap, 'x'));
        QTest::keyClick(area, Qt::Key_Z);
        const QString held = area->toPlainText();
        QCOMPARE(held.size(), ReportDialog::textCap);
        QVERIFY(held.startsWith("début x") && held.endsWith("xxfin"));
        m_report->dialog()->emailField->setText(QString(300, 'a'));
        m_report->dialog()->sendButton->click();
        QCOMPARE(closeAlert().first(), "Merci !");
        const QJsonObject sent = QJsonDocument::fromJson(m_server.received.first().body).object();
        QCOMPARE(sent.value("text").toString(), held);
        QCOMPARE(sent.value("email").toString(), QString(ReportDialog::emailCap, 'a'));
    }

    void screenshots_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    void screenshots()
    {
        QFETCH(bool, dark);
        const QPalette light = QApplication::palette();
        if (dark)
            QApplication::setPalette(darkPalette());
        const auto save = [](AlertDialog *alert, const QString &name) {
            QCoreApplication::processEvents();
            const bool saved = alert->grab().save(
                QString(SCREENSHOT_DIR) + "/" + name + "-" + QTest::currentDataTag() + ".png");
            alert->reject();
            return saved;
        };
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        dialog->textArea->setPlainText("Depuis la mise à jour, le compteur reste à zéro.");
        QCoreApplication::processEvents();
        // The accessory as laid out: text area 6 px from the top, address field along the
        // bottom, 10 px between them, the whole 380 x 150; "Envoyer" the default, rightmost.
        QCOMPARE(dialog->textArea->parentWidget()->size(), QSize(380, 150));
        QCOMPARE(dialog->textArea->geometry(), QRect(0, 6, 380, 110));
        QCOMPARE(dialog->emailField->geometry(), QRect(0, 126, 380, 24));
        QCOMPARE(dialog->textArea->font().pixelSize(), 13);
        QVERIFY(dialog->sendButton->isDefault());
        QVERIFY(dialog->sendButton->x() > dialog->cancelButton->x());
        QVERIFY(save(dialog, "report"));
        for (const auto &[status, file] :
            {std::pair{200, "report-sent"}, std::pair{500, "report-failed"}}) {
            m_server.routes["/api/report.php"] = {status, R"({"ok": true})"};
            send("x");
            QVERIFY(QTest::qWaitFor([] { return alerts().size() == 1; }, 5000));
            QVERIFY(save(alerts().first(), file));
        }
        m_inbox->receive(reply(5,
            "Merci pour ton signalement ! Le correctif arrive avec la prochaine version.\n\n"
            "L'équipe Orvane Labs"));
        m_alert->showPending();
        QVERIFY(save(m_alert->alert(), "message"));
        QCoreApplication::processEvents();
        QApplication::setPalette(light);
    }

    // Logout, shutdown or "Quitter" close every window, the alert with them: its message stays
    // to be shown. Last, as quitting ends Qt's network thread for the rest of the process.
    void quittingOverTheAlertKeepsItsMessage()
    {
        m_inbox->receive(reply(7, "Bonjour !"));
        m_alert->showPending();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QApplication::exec();
        QCoreApplication::processEvents();
        QVERIFY(alerts().isEmpty());
        QVERIFY(!store.contains(TavoSettings::shownMessagesKey));
        m_alert->showPending();
        QCOMPARE(closeAlert().last(), "Bonjour !");
        QCOMPARE(store.array(TavoSettings::shownMessagesKey), ids({7}));
    }
};

QTEST_MAIN(TestFeedbackWindows)
#include "TestFeedbackWindows.moc"
