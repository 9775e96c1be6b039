// The clipboard over its own X connection, against other programs on a private X server: well
// and badly behaved owners, and the programs that read what we write.
#include "clipboard/TargetMapping.h"
#include "clipboard/XcbPasteboard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

#include <poll.h>

using namespace PasteboardType;

class TestXcbPasteboard : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // The X server starts afresh whenever its last client leaves; one client stays throughout.
    xcb_connection_t *m_display = nullptr;

    struct Owner : QProcess
    {
        ~Owner() override
        {
            kill();
            waitForFinished(2000);
        }
    };

    // Another program takes the clipboard; null when it failed to.
    static std::unique_ptr<Owner> own(const QStringList &args)
    {
        auto owner = std::make_unique<Owner>();
        owner->start(TAVO_CLIPBOARD_OWNER, args);
        if (!owner->waitForReadyRead(20000) || owner->readLine().trimmed() != "owned")
            return nullptr;
        return owner;
    }

    static xcb_atom_t atom(xcb_connection_t *c, const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return value;
    }

    // Waits up to 5 s for the next event of this type.
    static std::optional<xcb_selection_request_event_t> waitEvent(xcb_connection_t *c, uint8_t type)
    {
        xcb_flush(c);
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            xcb_generic_event_t *event = xcb_poll_for_event(c);
            std::optional<xcb_selection_request_event_t> found;
            if (event && (event->response_type & 0x7f) == type)
                found = *reinterpret_cast<xcb_selection_request_event_t *>(event);
            free(event);
            if (found)
                return found;
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            if (!event)
                poll(&fd, 1, 50);
        }
        return std::nullopt;
    }

    static QByteArray property(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            c, xcb_get_property(c, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr);
        const QByteArray bytes(static_cast<const char *>(xcb_get_property_value(reply)),
            xcb_get_property_value_length(reply));
        free(reply);
        return bytes;
    }

    // Handles our events until the display server's notice of a change has come.
    static bool noticed(const XcbPasteboard &board, qint64 before)
    {
        return QTest::qWaitFor([&] { return board.changeCount() != before; }, 5000);
    }

    // What a paste of this target gets, read while our event loop serves the request.
    static QByteArray paste(const QString &target)
    {
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
        if (!QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 10000))
            return "<xclip hung>";
        return xclip.exitCode() == 0 ? xclip.readAllStandardOutput() : "<xclip failed>";
    }

private Q_SLOTS:
    void initTestCase() { m_display = xcb_connect(nullptr, nullptr); }
    void cleanupTestCase() { xcb_disconnect(m_display); }

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
        QCOMPARE(TargetMapping::identifiersForFormats(formats), identifiers);
    }

    void readsOwnersWithinBoundedTime_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<std::optional<QString>>("text");
        QTest::addColumn<int>("maxMs");
        const QString text = QString::fromUtf8("Ligne — «é» 日本語 📄\n\tfin");
        const QStringList styled{"text/html=<b>x</b>", "text/plain=" + text};
        QTest::newRow("browser copy")
            << styled << QStringList{html, string} << std::optional<QString>(text) << 1000;
        QTest::newRow("hung on the text")
            << QStringList{"--hang=data"} + styled << QStringList{html, string}
            << std::optional<QString>() << 2 * XcbPasteboard::answerTimeoutMs + 500;
        QTest::newRow("hung on everything")
            << QStringList{"--hang=all"} + styled << QStringList{} << std::optional<QString>()
            << 2 * XcbPasteboard::answerTimeoutMs + 500;
        QTest::newRow("dies when asked for the text")
            << QStringList{"--die=data"} + styled << QStringList{html, string}
            << std::optional<QString>() << XcbPasteboard::answerTimeoutMs + 500;
        // Only the first targets are looked at; the ones that matter come first.
        QTest::newRow("60,000 targets")
            << QStringList{"--targets=60000"} + styled << QStringList{html, string}
            << std::optional<QString>(text) << 1000;

        QByteArray big;
        while (big.size() < 50'000'000)
            big += "Une ligne de texte assez longue, é è à ç, pour 50 Mo au total.\n";
        QFile file(m_dir.filePath("big.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(big) == big.size());
        file.close();
        QTest::newRow("50 MB in pieces")
            << QStringList{"text/html=<p>x</p>", "text/plain=@" + file.fileName()}
            << QStringList{html, string} << std::optional<QString>(QString::fromUtf8(big)) << 30000;
    }

    void readsOwnersWithinBoundedTime()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, types);
        QFETCH(std::optional<QString>, text);
        QFETCH(int, maxMs);
        XcbPasteboard board;
        QVERIFY(board.isConnected());
        const qint64 before = board.changeCount();
        auto owner = own(args);
        QVERIFY(owner);
        QVERIFY(noticed(board, before));

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(board.types().mid(0, types.size()), types);
        const std::optional<QString> read = board.string(string);
        QVERIFY2(clock.elapsed() < maxMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(read == text); // not QCOMPARE: it would print 50 MB
    }

    void servesItsTextUnderEveryName_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("bytes");
        const QString text = QString::fromUtf8("Grüße 日本\n");
        QTest::newRow("UTF8_STRING") << "UTF8_STRING" << text.toUtf8();
        QTest::newRow("text/plain") << "text/plain" << text.toUtf8();
        QTest::newRow("text/plain;charset=utf-8") << "text/plain;charset=utf-8" << text.toUtf8();
        const QByteArray latin1("Gr\xfc\xdf"
                                "e ??\n");
        QTest::newRow("STRING") << "STRING" << latin1;
        QTest::newRow("TEXT") << "TEXT" << latin1;
        QTest::newRow("TARGETS") << "TARGETS"
                                 << QByteArray("TARGETS\nMULTIPLE\nTIMESTAMP\nUTF8_STRING\n"
                                               "text/plain;charset=utf-8\ntext/plain\nTEXT\n");
        QTest::newRow("text/html") << "text/html" << QByteArray("<xclip failed>");
        // Larger than one piece: sent in pieces.
        const QString big = QString(XcbTextOffer::pieceBytes, u'é') + "fin";
        QTest::newRow("in pieces") << "UTF8_STRING" << big.toUtf8();
    }

    void servesItsTextUnderEveryName()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, bytes);
        XcbPasteboard board;
        const QString text = QTest::currentDataTag() == QLatin1String("in pieces")
            ? QString::fromUtf8(bytes)
            : QString::fromUtf8("Grüße 日本\n");
        board.declareTypes({string});
        QVERIFY(board.setString(text, string));
        QCOMPARE(board.changeCount(), 1);
        QCOMPARE(paste(target), bytes);
        // Serving is not a change, and our own write does not come back as one.
        QTest::qWait(50);
        QCOMPARE(board.changeCount(), 1);
    }

    // On quit our copy goes to the clipboard manager, which reads several targets in one
    // MULTIPLE request. One that says it saved without reading (sway's XWayland window
    // manager) kept nothing: then the keeper starts as if none ran.
    void handsOverToAManagerThatReads_data()
    {
        QTest::addColumn<bool>("reads");
        QTest::newRow("manager reads") << true;
        QTest::newRow("manager answers blind") << false;
    }

    void handsOverToAManagerThatReads()
    {
        QFETCH(bool, reads);
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toUtf8());
        XcbPasteboard board;
        board.declareTypes({string});
        QVERIFY(board.setString(QString::fromUtf8("Grüße"), string));
        xcb_connection_t *c = xcb_connect(nullptr, nullptr);
        const xcb_window_t window = xcb_generate_id(c);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
            XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const xcb_atom_t manager = atom(c, "CLIPBOARD_MANAGER");
        xcb_set_selection_owner(c, window, manager, XCB_CURRENT_TIME);
        free(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, manager), nullptr));
        const xcb_atom_t pairs[] = {atom(c, "UTF8_STRING"), atom(c, "P1"), atom(c, "image/png"),
            atom(c, "P2"), XCB_ATOM_STRING, atom(c, "P3")};
        QByteArray list;
        std::thread thread([&] {
            const auto request = waitEvent(c, XCB_SELECTION_REQUEST);
            if (!request)
                return;
            if (reads) {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "LIST"),
                    atom(c, "ATOM_PAIR"), 32, 6, pairs);
                xcb_convert_selection(c, window, atom(c, "CLIPBOARD"), atom(c, "MULTIPLE"),
                    atom(c, "LIST"), XCB_CURRENT_TIME);
                waitEvent(c, XCB_SELECTION_NOTIFY);
                list = property(c, window, atom(c, "LIST"));
            }
            xcb_selection_notify_event_t saved{XCB_SELECTION_NOTIFY, 0, 0, 0, request->requestor,
                request->selection, request->target, request->property};
            xcb_send_event(c, 0, request->requestor, 0, reinterpret_cast<const char *>(&saved));
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        });
        board.handOver("true");
        thread.join();
        QCOMPARE(QDir(tmp.path()).entryList({"orvanetavo-keep-*"}).size(), reads ? 0 : 1);
        qunsetenv("TMPDIR");
        if (reads) {
            QCOMPARE(property(c, window, pairs[1]), QString::fromUtf8("Grüße").toUtf8());
            QCOMPARE(property(c, window, pairs[5]),
                QByteArray("Gr\xfc\xdf"
                           "e"));
            // The target we do not offer comes back with None in place of its property.
            QCOMPARE(list.size(), qsizetype(sizeof pairs));
            QCOMPARE(reinterpret_cast<const xcb_atom_t *>(list.constData())[3],
                xcb_atom_t(XCB_ATOM_NONE));
        }
        xcb_disconnect(c);
    }

    void aCopyMadeAfterTheReadIsNeverOverwritten()
    {
        XcbPasteboard board;
        const qint64 before = board.changeCount();
        auto first = own({"text/html=<b>ancien</b>", "text/plain=ancien"});
        QVERIFY(first);
        QVERIFY(noticed(board, before));
        QCOMPARE(board.string(string), std::optional<QString>("ancien"));

        // Another copy lands before our write, its notice not yet handled.
        auto second = own({"text/html=<b>nouveau</b>", "text/plain=nouveau"});
        QVERIFY(second);
        board.declareTypes({string});
        QVERIFY(!board.setString("ancien", string));
        QCOMPARE(paste("UTF8_STRING"), QByteArray("nouveau"));
    }
};

QTEST_GUILESS_MAIN(TestXcbPasteboard)
#include "TestXcbPasteboard.moc"
