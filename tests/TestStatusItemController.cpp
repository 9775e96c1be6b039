#include "kit/StatusItemController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QTest>

namespace {

// A shown icon whose toggles are counted, with a provider that counts the menus it builds
// (their entry following the state) and keeps an eye on the last one.
struct Tray
{
    StatusItemController controller;
    int toggles = 0, menus = 0;
    QPointer<QMenu> last;
    Tray()
    {
        controller.onToggle = [this] { ++toggles; };
        controller.enable([this] {
            auto menu = std::make_unique<QMenu>();
            menu->addAction(controller.isActive() ? "Désactiver" : "Activer");
            last = menu.get();
            ++menus;
            return menu;
        });
    }
};

// The glyph's ink: its most opaque pixel, clear of the anti-aliased edge.
QString ink(const QIcon &icon)
{
    const QImage image = icon.pixmap(22).toImage();
    QColor ink(Qt::transparent);
    for (int i = 0; i < image.width() * image.height(); ++i)
        if (image.pixelColor(i % image.width(), i / image.width()).alpha() > ink.alpha())
            ink = image.pixelColor(i % image.width(), i / image.width());
    return ink.name();
}

} // namespace

class TestStatusItemController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Clicks only report (the owner changes the state); a menu stays away without a provider.
    // Through the icon's own signal: once the menu closes it goes, nothing stays attached for a
    // later click to open.
    void clickRules()
    {
        using enum QSystemTrayIcon::ActivationReason;
        const struct
        {
            QSystemTrayIcon::ActivationReason reason;
            Qt::KeyboardModifier modifier;
            const char *action;
        } rows[] = {{Trigger, Qt::NoModifier, "toggle"}, {Trigger, Qt::ControlModifier, "menu"},
            {Trigger, Qt::ShiftModifier, "toggle"}, {Context, Qt::NoModifier, "menu"},
            {DoubleClick, Qt::NoModifier, "toggle"}, {MiddleClick, Qt::NoModifier, ""}};
        for (const auto &row : rows) {
            Tray tray;
            auto *icon = const_cast<QSystemTrayIcon *>(tray.controller.trayIcon());
            if (row.modifier == Qt::NoModifier)
                Q_EMIT icon->activated(row.reason);
            else
                tray.controller.handleClick(row.reason, row.modifier);
            QCoreApplication::processEvents(); // the icon's signal arrives queued
            QCOMPARE(tray.toggles ? "toggle" : tray.menus ? "menu" : "", row.action);
            QCOMPARE(tray.toggles + tray.menus, *row.action ? 1 : 0);
            QVERIFY(!tray.controller.isActive());
            if (tray.last) {
                QTRY_VERIFY(tray.last->isVisible());
                tray.last->hide();
                QTRY_VERIFY(tray.last.isNull());
                QCOMPARE(icon->contextMenu(), nullptr);
                tray.controller.enable(nullptr);
                tray.controller.handleClick(row.reason, row.modifier);
                QCOMPARE(QApplication::activePopupWidget(), nullptr);
            }
        }
    }

    // On in a slate that is the same in light and dark trays, off in the desktop's text colour.
    // Each state's icon is drawn once: the tray caches what it paints under the icon's identity,
    // so a new drawing at every cleaning grows memory without end. Without a tray here, the
    // owner is told (and offers its window).
    void iconShowsTheState()
    {
        StatusItemController controller;
        int unavailable = 0;
        controller.onUnavailable = [&] { ++unavailable; };
        controller.setActive(true);
        QCOMPARE(controller.trayIcon(), nullptr);
        controller.enable({});
        QCOMPARE(unavailable, QSystemTrayIcon::isSystemTrayAvailable() ? 0 : 1);
        const QPointer<const QSystemTrayIcon> icon = controller.trayIcon();
        // Enabled again (a mode switch), the icon stays where the desktop put it.
        controller.enable({});
        QCOMPARE(controller.trayIcon(), icon.data());
        const qint64 on = icon->icon().cacheKey();
        const QString text = QApplication::palette().color(QPalette::WindowText).name();
        for (const bool active : {true, false, true, false}) {
            controller.setActive(active);
            QCOMPARE(icon->toolTip(), active ? "Texte brut activé" : "Texte brut désactivé");
            QCOMPARE(ink(icon->icon()), active ? "#64748b" : text);
            QCOMPARE(icon->icon().cacheKey() == on, active);
        }
        // A new palette redraws the off icon in its text colour.
        QPalette palette;
        palette.setColor(QPalette::WindowText, QColor("#ff0000"));
        QApplication::setPalette(palette);
        QCOMPARE(ink(icon->icon()), "#ff0000");
    }

    // The desktop draws the menu attached to a StatusNotifierItem itself: the controller keeps
    // one there, rebuilt when the state changes (and only then); a left click still toggles.
    void statusNotifierKeepsACurrentMenuAttached()
    {
        QVERIFY(QDBusConnection::sessionBus().registerService("org.kde.StatusNotifierWatcher"));
        Tray tray;
        tray.controller.setActive(true);
        QPointer<QMenu> attached = tray.controller.trayIcon()->contextMenu();
        QCOMPARE(attached->actions().first()->text(), "Désactiver");
        const int menus = tray.menus;
        tray.controller.setActive(true);
        tray.controller.handleClick(QSystemTrayIcon::Trigger, Qt::NoModifier);
        QCOMPARE(tray.toggles, 1);
        QCOMPARE(tray.menus, menus);
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
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    TestStatusItemController test;
    const int result = QTest::qExec(&test, argc, argv);
    bus.terminate();
    bus.waitForFinished(5000);
    return result;
}

#include "TestStatusItemController.moc"
