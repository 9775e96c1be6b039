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

    // Another program takes the clipboard, and when given, the board has handled the notice of
    // it; null when either failed.
    static std::shared_ptr<QProcess> own(
        const QStringList &args, const XcbPasteboard *board = nullptr)
    {
        const qint64 before = board ? board->changeCount() : 0;
        std::shared_ptr<QProcess> owner(new QProcess, [](QProcess *process) {
            process->kill();
            process->waitForFinished(2000);
            delete process;
        });
        owner->start(TAVO_CLIPBOARD_OWNER, args);
        if (!owner->waitForReadyRead(20000) || owner->readLine().trimmed() != "owned"
            || (board && !QTest::qWaitFor([&] { return board->changeCount() != before; }, 5000)))
            return nullptr;
        return owner;
    }

    static xcb_atom_t atom(xcb_connection_t *c, const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        return free(reply), value;
    }

    // Waits up to 5 s for the next event of this type.
    static std::optional<xcb_selection_request_event_t> waitEvent(xcb_connection_t *c, uint8_t type)
    {
        xcb_flush(c);
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            std::unique_ptr<xcb_generic_event_t, decltype(&free)> event(
                xcb_poll_for_event(c), free);
            if (event && (event->response_type & 0x7f) == type)
                return *reinterpret_cast<xcb_selection_request_event_t *>(event.get());
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
        return free(reply), bytes;
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
        // clang-format off
        QTest::newRow("browser text copy") << QStringList{"TIMESTAMP", "TARGETS", "MULTIPLE", "SAVE_TARGETS", "text/html", "text/_moz_htmlcontext", "text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT", "COMPOUND_TEXT"} << QStringList{html, "text/_moz_htmlcontext", string, "COMPOUND_TEXT"};
        QTest::newRow("rich text kinds") << QStringList{"text/rtf", "application/rtf", "text/richtext", "text/plain"} << QStringList{rtf, string};
        QTest::newRow("file managers") << QStringList{"x-special/gnome-copied-files", "text/uri-list", "application/x-kde4-urilist", "text/plain"} << QStringList{fileUrl, string};
        QTest::newRow("images") << QStringList{"image/bmp", "image/png", "image/jpeg", "application/x-qt-image"} << QStringList{tiff, png};
        QTest::newRow("spreadsheets") << QStringList{"application/x-libreoffice-tsvc", "Biff8", "application/x-openoffice-biff-8;windows_formatname=\"Biff8\"", "text/tab-separated-values", "text/csv"} << QStringList{"org.libreoffice.tab-separated-values", "com.microsoft.excel.biff8", "text/tab-separated-values", "text/csv"};
        QTest::newRow("meta only") << QStringList{"TARGETS", "DELETE", "INCR", ""} << QStringList{};
        // clang-format on
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
        const QStringList styled{"text/html=<b>x</b>", "text/plain=" + text}, both{html, string};
        const int timeout = XcbPasteboard::answerTimeoutMs;
        using Text = std::optional<QString>;
        // clang-format off
        QTest::newRow("browser copy") << styled << both << Text(text) << 1000;
        QTest::newRow("hung on the text") << QStringList{"--hang=data"} + styled << both << Text() << 2 * timeout + 500;
        QTest::newRow("hung on everything") << QStringList{"--hang=all"} + styled << QStringList{} << Text() << 2 * timeout + 500;
        QTest::newRow("dies when asked for the text") << QStringList{"--die=data"} + styled << both << Text() << timeout + 500;
        // Only the first targets are looked at; the ones that matter come first.
        QTest::newRow("60,000 targets") << QStringList{"--targets=60000"} + styled << both << Text(text) << 1000;
        // clang-format on
        QByteArray big;
        while (big.size() < 50'000'000)
            big += "Une ligne de texte assez longue, é è à ç, pour 50 Mo au total.\n";
        QFile file(m_dir.filePath("big.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(big) == big.size() && file.flush());
        QTest::newRow("50 MB in pieces")
            << QStringList{"text/html=<b>x</b>", "text/plain=@" + file.fileName()} << both
            << Text(QString::fromUtf8(big)) << 30000;
    }

    void readsOwnersWithinBoundedTime()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, types);
        QFETCH(std::optional<QString>, text);
        QFETCH(int, maxMs);
        XcbPasteboard board;
        auto owner = own(args, &board);
        QVERIFY(owner);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(board.types().mid(0, types.size()), types);
        const std::optional<QString> read = board.string(string);
        QVERIFY2(clock.elapsed() < maxMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(read == text); // not QCOMPARE: it would print 50 MB
        // Styled formats are read as they are, and only when offered.
        if (text)
            QCOMPARE(QList({board.data("text/html"), board.data("text/rtf")}),
                QList<std::optional<QByteArray>>({"<b>x</b>", std::nullopt}));
    }

    void servesItsTextUnderEveryName_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray utf8 = QString::fromUtf8("Grüße 日本\n").toUtf8(),
                         latin1("Gr\xfc\xdf"
                                "e ??\n");
        // clang-format off
        for (const char *name : {"UTF8_STRING", "text/plain", "text/plain;charset=utf-8"})
            QTest::newRow(name) << name << utf8;
        QTest::newRow("STRING") << "STRING" << latin1;
        QTest::newRow("TEXT") << "TEXT" << latin1;
        QTest::newRow("TARGETS") << "TARGETS" << QByteArray("TARGETS\nMULTIPLE\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\ntext/plain\nTEXT\n");
        QTest::newRow("text/html") << "text/html" << QByteArray("<xclip failed>");
        // A copy put back whole serves its styled formats too, under their own names.
        QTest::newRow("restored: TARGETS") << "TARGETS" << QByteArray("TARGETS\nMULTIPLE\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\ntext/plain\nTEXT\ntext/html\ntext/rtf\n");
        QTest::newRow("restored: text/html") << "text/html" << QByteArray("<b>Grüße</b>");
        QTest::newRow("restored: text/rtf") << "text/rtf" << QByteArray("{\\rtf1 Gr\\'fc\\'dfe}");
        QTest::newRow("restored: UTF8_STRING") << "UTF8_STRING" << utf8;
        // Larger than one piece: sent in pieces.
        QTest::newRow("in pieces") << "UTF8_STRING" << (QString(XcbTextOffer::pieceBytes, u'é') + "fin").toUtf8();
        // clang-format on
    }

    void servesItsTextUnderEveryName()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, bytes);
        XcbPasteboard board;
        const QString text = QString::fromUtf8(
            QTest::currentDataTag() == QLatin1String("in pieces") ? bytes : "Grüße 日本\n");
        if (QByteArray(QTest::currentDataTag()).startsWith("restored")) {
            QVERIFY(board.setContents(
                text, {{"text/html", "<b>Grüße</b>"}, {"text/rtf", "{\\rtf1 Gr\\'fc\\'dfe}"}}));
        } else {
            board.declareTypes({string});
            QVERIFY(board.setString(text, string));
        }
        QCOMPARE(board.changeCount(), 1);
        QCOMPARE(paste(target), bytes);
        // Serving is not a change, and our own write does not come back as one.
        QTest::qWait(50);
        QCOMPARE(board.changeCount(), 1);
    }

    // On quit our copy goes to the clipboard manager, which reads several targets in one
    // MULTIPLE request. One that says it saved without reading (sway's XWayland window
    // manager) kept nothing: then the keeper starts as if none ran.
    void handsOverToAManagerThatReads()
    {
        for (const bool reads : {true, false}) {
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
                if (request && reads) {
                    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "LIST"),
                        atom(c, "ATOM_PAIR"), 32, 6, pairs);
                    xcb_convert_selection(c, window, atom(c, "CLIPBOARD"), atom(c, "MULTIPLE"),
                        atom(c, "LIST"), XCB_CURRENT_TIME);
                    waitEvent(c, XCB_SELECTION_NOTIFY);
                    list = property(c, window, atom(c, "LIST"));
                }
                if (!request)
                    return;
                xcb_selection_notify_event_t saved{XCB_SELECTION_NOTIFY, 0, 0, 0,
                    request->requestor, request->selection, request->target, request->property};
                xcb_send_event(c, 0, request->requestor, 0, reinterpret_cast<const char *>(&saved));
                free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            });
            board.handOver("true");
            thread.join();
            QCOMPARE(QDir(tmp.path()).entryList({"orvanetavo-keep-*"}).size(), reads ? 0 : 1);
            qunsetenv("TMPDIR");
            // The target we do not offer comes back with None in place of its property.
            QByteArray pairsAfter(reinterpret_cast<const char *>(pairs), sizeof pairs);
            reinterpret_cast<xcb_atom_t *>(pairsAfter.data())[3] = XCB_ATOM_NONE;
            if (reads)
                QCOMPARE(QList<QByteArray>(
                             {list, property(c, window, pairs[1]), property(c, window, pairs[5])}),
                    QList<QByteArray>({pairsAfter, QString::fromUtf8("Grüße").toUtf8(),
                        "Gr\xfc\xdf"
                        "e"}));
            xcb_disconnect(c);
        }
    }

    void aCopyMadeAfterTheReadIsNeverOverwritten()
    {
        XcbPasteboard board;
        auto first = own({"text/html=<b>ancien</b>", "text/plain=ancien"}, &board);
        QVERIFY(first);
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
