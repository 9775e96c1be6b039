#include "updater/UpdateInstaller.h"

#include "updater/FileReplacer.h"

UpdateInstaller::UpdateInstaller(QObject *parent)
    : QObject(parent)
{
}

UpdateInstaller::~UpdateInstaller()
{
    if (m_thread) {
        m_thread->wait();
        delete m_thread.data();
    }
}

void UpdateInstaller::replaceAppImage(
    const QString &target, const QString &source, const QByteArray &sha256)
{
    const auto cancelled = std::make_shared<std::atomic_bool>(false);
    const auto outcome = std::make_shared<std::pair<bool, QString>>();
    m_cancelled = cancelled;
    // The copy checks the SHA-256 of the very bytes it installs.
    m_thread = QThread::create([target, source, sha256, cancelled, outcome] {
        outcome->first = FileReplacer::replace(
            target, source, sha256, &outcome->second, [cancelled] { return !*cancelled; });
    });
    connect(m_thread, &QThread::finished, this, [this, outcome, cancelled] {
        m_thread = nullptr;
        Q_EMIT finished(outcome->first, outcome->second, *cancelled);
    });
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start();
}

bool UpdateInstaller::handOver(
    const QString &package, const std::function<bool(const QUrl &)> &openUrl)
{
    return openUrl && openUrl(QUrl::fromLocalFile(package));
}

void UpdateInstaller::cancel()
{
    if (m_thread)
        *m_cancelled = true;
}
