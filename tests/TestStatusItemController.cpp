#include "kit/StatusItemController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

namespace {

// A controller whose toggles are counted, with a provider that counts the menus it builds (their
// entry following the state) and keeps an eye on the last one.
struct Tray
{
    Tray()
    {
        controller.onToggle = [this] { ++toggles; };
    }

    StatusItemController controller;
    int toggles = 0;
    int calls = 0;
    QPointer<QMenu> last;
    const StatusItemController::MenuProvider provider = [this] {
        ++calls;
        auto menu = std::make_unique<QMenu>();
        menu->addAction(
            controller.isActive() ? "Désactiver le texte brut" : "Activer le texte brut");
        last = menu.get();
        return menu;
    };
};

// Whether the glyph's ink (its most opaque pixel, clear of the anti-aliased edge) is `colour`.
bool inkIs(const QIcon &icon, const QColor &colour)
{
    const QImage image = icon.pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    QColor ink(Qt::transparent);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() > ink.alpha())
                ink = image.pixelColor(x, y);
    return ink.alpha() > 200 && qAbs(ink.red() - colour.red()) <= 8
        && qAbs(ink.green() - colour.green()) <= 8 && qAbs(ink.blue() - colour.blue()) <= 8;
}

} // namespace

class TestStatusItemController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // One row per branch of the rules; clicks only report, the owner changes the state.
    void clickRules_data()
    {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QString>("action");
        using enum QSystemTrayIcon::ActivationReason;
        const Qt::KeyboardModifiers none, control(Qt::ControlModifier), shift(Qt::ShiftModifier);
        QTest::newRow("left") << Trigger << none << "toggle";
        QTest::newRow("left + Control") << Trigger << control << "menu";
        QTest::newRow("left + Shift") << Trigger << shift << "toggle";
        QTest::newRow("right") << Context << none << "menu";
        QTest::newRow("double") << DoubleClick << none << "toggle";
        QTest::newRow("middle") << MiddleClick << none << "nothing";
    }

    void clickRules()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(QString, action);
        const bool menu = action == "menu";
        Tray tray;
        tray.controller.enable(tray.provider);

        tray.controller.handleClick(reason, modifiers);
        QCOMPARE(tray.toggles, action == "toggle" ? 1 : 0);
        QCOMPARE(tray.calls, menu ? 1 : 0);
        QVERIFY(!tray.controller.isActive());
        if (menu) {
            QTRY_VERIFY(tray.last && tray.last->isVisible());
            tray.last->hide();
            // Without a provider the same click does nothing.
            tray.controller.enable(nullptr);
            tray.controller.handleClick(reason, modifiers);
            QCOMPARE(tray.toggles, 0);
            QCOMPARE(QApplication::activePopupWidget(), nullptr);
        }
    }

    // Enabled again, the icon stays and takes the new provider. Then, through the icon's own
    // signal: once the menu closes it goes, nothing stays attached for a later click to open,
    // and a left click toggles.
    void enableAgainThenMenuLeavesNothingAttached()
    {
        Tray tray;
        tray.controller.enable([] { return std::make_unique<QMenu>(); });
        const QSystemTrayIcon *first = tray.controller.trayIcon();
        tray.controller.enable(tray.provider);
        auto *icon = const_cast<QSystemTrayIcon *>(tray.controller.trayIcon());
        QCOMPARE(icon, first);

        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        QTRY_VERIFY(tray.last && tray.last->isVisible());
        tray.last->hide();
        QTRY_VERIFY(tray.last.isNull());
        QCOMPARE(icon->contextMenu(), nullptr);

        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QTRY_COMPARE(tray.toggles, 1);
        QCOMPARE(tray.calls, 1);
    }

    // The state set while hidden is drawn when the icon shows: on in a slate that is the same in
    // light and dark trays, off in the desktop's text colour.
    void iconShowsTheState()
    {
        Tray tray;
        tray.controller.setActive(true);
        QCOMPARE(tray.controller.trayIcon(), nullptr);
        tray.controller.enable(tray.provider);
        const QSystemTrayIcon *icon = tray.controller.trayIcon();
        QCOMPARE(icon->toolTip(), "Texte brut activé");
        QVERIFY(inkIs(icon->icon(), QColor::fromRgbF(0.392f, 0.455f, 0.545f)));

        tray.controller.setActive(false);
        QCOMPARE(icon->toolTip(), "Texte brut désactivé");
        QVERIFY(inkIs(icon->icon(), QApplication::palette().color(QPalette::WindowText)));
    }

    void withoutATrayTheOwnerIsTold()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("a tray is available here");
        Tray tray;
        int unavailable = 0;
        tray.controller.onUnavailable = [&] { ++unavailable; };
        tray.controller.enable(tray.provider);
        QCOMPARE(unavailable, 1);
        QVERIFY(tray.controller.isEnabled());
    }

    // The desktop draws the menu attached to a StatusNotifierItem itself, so the controller keeps
    // one there, rebuilt to follow the state; a left click still toggles.
    void statusNotifierKeepsACurrentMenuAttached()
    {
        const char *const watcher = "org.kde.StatusNotifierWatcher";
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus for this test");
        QVERIFY(bus.registerService(watcher));
        const auto unregister = qScopeGuard([&] { bus.unregisterService(watcher); });

        Tray tray;
        tray.controller.enable(tray.provider);
        tray.controller.setActive(true);
        QPointer<QMenu> attached = tray.controller.trayIcon()->contextMenu();
        QVERIFY(attached);
        QCOMPARE(attached->actions().first()->text(), "Désactiver le texte brut");

        const int calls = tray.calls;
        tray.controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(tray.toggles, 1);
        QCOMPARE(tray.calls, calls);
        QCOMPARE(tray.controller.trayIcon()->contextMenu(), attached.data());

        tray.controller.disable();
        QTRY_VERIFY(attached.isNull());
    }
};

// A session bus of the test's own, so that the desktop the tests run in never decides which
// tray protocol the controller takes.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    // Qt's tray looks for an X11-only signal on every icon it makes; offscreen that is noise.
    QLoggingCategory::setFilterRules("qt.core.qobject.connect.warning=false");
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    while (!bus.canReadLine() && bus.waitForReadyRead(5000)) { }
    const QByteArray address = bus.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS",
        address.isEmpty() ? QByteArray("unix:path=/nonexistent/orvane-test-bus") : address);

    TestStatusItemController test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int result = QTest::qExec(&test, argc, argv);
    bus.terminate();
    bus.waitForFinished(5000);
    return result;
}

#include "TestStatusItemController.moc"
