#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "settings/TavoSettings.h"

#include <QFile>
#include <QTest>
#include <QTimer>

using namespace PasteboardType;

class TestTavoEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QFile::remove(TavoSettings::defaults().fileName()); }

    void cleansStyledCopyExactly_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<QString>("text");
        const QString mixed
            = QString::fromUtf8("c1\tc2\r\nΕλληνικά 日本語 العربية\n\n  📄 é\u0301  ");
        QTest::newRow("html, whitespace, scripts") << QStringList{html, string} << mixed;
        QTest::newRow("rtf after the string") << QStringList{string, rtf} << "a";
        QTest::newRow("rtfd") << QStringList{rtfd, string} << "x";
        QTest::newRow("flat rtfd among others")
            << QStringList{"org.example.private", flatRtfd, string} << "x";
    }

    void cleansStyledCopyExactly()
    {
        QFETCH(QStringList, types);
        QFETCH(QString, text);
        FakePasteboard board;
        TavoEngine engine(board);
        int callbacks = 0;
        engine.onCleaned = [&] { ++callbacks; };

        board.copy(types, text);
        engine.tick();
        QCOMPARE(board.types(), QStringList{string});
        QCOMPARE(board.string(string), std::optional<QString>(text));
        QCOMPARE(engine.cleanedCount(), 1);
        // The callback runs after the tick, from the event loop.
        QCOMPARE(callbacks, 0);
        QCoreApplication::processEvents();
        QCOMPARE(callbacks, 1);

        // The engine's own write is not a new copy: it is not even looked at.
        const int typeReads = board.typeReads;
        engine.tick();
        QCOMPARE(board.typeReads, typeReads);
    }

    void leavesOtherCopiesAlone_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<std::optional<QString>>("text");
        QTest::addColumn<QString>("twist");
        const std::optional<QString> some(QStringLiteral("a\tb\n1\t2"));
        QTest::newRow("file url") << QStringList{fileUrl, string} << some << "";
        QTest::newRow("html with file url") << QStringList{html, string, fileUrl} << some << "";
        QTest::newRow("html with tiff") << QStringList{html, tiff, string} << some << "";
        QTest::newRow("rtf with png") << QStringList{rtf, string, png} << some << "";
        QTest::newRow("bare text") << QStringList{string} << some << "";
        QTest::newRow("rich without a string")
            << QStringList{html} << std::optional<QString>() << "";
        QTest::newRow("rich with an empty string")
            << QStringList{html, string} << std::optional<QString>(QString()) << "";
        // A write that does not take is not counted, nor tried again.
        QTest::newRow("failed write") << QStringList{html, string} << some << "failing writes";
        // Spreadsheet markers match in any case.
        for (const char *marker :
            {"TEXT/TAB-SEPARATED-VALUES", "com.microsoft.Excel.sheet", "text/CSV"})
            QTest::newRow(marker) << QStringList{html, marker, string} << some << "tabular";
    }

    void leavesOtherCopiesAlone()
    {
        QFETCH(QStringList, types);
        QFETCH(std::optional<QString>, text);
        QFETCH(QString, twist);
        FakePasteboard board;
        board.failWrites = twist == "failing writes";
        TavoEngine engine(board);
        board.copy(types, text);
        engine.tick();
        QCOMPARE(board.types(), types);
        QCOMPARE(board.string(string), text);
        QCOMPARE(board.writes, 0);
        QCOMPARE(engine.cleanedCount(), 0);
        // The change was consumed: it is never looked at again.
        const int typeReads = board.typeReads;
        engine.tick();
        QCOMPARE(board.typeReads, typeReads);

        if (twist == "tabular") {
            // With that switch off a spreadsheet copy is cleaned like any other.
            TavoSettings::setSkipTabular(false);
            board.copy(types, text);
            engine.tick();
            QCOMPARE(board.types(), QStringList{string});
            QCOMPARE(engine.cleanedCount(), 1);
        }
    }

    void copyMadeWhileOffIsNotCleanedLater_data()
    {
        QTest::addColumn<bool>("throughTheEngine");
        QTest::newRow("engine switch") << true;
        // Written straight to the store: takes effect at the next change, timer still running.
        QTest::newRow("store switch") << false;
    }

    void copyMadeWhileOffIsNotCleanedLater()
    {
        QFETCH(bool, throughTheEngine);
        FakePasteboard board;
        TavoEngine engine(board);
        const auto setEnabled = [&](bool on) {
            throughTheEngine ? engine.setEnabled(on) : TavoSettings::setEnabled(on);
        };
        setEnabled(false);
        QCOMPARE(engine.isRunning(), !throughTheEngine);
        // An engine created while the stored switch is off does not run.
        QVERIFY(!TavoEngine(board).isRunning());

        board.copy({html, string}, "avant");
        engine.tick();
        setEnabled(true);
        engine.tick();
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(engine.cleanedCount(), 0);

        // No callback is set: the count grows all the same.
        board.copy({html, string}, "après");
        engine.tick();
        QCOMPARE(engine.cleanedCount(), 1);
    }

    void startTwiceKeepsOneTimer()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        int calls = 0;
        engine.onCleaned = [&] { ++calls; };
        QTimer *first = engine.m_timer.get();
        // A running engine is not reset: a copy made before the second start is still seen,
        // and the timer cleans it without being stepped.
        board.copy({html, string}, "x");
        engine.start();
        QCOMPARE(engine.m_timer.get(), first);
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 2000);
    }
};

QTEST_GUILESS_MAIN(TestTavoEngine)
#include "TestTavoEngine.moc"
