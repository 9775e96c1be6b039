#include "diagnostics/ServiceLink.h"

#include "diagnostics/SendOnceBody.h"
#include "settings/TavoSettings.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QUuid>

namespace {

Q_LOGGING_CATEGORY(lcService, "orvane.service")

const QString unknown = QStringLiteral("?");

// At most the first two dot-separated parts: "13.6.7" gives "13.6", "26" stays "26".
QString majorMinor(const QString &version)
{
    return version.section(QLatin1Char('.'), 0, 1);
}

// Made at the first request and owned by the application: an installation that never talks to
// the service does not pay for the network stack.
QNetworkAccessManager &network()
{
    static QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager(QCoreApplication::instance());
        // Gone with its connections while the application still exists: an encrypted connection
        // closed after it complains that the application is gone.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, manager,
            [] { delete manager.data(); });
    }
    return *manager;
}

// The roots that a loopback test service's certificate is signed with, from ORVANE_SERVICE_CA.
QList<QSslCertificate> extraRoots()
{
    const QString path = qEnvironmentVariable("ORVANE_SERVICE_CA");
    return path.isEmpty()
        ? QList<QSslCertificate>()
        : QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}

} // namespace

namespace ServiceLink {

QString deviceId()
{
    const SettingsStore &store = TavoSettings::defaults();
    const QString id = store.string(TavoSettings::deviceIdKey);
    if (!id.isEmpty())
        return id;
    // Made under the store's own lock, which every writer waits for a bounded time only: two
    // first calls, in this process or in another copy, agree on one identifier instead of the
    // service seeing two devices, and a lock that nobody releases holds no one up for long.
    return store
        .update(TavoSettings::deviceIdKey,
            [](const QVariant &stored) {
                const bool usable
                    = stored.typeId() == QMetaType::QString && !stored.toString().isEmpty();
                return usable
                    ? stored
                    : QVariant(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
            })
        .toString();
}

QString storedDeviceId()
{
    const QString id = TavoSettings::defaults().string(TavoSettings::deviceIdKey);
    return id.isEmpty() ? unknown : id;
}

QString appVersion()
{
    const QString version = QStringLiteral(ORVANE_VERSION);
    return version.isEmpty() ? unknown : version;
}

QString osString()
{
    return osString(QSysInfo::productType(), QSysInfo::productVersion(), QSysInfo::kernelVersion());
}

QString osString(
    const QString &productType, const QString &productVersion, const QString &kernelVersion)
{
    const auto known
        = [](const QString &text) { return !text.isEmpty() && text != QLatin1String("unknown"); };
    // Without os-release the kernel is all there is to say.
    if (!known(productType))
        return QStringLiteral("linux ") + majorMinor(kernelVersion);
    // Rolling distributions have no version.
    if (!known(productVersion))
        return productType;
    return productType + QLatin1Char(' ') + majorMinor(productVersion);
}

QJsonObject identity(const QString &deviceId)
{
    return {{QStringLiteral("d"), deviceId}, {QStringLiteral("v"), appVersion()},
        {QStringLiteral("os"), osString()}};
}

QUrl loopbackOnly(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || !url.userInfo().isEmpty())
        return {};
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return url;
    const QHostAddress ip(host);
    return !ip.isNull() && ip.isLoopback() ? url : QUrl();
}

QUrl baseUrl()
{
    const QString override = qEnvironmentVariable("ORVANE_SERVICE_URL");
    if (!override.isEmpty()) {
        const QUrl local = loopbackOnly(override);
        if (local.isValid())
            return local;
        qCWarning(lcService) << "ORVANE_SERVICE_URL ignored: only https on this machine is allowed";
    }
    return QUrl(QStringLiteral(ORVANE_SERVICE_URL));
}

QNetworkReply *post(const QString &path, const QJsonObject &body, int timeoutMs)
{
    const QUrl base = baseUrl();
    if (!base.isValid() || base.scheme() != QLatin1String("https"))
        return nullptr;
    QUrl url = base;
    url.setPath(path);
    QNetworkRequest request(url);
    // Stands in for the default of a platform that labels a body by itself; without it Qt
    // calls the JSON a form and warns at every request.
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(timeoutMs);
    // The service is one host: an answer that points elsewhere is an answer, not a new address.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Requests are minutes apart: a connection kept for the next one would only be closed at
    // the process's exit, after the application object, where Qt's TLS layer warns.
    request.setAttribute(QNetworkRequest::ConnectionCacheExpiryTimeoutSecondsAttribute, 0);
    if (loopbackOnly(base.toString()).isValid()) {
        // A service on this machine may bring its own roots; certificate checks stay on.
        QSslConfiguration tls = request.sslConfiguration();
        tls.addCaCertificates(extraRoots());
        request.setSslConfiguration(tls);
    }
    // Sent once: no second copy of a report or a crash when a connection drops.
    auto *sent = new SendOnceBody(QJsonDocument(body).toJson(QJsonDocument::Compact));
    QNetworkReply *reply = network().post(request, sent);
    sent->setParent(reply);
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
            if (received > replySizeCap || total > replySizeCap) {
                reply->setProperty("tooLarge", true);
                reply->abort();
            }
        });
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

std::optional<Answer> answerOf(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || reply->property("tooLarge").toBool())
        return std::nullopt;
    // A body that arrived whole before the progress check could stop it.
    const QByteArray body = reply->read(replySizeCap + 1);
    if (body.size() > replySizeCap)
        return std::nullopt;
    return Answer{status.toInt(), body};
}

} // namespace ServiceLink
