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
    static qint64 lastSeen(TavoEngine &engine) { return engine.m_lastSeenChangeCount; }

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
        QTest::newRow("html from a browser") << QStringList{html, string} << "Bonjour le monde";
        QTest::newRow("rtf after the string") << QStringList{string, rtf} << "a";
        QTest::newRow("rtfd") << QStringList{rtfd, string} << "x";
        QTest::newRow("flat rtfd among others")
            << QStringList{QStringLiteral("org.example.private"), flatRtfd, string} << "x";
        QTest::newRow("tabs, line breaks, spaces")
            << QStringList{html, string} << "col1\tcol2\r\nligne 2\n\n  fin  ";
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
        engine.onCleaned = [&] { ++callbacks; };

        board.copy(types, text);
        tick(engine);

        QCOMPARE(board.types(), QStringList{string});
        QCOMPARE(board.string(string), std::optional<QString>(text));
        QCOMPARE(engine.cleanedCount(), 1);
        QTRY_COMPARE(callbacks, 1);

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
        QTest::newRow("file url") << QStringList{fileUrl, string} << some;
        QTest::newRow("tiff") << QStringList{tiff} << std::optional<QString>();
        QTest::newRow("png") << QStringList{png} << std::optional<QString>();
        QTest::newRow("html with file url") << QStringList{html, string, fileUrl} << some;
        QTest::newRow("html with tiff") << QStringList{html, tiff, string} << some;
        QTest::newRow("rtf with png") << QStringList{rtf, string, png} << some;
        QTest::newRow("bare text") << QStringList{string} << some;
        QTest::newRow("rich without a string") << QStringList{html} << std::optional<QString>();
        QTest::newRow("rich with an empty string")
            << QStringList{html, string} << std::optional<QString>(QString());
        QTest::newRow("rich type in other case")
            << QStringList{QStringLiteral("Public.HTML"), string} << some;
        QTest::newRow("nothing") << QStringList{} << std::optional<QString>();
    }

    void leavesOtherCopiesAlone()
    {
        QFETCH(QStringList, types);
        QFETCH(std::optional<QString>, text);
        FakePasteboard board;
        TavoEngine engine(board);
        bool called = false;
        engine.onCleaned = [&] { called = true; };

        board.copy(types, text);
        tick(engine);
        QCoreApplication::processEvents();
        verifyUntouched(board, types, text, engine);
        QVERIFY(!called);
        // The change was consumed: it is never looked at again.
        const int typeReads = board.typeReads;
        tick(engine);
        QCOMPARE(board.typeReads, typeReads);
    }

    void spreadsheetMarkers_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("tab-separated") << "text/tab-separated-values";
        QTest::newRow("TAB-SEPARATED") << "TEXT/TAB-SEPARATED-VALUES";
        QTest::newRow("excel") << "com.microsoft.Excel.sheet";
        QTest::newRow("numbers.sheet") << "com.apple.iWork.Numbers.Sheet";
        QTest::newRow("numbers.tsv") << "com.apple.numbers.TSV";
        QTest::newRow("csv") << "text/CSV";
        QTest::newRow("libreoffice") << "org.libreoffice.tab-separated-values";
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

        // And the switch's return takes effect at the very next copy.
        TavoSettings::setSkipTabular(true);
        board.copy(types, text);
        tick(engine);
        QCOMPARE(board.types(), types);
        QCOMPARE(engine.cleanedCount(), 1);
    }

    void copyMadeWhileOffIsNotCleanedLater()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        engine.setEnabled(false);
        QVERIFY(!engine.isRunning());
        QVERIFY(!engine.isEnabled());

        board.copy({html, string}, QStringLiteral("avant"));
        engine.setEnabled(true);
        tick(engine);
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(engine.cleanedCount(), 0);

        board.copy({html, string}, QStringLiteral("après"));
        tick(engine);
        QCOMPARE(engine.cleanedCount(), 1);
    }

    void startTwiceKeepsOneTimer()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        QTimer *first = timer(engine);
        QVERIFY(first);
        QVERIFY(first->isActive());
        QCOMPARE(first->interval(), 700);
        QCOMPARE(first->timerType(), Qt::CoarseTimer);

        // A running engine is not reset: a copy made before the second start is still seen.
        board.copy({html, string}, QStringLiteral("x"));
        engine.start();
        QCOMPARE(timer(engine), first);
        QCOMPARE(lastSeen(engine), 0);

        engine.stop();
        engine.stop();
        QVERIFY(!engine.isRunning());
    }

    void creationFollowsTheStoredSwitch_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("running");
        QTest::newRow("absent") << QVariant() << true;
        QTest::newRow("true") << QVariant(true) << true;
        QTest::newRow("false") << QVariant(false) << false;
        QTest::newRow("a string") << QVariant(QStringLiteral("false")) << true;
    }

    void creationFollowsTheStoredSwitch()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, running);
        if (stored.isValid())
            TavoSettings::defaults().setObject(TavoSettings::enabledKey, stored);
        FakePasteboard board;
        TavoEngine engine(board);
        QCOMPARE(engine.isRunning(), running);
    }

    void switchWrittenToTheStoreTakesEffectAtTheNextChange()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        TavoSettings::setEnabled(false);
        QVERIFY(engine.isRunning());

        board.copy({html, string}, QStringLiteral("x"));
        tick(engine);
        QCOMPARE(board.types(), (QStringList{html, string}));

        // The change stays consumed: switching back on does not clean it.
        TavoSettings::setEnabled(true);
        tick(engine);
        QCOMPARE(engine.cleanedCount(), 0);
        board.copy({html, string}, QStringLiteral("y"));
        tick(engine);
        QCOMPARE(engine.cleanedCount(), 1);
    }

    void countGrowsWithoutCallbackAndKeepsItsPast()
    {
        TavoSettings::defaults().setInteger(TavoSettings::cleanedCountKey, 41);
        FakePasteboard board;
        TavoEngine engine(board);
        board.copy({html, string}, QStringLiteral("x"));
        tick(engine);
        QCoreApplication::processEvents();
        QCOMPARE(engine.cleanedCount(), 42);
        QCOMPARE(TavoSettings::defaults().object(TavoSettings::cleanedCountKey).typeId(),
            QMetaType::LongLong);
    }

    void callbackRunsOnTheEventLoopAfterTheTick()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        bool inTick = false;
        int calls = 0;
        engine.onCleaned = [&] {
            QVERIFY(!inTick);
            QCOMPARE(board.types(), QStringList{string});
            ++calls;
        };
        board.copy({html, string}, QStringLiteral("x"));
        inTick = true;
        tick(engine);
        inTick = false;
        QCOMPARE(calls, 0);
        QCoreApplication::processEvents();
        QCOMPARE(calls, 1);

        // The callback is read when it runs, not when it was posted.
        int replaced = 0;
        board.copy({html, string}, QStringLiteral("y"));
        tick(engine);
        engine.onCleaned = [&] { ++replaced; };
        QCoreApplication::processEvents();
        QCOMPARE(calls, 1);
        QCOMPARE(replaced, 1);
    }

    void failedWriteIsNotCounted()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        bool called = false;
        engine.onCleaned = [&] { called = true; };
        board.failWrites = true;

        board.copy({html, string}, QStringLiteral("x"));
        tick(engine);
        QCoreApplication::processEvents();
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(engine.cleanedCount(), 0);
        QVERIFY(!called);

        // The same change is not tried over and over.
        const int typeReads = board.typeReads;
        tick(engine);
        QCOMPARE(board.typeReads, typeReads);
    }

    void timerCleansWithoutBeingStepped()
    {
        FakePasteboard board;
        TavoEngine engine(board);
        int calls = 0;
        engine.onCleaned = [&] { ++calls; };
        board.copy({html, string}, QStringLiteral("x"));
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 2000);
        QCOMPARE(board.types(), QStringList{string});
    }
};

QTEST_GUILESS_MAIN(TestTavoEngine)
#include "TestTavoEngine.moc"
