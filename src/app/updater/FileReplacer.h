#pragma once

#include <QString>

#include <functional>

// Replaces a file with another one so that, at every moment, the target is either the complete
// old file or the complete new one: the new content is written to a temporary file beside the
// target, flushed to disk, given the target's permissions, and renamed over it.
namespace FileReplacer {

// `beforeCommit`, when given, runs after the new content is written and before the rename;
// returning false abandons the replacement (tests use it to interrupt the write). On failure the
// target is untouched, no temporary file is left, and `error` says why (for logs).
bool replace(const QString &target, const QString &source, QString *error = nullptr,
    const std::function<bool()> &beforeCommit = {});

} // namespace FileReplacer
