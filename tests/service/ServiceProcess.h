#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

// The real orvanetavo-service binary, started by a test on a free loopback port.
class ServiceProcess
{
public:
    struct Output
    {
        int exitCode = -1; // -1: did not end by itself within a minute
        QString out, err;
    };

    // One of the makers' commands, or another program, run to its end.
    static Output run(const QStringList &arguments, const QString &program = ORVANE_SERVICE_BINARY)
    {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {
            process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    }

    // A command's output read as one JSON object a line.
    static QList<QJsonObject> jsonLines(const QStringList &arguments)
    {
        QList<QJsonObject> objects;
        for (const QString &line : run(arguments).out.split('\n', Qt::SkipEmptyParts))
            objects << QJsonDocument::fromJson(line.toUtf8()).object();
        return objects;
    }

    // A certificate for 127.0.0.1 made for this run; the service then speaks TLS.
    bool makeCertificate()
    {
        const QStringList request = {"req", "-x509", "-newkey", "ec", "-pkeyopt",
            "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyPath(), "-out", certPath(),
            "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"};
        return run(request, "openssl").exitCode == 0;
    }
    QString certPath() const { return m_dir.filePath(QStringLiteral("cert.pem")); }
    QString keyPath() const { return m_dir.filePath(QStringLiteral("key.pem")); }

    // Serves the database on 127.0.0.1, on the port the first line of its output names.
    bool start(const QString &database, const QStringList &extra = {})
    {
        QStringList arguments = {"serve", "--db", database, "--listen", "127.0.0.1:0"};
        if (QFile::exists(certPath()))
            arguments << "--cert" << certPath() << "--key" << keyPath();
        m_process.start(QStringLiteral(ORVANE_SERVICE_BINARY), arguments + extra);
        while (m_process.waitForStarted(10000) && !m_process.canReadLine()
            && m_process.waitForReadyRead(10000)) { }
        const QByteArray line = m_process.readLine().trimmed();
        m_port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        return line.startsWith("listening on ") && m_port != 0;
    }
    quint16 port() const { return m_port; }

    // SIGTERM, on which the service commits what waits and ends with 0; or SIGKILL.
    int stop(bool kill = false)
    {
        kill ? m_process.kill() : m_process.terminate();
        const bool ended = m_process.waitForFinished(10000);
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    ~ServiceProcess() { stop(true); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};
