#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reading what others may have put at a path we look at during start-up: a crash record, the
// system's crash reports. Only a regular file is ever read, and only its head, so that a link
// to a device, a FIFO with no writer or a report that holds a core dump costs no more than a
// short record.
namespace BoundedRead {

// The first `limit` bytes of the regular file at `path`. Nothing when the path is a symbolic
// link, a FIFO, a device or anything else, or when it can't be opened or read.
std::optional<QByteArray> head(const QString &path, qint64 limit);

// `bytes` as UTF-8 text; nothing when they are not. When `cut`, the bytes were cut from a
// longer text: a character that the cut left incomplete at the end is dropped, not taken as an
// error.
std::optional<QString> utf8(const QByteArray &bytes, bool cut = false);

// The head of the file as text, up to `limit` bytes, ending on a whole character.
std::optional<QString> text(const QString &path, qint64 limit);

} // namespace BoundedRead
