// The application as the user meets it, offscreen: the launch and its question, the two display
// modes, the window's two faces and their controls, the menus, the tray icon, and the screenshots
// of the window (light and dark, on and off) drawn to PNG files under the build folder
// (screenshots/).
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
#include <QDBusConnection>
#include <QDir>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
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

// Each entry as "title [shortcut]", separators as "-", joined by commas.
QString titles(const QMenu *menu)
{
    QStringList result;
    for (const QAction *action : menu->actions()) {
        const QString keys = action->shortcut().toString();
        result.append(action->isSeparator()
                ? "-"
                : action->text() + (keys.isEmpty() ? "" : " [" + keys + "]")
                    + (action->isEnabled() ? "" : " [off]"));
    }
    return result.join(',');
}

QAction *entry(const QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions())
        if (action->text() == title)
            return action;
    return nullptr;
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

// The glyph's ink: its most opaque pixel, clear of the anti-aliased edge.
QString ink(const QIcon &icon)
{
    const QImage image = icon.pixmap(22).toImage();
    QColor ink(Qt::transparent);
    for (int i = 0; i < image.width() * image.height(); ++i)
        if (image.pixelColor(i % image.width(), i / image.width()).alpha() > ink.alpha())
            ink = image.pixelColor(i % image.width(), i / image.width());
    return ink.name();
}

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    QProcess m_bus;
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    FakeLoginItem *m_login = nullptr; // owned by m_app
    QStringList m_logged, m_looksBehindQuestion;
    int m_quits = 0;
    const QVariantMap m_inTray{{TavoSettings::menuBarModeKey, true}};

    // Launches with these settings stored: a fresh installation that answers the welcome
    // question with the button of that title ("" is Escape), or, without an answer, one that
    // answered it already.
    AppDelegate &launch(const QVariantMap &stored = {}, const char *answer = nullptr)
    {
        m_app.reset();
        QFile::remove(store.fileName());
        if (!answer)
            store.setBool(TavoSettings::onboardedKey, true);
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setObject(it.key(), it.value());
        m_quits = 0;
        m_looksBehindQuestion.clear();
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
        QTimer::singleShot(0, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            // Stored before asking, so a crash while the question is open never asks again.
            QVERIFY(store.boolValue(TavoSettings::onboardedKey));
            m_looksBehindQuestion.append(look(*m_app).section('|', 0, 2));
            for (QAbstractButton *button : box->buttons())
                if (button->text() == QString(answer))
                    return button->click();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        m_app = std::make_unique<AppDelegate>(*m_engine);
        m_app->loginItem.reset(m_login = new FakeLoginItem);
        m_app->terminate = [this] { ++m_quits; };
        m_app->log = [this](const QString &line) { m_logged.append(line); };
        m_app->setActivationPolicy(AppDelegate::menuBarMode()
                ? AppDelegate::ActivationPolicy::Accessory
                : AppDelegate::ActivationPolicy::Regular);
        m_app->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *m_app;
    }

    SettingsView &settings() const { return *m_app->settingsView; }
    QMenu *menu(int index) const { return m_app->mainMenu->actions().at(index)->menu(); }

    // The tray mode as stored, as the icon and the window's task-bar entry show it, and the box.
    void compareMode(bool tray)
    {
        QCOMPARE(store.object(TavoSettings::menuBarModeKey), QVariant(tray));
        QCOMPARE(m_app->statusController.isEnabled(), tray);
        QTRY_VERIFY(m_app->mainWindow->isVisible());
        QCOMPARE(m_app->mainWindow->hasTaskBarEntry(), !tray);
        QCOMPARE(settings().menuBarCheckbox->isChecked(), tray);
    }

private Q_SLOTS:
    // A session bus of the test's own, so that the desktop the tests run in never decides which
    // tray protocol the icon takes; it goes with the test.
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setAttribute(Qt::AA_Use96Dpi, true);
        // Qt's tray looks for an X11-only signal on every icon it makes; offscreen that is noise.
        QLoggingCategory::setFilterRules("qt.core.qobject.connect.warning=false");
        m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(5000)) { }
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
    }
    void cleanupTestCase() { m_bus.terminate(), m_bus.waitForFinished(5000); }

    // A fresh installation asks once, over a window that already shows the stored state; the
    // boxes show what is stored (also the defaults: spreadsheets skipped, no automatic updates,
    // which take both flags). Each row also sets the debug variable: only an exact "1" opens on
    // the settings. Without any tray here, a tray launch must still offer the window; the status
    // menu's entry brings it back in either mode. The settings box then switches the mode, and
    // the last-window rule is read at each close: closing quits only out of the tray.
    void launchShowsTheChosenMode()
    {
        // clang-format off
        const struct { QVariantMap stored; const char *answer, *debug; bool tray; QList<bool> checked; } rows[] = {
            // answer: null once answered; checked: spreadsheets skipped, automatic updates
            {{}, "Dans le Dock", "true", false, {true, false}},
            {{{"UpdaterAutomaticDownloads", true}}, "Dans la barre de menus", "01", true, {true, false}},
            {{{"UpdaterAutomaticChecks", true}}, "", "", false, {true, false}},
            {{{TavoSettings::menuBarModeKey, false}, {"OTSkipTabular", false}, {"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", true}}, nullptr, "", false, {false, true}},
            {m_inTray, nullptr, "1", true, {true, false}}};
        // clang-format on
        for (const auto &row : rows) {
            qputenv("ORVANE_DEBUG_SETTINGS", row.debug);
            AppDelegate &app = launch(row.stored, row.answer);
            qunsetenv("ORVANE_DEBUG_SETTINGS");
            QCOMPARE(m_looksBehindQuestion,
                row.answer ? QStringList{"1|Texte brut : activé|slate"} : QStringList());
            compareMode(row.tray);
            QCOMPARE(app.settingsView->isVisible(), QByteArray(row.debug) == "1");
            QCOMPARE((QList<bool>{settings().skipTabularCheckbox->isChecked(),
                         settings().autoUpdatesCheckbox->isChecked()}),
                row.checked);
            app.mainWindow->hide();
            entry(app.buildStatusMenu().get(), "Ouvrir OrvaneTavo…")->trigger();
            QVERIFY(app.mainWindow->isVisible());
            settings().menuBarCheckbox->click();
            compareMode(!row.tray);
            app.mainWindow->close();
            QTest::qWait(50);
            QTRY_COMPARE(m_quits, int(row.tray));
        }
    }

    // The status menu names what its first entry will do, and ends as the application menu
    // does. That entry and the round button toggle alike (as the tray's click does, below).
    void menusAndSwitches()
    {
        AppDelegate &app = launch();
        QCOMPARE(app.mainWindow->menuBar(), app.mainMenu.data());
        const QString common = "Rechercher des mises à jour…,Signaler un problème…,";
        const QString restore = "Rétablir la mise en forme",
                      quit = ",-,Quitter OrvaneTavo [Ctrl+Q]";
        QCOMPARE(titles(menu(0)), common + restore + " [off]" + quit);
        QCOMPARE(titles(app.buildStatusMenu().get()),
            "Désactiver le texte brut," + restore + " [off],-,Ouvrir OrvaneTavo…,-,"
                + common.chopped(1) + quit);
        for (const bool fromMenu : {false, true})
            for (const bool on : {false, true}) {
                fromMenu ? app.buildStatusMenu()->actions().first()->trigger()
                         : QTest::mouseClick(app.mainView->tavoButton, Qt::LeftButton);
                QCOMPARE(m_engine->isRunning(), on);
                QCOMPARE(look(app),
                    on ? "1|Texte brut : activé|slate|1" : "0|Texte brut : désactivé|secondary|0");
            }
        // The count follows each cleaning. Restoring is offered once a copy was cleaned, and only
        // until it is done.
        for (const int none : {0, -3})
            QCOMPARE(AppDelegate::statCountText(none), "Aucun collage nettoyé pour l'instant");
        m_board->copy({PasteboardType::html, PasteboardType::string}, "texte",
            {{"text/html", "<b>texte</b>"}});
        QTRY_VERIFY(entry(menu(0), restore)->isEnabled());
        QCOMPARE(app.mainView->statCountLabel->text(), "1 collage nettoyé depuis l'installation");
        entry(app.buildStatusMenu().get(), restore)->trigger();
        QTRY_VERIFY(!entry(menu(0), restore)->isEnabled());

        // The edit entries act on the focused field.
        QLineEdit field(app.mainWindow);
        field.show();
        field.setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), &field);
        QTest::keyClicks(&field, "bonjour");
        QStringList seen;
        for (const QString title : {"Tout sélectionner", "Couper", "Coller", "Annuler"}) {
            entry(menu(1), title)->trigger();
            seen.append(field.text() + "/" + field.selectedText());
        }
        QCOMPARE(seen.join(' '), "bonjour/bonjour / bonjour/ /");

        // Closing the main window ends the application only once no other window of ours is
        // open: the update window's download must not die with it. The quit key works there too.
        entry(menu(0), "Rechercher des mises à jour…")->trigger();
        QWidget *updater = app.updaterController.updater().window();
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

    // The gear shows the settings with the registration and the count as they are now, and the
    // arrow goes back. The update box drives both flags, and a refused login registration is
    // logged once, the box showing the registration as it really is.
    void settingsShowNowAndWriteThrough()
    {
        AppDelegate &app = launch();
        m_login->on = true;
        m_engine->setCleanedCount(1000);
        QTest::mouseClick(app.mainView->gearButton, Qt::LeftButton);
        QVERIFY(settings().isVisible() && !app.mainView->isVisible());
        QVERIFY(settings().loginCheckbox->isChecked());
        const TavoLabel *count = settings().statCountLabel;
        QCOMPARE(count->text(), "1000 collages nettoyés depuis l'installation");
        QCOMPARE(count->size(), count->sizeHint());
        QTest::mouseClick(settings().backButton, Qt::LeftButton);
        QVERIFY(app.mainView->isVisible() && !settings().isVisible());
        const Updater &updater = app.updaterController.updater();
        for (const bool on : {false, true}) {
            settings().skipTabularCheckbox->click();
            QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(on));
            settings().autoUpdatesCheckbox->click();
            QCOMPARE(
                updater.automaticallyChecksForUpdates() + updater.automaticallyDownloadsUpdates(),
                on ? 0 : 2);
        }
        settings().loginCheckbox->click();
        QVERIFY(!m_login->on);
        m_login->refuse = true;
        settings().loginCheckbox->click();
        QCOMPARE(m_logged.join('\n'), "OrvaneTavo: ouverture à la connexion: refusé par le bureau");
        QVERIFY(!settings().loginCheckbox->isChecked());
    }

    // Light and dark: main-{light,dark}-{on,off}.png, settings-{light,dark}.png.
    void screenshots()
    {
        const QPalette light = QApplication::palette();
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        for (const QString theme : {"light", "dark"}) {
            QApplication::setPalette(
                theme == "light" ? light : QPalette(QColor(55, 55, 58), QColor(40, 40, 42)));
            AppDelegate &app = launch({{TavoSettings::cleanedCountKey, 42}});
            for (const QString face : {"main-%1-on", "main-%1-off", "settings-%1"}) {
                if (face.endsWith("off"))
                    app.togglePressed();
                face.startsWith("settings") ? app.showSettings() : app.showMain();
                QCoreApplication::processEvents();
                const QPixmap shot = app.mainWindow->content()->grab();
                QCOMPARE(shot.deviceIndependentSize(), QSizeF(430, 500));
                QVERIFY(shot.save(QString(SCREENSHOT_DIR) + '/' + face.arg(theme) + ".png"));
            }
        }
        QApplication::setPalette(light);
    }

    // In tray mode a left click (a double click is two of them) toggles; a right or Ctrl click
    // opens the status menu, which goes once it closes, nothing staying attached for a later
    // click to open; a middle click does nothing. Through the icon's own signal where it can
    // carry the click.
    void trayClicks()
    {
        using enum QSystemTrayIcon::ActivationReason;
        // clang-format off
        const struct { QSystemTrayIcon::ActivationReason reason; Qt::KeyboardModifier modifier; const char *action; } rows[] = {
            {Trigger, Qt::NoModifier, "toggle"}, {Trigger, Qt::ControlModifier, "menu"}, {Trigger, Qt::ShiftModifier, "toggle"},
            {Context, Qt::NoModifier, "menu"}, {DoubleClick, Qt::NoModifier, "toggle"}, {MiddleClick, Qt::NoModifier, ""}};
        // clang-format on
        for (const auto &row : rows) {
            StatusItemController &tray = launch(m_inTray).statusController;
            auto *icon = const_cast<QSystemTrayIcon *>(tray.trayIcon());
            if (row.modifier == Qt::NoModifier)
                Q_EMIT icon->activated(row.reason);
            else
                tray.handleClick(row.reason, row.modifier);
            QCoreApplication::processEvents(); // the icon's signal arrives queued
            const QPointer<QWidget> menu = QApplication::activePopupWidget();
            QCOMPARE(QString(TavoSettings::isEnabled() ? "" : "toggle") + (menu ? "menu" : ""),
                row.action);
            if (menu) {
                menu->hide();
                QTRY_VERIFY(menu.isNull());
                QCOMPARE(icon->contextMenu(), nullptr);
                tray.enable(nullptr);
                tray.handleClick(row.reason, row.modifier);
                QCOMPARE(QApplication::activePopupWidget(), nullptr);
            }
        }
    }

    // Last: from here on, icons go over D-Bus. On in a slate that is the same in light and dark
    // trays, off in the desktop's text colour. Each state's icon is drawn once: the tray caches
    // what it paints under the icon's identity, so a new drawing at every cleaning grows memory
    // without end. The desktop draws the menu attached to a StatusNotifierItem itself: the icon
    // keeps the status menu there, rebuilt when the state changes (and only then). Shown again
    // (a mode switch), the icon stays where the desktop put it; taken down, its menu goes.
    void trayIconShowsTheState()
    {
        QVERIFY(QDBusConnection::sessionBus().registerService("org.kde.StatusNotifierWatcher"));
        AppDelegate &app = launch(m_inTray);
        const QPointer<const QSystemTrayIcon> icon = app.statusController.trayIcon();
        const QPointer<QMenu> attached = icon->contextMenu();
        app.refreshTavoUI();
        QCOMPARE(icon->contextMenu(), attached.data());
        app.applyDisplayMode();
        QCOMPARE(app.statusController.trayIcon(), icon.data());
        const qint64 on = icon->icon().cacheKey();
        const QString text = QApplication::palette().color(QPalette::WindowText).name();
        for (const bool active : {false, true, false, true}) {
            app.statusController.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
            QCOMPARE(icon->toolTip(), active ? "Texte brut activé" : "Texte brut désactivé");
            QCOMPARE(ink(icon->icon()), active ? "#64748b" : text);
            QCOMPARE(icon->icon().cacheKey() == on, active);
            QCOMPARE(icon->contextMenu()->actions().first()->text(),
                active ? "Désactiver le texte brut" : "Activer le texte brut");
        }
        QTRY_VERIFY(attached.isNull());
        // A new palette redraws the off icon in its text colour.
        app.togglePressed();
        const QPalette original = QApplication::palette();
        QApplication::setPalette(QPalette(Qt::red, Qt::black)); // white text
        QCOMPARE(ink(icon->icon()), "#ffffff");
        QApplication::setPalette(original);
        const QPointer<QMenu> last = icon->contextMenu();
        app.statusController.disable();
        QTRY_VERIFY(last.isNull());
    }
};

QTEST_MAIN(TestAppDelegate)

#include "TestAppDelegate.moc"
