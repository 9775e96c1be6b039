#pragma once

#include "clipboard/KeeperFile.h"
#include "clipboard/Pasteboard.h"

#include <QObject>

#include <atomic>
#include <memory>

// The desktop's own clipboard as a Pasteboard: X11 (also through XWayland), or a Wayland
// compositor's data control. Every call waits only on this object's thread, and never longer
// than a bounded time.
class SystemPasteboard
    : public QObject
    , public Pasteboard
{
    Q_OBJECT

public:
    explicit SystemPasteboard(QObject *parent = nullptr);
    ~SystemPasteboard() override;

    // The clipboard of this session, chosen once and logged: data control where the Wayland
    // compositor offers it, X11 otherwise. ORVANE_CLIPBOARD=wayland or x11 forces one.
    static std::unique_ptr<SystemPasteboard> create();

    // The declaration takes effect together with the string that follows it: neither clipboard
    // lets an owner hold it without offering data.
    void declareTypes(const QStringList &types) override { m_declared = types; }
    bool setString(const QString &text, const QString &type) override;

    // Takes the clipboard with this text, unless someone copied since we last held it (`since`:
    // the X11 time of that copy; Wayland has none), and serves it until the next copy.
    virtual bool keep(const QString &text, quint32 since) = 0;
    // Ends the wait in progress at once; safe from any thread. Used when quitting.
    void interrupt();
    // Before quitting: leaves the text we hold where it outlives us, with the desktop's
    // clipboard manager or a keeper process started from `keeperProgram`.
    virtual void handOver(const QString &keeperProgram) = 0;

    // The serve-only mode of the program: takes the clipboard with the text handed over unless
    // it changed after its time, and serves it until the next copy. Needs no application object.
    static int runKeeper(int argc, char *argv[], const KeeperFile::Handed &handed);

Q_SIGNALS:
    // We no longer hold the clipboard, or the display is gone.
    void lost();

protected:
    // Readable while an interruption is pending; waits watch it beside the display.
    int wakeFd() const { return m_wakeFd; }
    void clearWake() const;

    std::atomic<bool> m_interrupted = false;

    // Starts the keeper with this text; false when it could not be started.
    static bool startKeeper(const QString &program, const QString &text, quint32 since);

private:
    int m_wakeFd = -1;
    QStringList m_declared;
};
