#include "diagnostics/PendingCrash.h"

#include "diagnostics/BoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

const QString separator = QStringLiteral("\n---\n");

QString setAside(const QString &recordPath, int starts)
{
    return recordPath + QStringLiteral(".try") + QString::number(starts);
}

bool move(const QString &from, const QString &to)
{
    // Never QFile::rename: where a rename fails it copies, and copying a FIFO waits for ever.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

namespace PendingCrash {

void removeLeftovers(const QString &recordPath)
{
    const QFileInfo record(recordPath);
    const QRegularExpression leftover(QStringLiteral("^")
        + QRegularExpression::escape(record.fileName()) + QStringLiteral(R"(\.\d+\.tmp$)"));
    const QDir folder = record.dir();
    for (const QString &name : folder.entryList(QDir::Files)) {
        if (leftover.match(name).hasMatch())
            QFile::remove(folder.filePath(name));
    }
}

QList<Record> take(const QString &recordPath)
{
    QFile::remove(setAside(recordPath, maxStarts));
    // The oldest first, each to the name of one more start, so that no name is taken twice.
    QStringList files;
    for (int starts = maxStarts - 1; starts >= 0; --starts) {
        const QString from = starts == 0 ? recordPath : setAside(recordPath, starts);
        const QString to = setAside(recordPath, starts + 1);
        if (move(from, to))
            files.append(to);
    }
    QList<Record> records;
    for (const QString &file : std::as_const(files)) {
        const std::optional<QString> text = BoundedRead::text(file, sizeCap);
        if (!text)
            continue;
        const QStringList pieces = text->split(separator);
        records.append({pieces.value(0), pieces.value(1), file});
    }
    return records;
}

} // namespace PendingCrash
