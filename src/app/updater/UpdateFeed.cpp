#include "updater/UpdateFeed.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

namespace {

// The feed arrives from the network: nothing in it is trusted, and every field is checked
// before it reaches the updater.

constexpr qsizetype notesCap = 20000;
constexpr qint64 largestExactJsonInteger = qint64(1) << 53;
constexpr qsizetype signatureBytes = 64;

std::optional<UpdateFeed> fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

// Absolute https URLs with a host; anything else could send the download somewhere unexpected.
std::optional<QUrl> httpsUrl(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    const QUrl url(value.toString(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"https" || url.host().isEmpty())
        return std::nullopt;
    return url;
}

// "1", "1.4.0" or "1.5.0-beta.2": numbers separated by dots, then maybe a pre-release tag.
bool parseVersion(const QString &text, UpdateFeed &feed)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+(?:\\.[0-9]+)*)(-[0-9A-Za-z.-]+)?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    const QString numeric = match.captured(1);
    qsizetype suffixIndex = -1;
    const QVersionNumber version = QVersionNumber::fromString(numeric, &suffixIndex);
    // A segment too large for QVersionNumber stops the parse early: that is not a version.
    if (version.isNull() || suffixIndex != numeric.size())
        return false;
    feed.version = version;
    feed.preRelease = match.hasCaptured(2);
    return true;
}

std::optional<UpdatePackage> parsePackage(const QJsonValue &value, QString *why)
{
    if (!value.isObject()) {
        *why = QStringLiteral("is not an object");
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    UpdatePackage package;

    const std::optional<QUrl> url = httpsUrl(object.value(u"url"));
    if (!url) {
        *why = QStringLiteral("has no absolute https url");
        return std::nullopt;
    }
    package.url = *url;

    // toInteger() keeps integers exact and refuses fractions, so 2^53 + 1 is not rounded in.
    const QJsonValue size = object.value(u"size");
    const qint64 bytes = size.isDouble() ? size.toInteger(-1) : -1;
    if (bytes <= 0 || bytes > largestExactJsonInteger) {
        *why = QStringLiteral("has no positive whole size");
        return std::nullopt;
    }
    package.size = bytes;

    const QJsonValue sha256 = object.value(u"sha256");
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!sha256.isString() || !hex.match(sha256.toString()).hasMatch()) {
        *why = QStringLiteral("has no sha256 of 64 hex digits");
        return std::nullopt;
    }
    package.sha256 = QByteArray::fromHex(sha256.toString().toLatin1());

    const QJsonValue signature = object.value(u"signature");
    if (!signature.isString()) {
        *why = QStringLiteral("has no signature");
        return std::nullopt;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        signature.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != signatureBytes) {
        *why = QStringLiteral("has a signature that is not base64 of 64 bytes");
        return std::nullopt;
    }
    package.signature = decoded.decoded;
    return package;
}

} // namespace

QString UpdateFeed::kindName(PackageKind kind)
{
    return kind == PackageKind::AppImage ? QStringLiteral("appimage") : QStringLiteral("deb");
}

std::optional<UpdateFeed> UpdateFeed::parse(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("not JSON: %1").arg(parseError.errorString()));
    if (!document.isObject())
        return fail(error, QStringLiteral("not a JSON object"));
    const QJsonObject root = document.object();

    UpdateFeed feed;
    const QJsonValue version = root.value(u"version");
    if (!version.isString())
        return fail(error, QStringLiteral("\"version\" is missing or not a string"));
    feed.versionText = version.toString();
    if (!parseVersion(feed.versionText, feed))
        return fail(error, QStringLiteral("\"version\" is not a version number"));

    const QJsonValue notes = root.value(u"notes");
    if (!notes.isString())
        return fail(error, QStringLiteral("\"notes\" is missing or not a string"));
    feed.notes = notes.toString();
    if (feed.notes.size() > notesCap) {
        // Never cut a surrogate pair in two: half a character is not text.
        qsizetype cut = notesCap;
        if (feed.notes.at(cut - 1).isHighSurrogate())
            --cut;
        feed.notes.truncate(cut);
    }

    if (root.contains(u"page")) {
        const std::optional<QUrl> page = httpsUrl(root.value(u"page"));
        if (!page)
            return fail(error, QStringLiteral("\"page\" is not an absolute https URL"));
        feed.page = *page;
    }

    if (root.contains(u"packages")) {
        const QJsonValue packages = root.value(u"packages");
        if (!packages.isObject())
            return fail(error, QStringLiteral("\"packages\" is not an object"));
        const QJsonObject kinds = packages.toObject();
        for (const PackageKind kind : {PackageKind::AppImage, PackageKind::Deb}) {
            const QString name = kindName(kind);
            if (!kinds.contains(name))
                continue;
            QString why;
            const std::optional<UpdatePackage> package = parsePackage(kinds.value(name), &why);
            if (!package)
                return fail(error, QStringLiteral("package \"%1\" %2").arg(name, why));
            feed.packages.insert(kind, *package);
        }
    }

    return feed;
}
