#pragma once

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

// A private PostgreSQL server in a temporary folder, reached through a Unix socket in that folder
// only (no TCP port), and not waiting for the disk: it lives for one run. PostgreSQL refuses to
// run as root, so under root (as in CI) it runs as the unprivileged user "nobody".
class PgCluster
{
public:
    // False when no PostgreSQL server can start here.
    bool start()
    {
        const QDir versions("/usr/lib/postgresql", {}, QDir::Name | QDir::Reversed,
            QDir::Dirs | QDir::NoDotAndDotDot);
        m_bin = versions.filePath(versions.entryList().value(0)) + "/bin/"; // the newest
        const passwd *nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
        if (nobody && ::chown(QFile::encodeName(m_dir.path()), nobody->pw_uid, nobody->pw_gid) == 0)
            m_runAs = {"-u", "nobody", "--"};
        return tool("initdb", {"-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8"})
            && control("start");
    }
    // pg_ctl start, stop or restart, waiting until it is done.
    bool control(const QString &action)
    {
        const QString options = "-c listen_addresses='' -k " + m_dir.path() + " -F";
        return tool(
            "pg_ctl", {"-o", options, "-l", m_dir.filePath("log"), "-m", "fast", "-w", action});
    }
    // The address the service takes with --db.
    QString location() const { return "postgresql:///postgres?user=postgres&host=" + m_dir.path(); }
    ~PgCluster() { control("stop"); }

private:
    bool tool(const QString &name, const QStringList &arguments) const
    {
        QProcess process;
        const QStringList all = QStringList{m_bin + name, "-D", m_dir.filePath("data")} + arguments;
        process.start(
            m_runAs.isEmpty() ? all.first() : "runuser", m_runAs + all.mid(m_runAs.isEmpty()));
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QStringList m_runAs; // runuser's arguments before the command
};
