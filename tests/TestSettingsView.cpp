#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "kit/SymbolButton.h"
#include "kit/TavoLabel.h"
#include "platform/LoginItem.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/MainWindow.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QTest>

namespace {

// The desktop's login registration, as a test sets it.
struct FakeLoginItem : LoginItem
{
    Status status() const override { return m_status; }
    bool registerItem(QString *error) override { return change(Status::Enabled, error); }
    bool unregisterItem(QString *error) override { return change(Status::NotRegistered, error); }
    bool change(Status to, QString *error)
    {
        if (m_refuse)
            *error = "refusé par le bureau";
        else
            m_status = to;
        return !m_refuse;
    }

    Status m_status = Status::NotRegistered;
    bool m_refuse = false;
};

const QString skipText = "Ignorer les copies venant des tableurs (préserve les tabulations)";
const QString updatesText = "Installer les mises à jour automatiquement";
const QString trayText = "Icône dans la barre de menus (au lieu du Dock)";
const QString loginText = "Ouvrir à la connexion";

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    FakeLoginItem *m_login = nullptr; // owned by m_app
    QStringList m_logged;

    AppDelegate &launch(LoginItem::Status login = LoginItem::Status::NotRegistered)
    {
        m_app = std::make_unique<AppDelegate>(*m_engine);
        auto item = std::make_unique<FakeLoginItem>();
        m_login = item.get();
        m_login->m_status = login;
        m_app->loginItem = std::move(item);
        m_app->terminate = [] {};
        m_app->log = [this](const QString &line) { m_logged.append(line); };
        m_app->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *m_app;
    }

    template<typename Widget = QCheckBox> Widget *find(const QString &text) const
    {
        for (Widget *widget : m_app->settingsView->findChildren<Widget *>()) {
            if (widget->property("text").toString() == text)
                return widget;
        }
        return nullptr;
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(store.fileName());
        store.setBool(TavoSettings::onboardedKey, true);
        m_logged.clear();
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
    }

    void cleanup()
    {
        m_app.reset();
        m_engine.reset();
    }

    void controlsSitWhereTheyBelong_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("spreadsheet") << skipText << "QCheckBox" << QPoint(40, 122);
        QTest::newRow("updates") << updatesText << "QCheckBox" << QPoint(40, 222);
        QTest::newRow("tray") << trayText << "QCheckBox" << QPoint(40, 250);
        QTest::newRow("login") << loginText << "QCheckBox" << QPoint(40, 278);
        QTest::newRow("update button") << "Rechercher des mises à jour…"
                                       << "QPushButton" << QPoint(24, 322);
        QTest::newRow("count") << "Aucun collage nettoyé pour l'instant"
                               << "TavoLabel" << QPoint(40, 154);
        QTest::newRow("version") << "OrvaneTavo v" ORVANE_VERSION << "TavoLabel" << QPoint(24, 420);
        QTest::newRow("studio") << "Développé par Orvane Labs,\nstudio suisse d'applications Mac."
                                << "TavoLabel" << QPoint(24, 438);
        QTest::newRow("site") << "orvanelabs.ch"
                              << "LinkButton" << QPoint(24, 470);
    }

    void controlsSitWhereTheyBelong()
    {
        QFETCH(QString, text);
        QFETCH(QString, kind);
        QFETCH(QPoint, origin);
        launch();
        QWidget *widget = find<QWidget>(text);
        QVERIFY2(widget && widget->inherits(qPrintable(kind)), qPrintable(text));
        QCOMPARE(widget->pos(), origin);
        // Fitted: the control keeps the size its content asks for.
        QCOMPARE(widget->size(), widget->sizeHint());
        if (auto *label = qobject_cast<TavoLabel *>(widget))
            QVERIFY(label->alignment() & Qt::AlignLeft);
    }

    // At an unusual font size the update button is wider: the report button moves along.
    void reportButtonFollowsTheUpdateButton()
    {
        const QFont original = QApplication::font();
        QFont font = original;
        font.setPixelSize(18);
        QApplication::setFont(font);
        launch();
        QApplication::setFont(original);
        auto *update = find<QPushButton>("Rechercher des mises à jour…");
        auto *report = find<QPushButton>("Signaler un problème…");
        QVERIFY(update && report);
        QCOMPARE(report->x(), update->x() + update->width() + 10);
        QCOMPARE(report->y(), 322);
    }

    void initialStates_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<bool>("loginEnabled");
        QTest::addColumn<QList<bool>>("checked"); // spreadsheet, updates, tray, login
        QTest::newRow("both update flags")
            << QVariantMap{{"OTSkipTabular", false}, {"UpdaterAutomaticChecks", true},
                   {"UpdaterAutomaticDownloads", true}, {"OTMenuBarMode", true}}
            << true << QList<bool>{false, true, true, true};
        QTest::newRow("downloads alone") << QVariantMap{{"UpdaterAutomaticDownloads", true}}
                                         << false << QList<bool>{true, false, false, false};
        // Also the defaults: spreadsheets skipped unless told otherwise.
        QTest::newRow("checks without downloads")
            << QVariantMap{{"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", false}}
            << false << QList<bool>{true, false, false, false};
    }

    void initialStates()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(bool, loginEnabled);
        QFETCH(QList<bool>, checked);
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setObject(it.key(), it.value());
        launch(loginEnabled ? LoginItem::Status::Enabled : LoginItem::Status::NotRegistered);
        const QList<bool> actual{find(skipText)->isChecked(), find(updatesText)->isChecked(),
            find(trayText)->isChecked(), find(loginText)->isChecked()};
        QCOMPARE(actual, checked);
    }

    // The gear and the back button switch the faces; the count is current whenever the settings
    // come into view, however it changed meanwhile.
    void gearAndBackSwitchFaces()
    {
        AppDelegate &app = launch();
        m_engine->setCleanedCount(5);
        QTest::mouseClick(app.mainView->gearButton, Qt::LeftButton);
        QVERIFY(app.settingsView->isVisible() && !app.mainView->isVisible());
        QCOMPARE(
            app.settingsView->statCountLabel->text(), "5 collages nettoyés depuis l'installation");
        QCOMPARE(
            app.settingsView->statCountLabel->size(), app.settingsView->statCountLabel->sizeHint());
        QTest::mouseClick(app.settingsView->backButton, Qt::LeftButton);
        QVERIFY(app.mainView->isVisible() && !app.settingsView->isVisible());
    }

    // The engine reads the switch afresh at each copy (its own tests show that), so the box only
    // has to write it.
    void spreadsheetBoxWritesTheSwitch()
    {
        launch();
        find(skipText)->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(false));
        find(skipText)->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(true));
    }

    void oneBoxDrivesBothUpdateFlags()
    {
        const auto &updater = launch().updaterController.updater();
        find(updatesText)->click();
        QVERIFY(updater.automaticallyChecksForUpdates());
        QVERIFY(updater.automaticallyDownloadsUpdates());
        find(updatesText)->click();
        QVERIFY(!updater.automaticallyChecksForUpdates());
        QVERIFY(!updater.automaticallyDownloadsUpdates());
    }

    void loginBoxRegistersAndSpringsBackOnFailure()
    {
        launch();
        QCheckBox *login = find(loginText);
        login->click();
        QCOMPARE(m_login->m_status, LoginItem::Status::Enabled);
        QVERIFY(login->isChecked());

        m_login->m_refuse = true;
        login->click();
        // Refused: one log line, and the box shows the registration as it really is.
        QCOMPARE(
            m_logged, QStringList{"OrvaneTavo: ouverture à la connexion: refusé par le bureau"});
        QVERIFY(login->isChecked());
    }

    void trayBoxSwitchesTheMode()
    {
        AppDelegate &app = launch();
        find(trayText)->click();
        QVERIFY(AppDelegate::menuBarMode());
        QVERIFY(app.statusController.isEnabled());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
        find(trayText)->click();
        QVERIFY(!AppDelegate::menuBarMode());
        QVERIFY(!app.statusController.isEnabled());
    }
};

QTEST_MAIN(TestSettingsView)
#include "TestSettingsView.moc"
