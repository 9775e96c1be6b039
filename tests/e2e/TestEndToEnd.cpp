// The real orvanetavo binary against the real X11 clipboard of a private X server: other
// programs own the clipboard with several targets, as browsers do, and xclip reads back what a
// paste would get. Which copies are left alone is the engine's and the mapping's unit tests'.
// It lives in the tray of a StatusNotifierItem panel, whose menu restores a cleaned copy and
// quits. X11 keeps a copy in its owner, so on quit a keeper process (the same binary,
// serve-only) takes the last clean copy over until the next copy. Without a session bus, its
// icon goes to a real XEmbed tray (trayer) instead.
#include "AppHome.h"
#include "StatusNotifierPanel.h"

#include <QProcess>
#include <QTest>

#include <unistd.h>

namespace {

// Windows of ours that are mapped: the tray icon, the menu while it is open, and the window.
int visibleWindows()
{
    return appWindows({"--class", "orvanetavo"}).size();
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

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    StatusNotifierPanel m_panel;
    QProcess m_app, m_tray;

    // True when a program that owns the clipboard with these targets loses it (to our clean
    // copy) within the time given.
    bool copyReplacedWithin(const QStringList &targets, int ms)
    {
        QProcess owner;
        owner.start(TAVO_CLIPBOARD_OWNER, targets);
        const bool owned = owner.waitForReadyRead(5000) && owner.readLine().trimmed() == "owned";
        const bool lost
            = owned && owner.waitForReadyRead(ms) && owner.readLine().startsWith("lost");
        owner.kill();
        owner.waitForFinished(2000);
        return lost;
    }

    static QByteArray xclip(const QString &target)
    {
        return runTool("xclip", {"-selection", "clipboard", "-o", "-t", target});
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));
        m_app.setProcessEnvironment(
            m_home.environment({"DBUS_SESSION_BUS_ADDRESS=" + m_panel.start()}));
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
        // The tray icon's registration waits for the panel's answer, which needs our event loop.
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel.items.isEmpty(), 20000);
        // The application only sees copies made after it connected to the display: copy a
        // probe until one is cleaned.
        bool ready = false;
        for (int attempt = 0; attempt < 15 && !ready; ++attempt)
            ready = copyReplacedWithin({"text/html=<b>probe</b>", "text/plain=probe"}, 1600);
        QVERIFY2(ready, "orvanetavo never cleaned a copy");
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&m_app, &m_tray}) {
            process->terminate();
            process->waitForFinished(5000);
        }
    }

    void styledCopiesArriveBareAndCounted()
    {
        const QString text = QString::fromUtf8("Titre\tcolonne\nLigne 2 — «guillemets» 日本語 📄\n");
        QVERIFY(
            copyReplacedWithin({"text/html=<h1 style=\"color:red\">Titre</h1><a href=x>lien</a>",
                                   "text/plain=" + text},
                2500));
        QCOMPARE(xclip("TARGETS"),
            "TARGETS\nMULTIPLE\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\ntext/"
            "plain\nTEXT\n");
        QCOMPARE(QString::fromUtf8(xclip("UTF8_STRING")), text);
        QTRY_COMPARE(m_home.settings().value("OTCleanedCount").toInteger(), 2);
    }

    // Put back as it was copied, once; then left alone.
    void restoresTheLastCleanedCopyFromTheTrayMenu()
    {
        const QString restore = QString::fromUtf8("Rétablir la mise en forme");
        const QByteArray html = QString::fromUtf8("<b>été</b> 日本語").toUtf8();
        const QByteArray text = QString::fromUtf8("été 日本語").toUtf8();
        QVERIFY(copyReplacedWithin({"text/html=" + html, "text/plain=" + text}, 2500));
        QVERIFY(m_panel.choose(restore));
        QTRY_COMPARE(xclip("text/html"), html);
        QCOMPARE(xclip("UTF8_STRING"), text);
        QTRY_VERIFY(!m_panel.entry(restore).enabled);
        QTest::qWait(1000);
        QCOMPARE(xclip("text/html"), html);
    }

    // Whatever else it is given, the keeper says why on one line of stderr, ends with status 2
    // and leaves everything as it was, the user's own file above all: it deletes what it reads.
    void keeperRefusesAnyOtherFile_data()
    {
        // Shell that makes $F from the user's private file $U; $K is a folder made as ours.
        QTest::addColumn<QString>("make");
        QTest::newRow("a file in the home") << "F=$U";
        QTest::newRow("folder named otherwise") << "K=$(mktemp -d); F=$K/t; cp $U $F";
        QTest::newRow("our name elsewhere") << "K=$(mktemp -dp ~ $P); F=$K/t; cp $U $F";
        QTest::newRow("folder open to others") << "chmod 755 $K; cp $U $F";
        QTest::newRow("file open to others") << "cp $U $F; chmod 644 $F";
        QTest::newRow("link to the user's file") << "ln -s $U $F";
        QTest::newRow("second name of the user's file") << "ln $U $F";
        QTest::newRow("FIFO") << "mkfifo -m 600 $F";
        QTest::newRow("another user's file") << "cp $U $F; chown 65534 $F";
    }

    void keeperRefusesAnyOtherFile()
    {
        QFETCH(QString, make);
        if (make.contains("chown") && ::getuid() != 0)
            QSKIP("needs root to give a file to another user");
        QProcess shell;
        shell.setProcessEnvironment(m_home.environment());
        const QString script
            = "U=~/anyfile; printf secret >$U; chmod 600 $U; P=orvanetavo-keep-XXXXXX; "
              "O=$(mktemp -dt $P); K=$O; F=$K/text; "
            + make
            + "; echo $F; "
              "\"$0\" --keep-clipboard $F 0; echo $?; [ -e $F -o -L $F ] && cat $U; "
              "rm -rf $O $K";
        shell.start("sh", {"-c", script, ORVANETAVO_BINARY});
        QVERIFY(shell.waitForFinished(10000));
        const QList<QByteArray> out = shell.readAllStandardOutput().split('\n');
        const QByteArray said = shell.readAllStandardError();
        QVERIFY2(said.count('\n') == 1 && said.contains(out[0] + ":"), said.constData());
        QCOMPARE(out.mid(1), QList<QByteArray>({"2", "secret"}));
    }

    // Quit from the menu: the keeper serves the last clean copy, and goes at the next copy.
    void lastCleanCopyOutlivesTheApplication()
    {
        QVERIFY(copyReplacedWithin({"text/html=<b>gras</b>", "text/plain=dernier"}, 2500));
        QVERIFY(m_panel.choose("Quitter OrvaneTavo"));
        QVERIFY(m_app.waitForFinished(10000) && m_app.exitStatus() == QProcess::NormalExit);
        QCOMPARE(std::pair(m_home.keepers().size(), xclip("UTF8_STRING")),
            std::pair(qsizetype(1), QByteArray("dernier")));
        QProcess next;
        next.start(TAVO_CLIPBOARD_OWNER, {"text/plain=suivant"});
        QVERIFY(next.waitForReadyRead(5000));
        QTRY_COMPARE_WITH_TIMEOUT(std::pair(m_home.keepers().size(), xclip("UTF8_STRING")),
            std::pair(qsizetype(0), QByteArray("suivant")), 5000);
        next.kill();
        next.waitForFinished();
    }

    // In the XEmbed tray only the icon shows: a left click turns cleaning off and on, the menu's
    // first entry toggles. A second launch hands over to the running copy and ends: still one
    // icon, and the window, a normal one only kept out of the task bar.
    void xembedTrayIconAndSecondLaunch()
    {
        m_tray.start("trayer",
            {"--edge", "top", "--align", "left", "--widthtype", "request", "--height", "24",
                "--SetDockType", "false", "--expand", "false"});
        QVERIFY(m_tray.waitForStarted());
        QTest::qWait(500);
        m_app.setProcessEnvironment(m_home.environment({"DBUS_SESSION_BUS_ADDRESS"}));
        m_app.start(ORVANETAVO_BINARY);
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), 1, 10000);
        const auto enabled = [&] { return m_home.settings().value("OTEnabled"); };
        for (const bool on : {false, true}) {
            clickIcon(1);
            QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(on), 5000);
        }
        QVERIFY(clickIcon(3));
        runTool("xdotool", {"key", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(false), 5000);

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

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
