#pragma once

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <csignal>

// The real orvanetavo-service binary, started by a test on a free loopback port.
class ServiceProcess
{
public:
    struct Output
    {
        int exitCode = -1;
        QString out;
        QString err;
    };

    static QString binary() { return QStringLiteral(ORVANE_SERVICE_BINARY); }

    // One of the makers' commands, run to its end.
    static Output run(const QStringList &arguments)
    {
        QProcess process;
        process.start(binary(), arguments);
        Output output;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return output;
        }
        output.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        output.out = QString::fromUtf8(process.readAllStandardOutput());
        output.err = QString::fromUtf8(process.readAllStandardError());
        return output;
    }

    // A certificate for 127.0.0.1 made for this run, as the updater's test server makes one.
    bool makeCertificate()
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                QStringLiteral("-keyout"), keyPath(), QStringLiteral("-out"), certPath(),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                QStringLiteral("subjectAltName=IP:127.0.0.1")});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
            return false;
        QFile file(certPath());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        m_certificate = QSslCertificate(file.readAll());
        return !m_certificate.isNull();
    }

    QString certPath() const { return m_dir.filePath(QStringLiteral("cert.pem")); }
    QString keyPath() const { return m_dir.filePath(QStringLiteral("key.pem")); }
    QSslCertificate certificate() const { return m_certificate; }

    // Serves the database on 127.0.0.1 with a port of the system's choosing; TLS when a
    // certificate was made.
    bool start(const QString &database, const QStringList &extra = {})
    {
        QStringList arguments = {QStringLiteral("serve"), QStringLiteral("--db"), database,
            QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")};
        if (!m_certificate.isNull())
            arguments << QStringLiteral("--cert") << certPath() << QStringLiteral("--key")
                      << keyPath();
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(binary(), arguments + extra);
        if (!m_process.waitForStarted(10000))
            return false;
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000))
                return false;
        }
        const QByteArray line = m_process.readLine().trimmed();
        m_port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        return line.startsWith("listening on ") && m_port != 0;
    }

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()); }

    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(10000);
    }

    // SIGTERM: the service commits what waits and ends with 0.
    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitCode();
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            kill();
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    ~ServiceProcess() { kill(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QSslCertificate m_certificate;
    quint16 m_port = 0;
};
