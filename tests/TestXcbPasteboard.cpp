// The clipboard over its own X connection, against other programs on a private X server: well
// and badly behaved owners, and the programs that read what we write.
#include "clipboard/TargetMapping.h"
#include "clipboard/XcbAtoms.h"
#include "clipboard/XcbPasteboard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

#include <sys/socket.h>

using namespace PasteboardType;
using Text = std::optional<QString>;

class TestXcbPasteboard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Another program takes the clipboard, and when given, the board has handled the notice of
    // it; null when either failed.
    static std::unique_ptr<QProcess> own(
        const QStringList &args, const XcbPasteboard *board = nullptr)
    {
        const qint64 before = board ? board->changeCount() : 0;
        auto owner = std::make_unique<QProcess>(); // killed with it
        owner->start(TAVO_CLIPBOARD_OWNER, args);
        const bool owned = owner->waitForReadyRead(20000) && owner->readLine() == "owned\n";
        return owned && (!board || QTest::qWaitFor([&] { return board->changeCount() != before; }))
            ? std::move(owner)
            : nullptr;
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
    void mapsOwnerFormats()
    {
        // clang-format off
        const QList<std::pair<QStringList, QStringList>> cases{
            {{"TIMESTAMP", "TARGETS", "MULTIPLE", "SAVE_TARGETS", "text/html", "text/_moz_htmlcontext", "text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT", "COMPOUND_TEXT"}, {html, "text/_moz_htmlcontext", string, "COMPOUND_TEXT"}},
            {{"text/rtf", "application/rtf", "text/richtext", "text/plain"}, {rtf, string}},
            {{"x-special/gnome-copied-files", "text/uri-list", "application/x-kde4-urilist", "text/plain"}, {fileUrl, string}},
            {{"image/bmp", "image/png", "image/jpeg", "application/x-qt-image"}, {tiff, png}},
            {{"application/x-libreoffice-tsvc", "Biff8", "application/x-openoffice-biff-8;windows_formatname=\"Biff8\"", "text/tab-separated-values", "text/csv"}, {"org.libreoffice.tab-separated-values", "com.microsoft.excel.biff8", "text/tab-separated-values", "text/csv"}},
            {{"TARGETS", "DELETE", "INCR", ""}, {}}};
        // clang-format on
        for (const auto &[formats, identifiers] : cases)
            QCOMPARE(TargetMapping::identifiersForFormats(formats), identifiers);
    }

    void readsOwnersWithinBoundedTime_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Text>("text");
        QTest::addColumn<int>("maxMs");
        const QString text = QString::fromUtf8("Ligne — «é» 日本語 📄\n\tfin");
        const QStringList styled{"text/html=<b>x</b>", "text/plain=" + text};
        const int timeout = XcbPasteboard::answerTimeoutMs, hung = 2 * timeout + 500;
        const QByteArray big = QByteArray("Une ligne de texte, é è à ç.\n").repeated(1'600'000);
        QFile file(m_dir.filePath("big.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(big) == big.size() && file.flush());
        // clang-format off
        QTest::newRow("browser copy") << styled << Text(text) << 1000;
        QTest::newRow("hung on the text") << QStringList{"--hang=data"} + styled << Text() << hung;
        QTest::newRow("hung on everything") << QStringList{"--hang=all"} + styled << Text() << hung;
        QTest::newRow("dies when asked for the text") << QStringList{"--die=data"} + styled << Text() << timeout + 500;
        // Only the first targets are looked at; the ones that matter come first.
        QTest::newRow("60,000 targets") << QStringList{"--targets=60000"} + styled << Text(text) << 1000;
        QTest::newRow("50 MB in pieces") << QStringList{"text/html=<b>x</b>", "text/plain=@" + file.fileName()} << Text(QString::fromUtf8(big)) << 30000;
        // clang-format on
    }

    void readsOwnersWithinBoundedTime()
    {
        QFETCH(QStringList, args);
        QFETCH(Text, text);
        QFETCH(int, maxMs);
        XcbPasteboard board;
        auto owner = own(args, &board);
        QVERIFY(owner);
        QElapsedTimer clock;
        clock.start();
        const QStringList types = board.types();
        const Text read = board.string(string);
        QVERIFY2(clock.elapsed() < maxMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(types.mid(0, 2),
            args.contains("--hang=all") ? QStringList() : QStringList({html, string}));
        QVERIFY(read == text); // not QCOMPARE: it would print 50 MB
        // Styled formats are read as they are, and only when offered.
        if (text)
            QCOMPARE(QList({board.data("text/html"), board.data("text/rtf")}),
                QList<std::optional<QByteArray>>({"<b>x</b>", std::nullopt}));
        if (QTest::currentDataTag() != QLatin1String("browser copy"))
            return;
        // Another copy lands before our write, its notice not yet handled: it is never
        // overwritten with what we read.
        auto next = own({"text/html=<b>nouveau</b>", "text/plain=nouveau"});
        QVERIFY(next);
        board.declareTypes({string});
        QVERIFY(!board.setString(text.value(), string));
        QCOMPARE(paste("UTF8_STRING"), QByteArray("nouveau"));
    }

    void servesItsTextUnderEveryName_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("bytes");
        // As X11 defines STRING, characters outside Latin-1 become '?'.
        const QByteArray utf8 = QString::fromUtf8("Grüße 日本\n").toUtf8(),
                         latin1("Gr\xfc\xdf\x65 ??\n");
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
        const QByteArray tag = QTest::currentDataTag();
        const QString text = QString::fromUtf8(tag == "in pieces" ? bytes : "Grüße 日本\n");
        const Pasteboard::Formats styled{
            {"text/html", "<b>Grüße</b>"}, {"text/rtf", "{\\rtf1 Gr\\'fc\\'dfe}"}};
        board.declareTypes({string});
        QVERIFY(tag.startsWith("restored") ? board.setContents(text, styled)
                                           : board.setString(text, string));
        QCOMPARE(paste(target), bytes);
        // Serving is not a change, and our own write is counted once, not again at its notice.
        QTest::qWait(50);
        QCOMPARE(board.changeCount(), 1);
    }

    // On quit our copy goes to the clipboard manager, which reads several targets in one
    // MULTIPLE request. One that says it saved without reading (sway's XWayland window
    // manager) kept nothing: then the keeper starts as if none ran.
    void handsOverToAManagerThatReads()
    {
        const QString text = QString::fromUtf8("Grüße");
        for (const bool reads : {true, false}) {
            QTemporaryDir tmp;
            qputenv("TMPDIR", tmp.path().toUtf8());
            XcbPasteboard board;
            board.declareTypes({string});
            QVERIFY(board.setString(text, string));
            xcb_connection_t *c = xcb_connect(nullptr, nullptr);
            XcbAtoms atoms(c);
            const xcb_window_t window = xcb_generate_id(c);
            xcb_create_window(c, XCB_COPY_FROM_PARENT, window,
                xcb_setup_roots_iterator(xcb_get_setup(c)).data->root, 0, 0, 1, 1, 0,
                XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
            xcb_set_selection_owner(c, window, atoms.atom("CLIPBOARD_MANAGER"), XCB_CURRENT_TIME);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            // A paste before quitting does not make a manager that reads nothing a keeper.
            QCOMPARE(paste("UTF8_STRING"), text.toUtf8());
            // The next event of this kind on the manager's connection; none once it is shut.
            const auto next = [c](uint8_t kind) -> std::optional<xcb_selection_request_event_t> {
                while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
                    const auto copy = *reinterpret_cast<xcb_selection_request_event_t *>(event);
                    free(event);
                    if ((copy.response_type & 0x7f) == kind)
                        return copy;
                }
                return std::nullopt;
            };
            // Three targets for the manager to read, the second of which we do not offer.
            xcb_atom_t pairs[] = {atoms.atom("UTF8_STRING"), atoms.atom("P1"),
                atoms.atom("image/png"), atoms.atom("P2"), XCB_ATOM_STRING, atoms.atom("P3")};
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atoms.atom("LIST"),
                atoms.atom("ATOM_PAIR"), 32, 6, pairs);
            // The manager answers the request to save, having read our copy (or not) meanwhile.
            std::thread manager([&] {
                while (const auto r = next(XCB_SELECTION_REQUEST)) {
                    if (reads) {
                        xcb_convert_selection(c, window, atoms.atom("CLIPBOARD"),
                            atoms.atom("MULTIPLE"), atoms.atom("LIST"), XCB_CURRENT_TIME);
                        xcb_flush(c);
                        next(XCB_SELECTION_NOTIFY);
                    }
                    const xcb_selection_notify_event_t saved{XCB_SELECTION_NOTIFY, 0, 0, 0,
                        r->requestor, r->selection, r->target, r->property};
                    xcb_send_event(c, 0, r->requestor, 0, reinterpret_cast<const char *>(&saved));
                    xcb_flush(c);
                }
            });
            board.handOver("true");
            // What the manager read, once it has said it saved.
            QList<QByteArray> read;
            for (const xcb_atom_t property : {atoms.atom("LIST"), pairs[1], pairs[5]}) {
                auto *reply = xcb_get_property_reply(
                    c, xcb_get_property(c, 0, window, property, XCB_ATOM_ANY, 0, 64), nullptr);
                read.append(QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                    xcb_get_property_value_length(reply)));
                free(reply);
            }
            // Ends the manager's wait for events.
            shutdown(xcb_get_file_descriptor(c), SHUT_RDWR);
            manager.join();
            xcb_disconnect(c);
            QCOMPARE(QDir(tmp.path()).entryList({"orvanetavo-keep-*"}).size(), reads ? 0 : 1);
            qunsetenv("TMPDIR");
            // The target we do not offer comes back with None in place of its property.
            pairs[3] = XCB_ATOM_NONE;
            const QByteArray list(reinterpret_cast<const char *>(pairs), sizeof pairs);
            if (reads)
                QCOMPARE(read, QList<QByteArray>({list, text.toUtf8(), text.toLatin1()}));
        }
    }
};

QTEST_GUILESS_MAIN(TestXcbPasteboard)
#include "TestXcbPasteboard.moc"
