#include "clipboard/TavoEngine.h"

#include "clipboard/ClipboardPasteboard.h"
#include "clipboard/Pasteboard.h"
#include "settings/TavoSettings.h"

#include <QTimer>

const QStringList TavoEngine::skipTypes{
    PasteboardType::fileUrl, PasteboardType::tiff, PasteboardType::png};
const QStringList TavoEngine::richTypes{
    PasteboardType::rtf, PasteboardType::rtfd, PasteboardType::html, PasteboardType::flatRtfd};
const QStringList TavoEngine::spreadsheetMarkers{QStringLiteral("tab-separated"),
    QStringLiteral("excel"), QStringLiteral("numbers.sheet"), QStringLiteral("numbers.tsv"),
    QStringLiteral("csv")};

TavoEngine &TavoEngine::shared()
{
    // Never destroyed: the engine and its clipboard serve until the process ends.
    static TavoEngine *engine = new TavoEngine(*new ClipboardPasteboard());
    return *engine;
}

TavoEngine::TavoEngine(Pasteboard &pasteboard)
    : m_pasteboard(pasteboard)
    , m_lastSeenChangeCount(pasteboard.changeCount())
{
    if (TavoSettings::isEnabled())
        start();
}

TavoEngine::~TavoEngine() = default;

void TavoEngine::start()
{
    if (m_timer)
        return;
    m_lastSeenChangeCount = m_pasteboard.changeCount();
    m_timer = std::make_unique<QTimer>();
    m_timer->setInterval(pollIntervalMs);
    // A coarse timer may fire a little early or late, so the system can group our wake-ups
    // with others; polling goes on while menus and dialogs run their own event loops.
    m_timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this] { tick(); });
    m_timer->start();
}

void TavoEngine::stop()
{
    m_timer.reset();
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

    m_pasteboard.declareTypes({PasteboardType::string});
    const bool written = m_pasteboard.setString(*text, PasteboardType::string);
    // Our own write raised the change count; recording it keeps the next tick from taking it
    // for a new copy.
    m_lastSeenChangeCount = m_pasteboard.changeCount();
    // A write that did not take left the styled copy in place: nothing was cleaned.
    if (!written)
        return;

    TavoSettings::defaults().increment(TavoSettings::cleanedCountKey);
    QMetaObject::invokeMethod(
        &m_callbackContext,
        [this] {
            if (onCleaned)
                onCleaned();
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
