#include "clipboard/TavoEngine.h"

#include "diagnostics/CrashCapture.h"

#include "clipboard/Pasteboard.h"
#include "clipboard/SystemPasteboard.h"
#include "settings/TavoSettings.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>

const QStringList TavoEngine::skipTypes{
    PasteboardType::fileUrl, PasteboardType::tiff, PasteboardType::png};
const QStringList TavoEngine::richTypes{
    PasteboardType::rtf, PasteboardType::rtfd, PasteboardType::html, PasteboardType::flatRtfd};
const QStringList TavoEngine::keptFormats{QStringLiteral("text/html"), QStringLiteral("text/rtf"),
    QStringLiteral("application/rtf"), QStringLiteral("text/richtext")};
const QStringList TavoEngine::spreadsheetMarkers{QStringLiteral("tab-separated"),
    QStringLiteral("excel"), QStringLiteral("numbers.sheet"), QStringLiteral("numbers.tsv"),
    QStringLiteral("csv")};

TavoEngine &TavoEngine::shared()
{
    // Never destroyed: the engine and its clipboard serve until the process ends.
    static TavoEngine *engine = [] {
        auto *thread = new QThread();
        thread->setObjectName(QStringLiteral("clipboard"));
        // A crash on this thread, even its stack running out, must leave its record too.
        QObject::connect(
            thread, &QThread::started, thread, &CrashCapture::prepareThread, Qt::DirectConnection);
        SystemPasteboard *pasteboard = SystemPasteboard::create().release();
        pasteboard->moveToThread(thread);
        thread->start();
        auto *shared = new TavoEngine(*pasteboard, thread);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [shared, pasteboard, thread] {
            // The clipboard keeps a copy in its owner: what we cleaned last would go with us. The
            // thread may be waiting on a slow owner; that wait ends at once.
            shared->stop();
            pasteboard->interrupt();
            const QString program = QCoreApplication::applicationFilePath();
            QMetaObject::invokeMethod(
                pasteboard, [pasteboard, program] { pasteboard->handOver(program); },
                Qt::BlockingQueuedConnection);
            thread->quit();
            thread->wait();
        });
        return shared;
    }();
    return *engine;
}

TavoEngine::TavoEngine(Pasteboard &pasteboard, QThread *thread)
    : m_pasteboard(pasteboard)
    , m_lastSeenChangeCount(pasteboard.changeCount())
{
    if (thread)
        m_worker.moveToThread(thread);
    QMetaObject::invokeMethod(
        &m_worker, [this] { m_pasteboard.setChangeNotice([this] { noticeChange(); }); });
    if (TavoSettings::isEnabled())
        start();
}

TavoEngine::~TavoEngine() = default;

void TavoEngine::start()
{
    if (m_running.exchange(true))
        return;
    // Runs at once on the engine's own thread, otherwise as soon as that thread is free.
    QMetaObject::invokeMethod(&m_worker, [this] { startPolling(); });
}

void TavoEngine::stop()
{
    if (m_running.exchange(false))
        QMetaObject::invokeMethod(&m_worker, [this] { stopPolling(); });
}

void TavoEngine::startPolling()
{
    if (!m_running)
        return;
    m_lastSeenChangeCount = m_pasteboard.changeCount();
    if (m_timer)
        return;
    m_timer = std::make_unique<QTimer>();
    m_timer->setInterval(pollIntervalMs);
    // A coarse timer may fire a little early or late, so the system can group our wake-ups
    // with others; polling goes on while menus and dialogs run their own event loops.
    m_timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this] { tick(); });
    m_timer->start();
    m_settle = std::make_unique<QTimer>();
    m_settle->setSingleShot(true);
    QObject::connect(m_settle.get(), &QTimer::timeout, m_settle.get(), [this] { tick(); });
}

void TavoEngine::stopPolling()
{
    // What cleaning off leaves on the clipboard is no longer ours to restore.
    keep(std::nullopt);
    if (m_running)
        return;
    m_timer.reset();
    m_settle.reset();
}

void TavoEngine::noticeChange()
{
    if (!m_settle)
        return;
    if (!m_settle->isActive())
        m_burst.start();
    m_settle->start(int(std::clamp<qint64>(maxSettleMs - m_burst.elapsed(), 0, settleMs)));
}

void TavoEngine::setEnabled(bool on)
{
    TavoSettings::setEnabled(on);
    if (on)
        start();
    else
        stop();
}

bool TavoEngine::isEnabled() const
{
    return TavoSettings::isEnabled();
}

qint64 TavoEngine::cleanedCount() const
{
    return TavoSettings::defaults().integer(TavoSettings::cleanedCountKey);
}

void TavoEngine::setCleanedCount(qint64 count)
{
    TavoSettings::defaults().setInteger(TavoSettings::cleanedCountKey, count);
}

void TavoEngine::tick()
{
    const qint64 changeCount = m_pasteboard.changeCount();
    if (changeCount == m_lastSeenChangeCount)
        return;
    // Consumed now, so that this change is looked at once whatever happens below.
    m_lastSeenChangeCount = changeCount;
    // Someone else copied: our cleaned text, and what it could restore, is gone.
    keep(std::nullopt);

    if (!TavoSettings::isEnabled())
        return;

    const QStringList types = m_pasteboard.types();
    if (types.isEmpty())
        return;
    for (const QString &skip : skipTypes) {
        if (types.contains(skip))
            return;
    }
    if (TavoSettings::skipTabular() && isSpreadsheetCopy(types))
        return;
    const bool styled = std::any_of(
        types.begin(), types.end(), [](const QString &type) { return richTypes.contains(type); });
    if (!styled)
        return;

    const std::optional<QString> text = m_pasteboard.string(PasteboardType::string);
    if (!text || text->isEmpty())
        return;
    Original original{*text, {}, 0};
    qsizetype kept = text->size() * qsizetype(sizeof(QChar));
    for (const QString &format : keptFormats) {
        if (kept > maxKeptBytes)
            break;
        if (std::optional<QByteArray> bytes = m_pasteboard.data(format)) {
            kept += bytes->size();
            original.formats.append({format, *std::move(bytes)});
        }
    }
    // Someone copied while we read, or the user switched us off: writing now would put older
    // text over a newer copy, or clean after the user said not to. A new copy stays unseen, so
    // the next tick looks at it.
    if (m_pasteboard.changeCount() != m_lastSeenChangeCount || !m_running)
        return;

    m_pasteboard.declareTypes({PasteboardType::string});
    const bool written = m_pasteboard.setString(*text, PasteboardType::string);
    // Our own write raised the change count; recording it keeps the next tick from taking it
    // for a new copy.
    m_lastSeenChangeCount = m_pasteboard.changeCount();
    // A write that did not take (someone copied at that very moment) cleaned nothing.
    if (!written)
        return;

    TavoSettings::defaults().increment(TavoSettings::cleanedCountKey);
    post(&TavoEngine::onCleaned);
    if (kept <= maxKeptBytes && !original.formats.isEmpty()) {
        original.cleanedAt = m_lastSeenChangeCount;
        keep(std::move(original));
    }
}

void TavoEngine::restore()
{
    QMetaObject::invokeMethod(&m_worker, [this] {
        // Someone copied since, and the next tick will say so: their copy stays.
        if (!m_original || m_pasteboard.changeCount() != m_original->cleanedAt)
            return;
        const Original original = *std::move(m_original);
        keep(std::nullopt);
        // Ours and styled on purpose: recorded so that no tick takes it for a copy to clean.
        if (m_pasteboard.setContents(original.text, original.formats))
            m_lastSeenChangeCount = m_pasteboard.changeCount();
    });
}

void TavoEngine::keep(std::optional<Original> original)
{
    m_original = std::move(original);
    const bool restorable = m_original.has_value();
    if (m_restorable.exchange(restorable) != restorable)
        post(&TavoEngine::onRestorableChanged);
}

void TavoEngine::post(std::function<void()> TavoEngine::*callback)
{
    QMetaObject::invokeMethod(
        &m_callbackContext,
        [this, callback] {
            if (this->*callback)
                (this->*callback)();
        },
        Qt::QueuedConnection);
}

bool TavoEngine::isSpreadsheetCopy(const QStringList &types) const
{
    for (const QString &type : types) {
        const QString lowered = type.toLower();
        for (const QString &marker : spreadsheetMarkers) {
            if (lowered.contains(marker))
                return true;
        }
    }
    return false;
}
