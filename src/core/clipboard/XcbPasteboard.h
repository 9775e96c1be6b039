#pragma once

#include "clipboard/SystemPasteboard.h"
#include "clipboard/XcbAtoms.h"
#include "clipboard/XcbTextOffer.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;

// The X11 CLIPBOARD selection as a Pasteboard, over a connection of its own.
//
// Every call waits only on this object's thread, and never longer than a bounded time: an
// owner that does not answer costs that thread a second, never the window. The change count
// grows on the display server's change notices (XFixes), so reading it costs nothing; the text
// we write is served by this object until another program copies.
class XcbPasteboard : public SystemPasteboard
{
    Q_OBJECT

public:
    // Connects to the display named by DISPLAY; without one the clipboard stays empty. Can be
    // moved to another thread before its first use there.
    explicit XcbPasteboard(QObject *parent = nullptr);
    ~XcbPasteboard() override;

    bool isConnected() const { return m_window != XCB_WINDOW_NONE; }
    xcb_connection_t *connection() const { return m_connection; }

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override;
    std::optional<QString> string(const QString &type) const override;
    std::optional<QByteArray> data(const QString &mimeType) const override;
    bool setContents(const QString &text, const Formats &formats) override;
    void setChangeNotice(std::function<void()> notice) override { m_notice = std::move(notice); }

    bool keep(const QString &text, quint32 since) override;
    const XcbTextOffer &offer() const { return *m_offer; }
    // Leaves the text with the desktop's clipboard manager, or where none runs (or it did not
    // read the text) with a keeper.
    void handOver(const QString &keeperProgram) override;

    // How many targets of one owner are looked at, and how long an owner may leave a request
    // (or a piece of a large answer) unanswered.
    static constexpr int maxTargets = 1000;
    static constexpr int answerTimeoutMs = 1000;

private:
    struct Reply
    {
        xcb_atom_t type = XCB_ATOM_NONE;
        QByteArray data;
        bool tooLarge = false;
    };

    void drain() const;
    void drainLater() const;
    void dispatch(const xcb_generic_event_t *event) const;
    // Handles events until `match` takes one, for at most `ms`; false when the time ran out,
    // the clipboard changed meanwhile, the wait was interrupted or the display is gone.
    bool waitFor(const std::function<bool(const xcb_generic_event_t *)> &match, int ms,
        bool abortOnChange = true) const;
    // `answered` turns false when the owner is not worth asking again: it did not answer in
    // time, or its answer was too large.
    std::optional<Reply> read(xcb_atom_t target, bool *answered = nullptr) const;
    std::optional<Reply> takeProperty() const;
    QList<QByteArray> targets() const;
    bool hold(const QString &text, const Formats &formats, xcb_timestamp_t since);

    xcb_connection_t *m_connection = nullptr;
    std::unique_ptr<XcbAtoms> m_atoms;
    xcb_window_t m_window = XCB_WINDOW_NONE;
    uint8_t m_xfixesEvent = 0;
    QSocketNotifier *m_notifier = nullptr;
    mutable bool m_gone = false;

    // Reading the clipboard handles the display's events, and with them the change notices.
    mutable qint64 m_changeCount = 0;
    mutable xcb_window_t m_owner = XCB_WINDOW_NONE;
    mutable xcb_timestamp_t m_changedAt = XCB_CURRENT_TIME;
    std::function<void()> m_notice;
    // The targets read for the current change, so that the string read needs no second ask.
    mutable QList<QByteArray> m_targets;
    mutable qint64 m_targetsCount = -1;
    std::unique_ptr<XcbTextOffer> m_offer;
};
