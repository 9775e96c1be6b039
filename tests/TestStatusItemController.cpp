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
#include <QTimer>

namespace {

// Counts its calls and keeps an eye on the last menu it built.
struct MenuSource
{
    int calls = 0;
    QPointer<QMenu> last;
    std::function<QString()> entry = [] { return QString("Activer le texte brut"); };

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
};

// The colour of the most opaque pixel: the glyph's own ink, clear of its anti-aliased edge.
QColor ink(const QIcon &icon)
{
    const QImage image = icon.pixmap(22).toImage().convertToFormat(QImage::Format_ARGB32);
    QColor best(Qt::transparent);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            if (colour.alpha() > best.alpha())
                best = colour;
        }
    }
    return best;
}

bool near(const QColor &a, const QColor &b)
{
    return a.alpha() > 200 && std::abs(a.red() - b.red()) <= 8
        && std::abs(a.green() - b.green()) <= 8 && std::abs(a.blue() - b.blue()) <= 8;
}

const char *const statusNotifierWatcher = "org.kde.StatusNotifierWatcher";

} // namespace

class TestStatusItemController : public QObject
{
    Q_OBJECT

private:
    static QTimer *retryTimer(const StatusItemController &controller)
    {
        return controller.m_retryTimer.get();
    }

private Q_SLOTS:
    void clickRules_data()
    {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<bool>("menu");
        const auto row = [](const char *name, QSystemTrayIcon::ActivationReason reason,
                             Qt::KeyboardModifiers modifiers,
                             bool menu) { QTest::newRow(name) << reason << modifiers << menu; };
        using enum QSystemTrayIcon::ActivationReason;
        row("left", Trigger, Qt::NoModifier, false);
        row("left + Control", Trigger, Qt::ControlModifier, true);
        row("left + Control + Shift", Trigger, Qt::ControlModifier | Qt::ShiftModifier, true);
        row("left + Shift", Trigger, Qt::ShiftModifier, false);
        row("left + Alt", Trigger, Qt::AltModifier, false);
        row("left + Meta", Trigger, Qt::MetaModifier, false);
        row("right", Context, Qt::NoModifier, true);
        row("right + Control", Context, Qt::ControlModifier, true);
        row("double", DoubleClick, Qt::NoModifier, false);
        row("double + Control", DoubleClick, Qt::ControlModifier, false);
        row("middle", MiddleClick, Qt::NoModifier, false);
        row("unknown", Unknown, Qt::NoModifier, false);
    }

    void clickRules()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, menu);
        StatusItemController controller;
        MenuSource source;
        int toggles = 0;
        controller.onToggle = [&] { ++toggles; };
        controller.enable(source.provider());

        controller.handleClick(reason, modifiers);

        QCOMPARE(toggles, menu ? 0 : 1);
        QCOMPARE(source.calls, menu ? 1 : 0);
        // Clicks report; only the owner changes the state.
        QVERIFY(!controller.isActive());
        QCOMPARE(controller.trayIcon()->toolTip(), "Texte brut désactivé");
        if (menu) {
            QTRY_VERIFY(source.last && source.last->isVisible());
            source.last->hide();
            // Closed, the menu goes; nothing stays attached for a later click to open.
            QTRY_VERIFY(source.last.isNull());
        }
        QCOMPARE(controller.trayIcon()->contextMenu(), nullptr);
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
    }

    void menuClickWithoutIconOrProviderDoesNothing_data()
    {
        QTest::addColumn<bool>("everEnabled");
        QTest::addColumn<bool>("withProvider");
        QTest::addColumn<bool>("disabled");
        QTest::newRow("never shown") << false << false << false;
        QTest::newRow("shown without provider") << true << false << false;
        QTest::newRow("shown, then taken down") << true << true << true;
    }

    void menuClickWithoutIconOrProviderDoesNothing()
    {
        QFETCH(bool, everEnabled);
        QFETCH(bool, withProvider);
        QFETCH(bool, disabled);
        StatusItemController controller;
        MenuSource source;
        int toggles = 0;
        controller.onToggle = [&] { ++toggles; };
        if (everEnabled)
            controller.enable(withProvider ? source.provider() : nullptr);
        if (disabled)
            controller.disable();

        controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::ControlModifier);

        QCOMPARE(toggles, 0);
        QCOMPARE(source.calls, 0);
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
        // A plain left click still reaches the owner, shown or not.
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(toggles, 1);
    }

    void clicksOnTheIconReachTheRules()
    {
        StatusItemController controller;
        MenuSource source;
        int toggles = 0;
        controller.onToggle = [&] { ++toggles; };
        controller.enable(source.provider());
        auto *icon = const_cast<QSystemTrayIcon *>(controller.trayIcon());

        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        QTRY_VERIFY(source.last && source.last->isVisible());
        QCOMPARE(toggles, 0);
        source.last->hide();
        QTRY_VERIFY(source.last.isNull());

        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QTRY_COMPARE(toggles, 1);
        QCOMPARE(source.calls, 1);
        QCOMPARE(icon->contextMenu(), nullptr);
    }

    void secondMenuClickReplacesAnOpenMenu()
    {
        StatusItemController controller;
        MenuSource source;
        controller.enable(source.provider());

        controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        QTRY_VERIFY(source.last && source.last->isVisible());
        const QPointer<QMenu> first = source.last;
        controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        QTRY_VERIFY(first.isNull());
        QVERIFY(source.last && source.last->isVisible());

        // Taking the icon down closes and drops the open menu.
        controller.disable();
        QTRY_VERIFY(source.last.isNull());
    }

    void enableAgainKeepsTheIconAndTakesTheNewProvider()
    {
        StatusItemController controller;
        MenuSource first;
        MenuSource second;
        controller.enable(first.provider());
        const QSystemTrayIcon *icon = controller.trayIcon();
        controller.setActive(true);

        controller.enable(second.provider());

        QCOMPARE(controller.trayIcon(), icon);
        QCOMPARE(icon->toolTip(), "Texte brut activé");
        controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        QCOMPARE(first.calls, 0);
        QCOMPARE(second.calls, 1);
        QTRY_VERIFY(second.last && second.last->isVisible());
        second.last->hide();
    }

    void stateOutlivesTheIcon_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("toolTip");
        QTest::newRow("on") << true << "Texte brut activé";
        QTest::newRow("off") << false << "Texte brut désactivé";
    }

    void stateOutlivesTheIcon()
    {
        QFETCH(bool, active);
        QFETCH(QString, toolTip);
        StatusItemController controller;
        MenuSource source;
        int toggles = 0;
        controller.onToggle = [&] { ++toggles; };
        controller.setActive(!active);
        controller.setActive(active);
        QCOMPARE(controller.trayIcon(), nullptr);
        controller.disable(); // harmless while hidden
        QVERIFY(!controller.isEnabled());

        controller.enable(source.provider());
        QVERIFY(controller.isEnabled());
        QCOMPARE(controller.trayIcon()->toolTip(), toolTip);
        QVERIFY(!controller.trayIcon()->icon().isNull());

        controller.disable();
        controller.disable();
        QVERIFY(!controller.isEnabled());
        QCOMPARE(controller.isActive(), active);

        controller.enable(source.provider());
        QVERIFY(controller.isEnabled());
        QCOMPARE(controller.trayIcon()->toolTip(), toolTip);
        QVERIFY(!controller.trayIcon()->icon().isNull());
        // The toggle callback survived too.
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(toggles, 1);

        controller.setActive(!active);
        QCOMPARE(controller.trayIcon()->toolTip(),
            active ? "Texte brut désactivé" : "Texte brut activé");
    }

    void iconShowsTheStateInItsColours()
    {
        const QPalette original = QApplication::palette();
        StatusItemController controller;
        MenuSource source;
        controller.enable(source.provider());

        controller.setActive(true);
        const QIcon on = controller.trayIcon()->icon();
        QCOMPARE(on.pixmap(22).size(), QSize(22, 22));
        QVERIFY2(near(ink(on), tavoSlateFixed()), qPrintable(ink(on).name(QColor::HexArgb)));

        controller.setActive(false);
        const QIcon off = controller.trayIcon()->icon();
        QVERIFY(near(ink(off), original.color(QPalette::WindowText)));
        QVERIFY(on.pixmap(22).toImage() != off.pixmap(22).toImage());

        // The off glyph follows the panel's text colour when the desktop's palette changes.
        QPalette changed = original;
        changed.setColor(QPalette::WindowText, QColor(200, 30, 40));
        QApplication::setPalette(changed);
        const QColor followed = ink(controller.trayIcon()->icon());
        QApplication::setPalette(original);
        QVERIFY2(near(followed, QColor(200, 30, 40)), qPrintable(followed.name()));
        QVERIFY(near(ink(controller.trayIcon()->icon()), original.color(QPalette::WindowText)));
    }

    void withoutATrayTheIconWaitsAndTheOwnerIsTold()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("a tray is available here");
        StatusItemController controller;
        MenuSource source;
        int unavailable = 0;
        int toggles = 0;
        controller.onUnavailable = [&] { ++unavailable; };
        controller.onToggle = [&] { ++toggles; };

        controller.enable(source.provider());
        QCOMPARE(unavailable, 1);
        QVERIFY(controller.isEnabled());
        QVERIFY(retryTimer(controller) && retryTimer(controller)->isActive());
        // Replacing the provider is no new request for a tray.
        controller.enable(source.provider());
        QCOMPARE(unavailable, 1);

        // The icon keeps its state and its clicks while it waits.
        controller.setActive(true);
        QCOMPARE(controller.trayIcon()->toolTip(), "Texte brut activé");
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(toggles, 1);

        controller.disable();
        QVERIFY(!retryTimer(controller) || !retryTimer(controller)->isActive());
        controller.enable(source.provider());
        QCOMPARE(unavailable, 2);
    }

    void statusNotifierKeepsACurrentMenuAttached()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus for this test");
        QVERIFY(bus.registerService(statusNotifierWatcher));
        const auto unregister = qScopeGuard([&] { bus.unregisterService(statusNotifierWatcher); });

        StatusItemController controller;
        MenuSource source;
        source.entry = [&] {
            return QString(
                controller.isActive() ? "Désactiver le texte brut" : "Activer le texte brut");
        };
        int toggles = 0;
        controller.onToggle = [&] { ++toggles; };

        controller.enable(source.provider());
        QPointer<QMenu> attached = controller.trayIcon()->contextMenu();
        QVERIFY(attached);
        QCOMPARE(attached->actions().first()->text(), "Activer le texte brut");

        controller.setActive(true);
        QTRY_VERIFY(attached.isNull()); // the old one goes once its signals are over
        attached = controller.trayIcon()->contextMenu();
        QVERIFY(attached);
        QCOMPARE(attached->actions().first()->text(), "Désactiver le texte brut");

        // The desktop opens the attached menu on a right click; a left click still toggles.
        const int calls = source.calls;
        controller.handleClick(QSystemTrayIcon::Context, Qt::NoModifier);
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(source.calls, calls);
        QCOMPARE(toggles, 1);
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
        QCOMPARE(controller.trayIcon()->contextMenu(), attached.data());

        // Control with a left click opens a menu of its own at the cursor.
        controller.handleClick(QSystemTrayIcon::Trigger, Qt::ControlModifier);
        QCOMPARE(source.calls, calls + 1);
        QTRY_VERIFY(source.last && source.last->isVisible());
        QVERIFY(source.last != attached);

        controller.disable();
        QTRY_VERIFY(attached.isNull() && source.last.isNull());
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
