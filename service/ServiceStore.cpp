#include "ServiceStore.h"

#include "StoreSetup.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QSqlError>
#include <QSqlRecord>
#include <QVariant>

#include <atomic>

namespace {

using StoreSetup::describe;

std::atomic<int> connectionCounter{0};

// How far back a record counts as the one a client is sending again.
constexpr qint64 repeatWindowMs = 10 * 60 * 1000;
// Waits between attempts to reach a PostgreSQL server that went away.
constexpr int firstBackoffMs = 250;
constexpr int lastBackoffMs = 5000;

// A null QString binds as SQL NULL; every text column is NOT NULL, an absent value is "".
QVariant bound(const QString &value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

} // namespace

ServiceStore::~ServiceStore()
{
    closeConnection();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

std::unique_ptr<ServiceStore> ServiceStore::open(const QString &location, Mode mode, QString *error)
{
    std::unique_ptr<ServiceStore> store(new ServiceStore);
    store->m_location = location;
    store->m_postgres = StoreSetup::isPostgresLocation(location);
    store->m_connectionName = QStringLiteral("orvanetavo-service-%1").arg(++connectionCounter);
    if (!store->m_postgres && mode == Mode::MustExist && !QFileInfo::exists(location)) {
        *error = QStringLiteral("no database at %1 (the serve command makes it)").arg(location);
        return nullptr;
    }
    if (!StoreSetup::connect(store->m_db, location, store->m_connectionName, error))
        return nullptr;
    // Several service processes may start together on one PostgreSQL database; a concurrent
    // CREATE ... IF NOT EXISTS can still fail there, and the second attempt then sees the table.
    bool made = false;
    for (int attempt = 0; attempt < 3 && !made; ++attempt)
        made = StoreSetup::createSchema(store->m_db, store->m_postgres, error);
    if (!made || !store->prepareHotStatements(error))
        return nullptr;
    return store;
}

bool ServiceStore::prepareHotStatements(QString *error)
{
    const auto prepare = [this, error](std::optional<QSqlQuery> &query, const char *sql) {
        query.emplace(m_db);
        if (!query->prepare(QString::fromLatin1(sql))) {
            *error = QStringLiteral("cannot prepare a statement: %1")
                         .arg(describe(query->lastError()));
            return false;
        }
        return true;
    };
    // The last reply offered to the device and the one after it: all a poll needs to know.
    return prepare(m_pollQuery,
               "SELECT id, text, offered_at FROM replies WHERE device = ? AND id >= COALESCE("
               "(SELECT MAX(id) FROM replies WHERE device = ? AND offered_at IS NOT NULL), 0) "
               "ORDER BY id LIMIT 2")
        && prepare(
            m_offerQuery, "UPDATE replies SET offered_at = ? WHERE id = ? AND offered_at IS NULL")
        && prepare(m_insertReport,
            "INSERT INTO reports (received_at, device, version, os, text, email, address) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)")
        && prepare(m_insertCrash,
            "INSERT INTO crashes (received_at, device, kind, message, stack, version, os, "
            "address) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
        && prepare(m_repeatReport,
            "SELECT 1 FROM reports WHERE device = ? AND address = ? AND received_at >= ? "
            "AND version = ? AND os = ? AND text = ? AND email = ?")
        && prepare(m_repeatCrash,
            "SELECT 1 FROM crashes WHERE device = ? AND address = ? AND received_at >= ? "
            "AND kind = ? AND message = ? AND stack = ? AND version = ? AND os = ?");
}

void ServiceStore::closeConnection()
{
    // Queries first: a connection cannot be closed under statements that still use it.
    for (auto *query : {&m_pollQuery, &m_offerQuery, &m_insertReport, &m_insertCrash,
             &m_repeatReport, &m_repeatCrash})
        query->reset();
    m_db.close();
}

bool ServiceStore::connected(QString *error)
{
    if (m_db.isOpen() && m_insertReport)
        return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < m_retryAt) {
        *error = QStringLiteral("the database is away; next attempt in %1 ms").arg(m_retryAt - now);
        return false;
    }
    if (m_db.open() && prepareHotStatements(error)) {
        m_backoffMs = 0;
        return true;
    }
    if (!m_db.isOpen())
        *error = QStringLiteral("cannot reach the database: %1").arg(describe(m_db.lastError()));
    closeConnection();
    m_backoffMs = qBound(firstBackoffMs, m_backoffMs * 2, lastBackoffMs);
    m_retryAt = now + m_backoffMs;
    return false;
}

bool ServiceStore::lost()
{
    // The drivers do not tell a lost connection from a failed statement: ask the server.
    if (!m_postgres || (m_db.isOpen() && QSqlQuery(m_db).exec(QStringLiteral("SELECT 1"))))
        return false;
    closeConnection();
    m_retryAt = 0;
    return true;
}

bool ServiceStore::run(QSqlQuery &query, QString *error)
{
    if (query.exec())
        return true;
    *error = describe(query.lastError());
    return false;
}

bool ServiceStore::append(
    const QList<ProblemReport> &reports, const QList<CrashRecord> &crashes, QString *error)
{
    // Once more after a lost connection; a commit whose answer was lost is then found again as
    // a repeat, not stored twice.
    return connected(error)
        && (appendOnce(reports, crashes, error)
            || (lost() && connected(error) && appendOnce(reports, crashes, error)));
}

bool ServiceStore::insertUnlessRepeat(QSqlQuery &repeat, QSqlQuery &insert, const QVariantList &key,
    const QVariantList &row, QString *error)
{
    for (const QVariant &value : key)
        repeat.addBindValue(value);
    if (!run(repeat, error))
        return false;
    const bool seen = repeat.next();
    repeat.finish();
    if (seen)
        return true;
    for (const QVariant &value : row)
        insert.addBindValue(value);
    return run(insert, error);
}

bool ServiceStore::appendOnce(
    const QList<ProblemReport> &reports, const QList<CrashRecord> &crashes, QString *error)
{
    if (!m_db.transaction()) {
        *error = describe(m_db.lastError());
        return false;
    }
    bool ok = true;
    for (const ProblemReport &r : reports) {
        const qint64 since = r.receivedAt - repeatWindowMs;
        ok = insertUnlessRepeat(*m_repeatReport, *m_insertReport,
            {bound(r.device), bound(r.address), since, bound(r.version), bound(r.os), bound(r.text),
                bound(r.email)},
            {r.receivedAt, bound(r.device), bound(r.version), bound(r.os), bound(r.text),
                bound(r.email), bound(r.address)},
            error);
        if (!ok)
            break;
    }
    for (const CrashRecord &c : crashes) {
        if (!ok)
            break;
        const qint64 since = c.receivedAt - repeatWindowMs;
        ok = insertUnlessRepeat(*m_repeatCrash, *m_insertCrash,
            {bound(c.device), bound(c.address), since, bound(c.kind), bound(c.message),
                bound(c.stack), bound(c.version), bound(c.os)},
            {c.receivedAt, bound(c.device), bound(c.kind), bound(c.message), bound(c.stack),
                bound(c.version), bound(c.os), bound(c.address)},
            error);
    }
    if (ok && m_db.commit())
        return true;
    if (ok)
        *error = describe(m_db.lastError());
    m_db.rollback();
    return false;
}

bool ServiceStore::poll(const QString &device, qint64 now, PollAnswer *answer, QString *error)
{
    return connected(error)
        && (pollOnce(device, now, answer, error)
            || (lost() && connected(error) && pollOnce(device, now, answer, error)));
}

bool ServiceStore::pollOnce(const QString &device, qint64 now, PollAnswer *answer, QString *error)
{
    QSqlQuery &q = *m_pollQuery;
    q.addBindValue(device);
    q.addBindValue(device);
    if (!run(q, error))
        return false;
    struct Row
    {
        qint64 id;
        QString text;
        bool offered;
    };
    QList<Row> rows;
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString(), !q.value(2).isNull()});
    q.finish();

    *answer = PollAnswer{};
    if (rows.isEmpty())
        return true;
    // rows[0] is the last one offered, or the first reply of a device never offered any.
    const Row &next = !rows[0].offered ? rows[0] : rows.size() > 1 ? rows[1] : rows[0];
    if (!next.offered) {
        QSqlQuery &offer = *m_offerQuery;
        offer.addBindValue(now);
        offer.addBindValue(next.id);
        // A concurrent poll of the same device may have offered it first; either way it is
        // now the last one offered, which is the right answer.
        if (!run(offer, error))
            return false;
        offer.finish();
    }
    answer->mid = next.id;
    answer->msg = next.text;
    return true;
}

qint64 ServiceStore::addReply(
    const QString &device, const QString &text, qint64 now, QString *error)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral(
        "INSERT INTO replies (created_at, device, text) VALUES (?, ?, ?) RETURNING id"));
    q.addBindValue(now);
    q.addBindValue(bound(device));
    q.addBindValue(bound(text));
    if (!run(q, error))
        return 0;
    if (!q.next()) {
        *error = QStringLiteral("the database gave no id for the reply");
        return 0;
    }
    return q.value(0).toLongLong();
}

bool ServiceStore::forEachReport(const QString &device, bool newestFirst,
    const std::function<void(const ProblemReport &)> &visit, QString *error)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    const QString order = newestFirst ? QStringLiteral("DESC") : QStringLiteral("ASC");
    const QString where = device.isEmpty() ? QString() : QStringLiteral("WHERE device = ? ");
    q.prepare(QStringLiteral("SELECT id, received_at, device, version, os, text, email, address "
                             "FROM reports %1ORDER BY id %2")
                  .arg(where, order));
    if (!device.isEmpty())
        q.addBindValue(device);
    if (!run(q, error))
        return false;
    while (q.next()) {
        visit({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
            q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
            q.value(6).toString(), q.value(7).toString()});
    }
    return true;
}

bool ServiceStore::forEachCrash(
    const std::function<void(const CrashRecord &)> &visit, QString *error)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, received_at, device, kind, message, stack, version, os, "
                             "address FROM crashes ORDER BY id"));
    if (!run(q, error))
        return false;
    while (q.next()) {
        visit({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
            q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
            q.value(6).toString(), q.value(7).toString(), q.value(8).toString()});
    }
    return true;
}

bool ServiceStore::forEachReply(
    const QString &device, const std::function<void(const MakerReply &)> &visit, QString *error)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    const QString where = device.isEmpty() ? QString() : QStringLiteral("WHERE device = ? ");
    q.prepare(QStringLiteral("SELECT id, created_at, device, text, offered_at FROM replies %1"
                             "ORDER BY id")
                  .arg(where));
    if (!device.isEmpty())
        q.addBindValue(device);
    if (!run(q, error))
        return false;
    while (q.next()) {
        visit({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
            q.value(3).toString(), q.value(4).isNull() ? 0 : q.value(4).toLongLong()});
    }
    return true;
}

bool ServiceStore::crashGroups(QList<CrashGroup> *groups, QString *error)
{
    // Grouped by the database on plain columns only; lists of versions and systems are joined
    // here, because SQLite and PostgreSQL spell string aggregation differently.
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT message, kind, version, os, COUNT(*), MAX(received_at) "
                             "FROM crashes GROUP BY message, kind, version, os"));
    if (!run(q, error))
        return false;
    QMap<QString, CrashGroup> byMessage;
    while (q.next()) {
        CrashGroup &g = byMessage[q.value(0).toString()];
        g.message = q.value(0).toString();
        g.count += q.value(4).toLongLong();
        g.lastSeen = std::max(g.lastSeen, q.value(5).toLongLong());
        for (auto [list, value] : {std::pair{&g.kinds, q.value(1).toString()},
                 std::pair{&g.versions, q.value(2).toString()},
                 std::pair{&g.systems, q.value(3).toString()}}) {
            if (!list->contains(value))
                list->append(value);
        }
    }
    groups->clear();
    for (CrashGroup &g : byMessage) {
        g.kinds.sort();
        g.versions.sort();
        g.systems.sort();
        groups->append(g);
    }
    std::stable_sort(groups->begin(), groups->end(), [](const CrashGroup &a, const CrashGroup &b) {
        return a.count != b.count ? a.count > b.count : a.lastSeen > b.lastSeen;
    });
    return true;
}
