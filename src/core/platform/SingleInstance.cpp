#include "platform/SingleInstance.h"

#include "platform/PathAside.h"
#include "platform/SystemLog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray showRequest = QByteArrayLiteral("show\n");
const QByteArray shownAnswer = QByteArrayLiteral("shown\n");
// After accept() failed (no descriptor left, say), accepting resumes this much later.
constexpr int acceptPauseMs = 500;

// Only a socket that this user owns can be a copy of ours; a link, whatever it leads to, is not
// followed.
bool isOurSocket(const QString &path, struct stat *info)
{
    return ::lstat(QFile::encodeName(path).constData(), info) == 0 && S_ISSOCK(info->st_mode)
        && info->st_uid == ::getuid();
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
    if (m_fd < 0)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    // The name goes with us unless a later copy has taken it over meanwhile.
    struct stat info;
    if (isOurSocket(m_path, &info) && info.st_ino == m_inode)
        ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
}

bool SingleInstance::claim()
{
    // Two launches at the same moment must not both find no one and both listen; the lock is
    // waited for longer than a launch may take to ask.
    const QString lockPath = m_path + QStringLiteral(".lock");
    QLockFile lock(lockPath);
    lock.setStaleLockTime(0);
    const bool locked
        = PathAside::tryLock(lock, lockPath, 2 * (connectTimeoutMs + answerTimeoutMs));
    struct stat info;
    if (isOurSocket(m_path, &info) && handOver())
        return false;
    if (locked)
        listen();
    return true;
}

bool SingleInstance::handOver()
{
    QLocalSocket socket;
    socket.setReadBufferSize(requestCap);
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    socket.write(showRequest);
    // Only a copy of ours answers: any other program listening at the name does not count.
    const QDeadlineTimer deadline(answerTimeoutMs);
    while (!socket.canReadLine() && socket.bytesAvailable() < requestCap
        && socket.waitForReadyRead(int(deadline.remainingTime()))) { }
    return socket.canReadLine() && socket.readLine(requestCap) == shownAnswer;
}

void SingleInstance::listen()
{
    // Whatever is at the name belongs to no running copy: a socket of ours whose copy ended (or
    // does not answer) goes, anything else is moved aside.
    const QByteArray name = QFile::encodeName(m_path);
    struct stat info;
    if (isOurSocket(m_path, &info))
        ::unlink(name.constData());
    else if (::lstat(name.constData(), &info) == 0)
        PathAside::move(m_path);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool fits = name.size() < qsizetype(sizeof address.sun_path);
    if (fits)
        std::memcpy(address.sun_path, name.constData(), name.size());
    else
        errno = ENAMETOOLONG;
    if (fd < 0 || !fits || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::chmod(name.constData(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0
        || !isOurSocket(m_path, &info)) {
        SystemLog::write(QStringLiteral("OrvaneTavo: instance unique: %1: %2")
                             .arg(m_path, qt_error_string(errno)));
        if (fd >= 0)
            ::close(fd);
        return;
    }
    m_fd = fd;
    m_inode = info.st_ino;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SingleInstance::acceptClients);
}

void SingleInstance::acceptClients()
{
    while (m_clients < maxClients) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0)
            serve(fd);
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        else if (errno != EINTR && errno != ECONNABORTED)
            break;
    }
    // Later clients wait in the socket's queue: until one of those served ends, or, when
    // accepting failed (no descriptor left), a little while. The name stays ours throughout.
    m_notifier->setEnabled(false);
    if (m_clients < maxClients)
        QTimer::singleShot(
            acceptPauseMs, m_notifier, [notifier = m_notifier] { notifier->setEnabled(true); });
}

void SingleInstance::serve(int fd)
{
    auto *client = new QLocalSocket(this);
    // Qt reads no more than this into memory; a client that fills it without a request is
    // dropped.
    client->setReadBufferSize(requestCap);
    if (!client->setSocketDescriptor(fd)) {
        ::close(fd);
        delete client;
        return;
    }
    ++m_clients;
    connect(client, &QObject::destroyed, this, [this] {
        --m_clients;
        if (m_notifier)
            m_notifier->setEnabled(true);
    });
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] { answer(client); });
    // A launch of ours asks at once: a client that stays silent is let go.
    QTimer::singleShot(connectTimeoutMs, client, [client] {
        client->abort();
        client->deleteLater();
    });
    answer(client);
}

void SingleInstance::answer(QLocalSocket *client)
{
    if (client->canReadLine()) {
        // One request a connection: whatever follows it is never read.
        if (client->readLine(requestCap) == showRequest) {
            client->write(shownAnswer);
            Q_EMIT activationRequested();
        }
        client->disconnectFromServer();
    } else if (client->bytesAvailable() >= requestCap) {
        client->abort();
    }
}
