// The tray icon of the real binary on a private X server, in a real XEmbed tray (trayer): a left
// click turns cleaning off and on, a right click opens the menu, and a second launch hands over to
// the running copy, which shows its window.
#include "AppHome.h"

#include <QTest>

namespace {

// Windows of ours that are mapped: the tray icon, the menu while it is open, and the window.
int visibleWindows()
{
    const QByteArray ids = runTool("xdotool", {"search", "--onlyvisible", "--class", "orvanetavo"});
    return QString::fromUtf8(ids).split('\n', Qt::SkipEmptyParts).size();
}

// A click on the tray's first icon, in its top-left square; a right click again if a closing menu
// swallowed the first one. True once the icon has taken the click.
bool clickIcon(int button)
{
    const int before = visibleWindows();
    for (int attempt = 0; attempt < 3; ++attempt) {
        runTool("xdotool",
            {"mousemove", "40", "40", "mousemove", "12", "12", "click", QString::number(button)});
        if (button != 3 || QTest::qWaitFor([&] { return visibleWindows() > before; }, 2000))
            return true;
    }
    return false;
}

} // namespace

class TestTray : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    QProcess m_tray;
    QProcess m_app;

    QJsonValue enabled() const { return m_home.settings().value("OTEnabled"); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));
        m_tray.start("trayer",
            {"--edge", "top", "--align", "left", "--widthtype", "request", "--height", "24",
                "--SetDockType", "false", "--expand", "false"});
        QVERIFY(m_tray.waitForStarted());
        QTest::qWait(500);
        // No session bus: the icon goes to the XEmbed tray.
        QProcessEnvironment env = m_home.environment();
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindows() >= 1, 10000);
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&m_app, &m_tray}) {
            process->terminate();
            process->waitForFinished(5000);
        }
    }

    // Only the icon is shown: the window stays hidden in tray mode. The menu's first entry
    // toggles.
    void clicksOnTheIcon()
    {
        QCOMPARE(visibleWindows(), 1);
        for (const bool on : {false, true}) {
            clickIcon(1);
            QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(on), 5000);
        }
        QVERIFY(clickIcon(3));
        runTool("xdotool", {"key", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(false), 5000);
    }

    // A second launch hands over to the running copy and ends: still one icon, and the window,
    // a normal one only kept out of the task bar.
    void secondLaunchShowsTheWindow()
    {
        QProcess second;
        second.setProcessEnvironment(m_app.processEnvironment());
        second.start(ORVANETAVO_BINARY);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QCOMPARE(visibleWindows(), 2);
        const QByteArray props = runTool(
            "xprop", {"-id", appWindows().first(), "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE"});
        QVERIFY2(props.contains("_NET_WM_WINDOW_TYPE_NORMAL"), props.constData());
        QVERIFY2(props.contains("_NET_WM_STATE_SKIP_TASKBAR"), props.constData());
        QCOMPARE(m_app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "TestTray.moc"
