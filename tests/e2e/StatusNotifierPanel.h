#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryFile>
#include <QTest>

// What a desktop's panel offers a StatusNotifierItem: the watcher that items register with (a
// host is said to show them), on a private session bus of its own.
class StatusNotifierPanel : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

public:
    ~StatusNotifierPanel() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    // Starts the bus and registers the watcher on it; the bus's address, empty on failure.
    // Programs of every user may join: a test run as root runs some as another user.
    QString start()
    {
        if (!m_config.open()
            || m_config.write(
                   "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                   "<auth>EXTERNAL</auth><policy context='default'><allow user='*'/>"
                   "<allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>"
                   "<allow own='*'/></policy></busconfig>")
                < 0
            || !m_config.flush())
            return {};
        m_daemon.start(QStringLiteral("dbus-daemon"),
            {"--config-file=" + m_config.fileName(), "--nofork", "--print-address"});
        if (!m_daemon.waitForReadyRead(5000))
            return {};
        const QString address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QDBusConnection panel = QDBusConnection::connectToBus(address, QStringLiteral("panel"));
        const bool ok = panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
            && panel.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        return ok ? address : QString();
    }

    bool isHostRegistered() const { return true; }

    QStringList items;

    // A call to the item registered last. Never through QDBusInterface, whose introspection
    // waits 25 s for an item that is itself waiting for us.
    template<typename... Args>
    QDBusMessage call(
        const QString &path, const char *interface, const QString &method, Args... args) const
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            items.value(items.size() - 1), path, QString::fromLatin1(interface), method);
        message.setArguments({QVariant::fromValue(args)...});
        return QDBusConnection(QStringLiteral("panel"))
            .call(message, QDBus::Block, 2000); // one lost while the item starts is asked again
    }

    struct Entry
    {
        int id = 0;
        bool enabled = false;
    };
    // The entry with this label in the item's menu as the panel draws it; id 0 when none.
    Entry entry(const QString &label) const
    {
        const QDBusMessage path = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties",
            "Get", QString("org.kde.StatusNotifierItem"), QString("Menu"));
        const QVariant menu = qvariant_cast<QDBusVariant>(path.arguments().value(0)).variant();
        m_menuPath = menu.value<QDBusObjectPath>().path();
        const QDBusMessage reply
            = call(m_menuPath, "com.canonical.dbusmenu", "GetLayout", 0, -1, QStringList());
        Entry found;
        if (reply.arguments().size() == 2)
            find(qvariant_cast<QDBusArgument>(reply.arguments().at(1)), label, found);
        return found;
    }
    // Chooses the entry with this label as the user would, once the menu shows it enabled;
    // false when it did not within 5 s.
    bool choose(const QString &label) const
    {
        Entry found;
        if (!QTest::qWaitFor([&] { return (found = entry(label)).enabled; }, 5000))
            return false;
        call(m_menuPath, "com.canonical.dbusmenu", "Event", found.id, QString("clicked"),
            QVariant::fromValue(QDBusVariant(0)), 0u);
        return true;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { items.append(service); }
    void RegisterStatusNotifierHost(const QString &) { }

private:
    // Looks through a node of the menu's layout and its children.
    static void find(const QDBusArgument &node, const QString &label, Entry &found)
    {
        int id = 0;
        QVariantMap properties;
        node.beginStructure();
        node >> id >> properties;
        if (id != 0 && properties.value("label") == label)
            found = {id, properties.value("enabled", true).toBool()};
        node.beginArray();
        while (!node.atEnd()) {
            QDBusVariant child;
            node >> child;
            find(qvariant_cast<QDBusArgument>(child.variant()), label, found);
        }
        node.endArray();
        node.endStructure();
    }

    QTemporaryFile m_config;
    mutable QString m_menuPath;
    QProcess m_daemon;
};
