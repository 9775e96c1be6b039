#include "diagnostics/CrashReporter.h"

#include "diagnostics/CrashCapture.h"
#include "diagnostics/PendingCrash.h"
#include "diagnostics/ServiceLink.h"
#include "settings/TavoSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QThreadPool>

#include <execinfo.h>

#include <cstdlib>

namespace {

const QString crashKind = QStringLiteral("crash");
constexpr int errorFrames = 15;
// Apport keeps its reports here on Ubuntu; elsewhere the folder is missing and nothing is read.
const QString apportFolder = QStringLiteral("/var/crash");

// Earlier than any report: what the mark reads as before the first run, or when it holds
// something that is not a date.
QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

// Reads each report of `sources` newer than the mark, and moves the mark past those read.
QList<PendingCrash::Record> harvest(const QList<SystemCrashReports::Source> &sources)
{
    const SettingsStore &store = TavoSettings::defaults();
    const QDateTime stored = store.date(TavoSettings::lastCrashScanKey);
    const QDateTime previous = stored.isValid() ? stored : distantPast();
    QDateTime mark = previous;
    bool listed = false;
    QList<PendingCrash::Record> found;
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
            found.append({SystemCrashReports::messageOf(*text), SystemCrashReports::stackOf(*text),
                QString()});
            if (report.date > mark)
                mark = report.date;
        }
    }
    // Written back after every look, also when nothing was new, so that an absent or mistyped
    // mark becomes a date. A mark that holds that date already is left alone: a settings write
    // is durable and costs more than the rest of the launch's crash work together.
    if (listed && mark != stored)
        store.setObject(TavoSettings::lastCrashScanKey, mark);
    return found;
}

} // namespace

namespace CrashReporter {

void install()
{
    const QString recordPath = crashFile();
    PendingCrash::removeLeftovers(recordPath);
    sendCrashes(systemSources());
    CrashCapture::install(QFile::encodeName(recordPath).constData());
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

QNetworkReply *send(const QString &kind, const QString &message, const QString &stack)
{
    // Never creates an identifier: a crash before the first report or poll goes as "?".
    QJsonObject body = ServiceLink::identity(ServiceLink::storedDeviceId());
    body.insert(QStringLiteral("kind"), kind);
    body.insert(QStringLiteral("message"), message);
    body.insert(QStringLiteral("stack"), stack);
    return ServiceLink::post(ServiceLink::crashPath, body, ServiceLink::crashTimeoutMs);
}

QString crashFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/OrvaneTavo");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/pending-crash.txt");
}

void sendCrashes(
    const QList<SystemCrashReports::Source> &sources, const std::function<void()> &done)
{
    const QString recordPath = crashFile();
    QThreadPool::globalInstance()->start([recordPath, sources, done] {
        const QList<PendingCrash::Record> found = PendingCrash::take(recordPath) + harvest(sources);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [found, done] {
                for (const PendingCrash::Record &record : found) {
                    QNetworkReply *reply = send(crashKind, record.message, record.stack);
                    if (!reply || record.file.isEmpty())
                        continue;
                    // Kept aside until the service says it has the record.
                    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, record] {
                        const std::optional<ServiceLink::Answer> answer
                            = ServiceLink::answerOf(reply);
                        if (answer && answer->status / 100 == 2)
                            QFile::remove(record.file);
                    });
                }
                if (done)
                    done();
            },
            Qt::QueuedConnection);
    });
}

QList<SystemCrashReports::Source> systemSources()
{
    return {[](const QDateTime &after) { return SystemCrashReports::fromJournal(after); },
        [](const QDateTime &) { return SystemCrashReports::fromApport(apportFolder); }};
}

} // namespace CrashReporter
