#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

// Puts a verified download in place: an AppImage is copied over the running one, a .deb is handed
// to the desktop's package installer. Knows nothing of feeds or windows.
class UpdateInstaller : public QObject
{
    Q_OBJECT

public:
    explicit UpdateInstaller(QObject *parent = nullptr);
    // A copy under way is let finish: it replaces the AppImage whole or not at all.
    ~UpdateInstaller() override;

    // Replaces `target` with `source`, whose bytes must hash to `sha256`; `finished` tells how
    // it went. Copying a package of hundreds of megabytes takes seconds: never on the caller's
    // thread.
    void replaceAppImage(const QString &target, const QString &source, const QByteArray &sha256);
    // The desktop's package installer takes the package from here, with its own confirmation.
    // False when it could not be opened.
    static bool handOver(const QString &package, const std::function<bool(const QUrl &)> &openUrl);

    bool isCopying() const { return !m_thread.isNull(); }
    // The copy stops before it replaces anything; `finished` still comes, with `cancelled` set.
    void cancel();

Q_SIGNALS:
    void finished(bool installed, const QString &error, bool cancelled);

private:
    QPointer<QThread> m_thread;
    std::shared_ptr<std::atomic_bool> m_cancelled;
};
