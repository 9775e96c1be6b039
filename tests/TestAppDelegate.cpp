#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/TavoLabel.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/MainWindow.h"

#include <QFile>
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
    QStringList m_questions;
    QString m_lookDuringQuestion;
    int m_quits = 0;

    // Answers the onboarding question with the button of that title ("" closes it with Escape).
    AppDelegate &launch(const QString &answer = "Dans le Dock")
    {
        QTimer::singleShot(0, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            // Stored before asking, so a crash while the question is open never asks again.
            QVERIFY(store.boolValue(TavoSettings::onboardedKey));
            m_questions.append(box->text());
            // Behind the question, the window already shows the stored state.
            m_lookDuringQuestion = look(*m_delegate).section('|', 0, 2);
            QCOMPARE(box->buttons().size(), 2);
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == answer)
                    return button->click();
            }
            QTest::keyClick(box, Qt::Key_Escape);
        });
        m_delegate = std::make_unique<AppDelegate>(*m_engine);
        m_delegate->terminate = [this] { ++m_quits; };
        m_delegate->setActivationPolicy(AppDelegate::menuBarMode()
                ? AppDelegate::ActivationPolicy::Accessory
                : AppDelegate::ActivationPolicy::Regular);
        m_delegate->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *m_delegate;
    }

    // Everything the user sees of the switch, in one line.
    static QString look(const AppDelegate &app)
    {
        return QStringLiteral("%1|%2|%3|%4")
            .arg(app.mainView->tavoButton->isActiveState())
            .arg(app.mainView->tavoStatusLabel->text())
            .arg(app.mainView->tavoStatusLabel->textColor() == tavoSlate() ? "slate" : "secondary")
            .arg(app.statusController.isActive());
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(store.fileName());
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

    void freshInstallationLaunchesAsksOnceAndCounts()
    {
        AppDelegate &app = launch();
        QCOMPARE(m_questions, QStringList{"Bienvenue dans OrvaneTavo 📄"});
        QCOMPARE(m_lookDuringQuestion, "1|Texte brut : activé|slate");
        QCOMPARE(app.updaterController.updater().updateCheckInterval(), 3600);
        m_board->copy({html, string}, "texte");
        QTRY_COMPARE_WITH_TIMEOUT(app.mainView->statCountLabel->text(),
            QString("1 collage nettoyé depuis l'installation"), 2000);

        m_questions.clear();
        launch();
        QVERIFY(m_questions.isEmpty());
    }

    // Each row also sets the debug variable: only an exact "1" opens on the settings.
    void launchShowsTheChosenMode_data()
    {
        QTest::addColumn<QVariant>("stored"); // the mode of an earlier launch, none when fresh
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("menuBar");
        QTest::addColumn<QByteArray>("debug");
        QTest::newRow("answered dock, debug true")
            << QVariant() << "Dans le Dock" << false << QByteArray("true");
        QTest::newRow("answered menu bar, debug 01")
            << QVariant() << "Dans la barre de menus" << true << QByteArray("01");
        QTest::newRow("dismissed, debug empty") << QVariant() << "" << false << QByteArray("");
        QTest::newRow("dock launch") << QVariant(false) << "" << false << QByteArray();
        // Without any tray here, a menu-bar launch must still offer the window.
        QTest::newRow("menu-bar launch, debug 1")
            << QVariant(true) << "" << true << QByteArray("1");
    }

    void launchShowsTheChosenMode()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, answer);
        QFETCH(bool, menuBar);
        QFETCH(QByteArray, debug);
        if (stored.isValid()) {
            store.setBool(TavoSettings::onboardedKey, true);
            store.setBool(TavoSettings::menuBarModeKey, stored.toBool());
        }
        if (!debug.isNull())
            qputenv("ORVANE_DEBUG_SETTINGS", debug);
        AppDelegate &app = launch(answer);
        qunsetenv("ORVANE_DEBUG_SETTINGS");
        QCOMPARE(m_questions.size(), stored.isValid() ? 0 : 1);
        QVERIFY(store.contains(TavoSettings::menuBarModeKey));
        QCOMPARE(AppDelegate::menuBarMode(), menuBar);
        QCOMPARE(app.statusController.isEnabled(), menuBar);
        QCOMPARE(app.mainWindow->hasTaskBarEntry(), !menuBar);
        QVERIFY(app.mainWindow->isVisible());
        QCOMPARE(app.settingsView->isVisible(), debug == "1");
        QCOMPARE(app.mainView->isVisible(), debug != "1");
    }

    // The last-window rule is read at each close, so leaving the menu bar makes closing quit.
    void leavingMenuBarModeBringsTheWindowBack()
    {
        store.setBool(TavoSettings::menuBarModeKey, true);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        app.mainWindow->close();
        QCOMPARE(m_quits, 0);
        app.toggleMenuBarMode(false);
        QCOMPARE(store.object(TavoSettings::menuBarModeKey), QVariant(false));
        QVERIFY(!app.statusController.isEnabled());
        QTRY_VERIFY(app.mainWindow->isVisible());
        QVERIFY(app.mainWindow->hasTaskBarEntry());
        app.mainWindow->close();
        QTRY_COMPARE(m_quits, 1);
    }

    // In the task bar, closing the main window ends the application only once no other window
    // of ours is open: the update window's download or restart offer must not die with it.
    void quitsWhenTheLastWindowCloses()
    {
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        app.updaterController.checkForUpdates();
        QWidget *updater = app.updaterController.updater().window();
        QVERIFY(updater && updater->isVisible());
        app.mainWindow->close();
        QTest::qWait(50);
        QCOMPARE(m_quits, 0);
        updater->close();
        QTRY_COMPARE(m_quits, 1);
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
    }

    void statCountText()
    {
        QFETCH(qint64, count);
        QTEST(AppDelegate::statCountText(count), "text");
    }

    void buttonAndTrayToggleTheSameWay_data()
    {
        QTest::addColumn<bool>("fromTray");
        QTest::newRow("round button") << false;
        QTest::newRow("tray click") << true;
    }

    void buttonAndTrayToggleTheSameWay()
    {
        QFETCH(bool, fromTray);
        store.setBool(TavoSettings::onboardedKey, true);
        AppDelegate &app = launch();
        const auto toggle = [&] {
            if (fromTray)
                return app.statusController.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
            QTest::mouseClick(app.mainView->tavoButton, Qt::LeftButton);
        };
        QCOMPARE(look(app), "1|Texte brut : activé|slate|1");
        toggle();
        QVERIFY(!m_engine->isEnabled());
        QVERIFY(!m_engine->isRunning());
        QCOMPARE(look(app), "0|Texte brut : désactivé|secondary|0");
        toggle();
        QVERIFY(m_engine->isRunning());
        QCOMPARE(look(app), "1|Texte brut : activé|slate|1");
    }
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
