#pragma once

#include <QString>

// One line to the system log (ident "OrvaneTavo") and the same line on standard error.
namespace SystemLog {

void write(const QString &line);

} // namespace SystemLog
