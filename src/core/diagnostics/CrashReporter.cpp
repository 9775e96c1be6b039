#include "diagnostics/CrashReporter.h"

#include "diagnostics/CrashCapture.h"
#include "diagnostics/ServiceLink.h"
#include "settings/TavoSettings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringDecoder>

#include <execinfo.h>

#include <cstdlib>

namespace {

const QString crashKind = QStringLiteral("crash");
const QString separator = QStringLiteral("\n---\n");
constexpr int errorFrames = 15;
// Apport keeps its reports here on Ubuntu; elsewhere the folder is missing and nothing is read.
const QString apportFolder = QStringLiteral("/var/crash");

// Earlier than any report: what the mark reads as before the first run, or when it holds
// something that is not a date.
QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

} // namespace

namespace CrashReporter {

void install()
{
    sendPendingCrash();
    sendSystemCrashReports();
    CrashCapture::install(QFile::encodeName(crashFile()).constData());
}

void reportError(const QString &message)
{
    void *frames[errorFrames];
    const int count = backtrace(frames, errorFrames);
    char **symbols = backtrace_symbols(frames, count);
    QStringList stack;
    for (int i = 0; symbols && i < count; ++i)
        stack.append(QString::fromLocal8Bit(symbols[i]));
    std::free(symbols);
    send(QStringLiteral("error"), message, stack.join(QLatin1Char('\n')));
}

void send(const QString &kind, const QString &message, const QString &stack)
{
    // Never creates an identifier: a crash before the first report or poll goes as "?".
    QJsonObject body = ServiceLink::identity(ServiceLink::storedDeviceId());
    body.insert(QStringLiteral("kind"), kind);
    body.insert(QStringLiteral("message"), message);
    body.insert(QStringLiteral("stack"), stack);
    // The reply deletes itself when it ends and is never read: there is no retry to decide on.
    ServiceLink::post(ServiceLink::crashPath, body, ServiceLink::crashTimeoutMs);
}

QString crashFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/OrvaneTavo");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/pending-crash.txt");
}

void sendPendingCrash()
{
    QFile file(crashFile());
    if (!file.open(QIODevice::ReadOnly))
        return;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString record = decoder.decode(file.readAll());
    file.close();
    if (decoder.hasError())
        return;
    // Removed before the upload starts, whatever becomes of it: each record is offered once.
    file.remove();
    const QStringList pieces = record.split(separator);
    send(crashKind, pieces.value(0), pieces.value(1));
}

void sendSystemCrashReports()
{
    sendSystemCrashReports(
        {[](const QDateTime &after) { return SystemCrashReports::fromJournal(after); },
            [](const QDateTime &) { return SystemCrashReports::fromApport(apportFolder); }});
}

void sendSystemCrashReports(const QList<SystemCrashReports::Source> &sources)
{
    const SettingsStore &store = TavoSettings::defaults();
    const QDateTime stored = store.date(TavoSettings::lastCrashScanKey);
    const QDateTime previous = stored.isValid() ? stored : distantPast();
    QDateTime mark = previous;
    bool listed = false;
    for (const SystemCrashReports::Source &source : sources) {
        const SystemCrashReports::Listing reports = source(previous);
        if (!reports)
            continue;
        listed = true;
        for (const SystemCrashReports::Report &report : *reports) {
            if (!report.date.isValid() || report.date <= previous)
                continue;
            // One that can't be read is tried again next time, until a newer one passes it.
            const std::optional<QString> text = report.read();
            if (!text)
                continue;
            send(crashKind, SystemCrashReports::messageOf(*text),
                SystemCrashReports::stackOf(*text));
            if (report.date > mark)
                mark = report.date;
        }
    }
    // Written back after every look, also when nothing was new, so that an absent or mistyped
    // mark becomes a date. A mark that holds that date already is left alone: a settings write
    // is durable and costs more than the rest of the launch's crash work together.
    if (listed && mark != stored)
        store.setObject(TavoSettings::lastCrashScanKey, mark);
}

} // namespace CrashReporter
