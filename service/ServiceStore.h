#pragma once

#include "ServiceRecords.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The service's one database: a SQLite file (WAL) or a PostgreSQL server, with the same schema
// and the same statements on both. Every statement is prepared with bound values.
class ServiceStore
{
public:
    enum class Mode { Create, MustExist };

    ~ServiceStore();
    ServiceStore(const ServiceStore &) = delete;
    ServiceStore &operator=(const ServiceStore &) = delete;

    // location: a file path, or a postgresql:// address. Create makes a missing SQLite file and
    // the schema; MustExist refuses a SQLite path where there is no file (a typo must not start
    // an empty database). Null with a reason on failure.
    static std::unique_ptr<ServiceStore> open(const QString &location, Mode mode, QString *error);

    bool isPostgres() const { return m_postgres; }

    // All the records in one transaction: when this answers true they are committed.
    bool append(
        const QList<ProblemReport> &reports, const QList<CrashRecord> &crashes, QString *error);

    // The reply the device should see now. Replies reach a device oldest first, one per poll;
    // the last one offered is offered again until a newer one has been offered, because the
    // device may have gone away before showing it.
    bool poll(const QString &device, qint64 now, PollAnswer *answer, QString *error);

    // The new reply's id, or 0 with a reason.
    qint64 addReply(const QString &device, const QString &text, qint64 now, QString *error);

    // Readers hand rows over one at a time, so that a large database is never held in memory.
    bool forEachReport(const QString &device, bool newestFirst,
        const std::function<void(const ProblemReport &)> &visit, QString *error);
    bool forEachCrash(const std::function<void(const CrashRecord &)> &visit, QString *error);
    bool forEachReply(const QString &device, const std::function<void(const MakerReply &)> &visit,
        QString *error);
    bool crashGroups(QList<CrashGroup> *groups, QString *error);

private:
    ServiceStore() = default;
    bool prepareHotStatements(QString *error);
    // After a lost server connection: reconnect once so that a restarted PostgreSQL does not
    // leave the service answering errors until it is restarted too.
    bool recover();
    bool run(QSqlQuery &query, QString *error);

    QString m_connectionName;
    QString m_location;
    bool m_postgres = false;
    QSqlDatabase m_db;
    std::optional<QSqlQuery> m_pollQuery;
    std::optional<QSqlQuery> m_offerQuery;
    std::optional<QSqlQuery> m_insertReport;
    std::optional<QSqlQuery> m_insertCrash;
};
