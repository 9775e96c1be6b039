// The tray icon in a real XEmbed tray (trayer) on a private X server: a left click on the icon
// turns cleaning off and on, a right click opens the menu.
#include "AppHome.h"

#include <QProcess>
#include <QTest>

class TestTray : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    QProcess m_tray;
    QProcess m_app;

    // Windows of ours that are mapped: the tray icon, and the menu while it is open.
    static int visibleWindows()
    {
        const QByteArray ids
            = runTool("xdotool", {"search", "--onlyvisible", "--class", "orvanetavo"});
        return QString::fromUtf8(ids).split('\n', Qt::SkipEmptyParts).size();
    }

    // The tray sits in the top-left corner; its first icon is in the first square.
    static void clickIcon(int button)
    {
        runTool("xdotool", {"mousemove", "12", "12", "click", QString::number(button)});
    }

    // A right click, again if a closing menu swallowed the first one. True once it is open.
    static bool openMenu()
    {
        const int before = visibleWindows();
        for (int attempt = 0; attempt < 3; ++attempt) {
            runTool("xdotool", {"mousemove", "40", "40"});
            clickIcon(3);
            if (QTest::qWaitFor([&] { return visibleWindows() > before; }, 2000))
                return true;
        }
        return false;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));

        m_tray.start("trayer",
            {"--edge", "top", "--align", "left", "--widthtype", "request", "--height", "24",
                "--SetDockType", "false", "--expand", "false"});
        QVERIFY(m_tray.waitForStarted());
        QTest::qWait(500);

        QProcessEnvironment env = m_home.environment();
        // No session bus here: the icon goes to the XEmbed tray.
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindows() >= 1, 10000);
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
        m_tray.terminate();
        m_tray.waitForFinished(5000);
    }

    void leftClickTogglesCleaning()
    {
        // Only the icon is shown: the window stays hidden in tray mode.
        QCOMPARE(visibleWindows(), 1);
        // A middle click is no click of ours.
        clickIcon(2);
        QTest::qWait(500);
        QCOMPARE(m_home.settings().value("OTEnabled"), QJsonValue::Undefined);
        clickIcon(1);
        QTRY_COMPARE_WITH_TIMEOUT(m_home.settings().value("OTEnabled"), QJsonValue(false), 5000);
        clickIcon(1);
        QTRY_COMPARE_WITH_TIMEOUT(m_home.settings().value("OTEnabled"), QJsonValue(true), 5000);
    }

    void rightClickOpensTheMenu()
    {
        const int before = visibleWindows();
        QVERIFY(openMenu());
        runTool("xdotool", {"key", "Escape"});
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), before, 5000);
        // The menu did not toggle anything.
        QCOMPARE(m_home.settings().value("OTEnabled"), QJsonValue(true));
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    void menuEntryTogglesCleaning()
    {
        const int before = visibleWindows();
        QVERIFY(openMenu());
        // The first entry, "Désactiver le texte brut".
        runTool("xdotool", {"key", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(m_home.settings().value("OTEnabled"), QJsonValue(false), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), before, 5000);
    }

    void openEntryShowsTheWindow()
    {
        QVERIFY(openMenu());
        // "Ouvrir OrvaneTavo…", past the first entry and the separator.
        runTool("xdotool", {"key", "Down", "Down", "Return"});
        QByteArray window;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(window = runTool("xdotool", {"search", "--onlyvisible", "--name", "^OrvaneTavo$"}))
                 .isEmpty(),
            5000);
        // A normal window, only kept out of the task bar.
        const QByteArray props = runTool("xprop",
            {"-id", QString::fromUtf8(window.trimmed()), "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE"});
        QVERIFY2(props.contains("_NET_WM_WINDOW_TYPE_NORMAL"), props.constData());
        QVERIFY2(props.contains("_NET_WM_STATE_SKIP_TASKBAR"), props.constData());
    }

    // A second launch hands over to the running copy and ends: still one icon and one window.
    void secondLaunchHandsOver()
    {
        const int before = visibleWindows();
        QProcess second;
        second.setProcessEnvironment(m_app.processEnvironment());
        second.start(ORVANETAVO_BINARY);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTest::qWait(500);
        QCOMPARE(visibleWindows(), before);
        QCOMPARE(m_app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "TestTray.moc"
