#include "Palette.h"
#include "StatusItemController.h"

#include <cstdlib>

#include <QApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

namespace {

// A controller whose toggles are counted, with a provider that counts the menus it builds and
// keeps an eye on the last one.
struct Tray
{
    Tray()
    {
        controller.onToggle = [this] { ++toggles; };
    }

    StatusItemController::MenuProvider provider()
    {
        return [this] {
            ++calls;
            auto menu = std::make_unique<QMenu>();
            menu->addAction(entry());
            last = menu.get();
            return menu;
        };
    }

    StatusItemController controller;
    int toggles = 0;
    int calls = 0;
    QPointer<QMenu> last;
    std::function<QString()> entry = [] { return QString("Activer le texte brut"); };
};

// The colour of the most opaque pixel: the glyph's own ink, clear of its anti-aliased edge.
QColor ink(const QIcon &icon)
{
    const QImage image = icon.pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    QColor best(Qt::transparent);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() > best.alpha())
                best = image.pixelColor(x, y);
    return best;
}

bool near(const QColor &a, const QColor &b)
{
    return a.alpha() > 200 && std::abs(a.red() - b.red()) <= 8
        && std::abs(a.green() - b.green()) <= 8 && std::abs(a.blue() - b.blue()) <= 8;
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
        QTest::addColumn<bool>("menu");
        using enum QSystemTrayIcon::ActivationReason;
        QTest::newRow("left") << Trigger << Qt::KeyboardModifiers() << false;
        QTest::newRow("left + Control")
            << Trigger << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
        QTest::newRow("left + Shift")
            << Trigger << Qt::KeyboardModifiers(Qt::ShiftModifier) << false;
        QTest::newRow("right") << Context << Qt::KeyboardModifiers() << true;
        QTest::newRow("double") << DoubleClick << Qt::KeyboardModifiers() << false;
    }

    void clickRules()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, menu);
        Tray tray;
        tray.controller.enable(tray.provider());

        tray.controller.handleClick(reason, modifiers);
        QCOMPARE(tray.toggles, menu ? 0 : 1);
        QCOMPARE(tray.calls, menu ? 1 : 0);
        QVERIFY(!tray.controller.isActive());
        if (menu) {
            QTRY_VERIFY(tray.last && tray.last->isVisible());
            tray.last->hide();
        }
    }

    void menuClickWithoutProviderDoesNothing()
    {
        Tray tray;
        tray.controller.enable(nullptr);
        tray.controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        tray.controller.handleClick(QSystemTrayIcon::Trigger, Qt::ControlModifier);
        QCOMPARE(tray.toggles, 0);
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
    }

    // Through the icon's own signal: once the menu closes it goes, nothing stays attached for a
    // later click to open, and a left click toggles.
    void closedMenuLeavesNothingAttached()
    {
        Tray tray;
        tray.controller.enable(tray.provider());
        auto *icon = const_cast<QSystemTrayIcon *>(tray.controller.trayIcon());

        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        QTRY_VERIFY(tray.last && tray.last->isVisible());
        tray.last->hide();
        QTRY_VERIFY(tray.last.isNull());
        QCOMPARE(icon->contextMenu(), nullptr);

        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QTRY_COMPARE(tray.toggles, 1);
        QCOMPARE(tray.calls, 1);
    }

    void enableAgainKeepsTheIconAndTakesTheNewProvider()
    {
        Tray tray;
        int firstCalls = 0;
        tray.controller.enable([&] { return ++firstCalls, std::make_unique<QMenu>(); });
        const QSystemTrayIcon *icon = tray.controller.trayIcon();

        tray.controller.enable(tray.provider());
        QCOMPARE(tray.controller.trayIcon(), icon);
        tray.controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        QCOMPARE(firstCalls, 0);
        QCOMPARE(tray.calls, 1);
        QTRY_VERIFY(tray.last && tray.last->isVisible());
        tray.last->hide();
    }

    // The state, set while hidden, is drawn when the icon shows and outlives taking it down.
    void stateOutlivesTheIcon()
    {
        Tray tray;
        tray.controller.setActive(true);
        QCOMPARE(tray.controller.trayIcon(), nullptr);

        tray.controller.enable(tray.provider());
        QCOMPARE(tray.controller.trayIcon()->toolTip(), "Texte brut activé");
        QVERIFY(near(ink(tray.controller.trayIcon()->icon()), tavoSlateFixed()));

        tray.controller.disable();
        QVERIFY(!tray.controller.isEnabled());
        tray.controller.enable(tray.provider());
        QVERIFY(tray.controller.isActive());
        QCOMPARE(tray.controller.trayIcon()->toolTip(), "Texte brut activé");
        QVERIFY(near(ink(tray.controller.trayIcon()->icon()), tavoSlateFixed()));
        tray.controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(tray.toggles, 1);
    }

    // On: the fixed slate; off: the desktop's text colour, followed when the palette changes.
    void iconShowsTheStateInItsColours()
    {
        const QPalette original = QApplication::palette();
        Tray tray;
        tray.controller.enable(tray.provider());

        tray.controller.setActive(true);
        const QColor on = ink(tray.controller.trayIcon()->icon());
        QVERIFY2(near(on, tavoSlateFixed()), qPrintable(on.name(QColor::HexArgb)));
        tray.controller.setActive(false);
        QCOMPARE(tray.controller.trayIcon()->toolTip(), "Texte brut désactivé");
        QVERIFY(
            near(ink(tray.controller.trayIcon()->icon()), original.color(QPalette::WindowText)));

        QPalette changed = original;
        changed.setColor(QPalette::WindowText, QColor(200, 30, 40));
        QApplication::setPalette(changed);
        const QColor followed = ink(tray.controller.trayIcon()->icon());
        QApplication::setPalette(original);
        QVERIFY2(near(followed, QColor(200, 30, 40)), qPrintable(followed.name()));
    }

    void withoutATrayTheOwnerIsTold()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("a tray is available here");
        Tray tray;
        int unavailable = 0;
        tray.controller.onUnavailable = [&] { ++unavailable; };
        tray.controller.enable(tray.provider());
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
        tray.entry = [&] {
            return QString(
                tray.controller.isActive() ? "Désactiver le texte brut" : "Activer le texte brut");
        };
        tray.controller.enable(tray.provider());
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
    QByteArray address;
    if (bus.waitForStarted(5000)) {
        while (!bus.canReadLine() && bus.waitForReadyRead(5000)) { }
        address = bus.readLine().trimmed();
    }
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
