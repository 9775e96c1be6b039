#pragma once

#include "clipboard/SystemPasteboard.h"

#include <QHash>

#include <atomic>
#include <functional>
#include <memory>

class QSocketNotifier;
class WaylandTextOffer;
struct wl_display;
struct wl_proxy;

// The clipboard of a Wayland session as a Pasteboard, over the compositor's data control
// (ext_data_control_v1 where offered, else zwlr_data_control_manager_v1) and a connection of
// its own: it needs no window and no focus, and sees every copy as it happens.
//
// As on X11, every wait is bounded: a source that does not write costs this object's thread a
// second, never the window. The change count grows on the compositor's selection events.
class WaylandPasteboard : public SystemPasteboard
{
    Q_OBJECT

public:
    // Connects to the compositor named by WAYLAND_DISPLAY; where it offers no data control the
    // clipboard stays empty. Can be moved to another thread before its first use there.
    explicit WaylandPasteboard(QObject *parent = nullptr);
    ~WaylandPasteboard() override;

    bool isConnected() const { return m_device != nullptr; }
    // The data control interface in use, or "none".
    const char *protocol() const;

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override;
    std::optional<QString> string(const QString &type) const override;
    std::optional<QByteArray> data(const QString &mimeType) const override;
    bool setContents(const QString &text, const Formats &formats) override;
    void setChangeNotice(std::function<void()> notice) override { m_notice = std::move(notice); }

    // Takes the clipboard unless someone else copied: only an empty clipboard or one that still
    // offers our text is taken. `since` plays no part on Wayland.
    bool keep(const QString &text, quint32 since) override;
    // There is no clipboard manager to hand over to: a keeper takes the text.
    void handOver(const QString &keeperProgram) override;

    static constexpr int answerTimeoutMs = 1000;
    static constexpr int maxTypes = 1000;

    struct Protocol;
    struct Listeners;

private:
    friend struct Listeners;

    // Reads and handles what the compositor sent, without waiting.
    void drain() const;
    // Handles the compositor's events until `fd` can be read or `done` holds, for at most
    // `ms`; false when the time ran out, the wait was interrupted or the display is gone.
    bool waitFor(int fd, int ms, const std::function<bool()> &done) const;
    // Reads the selection's bytes under one of its MIME types.
    std::optional<QByteArray> read(const QString &mimeType) const;
    void offer(const QString &text, const Formats &formats);
    void forget(wl_proxy *offer) const;

    wl_display *m_display = nullptr;
    wl_proxy *m_registry = nullptr;
    wl_proxy *m_seat = nullptr;
    wl_proxy *m_manager = nullptr;
    wl_proxy *m_device = nullptr;
    const Protocol *m_protocol = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    mutable bool m_gone = false;

    mutable qint64 m_changeCount = 0;
    std::function<void()> m_notice;
    // The offers announced, with their MIME types, and the one that is the selection.
    mutable QHash<wl_proxy *, QStringList> m_offers;
    mutable wl_proxy *m_selection = nullptr;
    // Our own write comes back as a selection event, already counted.
    mutable bool m_echo = false;
    wl_proxy *m_source = nullptr;
    WaylandTextOffer *m_offer = nullptr;
};
