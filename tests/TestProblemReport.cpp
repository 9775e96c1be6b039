// The problem report from the window to the service's answer: what is sent, how each reply is
// judged, what the user is told, and that nothing is sent when the user does not mean it.
#include "FeedServer.h"
#include "feedback/ProblemReport.h"
#include "settings/TavoSettings.h"

#include <QApplication>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using Response = FeedServer::Response;

namespace {

const QString failedText = QString::fromUtf8(
    "Impossible d'envoyer pour le moment (réseau ?). Réessaie plus tard ou écris à "
    "support@orvanelabs.ch.");

// The result alert on screen, if any: every alert of ours but the report window itself.
AlertDialog *resultAlert()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *alert = qobject_cast<AlertDialog *>(widget);
        if (alert && alert->isVisible() && !qobject_cast<ReportDialog *>(alert))
            return alert;
    }
    return nullptr;
}

} // namespace

class TestProblemReport : public QObject
{
    Q_OBJECT

private:
    FeedServer m_server;
    std::unique_ptr<ProblemReport> m_report;

    // Opens the window, fills it and presses "Envoyer".
    void send(const QString &text, const QString &email = {})
    {
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        QVERIFY(dialog && dialog->isVisible());
        dialog->textArea->setPlainText(text);
        dialog->emailField->setText(email);
        dialog->sendButton->click();
    }

    // Waits for the result alert, closes it and answers its texts.
    static QStringList result()
    {
        if (!QTest::qWaitFor([] { return resultAlert() != nullptr; }, 5000))
            return {"<no alert>"};
        AlertDialog *alert = resultAlert();
        const QStringList texts{alert->messageText(), alert->informativeText()};
        alert->buttons().first()->click();
        return texts;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init()
    {
        QFile::remove(TavoSettings::defaults().fileName());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        m_server.received.clear();
        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        m_report = std::make_unique<ProblemReport>();
    }

    void cleanup() { m_report.reset(); }

    void replyForms_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("200 ok true") << Response{200, R"({"ok": true, "id": 12})"} << true;
        QTest::newRow("200 ok false") << Response{200, R"({"ok": false})"} << false;
        QTest::newRow("201 ok true") << Response{201, R"({"ok": true})"} << false;
        QTest::newRow("500 ok true") << Response{500, R"({"ok": true})"} << false;
        QTest::newRow("not JSON") << Response{200, "<html>ok</html>"} << false;
        QTest::newRow("empty object") << Response{200, "{}"} << false;
        QTest::newRow("ok as text") << Response{200, R"({"ok": "true"})"} << false;
        QTest::newRow("ok as number") << Response{200, R"({"ok": 1})"} << false;
        QTest::newRow("time-out") << Response{200, {}, true} << false;
    }

    void replyForms()
    {
        QFETCH(Response, response);
        QFETCH(bool, accepted);
        m_server.routes["/api/report.php"] = response;
        m_report->timeoutMs = 300;
        send("Le compteur ne bouge plus.");
        // The window is gone at once; the upload goes on without it.
        QVERIFY(!m_report->dialog());
        QVERIFY(!resultAlert());
        const QStringList expected = accepted
            ? QStringList{"Merci !",
                "Ton signalement est bien parti. La réponse arrivera dans l'app."}
            : QStringList{"Envoi impossible", failedText};
        QCOMPARE(result(), expected);
        QCOMPARE(m_server.received.size(), 1);
    }

    void noNetwork()
    {
        qputenv("ORVANE_SERVICE_URL", "https://127.0.0.1:9");
        send("Rien ne part.");
        QCOMPARE(result(), (QStringList{"Envoi impossible", failedText}));
    }

    void bodyCarriesWhatWasTyped_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("sentText");
        const auto row
            = [](const char *name, const char *text, const char *email, const char *sent) {
                  QTest::newRow(name) << QString(text) << QString(email) << QString(sent);
              };
        row("no address", "Ça plante.", "", "Ça plante.");
        row("surrounding blank lines", "\n \t Ligne 1\n\nLigne 2  \n\n", "moi@exemple.ch",
            "Ligne 1\n\nLigne 2");
        row("address as typed", "Bonjour", "  moi@exemple.ch ", "Bonjour");
    }

    void bodyCarriesWhatWasTyped()
    {
        QFETCH(QString, text);
        QFETCH(QString, email);
        QFETCH(QString, sentText);
        send(text, email);
        QTRY_COMPARE(m_server.received.size(), 1);
        const FeedServer::Request request = m_server.received.first();
        QCOMPARE(request.path, "/api/report.php");
        QVariantMap expected{{"d", TavoSettings::defaults().string(TavoSettings::deviceIdKey)},
            {"v", ORVANE_VERSION}, {"os", ServiceLink::osString()}, {"text", sentText}};
        if (!email.isEmpty())
            expected.insert("email", email);
        QCOMPARE(QJsonDocument::fromJson(request.body).toVariant().toMap(), expected);
        // The first report made the device's identifier.
        QCOMPARE(expected.value("d").toString().size(), 36);
        QCOMPARE(result().first(), "Merci !");
    }

    void nothingSent_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("button");
        QTest::newRow("Annuler") << QString("Un vrai texte") << QString("Annuler");
        QTest::newRow("Escape") << QString("Un vrai texte") << QString("Escape");
        QTest::newRow("blank text") << QString(" \n\t\n  ") << QString("Envoyer");
        QTest::newRow("empty text") << QString() << QString("Envoyer");
    }

    void nothingSent()
    {
        QFETCH(QString, text);
        QFETCH(QString, button);
        m_report->open();
        ReportDialog *dialog = m_report->dialog();
        dialog->textArea->setPlainText(text);
        dialog->emailField->setText("moi@exemple.ch");
        if (button == "Escape")
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            (button == "Envoyer" ? dialog->sendButton : dialog->cancelButton)->click();
        QTRY_VERIFY(!m_report->dialog());
        QTest::qWait(300);
        QVERIFY(m_server.received.isEmpty());
        QVERIFY(!resultAlert());
    }

    void failedReportIsOfferedAgainUntilSent()
    {
        m_server.routes["/api/report.php"] = {500, "{}"};
        send("  Brouillon\n", "moi@exemple.ch");
        QCOMPARE(result().first(), "Envoi impossible");

        // Cancelling the window leaves the draft as it was.
        m_report->open();
        QCOMPARE(m_report->dialog()->textArea->toPlainText(), "  Brouillon\n");
        QCOMPARE(m_report->dialog()->emailField->text(), "moi@exemple.ch");
        m_report->dialog()->textArea->setPlainText("autre chose");
        m_report->dialog()->cancelButton->click();
        m_report->open();
        QCOMPARE(m_report->dialog()->textArea->toPlainText(), "  Brouillon\n");

        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        m_report->dialog()->sendButton->click();
        QCOMPARE(result().first(), "Merci !");
        m_report->open();
        QCOMPARE(m_report->dialog()->textArea->toPlainText(), "");
        QCOMPARE(m_report->dialog()->emailField->text(), "");
        // Kept in memory only.
        QFile file(TavoSettings::defaults().fileName());
        QVERIFY(!file.open(QIODevice::ReadOnly) || !file.readAll().contains("Brouillon"));
    }

    void secondOpeningBringsTheSameWindowForward()
    {
        m_report->open();
        ReportDialog *first = m_report->dialog();
        m_report->open();
        QCOMPARE(m_report->dialog(), first);
        first->cancelButton->click();
    }
};

QTEST_MAIN(TestProblemReport)
#include "TestProblemReport.moc"
