#include "ServiceCommands.h"

#include "ServiceStore.h"
#include "TextTable.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ServiceCommands {

namespace {

QString when(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

void printJson(QTextStream &out, const QJsonObject &object)
{
    out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
}

QJsonObject reportJson(const ProblemReport &r)
{
    return {{QStringLiteral("id"), r.id}, {QStringLiteral("received"), when(r.receivedAt)},
        {QStringLiteral("device"), r.device}, {QStringLiteral("v"), r.version},
        {QStringLiteral("os"), r.os}, {QStringLiteral("text"), r.text},
        {QStringLiteral("email"), r.email}, {QStringLiteral("address"), r.address}};
}

QJsonObject replyJson(const MakerReply &r)
{
    return {{QStringLiteral("id"), r.id}, {QStringLiteral("created"), when(r.createdAt)},
        {QStringLiteral("device"), r.device}, {QStringLiteral("text"), r.text},
        {QStringLiteral("offered"), r.offeredAt ? QJsonValue(when(r.offeredAt)) : QJsonValue()}};
}

int failed(QTextStream &err, const QString &error)
{
    err << "orvanetavo-service: " << error << '\n';
    return 1;
}

} // namespace

int reports(
    ServiceStore &store, const QString &device, bool json, QTextStream &out, QTextStream &err)
{
    TextTable table({QStringLiteral("ID"), QStringLiteral("RECEIVED"), QStringLiteral("DEVICE"),
                        QStringLiteral("VERSION"), QStringLiteral("OS"), QStringLiteral("EMAIL"),
                        QStringLiteral("TEXT")},
        {0, 0, 36, 12, 20, 32, 80});
    QString error;
    const bool ok = store.forEachReport(
        device, true,
        [&](const ProblemReport &r) {
            if (json)
                printJson(out, reportJson(r));
            else
                table.addRow({QString::number(r.id), when(r.receivedAt), r.device, r.version, r.os,
                    r.email, r.text});
        },
        &error);
    if (!ok)
        return failed(err, error);
    if (!json)
        table.print(out);
    return 0;
}

int crashes(ServiceStore &store, bool json, QTextStream &out, QTextStream &err)
{
    QList<CrashGroup> groups;
    QString error;
    if (!store.crashGroups(&groups, &error))
        return failed(err, error);
    TextTable table(
        {QStringLiteral("COUNT"), QStringLiteral("LAST SEEN"), QStringLiteral("KIND"),
            QStringLiteral("VERSIONS"), QStringLiteral("SYSTEMS"), QStringLiteral("MESSAGE")},
        {0, 0, 12, 24, 32, 80});
    const QString comma = QStringLiteral(", ");
    for (const CrashGroup &g : groups) {
        if (json) {
            printJson(out,
                {{QStringLiteral("message"), g.message}, {QStringLiteral("count"), g.count},
                    {QStringLiteral("last"), when(g.lastSeen)},
                    {QStringLiteral("kinds"), QJsonArray::fromStringList(g.kinds)},
                    {QStringLiteral("versions"), QJsonArray::fromStringList(g.versions)},
                    {QStringLiteral("systems"), QJsonArray::fromStringList(g.systems)}});
        } else {
            table.addRow({QString::number(g.count), when(g.lastSeen), g.kinds.join(comma),
                g.versions.join(comma), g.systems.join(comma), g.message});
        }
    }
    if (!json)
        table.print(out);
    return 0;
}

int replies(
    ServiceStore &store, const QString &device, bool json, QTextStream &out, QTextStream &err)
{
    TextTable table({QStringLiteral("ID"), QStringLiteral("CREATED"), QStringLiteral("DEVICE"),
                        QStringLiteral("OFFERED"), QStringLiteral("TEXT")},
        {0, 0, 36, 0, 80});
    QString error;
    const bool ok = store.forEachReply(
        device,
        [&](const MakerReply &r) {
            if (json)
                printJson(out, replyJson(r));
            else
                table.addRow({QString::number(r.id), when(r.createdAt), r.device,
                    r.offeredAt ? when(r.offeredAt) : QStringLiteral("not yet"), r.text});
        },
        &error);
    if (!ok)
        return failed(err, error);
    if (!json)
        table.print(out);
    return 0;
}

int reply(ServiceStore &store, const QString &device, const QString &text, QTextStream &out,
    QTextStream &err)
{
    // The application shows nothing for an empty message, so one would block the queue.
    if (device.isEmpty() || text.trimmed().isEmpty())
        return failed(err, QStringLiteral("a reply needs a device and a text"));
    QString error;
    const qint64 id = store.addReply(device, text, QDateTime::currentMSecsSinceEpoch(), &error);
    if (id == 0)
        return failed(err, error);
    out << "reply " << id << " waits for " << device << '\n';
    return 0;
}

int exportAll(ServiceStore &store, QTextStream &out, QTextStream &err)
{
    QString error;
    const bool ok = store.forEachReport(
                        QString(), false,
                        [&](const ProblemReport &r) {
                            QJsonObject o = reportJson(r);
                            o.insert(QStringLiteral("type"), QStringLiteral("report"));
                            printJson(out, o);
                        },
                        &error)
        && store.forEachCrash(
            [&](const CrashRecord &c) {
                printJson(out,
                    {{QStringLiteral("type"), QStringLiteral("crash")},
                        {QStringLiteral("id"), c.id},
                        {QStringLiteral("received"), when(c.receivedAt)},
                        {QStringLiteral("device"), c.device}, {QStringLiteral("kind"), c.kind},
                        {QStringLiteral("message"), c.message}, {QStringLiteral("stack"), c.stack},
                        {QStringLiteral("v"), c.version}, {QStringLiteral("os"), c.os},
                        {QStringLiteral("address"), c.address}});
            },
            &error)
        && store.forEachReply(
            QString(),
            [&](const MakerReply &r) {
                QJsonObject o = replyJson(r);
                o.insert(QStringLiteral("type"), QStringLiteral("reply"));
                printJson(out, o);
            },
            &error);
    return ok ? 0 : failed(err, error);
}

} // namespace ServiceCommands
