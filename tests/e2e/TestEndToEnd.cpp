// The real orvanetavo binary against the real X11 clipboard of a private X server: other
// programs own the clipboard with several targets, as browsers do, and xclip reads back what a
// paste would get. Which copies are left alone is the engine's and the mapping's unit tests'.
// It lives in the tray of a StatusNotifierItem panel, whose menu restores a cleaned copy.
#include "AppHome.h"
#include "StatusNotifierPanel.h"

#include <QProcess>
#include <QTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    StatusNotifierPanel m_panel;
    QProcess m_app;

    // True when a program that owns the clipboard with these targets loses it (to our clean
    // copy) within the time given.
    bool copyReplacedWithin(const QStringList &targets, int ms)
    {
        QProcess owner;
        owner.setProcessEnvironment(m_home.environment());
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
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
        if (!xclip.waitForFinished(5000) || xclip.exitCode() != 0)
            return QByteArray("<xclip failed>");
        return xclip.readAllStandardOutput();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));
        QProcessEnvironment env = m_home.environment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_panel.start());
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
        // The application only sees copies made after it connected to the display: copy a
        // probe until one is cleaned.
        bool ready = false;
        for (int attempt = 0; attempt < 15 && !ready; ++attempt)
            ready = copyReplacedWithin({"text/html=<b>probe</b>", "text/plain=probe"}, 1600);
        QVERIFY2(ready, "orvanetavo never cleaned a copy");
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
    }

    void styledCopiesArriveBareAndCounted()
    {
        const QString text = QString::fromUtf8("Titre\tcolonne\nLigne 2 — «guillemets» 日本語 📄\n");
        QVERIFY(
            copyReplacedWithin({"text/html=<h1 style=\"color:red\">Titre</h1><a href=x>lien</a>",
                                   "text/plain=" + text},
                2500));
        const QStringList offered
            = QString::fromUtf8(xclip("TARGETS")).split('\n', Qt::SkipEmptyParts);
        const QStringList plainTargets{"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS",
            "text/plain", "text/plain;charset=utf-8", "UTF8_STRING", "STRING", "TEXT",
            "COMPOUND_TEXT"};
        QVERIFY2(offered.contains("UTF8_STRING"), qPrintable(offered.join(' ')));
        for (const QString &target : offered)
            QVERIFY2(plainTargets.contains(target), qPrintable(target));
        QCOMPARE(QString::fromUtf8(xclip("UTF8_STRING")), text);
        QTRY_COMPARE(m_home.settings().value("OTCleanedCount").toInteger(), 2);

        // A switch changed by another writer of the file is honoured at the next copy, and kept.
        QJsonObject json = m_home.settings();
        json.insert("OTSkipTabular", false);
        QVERIFY(m_home.writeSettings(json));
        QVERIFY(copyReplacedWithin(
            {"text/tab-separated-values=a\tb", "text/html=<table></table>", "text/plain=a\tb"},
            2500));
        QCOMPARE(xclip("UTF8_STRING"), QByteArray("a\tb"));
        QTRY_COMPARE(m_home.settings().value("OTCleanedCount").toInteger(), 3);
        QCOMPARE(m_home.settings().value("OTSkipTabular"), QJsonValue(false));
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    // Put back as it was copied, once and not counted; then left alone until the next copy.
    void restoresTheLastCleanedCopyFromTheTrayMenu()
    {
        const QString restore = QString::fromUtf8("Rétablir la mise en forme");
        const QByteArray html = QString::fromUtf8("<b>été</b> 日本語").toUtf8();
        const QByteArray text = QString::fromUtf8("été 日本語").toUtf8();
        const QStringList styled{"text/html=" + html, "text/plain=" + text};
        const QJsonValue count = m_home.settings().value("OTCleanedCount");
        QVERIFY(copyReplacedWithin(styled, 2500));
        QTRY_VERIFY(m_panel.entry(restore).enabled);
        // Right under the toggle entry.
        QCOMPARE(m_panel.menu().value(1).label, restore);
        m_panel.choose(m_panel.entry(restore));
        QTRY_COMPARE(xclip("text/html"), html);
        QCOMPARE(xclip("UTF8_STRING"), text);
        QTRY_VERIFY(!m_panel.entry(restore).enabled);
        QTest::qWait(1000);
        QCOMPARE(xclip("text/html"), html);
        QCOMPARE(m_home.settings().value("OTCleanedCount").toInteger(), count.toInteger() + 1);

        // Cleaned again, then someone copies bare text: nothing left to restore.
        QVERIFY(copyReplacedWithin(styled, 2500));
        QTRY_VERIFY(m_panel.entry(restore).enabled);
        QVERIFY(!copyReplacedWithin({"text/plain=nu"}, 300));
        QTRY_VERIFY(!m_panel.entry(restore).enabled);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
