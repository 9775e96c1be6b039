#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Replaces a file with another one so that, at every moment, the target is either the complete
// old file or the complete new one: the new content is written to a temporary file beside the
// target, flushed to disk, given the target's permissions, and renamed over it.
namespace FileReplacer {

// `sha256` (32 raw bytes) is what the copied bytes must hash to. They are hashed as they are
// written, so what gets installed is exactly what was checked, even if the source changes after
// an earlier check. `beforeCommit`, when given, runs after the new content is written and
// before the rename; returning false abandons the replacement (tests use it to interrupt the
// write, the updater to cancel). On failure the target is untouched, no temporary file is left,
// and `error` says why (for logs).
bool replace(const QString &target, const QString &source, const QByteArray &sha256,
    QString *error = nullptr, const std::function<bool()> &beforeCommit = {});

} // namespace FileReplacer
