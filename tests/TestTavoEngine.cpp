#include "FakePasteboard.h"
#include "TavoEngine.h"
#include "TavoSettings.h"

#include <QFile>
#include <QTest>
#include <QTimer>

using namespace PasteboardType;

class TestTavoEngine : public QObject
{
    Q_OBJECT

private:
    static void tick(TavoEngine &engine) { engine.tick(); }
    static QTimer *timer(TavoEngine &engine) { return engine.m_timer.get(); }

    // A copy was left alone: same content, nothing written, nothing counted.
    static void verifyUntouched(const FakePasteboard &board, const QStringList &types,
        const std::optional<QString> &text, const TavoEngine &engine)
    {
        QCOMPARE(board.types(), types);
        QCOMPARE(board.string(string), types.contains(string) ? text : std::nullopt);
        QCOMPARE(board.writes, 0);
        QCOMPARE(engine.cleanedCount(), 0);
    }

private Q_SLOTS:
    void init() { QFile::remove(TavoSettings::defaults().fileName()); }

    void cleansStyledCopyExactly_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<QString>("text");
        QTest::newRow("html; tabs, line breaks, spaces")
            << QStringList{html, string} << "col1\tcol2\r\nligne 2\n\n  fin  ";
        QTest::newRow("rtf after the string") << QStringList{string, rtf} << "a";
        QTest::newRow("rtfd") << QStringList{rtfd, string} << "x";
        QTest::newRow("flat rtfd among others")
            << QStringList{QStringLiteral("org.example.private"), flatRtfd, string} << "x";
        QTest::newRow("non-Latin text") << QStringList{
            html, string} << QString::fromUtf8("Ελληνικά, 日本語, العربية, emoji 📄, é\u0301");
    }

    void cleansStyledCopyExactly()
    {
        QFETCH(QStringList, types);
        QFETCH(QString, text);
        FakePasteboard board;
        TavoEngine engine(board);
        int callbacks = 0;
        engine.onCleaned = [&] {
            QCOMPARE(board.types(), QStringList{string});
            ++callbacks;
        };

        board.copy(types, text);
        tick(engine);
        QCOMPARE(board.types(), QStringList{string});
        QCOMPARE(board.string(string), std::optional<QString>(text));
        QCOMPARE(engine.cleanedCount(), 1);
        // The callback runs after the tick, from the event loop.
        QCOMPARE(callbacks, 0);
        QCoreApplication::processEvents();
        QCOMPARE(callbacks, 1);

        // The engine's own write is not a new copy.
        const int typeReads = board.typeReads;
        tick(engine);
        QCoreApplication::processEvents();
        QCOMPARE(board.writes, 1);
        QCOMPARE(board.typeReads, typeReads);
        QCOMPARE(engine.cleanedCount(), 1);
        QCOMPARE(callbacks, 1);
    }

    void leavesOtherCopiesAlone_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<std::optional<QString>>("text");
        const std::optional<QString> some(QStringLiteral("texte"));
        const std::optional<QString> none;
        QTest::newRow("file url") << QStringList{fileUrl, string} << some;
        QTest::newRow("tiff") << QStringList{tiff} << none;
        QTest::newRow("png") << QStringList{png} << none;
        QTest::newRow("html with file url") << QStringList{html, string, fileUrl} << some;
        QTest::newRow("html with tiff") << QStringList{html, tiff, string} << some;
        QTest::newRow("rtf with png") << QStringList{rtf, string, png} << some;
        QTest::newRow("bare text") << QStringList{string} << some;
        QTest::newRow("rich without a string") << QStringList{html} << none;
        QTest::newRow("rich with an empty string")
            << QStringList{html, string} << std::optional<QString>(QString());
    }

    void leavesOtherCopiesAlone()
    {
        QFETCH(QStringList, types);
        QFETCH(std::optional<QString>, text);
        FakePasteboard board;
        TavoEngine engine(board);
        board.copy(types, text);
        tick(engine);
        verifyUntouched(board, types, text, engine);
        // The change was consumed: it is never looked at again.
        const int typeReads = board.typeReads;
        tick(engine);
        QCOMPARE(board.typeReads, typeReads);
    }

    void spreadsheetMarkers_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("tab-separated") << "TEXT/TAB-SEPARATED-VALUES";
        QTest::newRow("excel") << "com.microsoft.Excel.sheet";
        QTest::newRow("numbers.sheet") << "com.apple.iWork.Numbers.Sheet";
        QTest::newRow("numbers.tsv") << "com.apple.numbers.TSV";
        QTest::newRow("csv") << "text/CSV";
    }

    void spreadsheetMarkers()
    {
        QFETCH(QString, type);
        const QStringList types{html, type, string};
        const QString text = QStringLiteral("a\tb\n1\t2");

        FakePasteboard board;
        TavoEngine engine(board);
        board.copy(types, text);
        tick(engine);
        verifyUntouched(board, types, text, engine);

        // With the switch off a spreadsheet copy is cleaned like any other.
        TavoSettings::setSkipTabular(false);
        board.copy(types, text);
        tick(engine);
        QCOMPARE(board.types(), QStringList{string});
        QCOMPARE(board.string(string), std::optional<QString>(text));
        QCOMPARE(engine.cleanedCount(), 1);
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

        board.copy({html, string}, QStringLiteral("avant"));
        tick(engine);
        setEnabled(true);
        tick(engine);
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(engine.cleanedCount(), 0);

        // No callback is set: the count grows all the same.
        board.copy({html, string}, QStringLiteral("après"));
        tick(engine);
        QCOMPARE(engine.cleanedCount(), 1);
    }

    void startTwiceKeepsOneTimer()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        int calls = 0;
        engine.onCleaned = [&] { ++calls; };
        QTimer *first = timer(engine);
        QVERIFY(first && first->isActive());

        // A running engine is not reset: a copy made before the second start is still seen,
        // and the timer cleans it without being stepped.
        board.copy({html, string}, QStringLiteral("x"));
        engine.start();
        QCOMPARE(timer(engine), first);
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 2000);
        QCOMPARE(board.types(), QStringList{string});
    }

    void failedWriteIsNotCounted()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        board.failWrites = true;
        board.copy({html, string}, QStringLiteral("x"));
        tick(engine);
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(engine.cleanedCount(), 0);

        // The same change is not tried over and over.
        const int typeReads = board.typeReads;
        tick(engine);
        QCOMPARE(board.typeReads, typeReads);
    }
};

QTEST_GUILESS_MAIN(TestTavoEngine)
#include "TestTavoEngine.moc"
