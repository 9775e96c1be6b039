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
            = QDir("/usr/lib/postgresql")
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString &v : versions) {
            if (m_bin.isEmpty() && QFile::exists("/usr/lib/postgresql/" + v + "/bin/initdb"))
                m_bin = "/usr/lib/postgresql/" + v + "/bin/";
        }
        const passwd *nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
        if (nobody
            && ::chown(QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid, nobody->pw_gid)
                == 0)
            m_runAs = "nobody";
        if (m_bin.isEmpty() || !m_dir.isValid() || (::geteuid() == 0 && m_runAs.isEmpty()))
            *why = "no PostgreSQL server installed (scripts/bootstrap.sh installs it), or no "
                   "folder for it";
        else if (!tool("initdb",
                     {"-D", m_dir.filePath("data"), "-A", "trust", "-U", "postgres", "--no-sync",
                         "-E", "UTF8"})
            || !(m_running = control("start")))
            *why = "initdb or pg_ctl failed: " + m_dir.filePath("log");
        return m_running;
    }

    // pg_ctl start, stop or restart, waiting until it is done. No TCP at all, and no waiting
    // for the disk: this server lives for one test.
    bool control(const QString &action)
    {
        const QString options = "-c listen_addresses='' -k " + m_dir.path() + " -F";
        return tool("pg_ctl",
            {"-D", m_dir.filePath("data"), "-o", options, "-l", m_dir.filePath("log"), "-m", "fast",
                "-w", action});
    }

    // The address the service takes with --db.
    QString location() const
    {
        return "postgresql:///postgres?host=" + m_dir.path() + "&user=postgres";
    }

    ~PgCluster()
    {
        if (m_running)
            tool("pg_ctl", {"-D", m_dir.filePath("data"), "-m", "immediate", "stop"});
    }

private:
    bool tool(const QString &name, const QStringList &arguments) const
    {
        QProcess process;
        if (m_runAs.isEmpty())
            process.start(m_bin + name, arguments);
        else
            process.start("runuser", QStringList{"-u", m_runAs, "--", m_bin + name} + arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_runAs;
    bool m_running = false;
};
