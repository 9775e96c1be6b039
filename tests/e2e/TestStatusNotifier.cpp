// The tray icon as most desktops show it (KDE Plasma, GNOME's AppIndicator extension): a
// StatusNotifierItem on the session bus. A private bus and a small watcher stand in for the
// desktop's panel; the real binary registers its item with it, and the panel's calls drive it.
#include "AppHome.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>
#include <QTest>

// What a panel offers: the watcher that items register with, and a host that shows them.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredItems() const { return items; }

    QStringList items;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { items.append(service); }
    void RegisterStatusNotifierHost(const QString &) { }
};

namespace {

// The labels of a com.canonical.dbusmenu layout, depth first; separators as "-".
void collectLabels(const QDBusArgument &node, QStringList &labels)
{
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    if (id != 0)
        labels.append(properties.value("type") == "separator"
                ? QString("-")
                : properties.value("label").toString());
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        collectLabels(qvariant_cast<QDBusArgument>(child.variant()), labels);
    }
    node.endArray();
    node.endStructure();
}

} // namespace

class TestStatusNotifier : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    QProcess m_bus;
    QProcess m_app;
    Watcher m_watcher;
    QString m_address;

    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("panel")); }

    QDBusInterface item() const
    {
        return QDBusInterface(
            m_watcher.items.value(0), "/StatusNotifierItem", "org.kde.StatusNotifierItem", bus());
    }

    QStringList menuLabels() const
    {
        const QString path = item().property("Menu").value<QDBusObjectPath>().path();
        QDBusInterface menu(m_watcher.items.value(0), path, "com.canonical.dbusmenu", bus());
        const QDBusMessage reply = menu.call("GetLayout", 0, -1, QStringList());
        QStringList labels;
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2)
            collectLabels(qvariant_cast<QDBusArgument>(reply.arguments().at(1)), labels);
        return labels;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));

        m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        QVERIFY(m_bus.waitForReadyRead(5000));
        m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
        QDBusConnection panel = QDBusConnection::connectToBus(m_address, "panel");
        QVERIFY(panel.isConnected());
        QVERIFY(panel.registerObject("/StatusNotifierWatcher", &m_watcher,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        QVERIFY(panel.registerService("org.kde.StatusNotifierWatcher"));

        QProcessEnvironment env = m_home.environment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(m_watcher.items.size(), 1, 10000);
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
        QDBusConnection::disconnectFromBus("panel");
        m_bus.terminate();
        m_bus.waitForFinished(5000);
    }

    // The menu the panel draws is the status menu, and its first entry names what it will do.
    void menuFollowsTheState()
    {
        const QStringList entries{"Désactiver le texte brut", "-", "Ouvrir OrvaneTavo…", "-",
            "Rechercher des mises à jour…", "Signaler un problème…", "-", "Quitter OrvaneTavo"};
        QTRY_COMPARE_WITH_TIMEOUT(menuLabels(), entries, 5000);

        // The panel's activation is the left click: it turns cleaning off.
        item().call("Activate", 0, 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_home.settings().value("OTEnabled"), QJsonValue(false), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(menuLabels().value(0), QString("Activer le texte brut"), 5000);

        item().call("Activate", 0, 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_home.settings().value("OTEnabled"), QJsonValue(true), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(menuLabels().value(0), entries.first(), 5000);
        QCOMPARE(m_app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestStatusNotifier)
#include "TestStatusNotifier.moc"
