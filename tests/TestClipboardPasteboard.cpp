#include "clipboard/ClipboardPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>

using namespace PasteboardType;

class TestClipboardPasteboard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mapsOwnerFormats_data()
    {
        QTest::addColumn<QStringList>("formats");
        QTest::addColumn<QStringList>("identifiers");
        const QString biff8 = "com.microsoft.excel.biff8";
        QTest::newRow("browser text copy") << QStringList{"TIMESTAMP", "TARGETS", "MULTIPLE",
            "SAVE_TARGETS", "text/html", "text/_moz_htmlcontext", "text/plain;charset=utf-8",
            "UTF8_STRING", "text/plain", "STRING", "TEXT",
            "COMPOUND_TEXT"} << QStringList{html, "text/_moz_htmlcontext", string, "COMPOUND_TEXT"};
        QTest::newRow("rich text kinds")
            << QStringList{"text/rtf", "application/rtf", "text/richtext", "text/plain"}
            << QStringList{rtf, string};
        QTest::newRow("file managers") << QStringList{"x-special/gnome-copied-files",
            "text/uri-list", "application/x-kde4-urilist", "text/plain"}
                                       << QStringList{fileUrl, string};
        QTest::newRow("images") << QStringList{"image/bmp", "image/png", "image/jpeg",
            "application/x-qt-image"}
                                << QStringList{tiff, png};
        QTest::newRow("spreadsheets") << QStringList{"application/x-libreoffice-tsvc", "Biff8",
            "application/x-openoffice-biff-8;windows_formatname=\"Biff8\"",
            "text/tab-separated-values", "text/csv"}
                                      << QStringList{"org.libreoffice.tab-separated-values", biff8,
                                             "text/tab-separated-values", "text/csv"};
        QTest::newRow("meta only") << QStringList{"TARGETS", "DELETE", "INCR", ""} << QStringList{};
    }

    void mapsOwnerFormats()
    {
        QFETCH(QStringList, formats);
        QFETCH(QStringList, identifiers);
        QCOMPARE(ClipboardPasteboard::identifiersForFormats(formats), identifiers);
    }

    void writesPlainTextOnly()
    {
        ClipboardPasteboard board;
        auto *data = new QMimeData;
        data->setHtml("<b>gras</b>");
        data->setText("gras");
        QGuiApplication::clipboard()->setMimeData(data);
        QCOMPARE(board.changeCount(), 1);
        QCOMPARE(board.types(), (QStringList{html, string}));
        QCOMPARE(board.string(string), std::optional<QString>("gras"));

        board.declareTypes({string});
        QVERIFY(board.setString("gras", string));
        // Our own write is seen synchronously, before the engine reads the count again.
        QCOMPARE(board.changeCount(), 2);
        QCOMPARE(board.types(), QStringList{string});
        QCOMPARE(board.string(string), std::optional<QString>("gras"));
    }

    void noTextIsNotAnEmptyText()
    {
        ClipboardPasteboard board;
        auto *data = new QMimeData;
        data->setHtml("<img src=x>");
        QGuiApplication::clipboard()->setMimeData(data);
        QCOMPARE(board.string(string), std::nullopt);
        data = new QMimeData;
        data->setHtml("<p></p>");
        data->setText(QString());
        QGuiApplication::clipboard()->setMimeData(data);
        QCOMPARE(board.string(string), std::optional<QString>(QString()));
    }
};

QTEST_MAIN(TestClipboardPasteboard)
#include "TestClipboardPasteboard.moc"
