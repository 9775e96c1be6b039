#pragma once

#include <QMenu>
#include <QMenuBar>

#include <memory>

class AppDelegate;

// The application's two menus: the window's menu bar and the tray icon's menu. Their entries
// lead to the delegate's operations, which stay the one place where the user's actions land.
namespace AppMenus {

// "OrvaneTavo" (updates, problem report, restoring the last cleaned copy, quit) and "Édition". The
// caller owns it.
QMenuBar *buildMenuBar(AppDelegate &app);

// Built afresh at each opening, so that the toggle entry names what it will do now.
std::unique_ptr<QMenu> buildStatusMenu(AppDelegate &app);

} // namespace AppMenus
