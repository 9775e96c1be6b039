#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// Keeps one running copy of the application per user. The first copy listens on a private
// socket in the user's runtime folder; a later launch (the login item, then a click in the
// application menu) finds it there, asks it to come forward and ends, so that two engines never
// clean the same clipboard and two windows never write the same store.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // The socket lives in `folder`: $XDG_RUNTIME_DIR when empty.
    explicit SingleInstance(const QString &folder = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one to run: no other copy answered, and this one now
    // listens (or, where it cannot listen, runs anyway rather than not at all). False once a
    // running copy has been asked to come forward.
    bool claim();
    QString socketPath() const { return m_path; }

Q_SIGNALS:
    // Another launch asked this copy to show itself.
    void activationRequested();

private:
    bool handOver();
    void listen();

    QString m_path;
    QLocalServer *m_server = nullptr;
};
