#pragma once

#include <QSqlDatabase>
#include <QString>

class QSqlError;

// Opening the service's database and making its schema, for SQLite and PostgreSQL alike: the
// only place that knows how the two are reached and set up.
namespace StoreSetup {

// A postgresql:// (or postgres://) address; anything else is a SQLite file path.
bool isPostgresLocation(const QString &location);

// The database's reason, never empty.
QString describe(const QSqlError &error);

// Adds the connection `connectionName` for `location` into `db` and opens it, set up for the
// service: WAL and durable commits on SQLite, quiet notices on PostgreSQL.
bool connect(
    QSqlDatabase &db, const QString &location, const QString &connectionName, QString *error);

// Makes the tables and indexes that are missing, in one transaction.
bool createSchema(QSqlDatabase &db, bool postgres, QString *error);

} // namespace StoreSetup
