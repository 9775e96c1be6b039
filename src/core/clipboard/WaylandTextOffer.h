#pragma once

#include "clipboard/Pasteboard.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The plain text we hold on a Wayland clipboard, written to whoever asks through the pipe the
// compositor hands us: UTF-8 under every name but STRING, which X11 defines as Latin-1. Writing
// never blocks: a pipe that is full waits for its reader, and a reader that takes nothing for
// five seconds is dropped. A copy put back whole also offers its styled formats, each with its
// own bytes.
class WaylandTextOffer : public QObject
{
    Q_OBJECT

public:
    explicit WaylandTextOffer(QObject *parent = nullptr);
    ~WaylandTextOffer() override;

    // The MIME types our text is offered under, in our order.
    static const QStringList types;
    static constexpr int idleMs = 5000;

    void hold(const QString &text, const Pasteboard::Formats &formats = {});
    // The text's types, then those of the formats held beside it.
    QStringList offered() const;
    // Transfers already started finish with the text they began with.
    void release();
    bool isHeld() const { return m_held; }
    const QString &text() const { return m_text; }

    // Writes the text as `type` into `fd`, which this object then owns and closes.
    void send(const QString &type, int fd);

private:
    struct Transfer;
    // Writes what the pipe takes; false once the transfer is over, done or failed.
    static bool pump(Transfer &transfer);
    void drop(Transfer *transfer);

    bool m_held = false;
    QString m_text;
    Pasteboard::Formats m_formats;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
};
