// The application as the user meets it, offscreen: the launch and its question, the two display
// modes, the window's two faces and their controls, the menus, and the screenshots of the window
// (light and dark, on and off) drawn to PNG files under the build folder (screenshots/).
#include "DarkPalette.h"
#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "kit/LinkButton.h"
#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/SymbolButton.h"
#include "kit/TavoLabel.h"
#include "platform/LoginItem.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/MainWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyleFactory>
#include <QTest>

using namespace PasteboardType;
using namespace Qt::StringLiterals;

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

// Each entry as "title [shortcut]", separators as "-".
QStringList titles(const QMenu *menu)
{
    QStringList result;
    for (const QAction *action : menu->actions()) {
        const QString keys = action->shortcut().toString();
        result.append(action->isSeparator() ? "-"
                : keys.isEmpty()            ? action->text()
                                            : action->text() + " [" + keys + "]");
    }
    return result;
}

// Everything the user sees of the switch, in one line.
QString look(const AppDelegate &app)
{
    return QStringLiteral("%1|%2|%3|%4")
        .arg(app.mainView->tavoButton->isActiveState())
        .arg(app.mainView->tavoStatusLabel->text())
        .arg(app.mainView->tavoStatusLabel->textColor() == tavoSlate() ? "slate" : "secondary")
        .arg(app.statusController.isActive());
}

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    FakeLoginItem *m_login = nullptr; // owned by m_app
    QStringList m_logged, m_questions;
    QString m_lookDuringQuestion;
    int m_quits = 0;
    QPalette m_light;

    // Answers the welcome question, when asked, with the button of that title ("" is Escape).
    AppDelegate &launch(const QString &answer = "Dans le Dock")
    {
        QTimer::singleShot(0, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            // Stored before asking, so a crash while the question is open never asks again.
            QVERIFY(store.boolValue(TavoSettings::onboardedKey));
            m_questions.append(box->text());
            m_lookDuringQuestion = look(*m_app).section('|', 0, 2);
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == answer)
                    return button->click();
            }
            QTest::keyClick(box, Qt::Key_Escape);
        });
        m_app = std::make_unique<AppDelegate>(*m_engine);
        auto login = std::make_unique<FakeLoginItem>();
        m_login = login.get();
        m_app->loginItem = std::move(login);
        m_app->terminate = [this] { ++m_quits; };
        m_app->log = [this](const QString &line) { m_logged.append(line); };
        m_app->setActivationPolicy(AppDelegate::menuBarMode()
                ? AppDelegate::ActivationPolicy::Accessory
                : AppDelegate::ActivationPolicy::Regular);
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

    QMenu *menu(int index) const { return m_app->mainMenu->actions().at(index)->menu(); }

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        m_light = QApplication::palette();
    }

    void init()
    {
        QFile::remove(store.fileName());
        store.setBool(TavoSettings::onboardedKey, true);
        m_questions.clear();
        m_logged.clear();
        m_quits = 0;
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
    }

    void cleanup()
    {
        m_app.reset();
        m_engine.reset();
    }

    void freshInstallationAsksOnceAndCounts()
    {
        QFile::remove(store.fileName());
        AppDelegate &app = launch();
        QCOMPARE(m_questions, QStringList{"Bienvenue dans OrvaneTavo 📄"});
        // Behind the question, the window already shows the stored state.
        QCOMPARE(m_lookDuringQuestion, "1|Texte brut : activé|slate");
        QCOMPARE(app.updaterController.updater().updateCheckInterval(), 3600);
        m_board->copy({html, string}, "texte");
        QTRY_COMPARE_WITH_TIMEOUT(app.mainView->statCountLabel->text(),
            QString("1 collage nettoyé depuis l'installation"), 2000);
        m_questions.clear();
        launch();
        QVERIFY(m_questions.isEmpty());
    }

    // Each row also sets the debug variable: only an exact "1" opens on the settings. Without
    // any tray here, a menu-bar launch must still offer the window.
    void launchShowsTheChosenMode_data()
    {
        QTest::addColumn<QVariant>("stored"); // the mode of an earlier launch, none when fresh
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("menuBar");
        QTest::addColumn<QByteArray>("debug");
        QTest::newRow("answered dock") << QVariant() << "Dans le Dock" << false << "true"_ba;
        QTest::newRow("answered tray") << QVariant() << "Dans la barre de menus" << true << "01"_ba;
        QTest::newRow("dismissed") << QVariant() << "" << false << ""_ba;
        QTest::newRow("dock launch") << QVariant(false) << "" << false << QByteArray();
        QTest::newRow("tray launch, debug") << QVariant(true) << "" << true << "1"_ba;
    }

    void launchShowsTheChosenMode()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, answer);
        QFETCH(bool, menuBar);
        QFETCH(QByteArray, debug);
        if (stored.isValid())
            store.setBool(TavoSettings::menuBarModeKey, stored.toBool());
        else
            QFile::remove(store.fileName());
        if (!debug.isNull())
            qputenv("ORVANE_DEBUG_SETTINGS", debug);
        AppDelegate &app = launch(answer);
        qunsetenv("ORVANE_DEBUG_SETTINGS");
        QCOMPARE(m_questions.size(), stored.isValid() ? 0 : 1);
        QVERIFY(store.contains(TavoSettings::menuBarModeKey));
        QCOMPARE(AppDelegate::menuBarMode(), menuBar);
        QCOMPARE(app.statusController.isEnabled(), menuBar);
        QCOMPARE(app.mainWindow->hasTaskBarEntry(), !menuBar);
        QCOMPARE(find(trayText)->isChecked(), menuBar);
        QVERIFY(app.mainWindow->isVisible());
        QCOMPARE(app.settingsView->isVisible(), debug == "1");
        QCOMPARE(app.mainView->isVisible(), debug != "1");
    }

    // The last-window rule is read at each close, so leaving the tray makes closing quit; the
    // settings box switches the mode both ways.
    void leavingTheTrayBringsTheWindowBack()
    {
        store.setBool(TavoSettings::menuBarModeKey, true);
        AppDelegate &app = launch();
        app.mainWindow->close();
        QCOMPARE(m_quits, 0);
        find(trayText)->click();
        QCOMPARE(store.object(TavoSettings::menuBarModeKey), QVariant(false));
        QVERIFY(!app.statusController.isEnabled());
        QTRY_VERIFY(app.mainWindow->isVisible());
        QVERIFY(app.mainWindow->hasTaskBarEntry());
        find(trayText)->click();
        QVERIFY(app.statusController.isEnabled());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
        app.toggleMenuBarMode(false);
        QTRY_VERIFY(app.mainWindow->isVisible());
        app.mainWindow->close();
        QTRY_COMPARE(m_quits, 1);
    }

    // Closing the main window ends the application only once no other window of ours is open:
    // the update window's download must not die with it. The quit key works there too.
    void quitsWithTheLastWindow()
    {
        AppDelegate &app = launch();
        app.updaterController.checkForUpdates();
        QWidget *updater = app.updaterController.updater().window();
        QVERIFY(updater && updater->isVisible());
        QApplication::setActiveWindow(updater);
        QVERIFY(QTest::qWaitForWindowActive(updater));
        QTest::keyClick(updater, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(m_quits, 1);
        app.mainWindow->close();
        QTest::qWait(50);
        QCOMPARE(m_quits, 1);
        updater->close();
        QTRY_COMPARE(m_quits, 2);
    }

    void statCountText_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0ll << "Aucun collage nettoyé pour l'instant";
        QTest::newRow("negative") << -3ll << "Aucun collage nettoyé pour l'instant";
        QTest::newRow("1") << 1ll << "1 collage nettoyé depuis l'installation";
        QTest::newRow("1000") << 1000ll << "1000 collages nettoyés depuis l'installation";
    }

    void statCountText()
    {
        QFETCH(qint64, count);
        QTEST(AppDelegate::statCountText(count), "text");
    }

    // The round button, the tray's click and the status menu's first entry toggle alike.
    void everySwitchTogglesTheSameWay_data()
    {
        QTest::addColumn<QString>("from");
        for (const char *from : {"button", "tray", "menu"})
            QTest::newRow(from) << QString(from);
    }

    void everySwitchTogglesTheSameWay()
    {
        QFETCH(QString, from);
        AppDelegate &app = launch();
        const auto toggle = [&] {
            if (from == "tray")
                return app.statusController.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
            if (from == "menu")
                return app.buildStatusMenu()->actions().first()->trigger();
            QTest::mouseClick(app.mainView->tavoButton, Qt::LeftButton);
        };
        QCOMPARE(look(app), "1|Texte brut : activé|slate|1");
        toggle();
        QVERIFY(!m_engine->isRunning());
        QCOMPARE(look(app), "0|Texte brut : désactivé|secondary|0");
        QCOMPARE(app.buildStatusMenu()->actions().first()->text(), "Activer le texte brut");
        toggle();
        QVERIFY(m_engine->isRunning());
        QCOMPARE(look(app), "1|Texte brut : activé|slate|1");
    }

    void menusAndWhereTheyLand()
    {
        AppDelegate &app = launch();
        QCOMPARE(app.mainWindow->menuBar(), app.mainMenu.data());
        QCOMPARE(app.mainMenu->actions().size(), 2);
        QCOMPARE(titles(menu(0)),
            (QStringList{"Rechercher des mises à jour…", "Signaler un problème…", "-",
                "Quitter OrvaneTavo [Ctrl+Q]"}));
        QCOMPARE(menu(1)->title(), "Édition");
        QCOMPARE(titles(menu(1)),
            (QStringList{"Annuler [Ctrl+Z]", "Rétablir [Ctrl+Shift+Z]", "-", "Couper [Ctrl+X]",
                "Copier [Ctrl+C]", "Coller [Ctrl+V]", "Tout sélectionner [Ctrl+A]"}));
        QCOMPARE(titles(app.buildStatusMenu().get()),
            (QStringList{"Désactiver le texte brut", "-", "Ouvrir OrvaneTavo…", "-",
                "Rechercher des mises à jour…", "Signaler un problème…", "-",
                "Quitter OrvaneTavo [Ctrl+Q]"}));
        // The window's faces keep their full size under the menu bar.
        QCOMPARE(app.mainView->size(), QSize(430, 500));

        // The edit entries act on the focused field.
        QLineEdit field(app.mainWindow);
        field.show();
        field.setFocus();
        QApplication::setActiveWindow(app.mainWindow);
        QTRY_COMPARE(QApplication::focusWidget(), &field);
        QTest::keyClicks(&field, "bonjour");
        const QList<QAction *> edit = menu(1)->actions();
        edit[6]->trigger();
        QCOMPARE(field.selectedText(), "bonjour");
        edit[3]->trigger();
        QCOMPARE(field.text(), "");
        edit[5]->trigger();
        QCOMPARE(field.text(), "bonjour");
        edit[0]->trigger();
        QCOMPARE(field.text(), "");

        menu(0)->actions().first()->trigger();
        QWidget *updater = app.updaterController.updater().window();
        QVERIFY(updater && updater->isVisible());
        updater->close();
        menu(0)->actions().last()->trigger();
        QCOMPARE(m_quits, 1);
    }

    // Fitted controls (their size is the one their content asks for), left-aligned labels.
    void settingsControlsSitWhereTheyBelong_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("spreadsheet") << skipText << "QCheckBox" << QPoint(40, 122);
        QTest::newRow("updates") << updatesText << "QCheckBox" << QPoint(40, 222);
        QTest::newRow("tray") << trayText << "QCheckBox" << QPoint(40, 250);
        QTest::newRow("login") << loginText << "QCheckBox" << QPoint(40, 278);
        QTest::newRow("update") << "Rechercher des mises à jour…"
                                << "QPushButton" << QPoint(24, 322);
        QTest::newRow("count") << "Aucun collage nettoyé pour l'instant"
                               << "TavoLabel" << QPoint(40, 154);
        QTest::newRow("version") << "OrvaneTavo v" ORVANE_VERSION << "TavoLabel" << QPoint(24, 420);
        QTest::newRow("studio") << "Développé par Orvane Labs,\nstudio suisse d'applications Mac."
                                << "TavoLabel" << QPoint(24, 438);
        QTest::newRow("site") << "orvanelabs.ch"
                              << "LinkButton" << QPoint(24, 470);
    }

    void settingsControlsSitWhereTheyBelong()
    {
        QFETCH(QString, text);
        QFETCH(QString, kind);
        QFETCH(QPoint, origin);
        launch();
        QWidget *widget = find<QWidget>(text);
        QVERIFY2(widget && widget->inherits(qPrintable(kind)), qPrintable(text));
        QCOMPARE(widget->pos(), origin);
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
        QCOMPARE(report->pos(), QPoint(update->x() + update->width() + 10, 322));
    }

    void settingsShowWhatIsStored_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<bool>("loginEnabled");
        QTest::addColumn<QList<bool>>("checked"); // spreadsheet, updates, login
        QTest::newRow("both update flags") << QVariantMap{{"OTSkipTabular", false},
            {"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", true}}
                                           << true << QList<bool>{false, true, true};
        // Also the defaults: spreadsheets skipped unless told otherwise.
        QTest::newRow("downloads alone") << QVariantMap{{"UpdaterAutomaticDownloads", true}}
                                         << false << QList<bool>{true, false, false};
        QTest::newRow("checks alone")
            << QVariantMap{{"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", false}}
            << false << QList<bool>{true, false, false};
    }

    void settingsShowWhatIsStored()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(bool, loginEnabled);
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setObject(it.key(), it.value());
        launch();
        m_login->m_status
            = loginEnabled ? LoginItem::Status::Enabled : LoginItem::Status::NotRegistered;
        // The gear shows the settings with the registration and the count as they are now.
        m_engine->setCleanedCount(5);
        QTest::mouseClick(m_app->mainView->gearButton, Qt::LeftButton);
        QVERIFY(m_app->settingsView->isVisible() && !m_app->mainView->isVisible());
        const QList<bool> actual{find(skipText)->isChecked(), find(updatesText)->isChecked(),
            find(loginText)->isChecked()};
        QTEST(actual, "checked");
        TavoLabel *count = m_app->settingsView->statCountLabel;
        QCOMPARE(count->text(), "5 collages nettoyés depuis l'installation");
        QCOMPARE(count->size(), count->sizeHint());
        QTest::mouseClick(m_app->settingsView->backButton, Qt::LeftButton);
        QVERIFY(m_app->mainView->isVisible() && !m_app->settingsView->isVisible());
    }

    void settingsBoxesWriteTheirSwitch()
    {
        const Updater &updater = launch().updaterController.updater();
        find(skipText)->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(false));
        find(skipText)->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(true));
        for (const bool on : {true, false}) {
            find(updatesText)->click();
            QCOMPARE(updater.automaticallyChecksForUpdates(), on);
            QCOMPARE(updater.automaticallyDownloadsUpdates(), on);
        }
        QCheckBox *login = find(loginText);
        login->click();
        QCOMPARE(m_login->m_status, LoginItem::Status::Enabled);
        // Refused: one log line, and the box shows the registration as it really is.
        m_login->m_refuse = true;
        login->click();
        QCOMPARE(
            m_logged, QStringList{"OrvaneTavo: ouverture à la connexion: refusé par le bureau"});
        QVERIFY(login->isChecked());
    }

    // The row's name is the file's: main-{light,dark}-{on,off}.png, settings-{light,dark}.png.
    void screenshots_data()
    {
        QTest::addColumn<bool>("settings");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("on");
        for (const bool dark : {false, true}) {
            const char *look = dark ? "dark" : "light";
            QTest::addRow("main-%s-on", look) << false << dark << true;
            QTest::addRow("main-%s-off", look) << false << dark << false;
            QTest::addRow("settings-%s", look) << true << dark << true;
        }
    }

    void screenshots()
    {
        QFETCH(bool, settings);
        QFETCH(bool, dark);
        QFETCH(bool, on);
        QApplication::setPalette(dark ? darkPalette() : m_light);
        const auto restore = qScopeGuard([this] { QApplication::setPalette(m_light); });
        m_engine->setCleanedCount(42);
        AppDelegate &app = launch();
        if (!on)
            app.togglePressed();
        settings ? app.showSettings() : app.showMain();
        QCoreApplication::processEvents();
        const QPixmap shot = app.mainWindow->content()->grab();
        QCOMPARE(shot.deviceIndependentSize(), QSizeF(430, 500));
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        QVERIFY(shot.save(QString(SCREENSHOT_DIR) + '/' + QTest::currentDataTag() + ".png"));
        if (settings) {
            // The link follows the palette: mauve, light or dark.
            QCOMPARE(app.settingsView->findChild<LinkButton *>()->resolvedTextColor(),
                dark ? QColor::fromRgbF(0.686f, 0.573f, 0.992f)
                     : QColor::fromRgbF(0.486f, 0.227f, 0.929f));
            return;
        }
        // The status line paints in the colour of the state, resolved for the palette, and the
        // disc's upper half is slate when on, grey when off.
        QCOMPARE(app.mainView->tavoStatusLabel->resolvedTextColor(),
            (on ? tavoSlate() : secondaryLabelColor()).resolve(QApplication::palette()));
        const QPoint disc
            = app.mainView->tavoButton->mapTo(app.mainWindow->content(), QPoint(65, 30));
        const QColor sample = shot.toImage().pixelColor(disc * shot.devicePixelRatio());
        QCOMPARE(sample.blue() > sample.red() + 15, on);
        QVERIFY2(on || qAbs(sample.blue() - sample.red()) < 15, qPrintable(sample.name()));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
