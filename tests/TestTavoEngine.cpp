#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "settings/TavoSettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace PasteboardType;
using Text = std::optional<QString>;

class TestTavoEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QFile::remove(TavoSettings::defaults().fileName()); }

    void cleansOnlyStyledCopies_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<QString>("twist");
        QTest::addColumn<bool>("cleaned");
        // clang-format off
        QTest::newRow("html") << QStringList{html, string} << "" << true;
        QTest::newRow("rtf after the string") << QStringList{string, rtf} << "" << true;
        QTest::newRow("rtfd") << QStringList{rtfd, string} << "" << true;
        QTest::newRow("flat rtfd among others") << QStringList{"org.example.private", flatRtfd, string} << "" << true;
        QTest::newRow("html with file url") << QStringList{html, string, fileUrl} << "" << false;
        QTest::newRow("html with tiff") << QStringList{html, tiff, string} << "" << false;
        QTest::newRow("rtf with png") << QStringList{rtf, string, png} << "" << false;
        QTest::newRow("bare text") << QStringList{string} << "" << false;
        QTest::newRow("rich without a string") << QStringList{html} << "no string" << false;
        QTest::newRow("rich with an empty string") << QStringList{html, string} << "empty string" << false;
        // A write that does not take is not counted, nor tried again.
        QTest::newRow("failed write") << QStringList{html, string} << "failing writes" << false;
        // Spreadsheet markers match in any case.
        for (const char *marker : {"TEXT/TAB-SEPARATED-VALUES", "com.microsoft.Excel.sheet", "text/CSV"})
            QTest::newRow(marker) << QStringList{html, marker, string} << "tabular" << false;
        // A copy made while off is never cleaned, nor one read while someone copies again: that
        // would put older text over the newer copy. (Switching off during the read is tested on
        // the clipboard thread below.) Written straight to the store, the switch takes effect at
        // the next change.
        for (const char *twist : {"engine off", "store off", "copy while reading"})
            QTest::newRow(twist) << QStringList{html, string} << twist << false;
        // clang-format on
    }

    void cleansOnlyStyledCopies()
    {
        QFETCH(QStringList, types);
        QFETCH(QString, twist);
        QFETCH(bool, cleaned);
        const bool copyMeanwhile = twist == "copy while reading";
        Text text = QString::fromUtf8("c1\tc2\r\nΕλληνικά 日本語\n  📄 é\u0301  ");
        if (twist.endsWith(" string"))
            text = twist == "empty string" ? Text("") : Text();
        FakePasteboard board;
        board.failWrites = twist == "failing writes";
        TavoEngine engine(board);
        const auto setEnabled = [&](bool on) {
            twist == "store off" ? TavoSettings::setEnabled(on) : engine.setEnabled(on);
        };
        if (twist.endsWith(" off")) {
            setEnabled(false);
            // An engine created while the stored switch is off does not run.
            QVERIFY(!TavoEngine(board).isRunning());
        }
        int callbacks = 0;
        engine.onCleaned = [&] { ++callbacks; };
        if (copyMeanwhile)
            board.whileReading = [&] { board.copy(types, "nouveau"); };
        board.copy(types, text);
        engine.tick();
        board.whileReading = {};
        QCOMPARE(board.types(), cleaned ? QStringList{string} : types);
        QCOMPARE(board.string(string), copyMeanwhile ? Text("nouveau") : text);
        QCOMPARE(QList({board.writes, int(engine.cleanedCount()), callbacks}),
            QList({int(cleaned), int(cleaned), 0}));
        // The callback runs after the tick, from the event loop.
        QCoreApplication::processEvents();
        QCOMPARE(callbacks, int(cleaned));
        // The change (or the engine's own write) is consumed: it is never looked at again, not
        // even once switched back on. A newer copy made during the read is.
        const int typeReads = board.typeReads;
        setEnabled(true);
        engine.tick();
        QCOMPARE(board.typeReads - typeReads, int(copyMeanwhile));
        QCOMPARE(engine.cleanedCount(), int(cleaned || copyMeanwhile));
        if (twist == "tabular" || twist.endsWith(" off")) {
            // With that switch off a spreadsheet copy is cleaned like any other; switched back
            // on, the next copy is cleaned.
            TavoSettings::setSkipTabular(false);
            board.copy(types, text);
            engine.tick();
            QCOMPARE(engine.cleanedCount(), 1);
        }
    }

    void restoresTheLastCleanedCopyOnce_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<qsizetype>("htmlBytes");
        QTest::addColumn<bool>("restored");
        // The text weighs 6 bytes as held, the RTF 9: this HTML brings the copy to the bound.
        const qsizetype atBound = TavoEngine::maxKeptBytes - 6 - 9;
        QTest::newRow("restored") << "" << qsizetype(20) << true;
        QTest::newRow("at the bound") << "" << atBound << true;
        QTest::newRow("over the bound") << "" << atBound + 1 << false;
        QTest::newRow("after someone copied") << "copy" << qsizetype(20) << false;
        QTest::newRow("after switching off and on") << "off" << qsizetype(20) << false;
    }

    void restoresTheLastCleanedCopyOnce()
    {
        QFETCH(QString, meanwhile);
        QFETCH(qsizetype, htmlBytes);
        QFETCH(bool, restored);
        FakePasteboard board;
        TavoEngine engine(board);
        int changes = 0;
        engine.onRestorableChanged = [&] { ++changes; };
        const Pasteboard::Formats original{
            {"text/html", QByteArray(htmlBytes, 'h')}, {"application/rtf", "{\\rtf1 x}"}};
        board.copy({html, rtf, string}, "été", original + Pasteboard::Formats{{"image/png", "p"}});
        engine.tick();
        // A copy not looked at yet is not overwritten either.
        if (meanwhile == "copy")
            board.copy({string}, "autre");
        if (meanwhile == "off")
            engine.setEnabled(false), engine.setEnabled(true);
        engine.restore();
        // Left alone as ours, not counted again; nothing else is put back.
        engine.tick();
        QCOMPARE(board.formats(), restored ? original : Pasteboard::Formats());
        QCOMPARE(board.string(string), Text(meanwhile == "copy" ? "autre" : "été"));
        QCOMPARE(QList({board.writes, int(engine.cleanedCount())}), QList({restored ? 2 : 1, 1}));
        QCoreApplication::processEvents();
        // Turned on at the cleaning, off again at the restore or the change: nothing when the
        // copy was too heavy to keep.
        QCOMPARE(changes, restored || !meanwhile.isEmpty() ? 2 : 0);
    }

    void changeNoticesAreLookedAtSoonEvenInBursts()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        board.copy({html, string}, "x");
        board.notify();
        // Well before the first 0.7 s tick.
        QTRY_COMPARE_WITH_TIMEOUT(board.writes, 1, 500);

        // A copy every 10 ms for 0.4 s: looked at during the burst, not only after it.
        const int readsBefore = board.typeReads;
        for (int i = 0; i < 40; ++i) {
            board.copy({html, string}, QString::number(i));
            board.notify();
            QTest::qWait(10);
        }
        QVERIFY2(board.typeReads - readsBefore >= 2, qPrintable(QString::number(board.typeReads)));
        QTRY_COMPARE_WITH_TIMEOUT(board.types(), QStringList{string}, 500);
        QCOMPARE(board.string(string), Text("39"));

        // Starting a running engine does not reset it: a copy made before is still seen, and
        // the timer cleans it without a notice.
        board.copy({html, string}, "x");
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(board.types(), QStringList{string}, 2000);
    }

    void switchingOffNeverWaitsForTheClipboardThread()
    {
        QThread thread;
        thread.start();
        FakePasteboard board;
        std::atomic<bool> reading = false;
        // An owner that takes a second to send its text.
        board.whileReading = [&] { reading = true, QThread::msleep(1000); };
        TavoEngine engine(board, &thread);
        // Copied once the engine runs, as a copy made while it polls.
        const auto copy = [&] { board.copy({html, string}, "x"); };
        QMetaObject::invokeMethod(&engine.m_worker, copy, Qt::BlockingQueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(reading, 2000);
        QElapsedTimer clock;
        clock.start();
        engine.setEnabled(false);
        const qint64 took = clock.elapsed();
        const bool stopped = !engine.isRunning();
        thread.quit(); // once the slow read is over
        QVERIFY(thread.wait(5000) && stopped);
        // Waiting for the read would take most of its second; the stored write alone can
        // take a few hundred milliseconds on a busy disk.
        QVERIFY2(took < 500, qPrintable(QString::number(took)));
        QCOMPARE(board.writes, 0);
    }
};

QTEST_GUILESS_MAIN(TestTavoEngine)
#include "TestTavoEngine.moc"
