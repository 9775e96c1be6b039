#pragma once

#include "ServiceRecords.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

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

    // All the records in one transaction: when this answers true they are committed. A record
    // that repeats one stored in the last ten minutes from the same device and address, field
    // for field, is not stored again: it is a client sending again after a lost answer.
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
    // Open, or opened again after a lost PostgreSQL connection: at once after the loss, then
    // at growing intervals while the server stays away, so that a restarted server is found
    // again without a restart of the service and a missing one costs no wait per request.
    bool connected(QString *error);
    // After a failed statement: true when the connection itself was lost (it is then closed).
    bool lost();
    void closeConnection();
    bool appendOnce(
        const QList<ProblemReport> &reports, const QList<CrashRecord> &crashes, QString *error);
    bool pollOnce(const QString &device, qint64 now, PollAnswer *answer, QString *error);
    bool insertUnlessRepeat(QSqlQuery &repeat, QSqlQuery &insert, const QVariantList &key,
        const QVariantList &row, QString *error);
    bool run(QSqlQuery &query, QString *error);

    QString m_connectionName;
    QString m_location;
    bool m_postgres = false;
    QSqlDatabase m_db;
    std::optional<QSqlQuery> m_pollQuery;
    std::optional<QSqlQuery> m_offerQuery;
    std::optional<QSqlQuery> m_insertReport;
    std::optional<QSqlQuery> m_insertCrash;
    std::optional<QSqlQuery> m_repeatReport;
    std::optional<QSqlQuery> m_repeatCrash;
    qint64 m_retryAt = 0;
    int m_backoffMs = 0;
};
