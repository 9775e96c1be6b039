#pragma once

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

// A private PostgreSQL server in a temporary folder, reached through a Unix socket in that
// folder only (no TCP port). PostgreSQL refuses to run as root, so under root (as in CI) it
// runs as the unprivileged user "nobody".
class PgCluster
{
public:
    // False with a reason when no PostgreSQL server can be started here.
    bool start(QString *why)
    {
        const QStringList versions
            = QDir(QStringLiteral("/usr/lib/postgresql"))
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString &v : versions) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
            if (QFile::exists(bin + QStringLiteral("/initdb"))) {
                m_bin = bin;
                break;
            }
        }
        if (m_bin.isEmpty()) {
            *why = QStringLiteral(
                "no PostgreSQL server installed (scripts/bootstrap.sh installs it)");
            return false;
        }
        if (!m_dir.isValid()) {
            *why = QStringLiteral("no temporary folder");
            return false;
        }
        if (::geteuid() == 0) {
            const passwd *nobody = ::getpwnam("nobody");
            if (!nobody
                || ::chown(
                       QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid, nobody->pw_gid)
                    != 0) {
                *why = QStringLiteral("cannot hand a folder to the user nobody");
                return false;
            }
            m_runAs = QStringLiteral("nobody");
        }
        const QString data = m_dir.filePath(QStringLiteral("data"));
        if (!runTool(QStringLiteral("initdb"),
                {QStringLiteral("-D"), data, QStringLiteral("-A"), QStringLiteral("trust"),
                    QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("--no-sync"),
                    QStringLiteral("-E"), QStringLiteral("UTF8")},
                why))
            return false;
        m_running = control(QStringLiteral("start"));
        if (!m_running)
            *why = QStringLiteral("pg_ctl start failed");
        return m_running;
    }

    // pg_ctl start, stop or restart, waiting until it is done.
    bool control(const QString &action)
    {
        // No TCP at all, and no waiting for the disk: this server lives for one test.
        const QString options = QStringLiteral("-c listen_addresses='' -k %1 -F").arg(m_dir.path());
        QString ignored;
        return runTool(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-o"),
                options, QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
                QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), action},
            &ignored);
    }

    // The address the service takes with --db.
    QString location() const
    {
        return QStringLiteral("postgresql:///postgres?host=%1&user=postgres").arg(m_dir.path());
    }

    ~PgCluster()
    {
        if (m_running) {
            QString ignored;
            runTool(QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                    QStringLiteral("immediate"), QStringLiteral("stop")},
                &ignored);
        }
    }

private:
    bool runTool(const QString &tool, const QStringList &arguments, QString *why) const
    {
        QProcess process;
        const QString path = m_bin + QLatin1Char('/') + tool;
        if (m_runAs.isEmpty())
            process.start(path, arguments);
        else
            process.start(QStringLiteral("runuser"),
                QStringList{QStringLiteral("-u"), m_runAs, QStringLiteral("--"), path} + arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            *why = QStringLiteral("%1 failed: %2")
                       .arg(tool, QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_runAs;
    bool m_running = false;
};
