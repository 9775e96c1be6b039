#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QStringList>

// What a desktop's panel offers a StatusNotifierItem: the watcher that items register with (a
// host is said to show them), on a private session bus of its own.
class StatusNotifierPanel : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

public:
    ~StatusNotifierPanel() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    // Starts the bus and registers the watcher on it; the bus's address, empty on failure.
    QString start()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        if (!m_daemon.waitForReadyRead(5000))
            return {};
        const QString address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QDBusConnection panel = QDBusConnection::connectToBus(address, QStringLiteral("panel"));
        const bool ok = panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
            && panel.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        return ok ? address : QString();
    }

    static QDBusConnection bus() { return QDBusConnection(QStringLiteral("panel")); }

    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredItems() const { return items; }

    QStringList items;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { items.append(service); }
    void RegisterStatusNotifierHost(const QString &) { }

private:
    QProcess m_daemon;
};
