#pragma once

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class Pasteboard;
class QTimer;

// Watches the clipboard and puts back the bare text of every styled copy.
//
// While switched on it looks at the clipboard every 0.7 s. When another program has just
// copied something with a styled representation (RTF, RTFD, HTML) and a non-empty plain-text
// one, it replaces the whole content with that plain text, exactly as the owner supplied it.
// File and image copies, and spreadsheet copies while that switch is on, are left alone. Each
// change is examined once; the engine's own write is never taken for a new copy.
class TavoEngine
{
public:
    static const QStringList skipTypes;
    static const QStringList richTypes;
    static const QStringList spreadsheetMarkers;
    static constexpr int pollIntervalMs = 700;

    // The process's engine over the system clipboard, created on first use; it starts polling
    // at once when the switch is on. Needs a QGuiApplication, and lives until the process ends.
    static TavoEngine &shared();

    // An engine over any pasteboard (tests and benchmarks); the pasteboard must outlive it.
    explicit TavoEngine(Pasteboard &pasteboard);
    ~TavoEngine();
    TavoEngine(const TavoEngine &) = delete;
    TavoEngine &operator=(const TavoEngine &) = delete;

    // Whatever is on the clipboard when polling starts is never cleaned. Starting a running
    // engine changes nothing.
    void start();
    void stop();
    bool isRunning() const { return m_timer != nullptr; }

    // Stores the switch, then starts or stops polling: the one way the application turns
    // cleaning on or off.
    void setEnabled(bool on);
    bool isEnabled() const;

    qint64 cleanedCount() const;
    void setCleanedCount(qint64 count);

    // Runs on the event loop after each cleaned copy, never inside the polling step.
    std::function<void()> onCleaned;

private:
    friend class TestTavoEngine;
    friend class EngineBench;

    void tick();
    bool isSpreadsheetCopy(const QStringList &types) const;

    Pasteboard &m_pasteboard;
    qint64 m_lastSeenChangeCount;
    std::unique_ptr<QTimer> m_timer;
    // Context of the posted callbacks: they are dropped if the engine is destroyed first.
    QObject m_callbackContext;
};
