#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkReply;

// The one way of talking to the makers' service: its address and paths, the identity every
// request carries (device, version, system) and the request itself. It knows nothing of crashes,
// reports or replies; their owners build their bodies and judge the answers.
namespace ServiceLink {

inline const QString crashPath = QStringLiteral("/api/crash.php");
inline const QString reportPath = QStringLiteral("/api/report.php");
inline const QString statusPath = QStringLiteral("/api/status.php");

constexpr int crashTimeoutMs = 8000;
constexpr int pollTimeoutMs = 8000;
constexpr int reportTimeoutMs = 10000;
// A reply longer than this is not read at all: nothing the service has to say is that long.
constexpr qint64 replySizeCap = 256 * 1024;

// This installation's identifier, made and stored under "OTDeviceId" on first use. Whatever text
// is stored there is used as it stands.
QString deviceId();
// The stored identifier, or "?" when there is none yet; never writes.
QString storedDeviceId();
QString appVersion();
// "debian 12", "ubuntu 24.04": the distribution and its version, major.minor at most.
QString osString();
QString osString(
    const QString &productType, const QString &productVersion, const QString &kernelVersion);
// "d", "v" and "os", the fields that stand in every body; `deviceId` is the caller's choice.
QJsonObject identity(const QString &deviceId);

// The address, when it is https on this machine (127.0.0.0/8, ::1, localhost); otherwise an
// invalid URL. Overrides from the environment pass through this, so that no environment can
// send a build's traffic to another host.
QUrl loopbackOnly(const QString &address);
// The built-in base address, or ORVANE_SERVICE_URL when that is a loopback address.
QUrl baseUrl();

// Sends `body` as compact JSON by POST to `path` on the service. The reply deletes itself once
// finished; a body past `replySizeCap` aborts it. Null when the address is not https.
QNetworkReply *post(const QString &path, const QJsonObject &body, int timeoutMs);

// What came back over HTTP: nothing when the request failed before an answer (no network,
// refused, time-out, certificate) or the body was too long.
struct Answer
{
    int status = 0;
    QByteArray body;
};
std::optional<Answer> answerOf(QNetworkReply *reply);

} // namespace ServiceLink
