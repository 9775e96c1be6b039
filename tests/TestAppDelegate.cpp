#include "AppDelegate.h"
#include "FakePasteboard.h"
#include "MainWindow.h"
#include "Palette.h"
#include "RoundTavoButton.h"
#include "TavoEngine.h"
#include "TavoLabel.h"
#include "TavoSettings.h"

#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace PasteboardType;

class TestAppDelegate : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_delegate;
    QStringList m_steps;
    QStringList m_questions;
    int m_quits = 0;

    // Answers the onboarding question with the button of that title ("" closes it with Escape).
    void answerOnboardingWith(const QString &answer)
    {
        QTimer::singleShot(0, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            m_questions.append(box->text());
            m_steps.append("question");
            const auto buttons = box->buttons();
            QStringList titles;
            for (QAbstractButton *button : buttons)
                titles.append(button->text());
            QCOMPARE(titles, (QStringList{"Dans le Dock", "Dans la barre de menus"}));
            for (QAbstractButton *button : buttons) {
                if (button->text() == answer) {
                    button->click();
                    return;
                }
            }
            QTest::keyClick(box, Qt::Key_Escape);
        });
    }

    AppDelegate &launch(const QString &answer = "Dans le Dock")
    {
        m_delegate = std::make_unique<AppDelegate>(*m_engine);
        m_delegate->onLaunchStep = [this](const char *step) { m_steps.append(step); };
        m_delegate->terminate = [this] { ++m_quits; };
        m_delegate->setActivationPolicy(AppDelegate::menuBarMode()
                ? AppDelegate::ActivationPolicy::Accessory
                : AppDelegate::ActivationPolicy::Regular);
        answerOnboardingWith(answer);
        m_delegate->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *m_delegate;
    }

    // Everything the user sees of the switch, in one line.
    static QString look(const AppDelegate &app)
    {
        return QStringLiteral("%1|%2|%3|%4")
            .arg(app.tavoButton->isActiveState())
            .arg(app.tavoStatusLabel->text())
            .arg(app.tavoStatusLabel->textColor() == tavoSlate() ? "slate" : "secondary")
            .arg(app.statusController.isActive());
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(store.fileName());
        m_steps.clear();
        m_questions.clear();
        m_quits = 0;
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
    }

    void cleanup()
    {
        m_delegate.reset();
        m_engine.reset();
    }

    void launchRunsItsStepsInOrder()
    {
        launch();
        const QStringList expected{"CrashReporter.install", "buildMenu", "buildMainWindow",
            "onCleaned", "activate", "showOnboardingIfNeeded", "question", "refreshTavoUI",
            "syncWithServer", "pollTimer", "updateCheckInterval", "debugSettings"};
        QCOMPARE(m_steps, expected);
    }

    void freshInstallationAsksOnceAndShowsTheWindow()
    {
        AppDelegate &app = launch();
        QCOMPARE(m_questions, QStringList{"Bienvenue dans OrvaneTavo 📄"});
        QVERIFY(store.boolValue(TavoSettings::onboardedKey));
        QVERIFY(app.mainWindow->isVisible());
        QCOMPARE(app.mainWindow->content()->size(), QSize(430, 500));
        QVERIFY(app.mainView->isVisible());
        QVERIFY(!app.settingsView->isVisible());
        QVERIFY(!app.statusController.isEnabled());
        QVERIFY(app.tavoButton->isActiveState());
        QCOMPARE(app.statCountLabel->text(), "Aucun collage nettoyé pour l'instant");

        // A second launch does not ask again.
        m_delegate.reset();
        m_questions.clear();
        launch();
        QVERIFY(m_questions.isEmpty());
    }

    void onboardingAnswerPicksTheMode_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("menuBar");
        QTest::newRow("dock") << "Dans le Dock" << false;
        QTest::newRow("menu bar") << "Dans la barre de menus" << true;
        QTest::newRow("dismissed") << "" << false;
    }

    void onboardingAnswerPicksTheMode()
    {
        QFETCH(QString, answer);
        QFETCH(bool, menuBar);
        AppDelegate &app = launch(answer);
        QCoreApplication::processEvents();
        QVERIFY(store.contains(TavoSettings::menuBarModeKey));
        QCOMPARE(AppDelegate::menuBarMode(), menuBar);
        QCOMPARE(app.statusController.isEnabled(), menuBar);
        QCOMPARE(app.mainWindow->hasTaskBarEntry(), !menuBar);
        // Either way the window stays open in front of the user.
        QVERIFY(app.mainWindow->isVisible());
    }

    void onboardingIsStoredBeforeTheQuestionIsShown()
    {
        bool storedWhileAsking = false;
        QTimer::singleShot(
            0, this, [&] { storedWhileAsking = store.boolValue(TavoSettings::onboardedKey); });
        launch();
        QVERIFY(storedWhileAsking);
    }

    // With a tray the window stays hidden (the tray end-to-end test sees only the icon); here,
    // without any tray, the user must still get the window.
    void menuBarLaunchWithoutTrayOffersTheWindow()
    {
        store.setBool(TavoSettings::menuBarModeKey, true);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        QVERIFY(m_questions.isEmpty());
        QVERIFY(m_steps.contains("enableStatusItem"));
        QVERIFY(!m_steps.contains("activate"));
        QVERIFY(app.statusController.isEnabled());
        QVERIFY(app.mainWindow->isVisible());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
        // Closing it does not end the application.
        app.mainWindow->close();
        QCOMPARE(m_quits, 0);
        app.showMainWindow();
        QVERIFY(app.mainWindow->isVisible());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
    }

    void lastWindowRuleIsReadWhenClosing()
    {
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        store.setBool(TavoSettings::menuBarModeKey, true);
        app.mainWindow->close();
        QCOMPARE(m_quits, 0);
        QVERIFY(!app.applicationShouldTerminateAfterLastWindowClosed());

        store.setBool(TavoSettings::menuBarModeKey, false);
        app.showMainWindow();
        app.mainWindow->close();
        QCOMPARE(m_quits, 1);
    }

    void leavingMenuBarModeBringsTheWindowBack()
    {
        store.setBool(TavoSettings::menuBarModeKey, true);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        app.toggleMenuBarMode(false);
        QCOMPARE(store.object(TavoSettings::menuBarModeKey), QVariant(false));
        QVERIFY(!app.statusController.isEnabled());
        QTRY_VERIFY(app.mainWindow->isVisible());
        QVERIFY(app.mainWindow->hasTaskBarEntry());

        app.toggleMenuBarMode(true);
        QVERIFY(app.statusController.isEnabled());
        QVERIFY(app.mainWindow->isVisible());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
    }

    void debugVariableOpensTheSettings_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("opens");
        QTest::newRow("1") << QByteArray("1") << true;
        QTest::newRow("true") << QByteArray("true") << false;
        QTest::newRow("01") << QByteArray("01") << false;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("unset") << QByteArray() << false;
    }

    void debugVariableOpensTheSettings()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, opens);
        if (value.isNull())
            qunsetenv("ORVANE_DEBUG_SETTINGS");
        else
            qputenv("ORVANE_DEBUG_SETTINGS", value);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        qunsetenv("ORVANE_DEBUG_SETTINGS");
        QCOMPARE(app.settingsView->isVisible(), opens);
        QCOMPARE(app.mainView->isVisible(), !opens);
        app.showMain();
        QVERIFY(app.mainView->isVisible());
        QVERIFY(!app.settingsView->isVisible());
    }

    void periodicWorkIsScheduled()
    {
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        QVERIFY(app.updaterController.updater().isStarted());
        QCOMPARE(app.updaterController.updater().updateCheckInterval(), 3600);
        // The replies poll: once at launch (queued), then every hour.
        const auto timers = app.findChildren<QTimer *>(Qt::FindDirectChildrenOnly);
        QCOMPARE(timers.size(), 1);
        QVERIFY(timers.first()->isActive());
        QCOMPARE(timers.first()->interval(), 3600 * 1000);
        QVERIFY(!timers.first()->isSingleShot());
    }

    void statCountText_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0ll << "Aucun collage nettoyé pour l'instant";
        QTest::newRow("negative") << -3ll << "Aucun collage nettoyé pour l'instant";
        QTest::newRow("1") << 1ll << "1 collage nettoyé depuis l'installation";
        QTest::newRow("2") << 2ll << "2 collages nettoyés depuis l'installation";
        QTest::newRow("1000") << 1000ll << "1000 collages nettoyés depuis l'installation";
        QTest::newRow("beyond 32 bits")
            << 5000000000ll << "5000000000 collages nettoyés depuis l'installation";
    }

    void statCountText()
    {
        QFETCH(qint64, count);
        QFETCH(QString, text);
        QCOMPARE(AppDelegate::statCountText(count), text);
        m_engine->setCleanedCount(count);
        AppDelegate app(*m_engine);
        QCOMPARE(app.statCountText(), text);
    }

    void everyRouteTogglesTheSameWay_data()
    {
        QTest::addColumn<QString>("route");
        QTest::newRow("round button") << "button";
        QTest::newRow("tray click") << "tray";
        QTest::newRow("tray menu") << "menu";
    }

    void everyRouteTogglesTheSameWay()
    {
        QFETCH(QString, route);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        const QString on = look(app);
        QCOMPARE(on, "1|Texte brut : activé|slate|1");

        const auto toggle = [&] {
            if (route == "button") {
                QTest::mouseClick(app.tavoButton, Qt::LeftButton);
            } else if (route == "tray") {
                app.statusController.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
            } else {
                const std::unique_ptr<QMenu> menu = app.buildStatusMenu();
                menu->actions().first()->trigger();
            }
        };
        QCOMPARE(app.buildStatusMenu()->actions().first()->text(), "Désactiver le texte brut");
        toggle();
        QVERIFY(!m_engine->isEnabled());
        QVERIFY(!m_engine->isRunning());
        QCOMPARE(look(app), "0|Texte brut : désactivé|secondary|0");
        QCOMPARE(app.buildStatusMenu()->actions().first()->text(), "Activer le texte brut");
        toggle();
        QVERIFY(m_engine->isRunning());
        QCOMPARE(look(app), on);
    }

    void countLineFollowsEveryCleanedCopy()
    {
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        m_board->copy({html, string}, "texte");
        QTRY_COMPARE_WITH_TIMEOUT(
            app.statCountLabel->text(), QString("1 collage nettoyé depuis l'installation"), 2000);
    }
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
