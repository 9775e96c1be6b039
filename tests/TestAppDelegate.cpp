// The application as the user meets it, offscreen: the launch and its question, the two display
// modes, the window's two faces and their controls, the menus, and the screenshots of the window
// (light and dark, on and off) drawn to PNG files under the build folder (screenshots/).
#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
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
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>

namespace {

// The desktop's login registration, as a test sets it.
struct FakeLoginItem : LoginItem
{
    Status status() const override { return on ? Status::Enabled : Status::NotRegistered; }
    bool registerItem(QString *error) override { return change(true, error); }
    bool unregisterItem(QString *error) override { return change(false, error); }
    bool change(bool to, QString *error)
    {
        *error = refuse ? "refusé par le bureau" : "";
        on = refuse ? on : to;
        return !refuse;
    }
    bool on = false, refuse = false;
};

const QString skipText = "Ignorer les copies venant des tableurs (préserve les tabulations)";
const QString updatesText = "Installer les mises à jour automatiquement";
const QString trayText = "Icône dans la barre de menus (au lieu du Dock)";
const QString loginText = "Ouvrir à la connexion";

// Each entry as "title [shortcut]", separators as "-", joined by commas.
QString titles(const QMenu *menu)
{
    QStringList result;
    for (const QAction *action : menu->actions()) {
        const QString keys = action->shortcut().toString();
        result.append(action->isSeparator()
                ? "-"
                : action->text() + (keys.isEmpty() ? "" : " [" + keys + "]"));
    }
    return result.join(',');
}

// Everything the user sees of the switch, in one line.
QString look(const AppDelegate &app)
{
    const TavoLabel *status = app.mainView->tavoStatusLabel;
    return QStringLiteral("%1|%2|%3|%4")
        .arg(app.mainView->tavoButton->isActiveState())
        .arg(status->text(), status->textColor() == tavoSlate() ? "slate" : "secondary")
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

    // A fresh installation (`onboarded` false) or one that answered the question already, with
    // these settings stored.
    void reset(bool onboarded = true, const QVariantMap &stored = {})
    {
        m_app.reset();
        QFile::remove(store.fileName());
        if (onboarded)
            store.setBool(TavoSettings::onboardedKey, true);
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setObject(it.key(), it.value());
        m_questions.clear();
        m_quits = 0;
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
    }

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
            for (QAbstractButton *button : box->buttons())
                if (button->text() == answer)
                    return button->click();
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
        for (Widget *widget : m_app->settingsView->findChildren<Widget *>())
            if (widget->property("text").toString() == text)
                return widget;
        return nullptr;
    }

    QMenu *menu(int index) const { return m_app->mainMenu->actions().at(index)->menu(); }

    // The tray mode as stored, as the icon and the window's task-bar entry show it, and the box.
    void compareMode(bool tray)
    {
        QCOMPARE(store.object(TavoSettings::menuBarModeKey), QVariant(tray));
        QCOMPARE(m_app->statusController.isEnabled(), tray);
        QTRY_VERIFY(m_app->mainWindow->isVisible());
        QCOMPARE(m_app->mainWindow->hasTaskBarEntry(), !tray);
        QCOMPARE(find(trayText)->isChecked(), tray);
    }

private Q_SLOTS:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }
    void init() { reset(); }
    void cleanup() { m_app.reset(); }

    void freshInstallationAsksOnceAndCounts()
    {
        reset(false);
        AppDelegate &app = launch();
        QCOMPARE(m_questions, QStringList{"Bienvenue dans OrvaneTavo 📄"});
        // Behind the question, the window already shows the stored state.
        QCOMPARE(m_lookDuringQuestion, "1|Texte brut : activé|slate");
        QCOMPARE(app.updaterController.updater().updateCheckInterval(), 3600);
        m_board->copy({PasteboardType::html, PasteboardType::string}, "texte");
        QTRY_COMPARE_WITH_TIMEOUT(app.mainView->statCountLabel->text(),
            QString("1 collage nettoyé depuis l'installation"), 2000);
        launch();
        QCOMPARE(m_questions.size(), 1);
        for (const auto &[count, text] : std::initializer_list<std::pair<int, QString>>{
                 {0, "Aucun collage nettoyé pour l'instant"},
                 {-3, "Aucun collage nettoyé pour l'instant"},
                 {1000, "1000 collages nettoyés depuis l'installation"}})
            QCOMPARE(AppDelegate::statCountText(count), text);
    }

    // Each row also sets the debug variable: only an exact "1" opens on the settings. Without
    // any tray here, a tray launch must still offer the window. The settings box then switches
    // the mode, and the last-window rule is read at each close: closing quits only out of the
    // tray.
    void launchShowsTheChosenMode()
    {
        // clang-format off
        const struct { int stored; const char *answer, *debug; bool tray; } rows[] = { // stored: -1 when fresh
            {-1, "Dans le Dock", "true", false}, {-1, "Dans la barre de menus", "01", true},
            {-1, "", "", false}, {0, "", nullptr, false}, {1, "", "1", true}};
        // clang-format on
        for (const auto &row : rows) {
            reset(row.stored >= 0,
                row.stored >= 0 ? QVariantMap{{TavoSettings::menuBarModeKey, bool(row.stored)}}
                                : QVariantMap{});
            if (row.debug)
                qputenv("ORVANE_DEBUG_SETTINGS", row.debug);
            AppDelegate &app = launch(row.answer);
            qunsetenv("ORVANE_DEBUG_SETTINGS");
            QCOMPARE(m_questions.size(), row.stored < 0 ? 1 : 0);
            compareMode(row.tray);
            QCOMPARE(app.settingsView->isVisible(), row.debug && QByteArray(row.debug) == "1");
            find(trayText)->click();
            QCoreApplication::processEvents();
            compareMode(!row.tray);
            app.mainWindow->close();
            QTest::qWait(50);
            QTRY_COMPARE(m_quits, int(row.tray));
        }
    }

    // The round button, the tray's click and the status menu's first entry toggle alike.
    void everySwitchTogglesTheSameWay()
    {
        for (const QString from : {"button", "tray", "menu"}) {
            reset();
            AppDelegate &app = launch();
            for (const bool on : {false, true}) {
                if (from == "tray")
                    app.statusController.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
                else if (from == "menu")
                    app.buildStatusMenu()->actions().first()->trigger();
                else
                    QTest::mouseClick(app.mainView->tavoButton, Qt::LeftButton);
                QCOMPARE(m_engine->isRunning(), on);
                QCOMPARE(look(app),
                    on ? "1|Texte brut : activé|slate|1" : "0|Texte brut : désactivé|secondary|0");
                QCOMPARE(app.buildStatusMenu()->actions().first()->text(),
                    on ? "Désactiver le texte brut" : "Activer le texte brut");
            }
        }
    }

    void menusAndWhereTheyLand()
    {
        AppDelegate &app = launch();
        QCOMPARE(app.mainWindow->menuBar(), app.mainMenu.data());
        QCOMPARE(app.mainMenu->actions().size(), 2);
        // clang-format off
        const QString menus[] = {"Rechercher des mises à jour…,Signaler un problème…,-,Quitter OrvaneTavo [Ctrl+Q]",
            "Annuler [Ctrl+Z],Rétablir [Ctrl+Shift+Z],-,Couper [Ctrl+X],Copier [Ctrl+C],Coller [Ctrl+V],Tout sélectionner [Ctrl+A]",
            "Désactiver le texte brut,-,Ouvrir OrvaneTavo…,-,Rechercher des mises à jour…,Signaler un problème…,-,Quitter OrvaneTavo [Ctrl+Q]"};
        // clang-format on
        QCOMPARE(
            QStringList({titles(menu(0)), titles(menu(1)), titles(app.buildStatusMenu().get())}),
            QStringList(std::begin(menus), std::end(menus)));
        QCOMPARE(menu(1)->title(), "Édition");
        // The window's faces keep their full size under the menu bar.
        QCOMPARE(app.mainView->size(), QSize(430, 500));

        // The edit entries act on the focused field: select all, cut, paste, undo.
        QLineEdit field(app.mainWindow);
        field.show();
        field.setFocus();
        QApplication::setActiveWindow(app.mainWindow);
        QTRY_COMPARE(QApplication::focusWidget(), &field);
        QTest::keyClicks(&field, "bonjour");
        QStringList seen;
        for (const int entry : {6, 3, 5, 0}) {
            menu(1)->actions().at(entry)->trigger();
            seen.append(field.text() + "/" + field.selectedText());
        }
        QCOMPARE(seen.join(' '), "bonjour/bonjour / bonjour/ /");

        // Closing the main window ends the application only once no other window of ours is
        // open: the update window's download must not die with it. The quit key works there too.
        menu(0)->actions().first()->trigger();
        QWidget *updater = app.updaterController.updater().window();
        QTRY_VERIFY(updater->isVisible());
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

    // The gear shows the settings with the registration and the count as they are now; the
    // boxes show what is stored (also the defaults: spreadsheets skipped unless told otherwise).
    // At an unusual font size the update button is wider: the report button moves along.
    void settingsShowWhatIsStored()
    {
        // clang-format off
        const struct { QVariantMap stored; bool login; QList<bool> checked; int pixelSize; } rows[] = { // checked: spreadsheet, updates, login
            {{{"OTSkipTabular", false}, {"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", true}}, true, {false, true, true}, 0},
            {{{"UpdaterAutomaticDownloads", true}}, false, {true, false, false}, 18},
            {{{"UpdaterAutomaticChecks", true}}, false, {true, false, false}, 0}};
        // clang-format on
        const QFont original = QApplication::font();
        for (const auto &row : rows) {
            reset(true, row.stored);
            QFont font = original;
            if (row.pixelSize)
                font.setPixelSize(row.pixelSize);
            QApplication::setFont(font);
            AppDelegate &app = launch();
            QApplication::setFont(original);
            m_login->on = row.login;
            m_engine->setCleanedCount(5);
            QTest::mouseClick(app.mainView->gearButton, Qt::LeftButton);
            QVERIFY(app.settingsView->isVisible() && !app.mainView->isVisible());
            QCOMPARE((QList<bool>{find(skipText)->isChecked(), find(updatesText)->isChecked(),
                         find(loginText)->isChecked()}),
                row.checked);
            TavoLabel *count = app.settingsView->statCountLabel;
            QCOMPARE(count->text(), "5 collages nettoyés depuis l'installation");
            QCOMPARE(count->size(), count->sizeHint());
            auto *update = find<QPushButton>("Rechercher des mises à jour…");
            QCOMPARE(find<QPushButton>("Signaler un problème…")->pos(),
                QPoint(update->geometry().right() + 11, 322));
            QTest::mouseClick(app.settingsView->backButton, Qt::LeftButton);
            QVERIFY(app.mainView->isVisible() && !app.settingsView->isVisible());
        }
    }

    // The update box drives both flags; a refused login registration is logged once and the
    // box shows the registration as it really is.
    void settingsBoxesWriteTheirSwitch()
    {
        const Updater &updater = launch().updaterController.updater();
        for (const bool on : {false, true}) {
            find(skipText)->click();
            QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(on));
            find(updatesText)->click();
            QCOMPARE(
                updater.automaticallyChecksForUpdates() + updater.automaticallyDownloadsUpdates(),
                on ? 0 : 2);
        }
        find(loginText)->click();
        QVERIFY(m_login->on);
        m_login->refuse = true;
        find(loginText)->click();
        QCOMPARE(
            m_logged, QStringList{"OrvaneTavo: ouverture à la connexion: refusé par le bureau"});
        QVERIFY(find(loginText)->isChecked());
    }

    // The file names: main-{light,dark}-{on,off}.png, settings-{light,dark}.png.
    void screenshots()
    {
        const QPalette light = QApplication::palette();
        QPalette dark;
        const QColor text(236, 236, 236);
        // clang-format off
        for (const auto &[role, color] : std::initializer_list<std::pair<QPalette::ColorRole, QColor>>{
                 {QPalette::Window, QColor(40, 40, 42)}, {QPalette::WindowText, text}, {QPalette::Base, QColor(30, 30, 30)},
                 {QPalette::Text, text}, {QPalette::Button, QColor(55, 55, 58)}, {QPalette::ButtonText, text},
                 {QPalette::PlaceholderText, QColor(236, 236, 236, 110)}})
            dark.setColor(role, color);
        // clang-format on
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        for (const QString name : {"main-light-on", "main-light-off", "settings-light",
                 "main-dark-on", "main-dark-off", "settings-dark"}) {
            const bool on = !name.endsWith("off");
            QApplication::setPalette(name.contains("dark") ? dark : light);
            reset();
            m_engine->setCleanedCount(42);
            AppDelegate &app = launch();
            if (!on)
                app.togglePressed();
            name.startsWith("settings") ? app.showSettings() : app.showMain();
            QCoreApplication::processEvents();
            const QPixmap shot = app.mainWindow->content()->grab();
            QCOMPARE(shot.deviceIndependentSize(), QSizeF(430, 500));
            QVERIFY(shot.save(QString(SCREENSHOT_DIR) + '/' + name + ".png"));
            // The disc's upper half is slate when on, grey when off.
            if (name.startsWith("settings"))
                continue;
            const QPoint disc
                = app.mainView->tavoButton->mapTo(app.mainWindow->content(), QPoint(65, 30));
            const QColor sample = shot.toImage().pixelColor(disc * shot.devicePixelRatio());
            QVERIFY2(
                on ? sample.blue() > sample.red() + 15 : qAbs(sample.blue() - sample.red()) < 15,
                qPrintable(sample.name()));
        }
        QApplication::setPalette(light);
    }
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
