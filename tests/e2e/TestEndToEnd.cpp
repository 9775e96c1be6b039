// The real orvanetavo binary against the real X11 clipboard of a private X server: other
// programs own the clipboard with several targets, as browsers do, and xclip reads back what a
// paste would get. Which copies are left alone is the engine's and the mapping's unit tests'.
#include "AppHome.h"

#include <QProcess>
#include <QTest>

#include <memory>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    QProcess m_app;
    qint64 m_expectedCount = 0;

    struct Owner : QProcess
    {
        ~Owner() override
        {
            kill();
            waitForFinished(2000);
        }
    };

    // Starts a program that owns the clipboard with these targets; null when it failed.
    std::unique_ptr<Owner> own(const QStringList &targets)
    {
        auto owner = std::make_unique<Owner>();
        owner->setProcessEnvironment(m_home.environment());
        owner->start(TAVO_CLIPBOARD_OWNER, targets);
        if (!owner->waitForReadyRead(5000) || owner->readLine().trimmed() != "owned")
            return nullptr;
        return owner;
    }

    // True when the owner lost the clipboard to someone else within the time given.
    static bool lostWithin(QProcess &owner, int ms)
    {
        return owner.waitForReadyRead(ms) && owner.readLine().startsWith("lost");
    }

    static QByteArray xclip(const QString &target)
    {
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
        if (!xclip.waitForFinished(5000) || xclip.exitCode() != 0)
            return QByteArray("<xclip failed>");
        return xclip.readAllStandardOutput();
    }

    static QStringList targets()
    {
        return QString::fromUtf8(xclip("TARGETS")).split('\n', Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_app.setProcessEnvironment(m_home.environment());
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());

        // The application only sees copies made after it connected to the display: copy a
        // probe until one is cleaned.
        bool ready = false;
        for (int attempt = 0; attempt < 15 && !ready; ++attempt) {
            auto probe = own({"text/html=<b>probe</b>", "text/plain=probe"});
            QVERIFY(probe);
            ready = lostWithin(*probe, 1600);
        }
        QVERIFY2(ready, "orvanetavo never cleaned a copy");
        m_expectedCount = 1;
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
    }

    void styledCopyArrivesBare()
    {
        const QString text = QString::fromUtf8("Titre\tcolonne\nLigne 2 — «guillemets» 日本語 📄\n");
        auto owner = own({"text/html=<h1 style=\"color:red\">Titre</h1><a href=x>lien</a>",
            "text/plain=" + text});
        QVERIFY(owner);
        QVERIFY(lostWithin(*owner, 2500));
        ++m_expectedCount;

        const QStringList offered = targets();
        const QStringList plainTargets{"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS",
            "text/plain", "text/plain;charset=utf-8", "UTF8_STRING", "STRING", "TEXT",
            "COMPOUND_TEXT"};
        QVERIFY2(offered.contains("UTF8_STRING"), qPrintable(offered.join(' ')));
        for (const QString &target : offered)
            QVERIFY2(plainTargets.contains(target), qPrintable(target));
        QCOMPARE(QString::fromUtf8(xclip("UTF8_STRING")), text);
        QCOMPARE(QString::fromUtf8(xclip("text/plain")), text);
    }

    void countAndSwitchesLiveInTheSettingsFile()
    {
        QCOMPARE(m_home.settings().value("OTCleanedCount").toInteger(), m_expectedCount);

        // A switch changed by another writer of the file is honoured at the next copy.
        QJsonObject json = m_home.settings();
        json.insert("OTSkipTabular", false);
        QVERIFY(m_home.writeSettings(json));

        auto owner = own(
            {"text/tab-separated-values=a\tb", "text/html=<table></table>", "text/plain=a\tb"});
        QVERIFY(owner);
        QVERIFY(lostWithin(*owner, 2500));
        ++m_expectedCount;
        QCOMPARE(xclip("UTF8_STRING"), QByteArray("a\tb"));
        QTRY_COMPARE(m_home.settings().value("OTCleanedCount").toInteger(), m_expectedCount);
        QCOMPARE(m_home.settings().value("OTSkipTabular"), QJsonValue(false));
        QCOMPARE(m_app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
