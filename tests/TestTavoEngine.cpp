#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "settings/TavoSettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QTimer>

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
        QTest::addColumn<Text>("text");
        QTest::addColumn<QString>("twist");
        QTest::addColumn<bool>("cleaned");
        const Text some(QStringLiteral("a\tb\n1\t2"));
        const Text mixed = QString::fromUtf8("c1\tc2\r\nΕλληνικά 日本語 العربية\n\n  📄 é\u0301  ");
        // clang-format off
        QTest::newRow("html, whitespace, scripts") << QStringList{html, string} << mixed << "" << true;
        QTest::newRow("rtf after the string") << QStringList{string, rtf} << some << "" << true;
        QTest::newRow("rtfd") << QStringList{rtfd, string} << some << "" << true;
        QTest::newRow("flat rtfd among others") << QStringList{"org.example.private", flatRtfd, string} << some << "" << true;
        QTest::newRow("html with file url") << QStringList{html, string, fileUrl} << some << "" << false;
        QTest::newRow("html with tiff") << QStringList{html, tiff, string} << some << "" << false;
        QTest::newRow("rtf with png") << QStringList{rtf, string, png} << some << "" << false;
        QTest::newRow("bare text") << QStringList{string} << some << "" << false;
        QTest::newRow("rich without a string") << QStringList{html} << Text() << "" << false;
        QTest::newRow("rich with an empty string") << QStringList{html, string} << Text(QString()) << "" << false;
        // A write that does not take is not counted, nor tried again.
        QTest::newRow("failed write") << QStringList{html, string} << some << "failing writes" << false;
        // Spreadsheet markers match in any case.
        for (const char *marker : {"TEXT/TAB-SEPARATED-VALUES", "com.microsoft.Excel.sheet", "text/CSV"})
            QTest::newRow(marker) << QStringList{html, marker, string} << some << "tabular" << false;
        // clang-format on
    }

    void cleansOnlyStyledCopies()
    {
        QFETCH(QStringList, types);
        QFETCH(Text, text);
        QFETCH(QString, twist);
        QFETCH(bool, cleaned);
        FakePasteboard board;
        board.failWrites = twist == "failing writes";
        TavoEngine engine(board);
        int callbacks = 0;
        engine.onCleaned = [&] { ++callbacks; };
        board.copy(types, text);
        engine.tick();
        QCOMPARE(board.types(), cleaned ? QStringList{string} : types);
        QCOMPARE(board.string(string), text);
        QCOMPARE(QList({board.writes, int(engine.cleanedCount()), callbacks}),
            QList({int(cleaned), int(cleaned), 0}));
        // The callback runs after the tick, from the event loop.
        QCoreApplication::processEvents();
        QCOMPARE(callbacks, int(cleaned));
        // The change (or the engine's own write) is consumed: it is never looked at again.
        const int typeReads = board.typeReads;
        engine.tick();
        QCOMPARE(board.typeReads, typeReads);
        if (twist == "tabular") {
            // With that switch off a spreadsheet copy is cleaned like any other.
            TavoSettings::setSkipTabular(false);
            board.copy(types, text);
            engine.tick();
            QCOMPARE(engine.cleanedCount(), 1);
        }
    }

    // A copy made while off is never cleaned, nor one read while someone copies again: that
    // would put older text over the newer copy. (Switching off during the read is tested on
    // the clipboard thread below.) Written straight to the store, the switch takes effect at
    // the next change.
    void changesBeforeTheWriteWin_data()
    {
        QTest::addColumn<QString>("change");
        for (const char *change : {"engine off", "store off", "copy while reading"})
            QTest::newRow(change) << QString(change);
    }

    void changesBeforeTheWriteWin()
    {
        QFETCH(QString, change);
        const bool copy = change == "copy while reading";
        FakePasteboard board;
        TavoEngine engine(board);
        const auto setEnabled = [&](bool on) {
            change == "store off" ? TavoSettings::setEnabled(on) : engine.setEnabled(on);
        };
        if (!copy) {
            setEnabled(false);
            QCOMPARE(engine.isRunning(), change == "store off");
            // An engine created while the stored switch is off does not run.
            QVERIFY(!TavoEngine(board).isRunning());
        }
        board.copy({html, string}, "ancien");
        bool once = false;
        board.whileReading = [&] {
            if (copy && !std::exchange(once, true))
                board.copy({rtf, string}, "nouveau");
        };
        engine.tick();
        QCOMPARE(board.writes, 0);
        setEnabled(true);
        // The newer copy has not been looked at yet: the next tick cleans it.
        engine.tick();
        QCOMPARE(board.string(string), Text(copy ? "nouveau" : "ancien"));
        QCOMPARE(engine.cleanedCount(), copy ? 1 : 0);
        board.copy({html, string}, "après");
        engine.tick();
        QCOMPARE(engine.cleanedCount(), copy ? 2 : 1);
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
        QCOMPARE(engine.canRestore(), restored || !meanwhile.isEmpty());
        // A copy not looked at yet is not overwritten either.
        if (meanwhile == "copy")
            board.copy({string}, "autre");
        if (meanwhile == "off")
            engine.setEnabled(false), engine.setEnabled(true);
        engine.restore();
        // Left alone as ours, not counted again; nothing else is put back.
        engine.tick();
        QVERIFY(!engine.canRestore());
        QCOMPARE(board.formats(), restored ? original : Pasteboard::Formats());
        QCOMPARE(board.string(string), Text(meanwhile == "copy" ? "autre" : "été"));
        QCOMPARE(QList({board.writes, int(engine.cleanedCount())}), QList({restored ? 2 : 1, 1}));
        QCoreApplication::processEvents();
        // Turned on at the cleaning, off again at the restore or the change: nothing when the
        // copy was too heavy to keep.
        QCOMPARE(changes, restored || !meanwhile.isEmpty() ? 2 : 0);

        // The next styled copy is cleaned, and can be restored in its turn.
        board.copy({html, string}, "suivant", {{"text/html", "<b>suivant</b>"}});
        engine.tick();
        QVERIFY(engine.cleanedCount() == 2 && engine.canRestore());
    }

    void changeNoticesAreLookedAtSoonEvenInBursts()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        QElapsedTimer clock;
        clock.start();
        board.copy({html, string}, "x");
        board.notify();
        // Well before the first 0.7 s tick.
        QTRY_COMPARE_WITH_TIMEOUT(board.writes, 1, 500);
        QVERIFY2(clock.elapsed() < 400, qPrintable(QString::number(clock.elapsed())));

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
        // the one timer cleans it without a notice.
        QTimer *first = engine.m_timer.get();
        board.copy({html, string}, "x");
        engine.start();
        QCOMPARE(engine.m_timer.get(), first);
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
        {
            TavoEngine engine(board, &thread);
            const auto onThread = [&](const std::function<void()> &work) {
                QMetaObject::invokeMethod(&engine.m_worker, work, Qt::BlockingQueuedConnection);
            };
            // Copied once the engine runs, as a copy made while it polls.
            onThread([&] { board.copy({html, string}, "x"); });
            QTRY_VERIFY_WITH_TIMEOUT(reading, 2000);
            QElapsedTimer clock;
            clock.start();
            engine.setEnabled(false);
            const qint64 took = clock.elapsed();
            const bool stopped = !engine.isEnabled() && !engine.isRunning();
            onThread([] {});
            thread.quit();
            QVERIFY(thread.wait(5000) && stopped);
            // Waiting for the read would take most of its second; the stored write alone can
            // take a few hundred milliseconds on a busy disk.
            QVERIFY2(took < 500, qPrintable(QString::number(took)));
        }
        QCOMPARE(board.writes, 0);
        QCOMPARE(TavoEngine(board).cleanedCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTavoEngine)
#include "TestTavoEngine.moc"
