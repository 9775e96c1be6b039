#pragma once

#include <QObject>
#include <QString>

#include <sys/types.h>

class QLocalSocket;
class QSocketNotifier;

// Keeps one running copy of the application per user. The first copy listens on a private
// socket in the user's runtime folder; a later launch (the login item, then a click in the
// application menu) finds it there, asks it to come forward and ends once it answered, so that
// two engines never clean the same clipboard and two windows never write the same store.
//
// Only a copy that answers counts: whatever else is at the name (a socket left by a crash, a
// folder, another program listening there) is moved aside and the name taken over. The copy
// that listens never lets a client hold it up: a client is dropped once it sent more than a
// request or stayed silent, few are served at once, and running out of descriptors only
// pauses the serving.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // The socket lives in `folder`: $XDG_RUNTIME_DIR when empty.
    explicit SingleInstance(const QString &folder = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one to run: no other copy answered, and this one now
    // listens (or, where it cannot listen, runs anyway rather than not at all). False once a
    // running copy has been asked to come forward and said it does.
    bool claim();
    QString socketPath() const { return m_path; }

    // How long a launch waits for the running copy, and a client may stay silent.
    static constexpr int connectTimeoutMs = 1000;
    static constexpr int answerTimeoutMs = 2000;
    // The most a request may weigh, and the clients served at once.
    static constexpr qint64 requestCap = 64;
    static constexpr int maxClients = 32;

Q_SIGNALS:
    // Another launch asked this copy to show itself.
    void activationRequested();

private:
    bool handOver();
    void listen();
    void acceptClients();
    void serve(int fd);
    void answer(QLocalSocket *client);

    QString m_path;
    int m_fd = -1;
    ino_t m_inode = 0;
    int m_clients = 0;
    QSocketNotifier *m_notifier = nullptr;
};
