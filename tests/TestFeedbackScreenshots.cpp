// Renders the feedback windows as the user sees them, light and dark, to PNG files under the
// build folder (screenshots/): the report window, both result alerts and a message alert.
#include "DarkPalette.h"
#include "FeedServer.h"
#include "feedback/MessageAlert.h"
#include "feedback/MessageInbox.h"
#include "feedback/ProblemReport.h"
#include "kit/Symbols.h"
#include "settings/TavoSettings.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>

namespace {

AlertDialog *shownAlert(const QString &message)
{
    AlertDialog *found = nullptr;
    (void)QTest::qWaitFor(
        [&] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *alert = qobject_cast<AlertDialog *>(widget);
                if (alert && alert->isVisible() && alert->messageText() == message)
                    found = alert;
            }
            return found != nullptr;
        },
        5000);
    return found;
}

} // namespace

class TestFeedbackScreenshots : public QObject
{
    Q_OBJECT

private:
    FeedServer m_server;
    QPalette m_light;

    // Saves the window and closes it; false when it could not be saved.
    static bool save(AlertDialog *alert, const QString &name)
    {
        QCoreApplication::processEvents();
        const QString path
            = QString(SCREENSHOT_DIR) + "/" + name + "-" + QTest::currentDataTag() + ".png";
        const bool saved = alert->grab().save(path);
        alert->reject();
        return saved;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setWindowIcon(Symbols::applicationIcon());
        m_light = QApplication::palette();
        QVERIFY(m_server.start());
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
    }

    void cleanupTestCase() { QApplication::setPalette(m_light); }

    void windows_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    void windows()
    {
        QFETCH(bool, dark);
        QApplication::setPalette(dark ? darkPalette() : m_light);
        // Closing the light row's message recorded it as shown.
        QFile::remove(TavoSettings::defaults().fileName());
        ProblemReport report;

        report.open();
        ReportDialog *dialog = report.dialog();
        dialog->textArea->setPlainText("Depuis la mise à jour, le compteur reste à zéro.");
        QCoreApplication::processEvents();
        // The accessory as laid out: text area 6 px from the top, address field along the
        // bottom, 10 px between them, the whole 380 x 150.
        QCOMPARE(dialog->textArea->parentWidget()->size(), QSize(380, 150));
        QCOMPARE(dialog->textArea->geometry(), QRect(0, 6, 380, 110));
        QCOMPARE(dialog->emailField->geometry(), QRect(0, 126, 380, 24));
        QCOMPARE(dialog->textArea->font().pixelSize(), 13);
        // "Envoyer" is the default button, rightmost.
        QVERIFY(dialog->sendButton->isDefault());
        QVERIFY(dialog->sendButton->x() > dialog->cancelButton->x());
        QVERIFY(save(dialog, "report"));

        const std::tuple<FeedServer::Response, QString, QString> results[]
            = {{{200, R"({"ok": true})"}, "Merci !", "report-sent"},
                {{500, "{}"}, "Envoi impossible", "report-failed"}};
        for (const auto &[response, title, file] : results) {
            m_server.routes["/api/report.php"] = response;
            report.open();
            report.dialog()->textArea->setPlainText("x");
            report.dialog()->sendButton->click();
            AlertDialog *result = shownAlert(title);
            QVERIFY(result);
            QVERIFY(save(result, file));
        }

        MessageInbox inbox;
        MessageAlert alert;
        alert.follow(inbox);
        inbox.receive(QJsonDocument(QJsonObject{{"mid", 5},
                                        {"msg",
                                            "Merci pour ton signalement ! Le correctif arrive "
                                            "avec la prochaine version.\n\nL'équipe Orvane Labs"}})
                          .toJson());
        alert.showPending();
        QVERIFY(alert.alert());
        QVERIFY(save(alert.alert(), "message"));
    }
};

QTEST_MAIN(TestFeedbackScreenshots)
#include "TestFeedbackScreenshots.moc"
