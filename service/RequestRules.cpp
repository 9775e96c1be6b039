#include "RequestRules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace RequestRules {

namespace {

// Room for the longest text even when every unit of it is written as a six-byte \uXXXX escape,
// and for the other fields.
constexpr qsizetype reportBodyCap = 6 * reportTextCap + 64 * 1024;
constexpr qsizetype crashBodyCap = 64 * 1024;
// A poll carries three short identity fields; anything bigger is not the application.
constexpr qsizetype statusBodyCap = 4 * 1024;

struct Field
{
    const char *key;
    qsizetype minLength;
    qsizetype maxLength;
};

// Lengths in UTF-16 units. The device identifier is normally a 36-character UUID, but the
// application sends whatever it finds in its settings, and "?" before it has one.
constexpr Field device{"d", 1, 128};
constexpr Field version{"v", 0, 64};
constexpr Field os{"os", 0, 128};
constexpr Field text{"text", 1, reportTextCap};
constexpr Field email{"email", 0, 254};
constexpr Field kind{"kind", 1, 32};
constexpr Field message{"message", 0, 16 * 1024};
constexpr Field stack{"stack", 0, 64 * 1024};

// True when every \uXXXX escape for half of a surrogate pair stands next to its other half.
// The JSON reader does not check this: it joins a lone high half with the character after it,
// and other halves come out as "?" in the database.
bool surrogatesPaired(const QByteArray &body)
{
    bool highPending = false;
    for (qsizetype i = body.indexOf('\\'); i >= 0; i = body.indexOf('\\', i)) {
        const bool unicode = body.mid(i + 1, 1) == "u";
        const uint unit = unicode ? body.mid(i + 2, 4).toUInt(nullptr, 16) : 0;
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        // Only an escape right after the high half can complete it.
        if (highPending != low || (highPending && body.mid(i - 6, 2) != "\\u"))
            return false;
        highPending = high;
        i += unicode ? 6 : 2;
    }
    return !highPending;
}

bool parseObject(const QByteArray &body, QJsonObject *object, QString *error)
{
    if (!surrogatesPaired(body)) {
        *error = QStringLiteral("body is not valid Unicode (a lone surrogate escape)");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("body is not a JSON object (%1 at offset %2)")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("body is not a JSON object");
        return false;
    }
    *object = document.object();
    return true;
}

// Reads one text member. A missing optional member leaves the value empty.
bool takeText(
    const QJsonObject &object, const Field &field, bool required, QString *value, QString *error)
{
    const QString key = QString::fromLatin1(field.key);
    const auto it = object.constFind(key);
    if (it == object.constEnd()) {
        if (!required)
            return true;
        *error = QStringLiteral("missing key \"%1\"").arg(key);
        return false;
    }
    if (!it->isString()) {
        *error = QStringLiteral("\"%1\" must be a string").arg(key);
        return false;
    }
    const QString text = it->toString();
    if (text.size() < field.minLength || text.size() > field.maxLength) {
        *error = QStringLiteral("\"%1\" must be %2 to %3 characters long")
                     .arg(key)
                     .arg(field.minLength)
                     .arg(field.maxLength);
        return false;
    }
    // PostgreSQL cannot store NUL in text; refuse it everywhere so both stores agree.
    if (text.contains(QChar(0))) {
        *error = QStringLiteral("\"%1\" contains a NUL character").arg(key);
        return false;
    }
    *value = text;
    return true;
}

} // namespace

qsizetype bodyCap(QByteArrayView path)
{
    if (path == reportPath)
        return reportBodyCap;
    if (path == crashPath)
        return crashBodyCap;
    if (path == statusPath)
        return statusBodyCap;
    return 0;
}

bool parseReport(const QByteArray &body, ProblemReport *report, QString *error)
{
    QJsonObject object;
    if (!parseObject(body, &object, error))
        return false;
    ProblemReport r;
    if (!takeText(object, device, true, &r.device, error)
        || !takeText(object, version, true, &r.version, error)
        || !takeText(object, os, true, &r.os, error)
        || !takeText(object, text, true, &r.text, error)
        || !takeText(object, email, false, &r.email, error))
        return false;
    // The application trims the text and never sends a blank one.
    if (r.text.trimmed().isEmpty()) {
        *error = QStringLiteral("\"text\" is blank");
        return false;
    }
    *report = r;
    return true;
}

bool parseCrash(const QByteArray &body, CrashRecord *crash, QString *error)
{
    QJsonObject object;
    if (!parseObject(body, &object, error))
        return false;
    CrashRecord c;
    if (!takeText(object, device, true, &c.device, error)
        || !takeText(object, kind, true, &c.kind, error)
        || !takeText(object, message, true, &c.message, error)
        || !takeText(object, stack, true, &c.stack, error)
        || !takeText(object, version, true, &c.version, error)
        || !takeText(object, os, true, &c.os, error))
        return false;
    *crash = c;
    return true;
}

bool parseStatus(const QByteArray &body, QString *deviceId, QString *error)
{
    QJsonObject object;
    if (!parseObject(body, &object, error))
        return false;
    QString d, v, o;
    if (!takeText(object, device, true, &d, error) || !takeText(object, version, true, &v, error)
        || !takeText(object, os, true, &o, error))
        return false;
    *deviceId = d;
    return true;
}

} // namespace RequestRules
