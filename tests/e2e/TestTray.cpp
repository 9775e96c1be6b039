// The tray icon of the real binary on a private X server, first in a real XEmbed tray (trayer):
// a left click turns cleaning off and on, a right click opens the menu. Then as most desktops
// show it (KDE Plasma, GNOME's AppIndicator extension): a StatusNotifierItem on a private bus,
// whose attached menu the panel draws and whose activation the panel calls.
#include "AppHome.h"
#include "StatusNotifierPanel.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusVariant>
#include <QTest>

namespace {

// Windows of ours that are mapped: the tray icon, and the menu while it is open.
int visibleWindows()
{
    const QByteArray ids = runTool("xdotool", {"search", "--onlyvisible", "--class", "orvanetavo"});
    return QString::fromUtf8(ids).split('\n', Qt::SkipEmptyParts).size();
}

// A click on the tray's first icon, in its top-left square; a right click again if a closing menu
// swallowed the first one. True once the icon has taken the click.
bool clickIcon(int button)
{
    const int before = visibleWindows();
    for (int attempt = 0; attempt < 3; ++attempt) {
        runTool("xdotool",
            {"mousemove", "40", "40", "mousemove", "12", "12", "click", QString::number(button)});
        if (button != 3 || QTest::qWaitFor([&] { return visibleWindows() > before; }, 2000))
            return true;
    }
    return false;
}

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

class TestTray : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    QProcess m_tray;
    QProcess m_app;

    QJsonValue enabled() const { return m_home.settings().value("OTEnabled"); }

    void launch(const QString &bus)
    {
        QProcessEnvironment env = m_home.environment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        if (bus.isEmpty())
            env.remove("DBUS_SESSION_BUS_ADDRESS");
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QVERIFY(m_app.waitForStarted());
    }

    void stop(QProcess &process)
    {
        process.terminate();
        process.waitForFinished(5000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.writeSettings({{"OTMenuBarMode", true}, {"OTOnboarded", true}}));
        m_tray.start("trayer",
            {"--edge", "top", "--align", "left", "--widthtype", "request", "--height", "24",
                "--SetDockType", "false", "--expand", "false"});
        QVERIFY(m_tray.waitForStarted());
        QTest::qWait(500);
        // No session bus: the icon goes to the XEmbed tray.
        launch({});
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindows() >= 1, 10000);
    }

    void cleanupTestCase()
    {
        stop(m_app);
        stop(m_tray);
    }

    // Only the icon is shown: the window stays hidden in tray mode. Escape closes the menu
    // without toggling; its first entry, "Désactiver le texte brut", toggles; "Ouvrir
    // OrvaneTavo…", past the separator, shows a normal window, only kept out of the task bar.
    void clicksOnTheIcon()
    {
        QCOMPARE(visibleWindows(), 1);
        for (const bool on : {false, true}) {
            clickIcon(1);
            QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(on), 5000);
        }
        // clang-format off
        const struct { QStringList keys; bool enabled; } rows[] = {
            {{"Escape"}, true}, {{"Down", "Return"}, false}, {{"Down", "Down", "Return"}, false}};
        // clang-format on
        for (const auto &row : rows) {
            QVERIFY(clickIcon(3));
            runTool("xdotool", QStringList{"key"} + row.keys);
            QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), 1 + appWindows().size(), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(row.enabled), 5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        const QByteArray props = runTool(
            "xprop", {"-id", appWindows().first(), "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE"});
        QVERIFY2(props.contains("_NET_WM_WINDOW_TYPE_NORMAL"), props.constData());
        QVERIFY2(props.contains("_NET_WM_STATE_SKIP_TASKBAR"), props.constData());
    }

    // A second launch hands over to the running copy and ends: still one icon and one window.
    void secondLaunchHandsOver()
    {
        const int before = visibleWindows();
        QProcess second;
        second.setProcessEnvironment(m_app.processEnvironment());
        second.start(ORVANETAVO_BINARY);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QTest::qWait(500);
        QCOMPARE(visibleWindows(), before);
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    // The menu the panel draws is the status menu, its first entry naming what it will do; the
    // panel's activation is the left click.
    void statusNotifierItem()
    {
        stop(m_app);
        StatusNotifierPanel panel;
        const QString bus = panel.start();
        QVERIFY(!bus.isEmpty());
        launch(bus);
        QTRY_COMPARE_WITH_TIMEOUT(panel.items.size(), 1, 10000);
        // Asked afresh each time: an interface made before the item has exported its object
        // stays invalid.
        const auto call
            = [&](const QString &path, const char *interface, const QString &method, auto... args) {
                  QDBusInterface target(panel.items[0], path, interface, panel.bus());
                  target.setTimeout(2000); // a call lost while the item starts is asked again
                  return target.call(method, args...);
              };
        const auto menuLabel = [&] {
            const QDBusMessage path = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                "Get", QString("org.kde.StatusNotifierItem"), QString("Menu"));
            const QDBusVariant menu = path.arguments().value(0).value<QDBusVariant>();
            const QDBusMessage reply = call(menu.variant().value<QDBusObjectPath>().path(),
                "com.canonical.dbusmenu", "GetLayout", 0, -1, QStringList());
            QStringList labels;
            if (reply.arguments().size() == 2)
                collectLabels(qvariant_cast<QDBusArgument>(reply.arguments().at(1)), labels);
            return labels.value(0);
        };
        for (const bool on : {false, true}) {
            if (on)
                call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", 0, 0);
            QTRY_COMPARE_WITH_TIMEOUT(enabled(), QJsonValue(on), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(
                menuLabel(), on ? "Désactiver le texte brut" : "Activer le texte brut", 5000);
        }
        QCOMPARE(m_app.state(), QProcess::Running);
        stop(m_app);
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "TestTray.moc"
