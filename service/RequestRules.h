#pragma once

#include "ServiceRecords.h"

#include <QByteArray>
#include <QString>

// What the service accepts from the application: one JSON object per request, text values
// only, each field within its length. Anything else is refused before it reaches the store.
namespace RequestRules {

inline constexpr char reportPath[] = "/api/report.php";
inline constexpr char crashPath[] = "/api/crash.php";
inline constexpr char statusPath[] = "/api/status.php";

// The longest report text, in UTF-16 units: well above what a person types. The application's
// report field (ReportDialog::textCap) holds no more.
inline constexpr qsizetype reportTextCap = 256 * 1024;

// Largest body each path takes, in bytes; 0 for a path the service does not serve.
qsizetype bodyCap(QByteArrayView path);

// Each fills its record (or the device) and answers true, or sets a one-line reason for the
// client and answers false.
bool parseReport(const QByteArray &body, ProblemReport *report, QString *error);
bool parseCrash(const QByteArray &body, CrashRecord *crash, QString *error);
bool parseStatus(const QByteArray &body, QString *device, QString *error);

} // namespace RequestRules
