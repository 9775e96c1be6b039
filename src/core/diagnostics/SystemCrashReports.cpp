#include "diagnostics/SystemCrashReports.h"

#include "diagnostics/BoundedRead.h"
#include "platform/RunningAppImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBoundaryFinder>

#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

const QString executablePrefix = QStringLiteral("orvanetavo");
// systemd-coredump's "Process … dumped core" entries.
constexpr auto coredumpMessageId = "MESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1";
constexpr qsizetype stackLimit = 18000;
// What is read of one report: room for the 18000 characters sent and the lines around them,
// not for the core dump that an apport report may carry.
constexpr qint64 readLimit = 256 * 1024;

// The value of one field of the current entry, without its "NAME=".
std::optional<QByteArray> field(sd_journal *journal, const char *name)
{
    const void *data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(journal, name, &data, &length) < 0)
        return std::nullopt;
    const QByteArray whole(static_cast<const char *>(data), qsizetype(length));
    return whole.mid(whole.indexOf('=') + 1);
}

} // namespace

namespace SystemCrashReports {

Listing fromJournal(const QDateTime &after, const QStringList &files)
{
    sd_journal *journal = nullptr;
    int opened;
    if (files.isEmpty()) {
        opened = sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
    } else {
        QList<QByteArray> paths;
        for (const QString &file : files)
            paths.append(QFile::encodeName(file));
        std::vector<const char *> list;
        for (const QByteArray &path : paths)
            list.push_back(path.constData());
        list.push_back(nullptr);
        opened = sd_journal_open_files(&journal, list.data(), 0);
    }
    if (opened < 0)
        return std::nullopt;

    // Only this user's crashes: the journal may hold everyone's when we may read it all.
    const QByteArray uid = "COREDUMP_UID=" + QByteArray::number(getuid());
    sd_journal_add_match(journal, coredumpMessageId, 0);
    sd_journal_add_match(journal, uid.constData(), 0);
    // The head of a long MESSAGE is all that is sent. The threshold is only a hint, so it is cut
    // here as well, and where the journal cut it (its threshold counts the field's name) a
    // character may be left incomplete at the end.
    sd_journal_set_data_threshold(journal, size_t(readLimit));
    // Straight to the first entry that can be new; the distant past lies before the epoch.
    if (after.isValid() && after.toMSecsSinceEpoch() > 0)
        sd_journal_seek_realtime_usec(journal, quint64(after.toMSecsSinceEpoch()) * 1000);
    else
        sd_journal_seek_head(journal);

    QList<Report> reports;
    while (sd_journal_next(journal) > 0) {
        const std::optional<QByteArray> exe = field(journal, "COREDUMP_EXE");
        if (!exe || !isOurExecutable(QFile::decodeName(*exe)))
            continue;
        uint64_t usec = 0;
        if (sd_journal_get_realtime_usec(journal, &usec) < 0)
            continue;
        // To the millisecond, as the mark is kept: the same entry never looks newer than itself.
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(qint64(usec / 1000), Qt::UTC);
        const std::optional<QByteArray> message = field(journal, "MESSAGE");
        const std::optional<QString> text
            = message ? BoundedRead::utf8(message->left(readLimit), true) : std::nullopt;
        reports.append({date, [text] { return text; }});
    }
    sd_journal_close(journal);
    return reports;
}

Listing fromApport(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists() || !dir.isReadable())
        return std::nullopt;
    QList<Report> reports;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        // /var/crash is shared by all users: another user's report is not ours to send.
        if (!isOurApportName(entry.fileName()) || entry.ownerId() != getuid())
            continue;
        const QString path = entry.absoluteFilePath();
        reports.append(
            {entry.lastModified().toUTC(), [path] { return BoundedRead::text(path, readLimit); }});
    }
    return reports;
}

bool isOurExecutable(const QString &path)
{
    if (QFileInfo(path).fileName().startsWith(executablePrefix))
        return true;
    const QString appImage = RunningAppImage::path();
    return !appImage.isEmpty() && path == appImage;
}

bool isOurApportName(const QString &fileName)
{
    static const QString suffix = QStringLiteral(".crash");
    if (!fileName.endsWith(suffix))
        return false;
    // "_usr_bin_orvanetavo.1000.crash": the executable's file name follows the last '_'.
    const QString executable = fileName.section(QLatin1Char('_'), -1);
    return fileName.contains(QLatin1Char('_')) && executable.startsWith(executablePrefix);
}

QString messageOf(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("Exception"))
            || line.contains(QLatin1String("Termination")))
            return line;
    }
    return QStringLiteral("Rapport système Linux");
}

QString stackOf(const QString &text)
{
    if (text.size() <= stackLimit)
        return text;
    // Characters as the reader sees them: a surrogate pair or a letter with its accents stays
    // whole.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype count = 0; count < stackLimit; ++count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

} // namespace SystemCrashReports
