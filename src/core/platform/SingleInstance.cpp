#include "platform/SingleInstance.h"

#include "platform/SystemLog.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int connectTimeoutMs = 1000;
const QByteArray showRequest = QByteArrayLiteral("show\n");

enum class SocketFile { Missing, Ours, Foreign };

// Never follow what another user (or a planted link) put at our name: only a socket that this
// user owns can be a copy of ours.
SocketFile inspect(const QString &path)
{
    struct stat info
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return SocketFile::Missing;
    return S_ISSOCK(info.st_mode) && info.st_uid == ::getuid() ? SocketFile::Ours
                                                               : SocketFile::Foreign;
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
{
    const QString base = folder.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        : folder;
    m_path = QDir(base).filePath(QStringLiteral("orvanetavo.socket"));
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

bool SingleInstance::claim()
{
    // Two launches at the same moment must not both find no one and both listen.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    const bool locked = lock.tryLock(2 * connectTimeoutMs);
    if (inspect(m_path) == SocketFile::Ours && handOver())
        return false;
    if (locked)
        listen();
    return true;
}

bool SingleInstance::handOver()
{
    QLocalSocket socket;
    socket.connectToServer(m_path, QIODevice::WriteOnly);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    socket.write(showRequest);
    socket.waitForBytesWritten(connectTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::listen()
{
    // Whatever is left at the name belongs to no running copy: a copy that crashed, or a file
    // that is not ours and must not be connected to.
    QFile::remove(m_path);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_path)) {
        SystemLog::write(QStringLiteral("OrvaneTavo: instance unique: ") + server->errorString());
        delete server;
        return;
    }
    connect(server, &QLocalServer::newConnection, this, [this, server] {
        while (QLocalSocket *client = server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->canReadLine() && client->readLine(64) == showRequest)
                    Q_EMIT activationRequested();
            });
        }
    });
    m_server = server;
}
