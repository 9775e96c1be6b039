#pragma once

#include "clipboard/Pasteboard.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class QTimer;

// Watches the clipboard and puts back the bare text of every styled copy.
//
// While switched on it looks at the clipboard every 0.7 s, and shortly after each change the
// display server reports. When another program has just copied something with a styled
// representation (RTF, RTFD, HTML) and a non-empty plain-text one, it replaces the whole
// content with that plain text, exactly as the owner supplied it. File and image copies, and
// spreadsheet copies while that switch is on, are left alone. Each change is examined once; the
// engine's own write is never taken for a new copy.
//
// What a cleaned copy offered as text and styled text is kept, in memory only, until the next
// change: the user can put it back once when the cleaning was not wanted.
//
// The looking happens on the engine's thread, where waiting on a slow owner harms nothing;
// switching on and off and the counter's readers stay on the caller's thread and never wait.
class TavoEngine
{
public:
    static const QStringList skipTypes;
    static const QStringList richTypes;
    static const QStringList spreadsheetMarkers;
    static constexpr int pollIntervalMs = 700;
    // After a change notice: a quiet moment to let a burst of changes end, but never longer
    // than the maximum, so a continuing burst is still looked at.
    static constexpr int settleMs = 30;
    static constexpr int maxSettleMs = 100;
    // The styled formats kept from a cleaned copy, and what it may weigh in all, its text
    // counted as held in memory; a heavier copy is not kept.
    static const QStringList keptFormats;
    static constexpr qsizetype maxKeptBytes = 16 << 20;

    // The process's engine over the system clipboard, on a thread of its own, created on first
    // use; it starts polling at once when the switch is on. Needs a QGuiApplication, and lives
    // until the process ends; when the application quits, its last clean copy is handed over.
    static TavoEngine &shared();

    // An engine over any pasteboard (tests and benchmarks), looking at it on `thread` (the
    // caller's when none). The pasteboard must outlive it and belong to that thread; the thread
    // must have finished before the engine is destroyed.
    explicit TavoEngine(Pasteboard &pasteboard, QThread *thread = nullptr);
    ~TavoEngine();
    TavoEngine(const TavoEngine &) = delete;
    TavoEngine &operator=(const TavoEngine &) = delete;

    // Whatever is on the clipboard when polling starts is never cleaned. Starting a running
    // engine changes nothing.
    void start();
    void stop();
    bool isRunning() const { return m_running; }

    // Stores the switch, then starts or stops polling: the one way the application turns
    // cleaning on or off.
    void setEnabled(bool on);
    bool isEnabled() const;

    qint64 cleanedCount() const;
    void setCleanedCount(qint64 count);

    // True while the last cleaned copy is kept and the clipboard still holds our cleaned text
    // of it. Safe from any thread.
    bool canRestore() const { return m_restorable; }
    // Puts that copy back as its owner offered it, served by us and left alone; the next copy
    // from anyone is cleaned as usual. Never waits: done on the engine's thread.
    void restore();

    // Run on the event loop of the thread that created the engine, never inside the polling
    // step: after each cleaned copy, and when canRestore changes.
    std::function<void()> onCleaned;
    std::function<void()> onRestorableChanged;

private:
    friend class TestTavoEngine;
    friend class EngineBench;

    // On the engine's thread.
    void startPolling();
    void stopPolling();
    void noticeChange();
    void tick();
    bool isSpreadsheetCopy(const QStringList &types) const;
    struct Original
    {
        QString text;
        Pasteboard::Formats formats;
        // The change count of our cleaned text: the clipboard still holds it while they match.
        qint64 cleanedAt = 0;
    };
    void keep(std::optional<Original> original);
    void post(std::function<void()> TavoEngine::*callback);

    Pasteboard &m_pasteboard;
    qint64 m_lastSeenChangeCount;
    std::atomic<bool> m_running = false;
    std::unique_ptr<QTimer> m_timer;
    std::unique_ptr<QTimer> m_settle;
    QElapsedTimer m_burst;
    std::optional<Original> m_original;
    std::atomic<bool> m_restorable = false;
    // Lives on the engine's thread: the context of everything done there.
    QObject m_worker;
    // Context of the posted callbacks: they are dropped if the engine is destroyed first.
    QObject m_callbackContext;
};
