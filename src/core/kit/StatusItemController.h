#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <array>
#include <functional>
#include <memory>

class QMenu;
class QTimer;

// The application's tray icon. It shows whether cleaning is on; a left click asks the owner to
// flip the switch, a right click (or Control with a left click) opens a menu that the owner
// builds afresh. It knows nothing of the engine or of the menu's contents.
class StatusItemController : public QObject
{
    Q_OBJECT

public:
    using MenuProvider = std::function<std::unique_ptr<QMenu>()>;

    explicit StatusItemController(QObject *parent = nullptr);
    ~StatusItemController() override;

    // True while the icon is shown.
    bool isEnabled() const;
    // Keeps the provider (replacing an earlier one), shows the icon if hidden, redraws it.
    void enable(MenuProvider menuProvider);
    // Takes the icon down; the state, provider and toggle callback stay.
    void disable();
    // Records the state; a change redraws the icon and rebuilds the attached menu (only the
    // flag changes while hidden).
    void setActive(bool active);
    bool isActive() const { return m_active; }

    // Called for a toggle click.
    std::function<void()> onToggle;
    // Called when the icon is asked for but the desktop has no tray to show it in (the
    // controller keeps trying); the owner then offers its window instead.
    std::function<void()> onUnavailable;

    // The click rules: a context click, or a left click with Control, opens the menu; any
    // other click toggles.
    void handleClick(QSystemTrayIcon::ActivationReason reason, Qt::KeyboardModifiers modifiers);

    // The icon as shown now (tests, screenshots); null while hidden.
    const QSystemTrayIcon *trayIcon() const { return m_trayIcon.get(); }

protected:
    // The icon drawn while off follows the desktop's text colour, so a new palette redraws it.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Whether Qt shows tray icons as a StatusNotifierItem over D-Bus (the desktop then draws
    // only an attached menu itself) rather than in an XEmbed tray window.
    static bool usesStatusNotifier();

    void refreshIcon();
    void openMenu();
    void rebuildAttachedMenu();
    void showWhenTrayAppears();
    void discardMenus();

    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    bool m_active = false;
    // The icons drawn for off and on, kept until the palette changes.
    std::array<QIcon, 2> m_icons;
    MenuProvider m_menuProvider;
    // The menu popped up at the cursor, kept until it closes.
    std::unique_ptr<QMenu> m_menu;
    // Under StatusNotifierItem only: the menu attached to the icon for the desktop to draw.
    std::unique_ptr<QMenu> m_attachedMenu;
    // Decided when the icon is made, as Qt does.
    bool m_statusNotifier = false;
    // Runs while the icon waits for a tray to appear.
    std::unique_ptr<QTimer> m_retryTimer;
};
