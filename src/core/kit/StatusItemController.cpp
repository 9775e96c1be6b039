#include "kit/StatusItemController.h"

#include "kit/Palette.h"
#include "kit/Symbols.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTimer>

namespace {

// Panels draw tray icons in a square of about 22 pixels; the glyph keeps its menu-bar size in
// the middle of it rather than being blown up to fill the square.
constexpr qreal glyphSize = 14;
constexpr int canvasSize = 22;
constexpr int retryIntervalMs = 2000;

QIcon trayGlyph(const QString &name, const QColor &color)
{
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0}) {
        QImage glyph = Symbols::image(name, glyphSize, QFont::Normal, color, ratio);
        if (glyph.isNull())
            return {};
        // Composed in device pixels, so that the glyph lands on whole pixels at both ratios.
        glyph.setDevicePixelRatio(1.0);
        const QSize canvasPixels = QSize(canvasSize, canvasSize) * ratio;
        if (glyph.width() > canvasPixels.width() || glyph.height() > canvasPixels.height())
            glyph = glyph.scaled(canvasPixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage canvas(canvasPixels, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        painter.drawImage(
            QPoint((canvas.width() - glyph.width()) / 2, (canvas.height() - glyph.height()) / 2),
            glyph);
        painter.end();
        canvas.setDevicePixelRatio(ratio);
        icon.addPixmap(QPixmap::fromImage(canvas));
    }
    return icon;
}

} // namespace

StatusItemController::StatusItemController(QObject *parent)
    : QObject(parent)
{
}

StatusItemController::~StatusItemController()
{
    // Menus are deleted here and now: no event loop may be left to take a deferred delete,
    // and their signals must not reach a half-destroyed controller.
    for (std::unique_ptr<QMenu> *menu : {&m_menu, &m_attachedMenu}) {
        if (*menu)
            disconnect(menu->get(), nullptr, this, nullptr);
    }
    m_trayIcon.reset();
    m_menu.reset();
    m_attachedMenu.reset();
}

bool StatusItemController::isEnabled() const
{
    return m_trayIcon != nullptr;
}

void StatusItemController::enable(MenuProvider menuProvider)
{
    m_menuProvider = std::move(menuProvider);
    if (!m_trayIcon) {
        m_trayIcon = std::make_unique<QSystemTrayIcon>();
        m_statusNotifier = usesStatusNotifier();
        // Queued, so that whatever the owner does on a click (even taking the icon down) runs
        // outside the tray's own mouse handling.
        connect(
            m_trayIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                handleClick(reason, QGuiApplication::queryKeyboardModifiers());
            },
            Qt::QueuedConnection);
        if (QCoreApplication *app = QCoreApplication::instance())
            app->installEventFilter(this);
        refreshIcon();
        m_trayIcon->show();
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            showWhenTrayAppears();
            if (onUnavailable)
                onUnavailable();
        }
    } else {
        refreshIcon();
    }
    rebuildAttachedMenu();
}

void StatusItemController::disable()
{
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeEventFilter(this);
    m_retryTimer.reset();
    if (m_trayIcon) {
        m_trayIcon->hide();
        m_trayIcon.reset();
    }
    discardMenus();
}

void StatusItemController::setActive(bool active)
{
    // Every cleaning reports the state again; only a change is worth a new icon and menu.
    if (active == m_active)
        return;
    m_active = active;
    refreshIcon();
    rebuildAttachedMenu();
}

void StatusItemController::handleClick(
    QSystemTrayIcon::ActivationReason reason, Qt::KeyboardModifiers modifiers)
{
    // Only the left click (a double click is two of them) and the right click act; a middle
    // click brushing the panel must not switch cleaning.
    if (reason == QSystemTrayIcon::MiddleClick || reason == QSystemTrayIcon::Unknown)
        return;
    const bool menuClick = reason == QSystemTrayIcon::Context
        || (reason == QSystemTrayIcon::Trigger && modifiers.testFlag(Qt::ControlModifier));
    if (!menuClick) {
        if (onToggle)
            onToggle();
        return;
    }
    if (!m_trayIcon || !m_menuProvider)
        return;
    // A StatusNotifierItem desktop opens the attached menu itself on a context click; a second
    // one of ours would cover it.
    if (m_statusNotifier && reason == QSystemTrayIcon::Context)
        return;
    openMenu();
}

bool StatusItemController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ApplicationPaletteChange
        && watched == QCoreApplication::instance()) {
        m_icons = {};
        refreshIcon();
    }
    return QObject::eventFilter(watched, event);
}

bool StatusItemController::usesStatusNotifier()
{
    // Qt's own rule on Linux: a registered watcher means the icon goes over D-Bus.
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

void StatusItemController::refreshIcon()
{
    if (!m_trayIcon)
        return;
    // Each state's icon is drawn once and kept: the tray caches what it paints under the
    // icon's identity, so a freshly drawn copy of the same picture is a new entry there.
    QIcon &icon = m_icons[m_active ? 1 : 0];
    if (icon.isNull()) {
        // The off icon is drawn like a template image: in the panel's own text colour.
        icon = m_active ? trayGlyph(QStringLiteral("doc.plaintext.fill"), tavoSlateFixed())
                        : trayGlyph(QStringLiteral("doc.plaintext"),
                            QGuiApplication::palette().color(QPalette::WindowText));
    }
    m_trayIcon->setIcon(icon);
    m_trayIcon->setToolTip(
        m_active ? QStringLiteral("Texte brut activé") : QStringLiteral("Texte brut désactivé"));
}

void StatusItemController::openMenu()
{
    std::unique_ptr<QMenu> menu = m_menuProvider();
    if (!menu)
        return;
    // A menu still open from an earlier click gives way to the new one.
    if (m_menu) {
        disconnect(m_menu.get(), nullptr, this, nullptr);
        m_menu->hide();
        m_menu.release()->deleteLater();
    }
    m_menu = std::move(menu);
    QMenu *shown = m_menu.get();
    // Deferred: the menu is still sending the chosen action's signal when it hides.
    connect(shown, &QMenu::aboutToHide, this, [this, shown] {
        if (m_menu.get() == shown)
            m_menu.release()->deleteLater();
    });
    shown->popup(QCursor::pos());
}

void StatusItemController::rebuildAttachedMenu()
{
    if (!m_trayIcon || !m_statusNotifier || !m_menuProvider)
        return;
    std::unique_ptr<QMenu> menu = m_menuProvider();
    m_trayIcon->setContextMenu(menu.get());
    // The old menu may be the one whose entry led here, still inside its signal.
    if (m_attachedMenu)
        m_attachedMenu.release()->deleteLater();
    m_attachedMenu = std::move(menu);
}

void StatusItemController::showWhenTrayAppears()
{
    m_retryTimer = std::make_unique<QTimer>();
    m_retryTimer->setInterval(retryIntervalMs);
    connect(m_retryTimer.get(), &QTimer::timeout, this, [this] {
        if (!m_trayIcon || !QSystemTrayIcon::isSystemTrayAvailable())
            return;
        m_retryTimer->stop();
        // show() alone does nothing on an icon Qt already counts as visible.
        m_trayIcon->hide();
        m_trayIcon->show();
    });
    m_retryTimer->start();
}

void StatusItemController::discardMenus()
{
    if (m_trayIcon)
        m_trayIcon->setContextMenu(nullptr);
    for (std::unique_ptr<QMenu> *menu : {&m_menu, &m_attachedMenu}) {
        if (!*menu)
            continue;
        disconnect(menu->get(), nullptr, this, nullptr);
        (*menu)->hide();
        menu->release()->deleteLater();
    }
}
