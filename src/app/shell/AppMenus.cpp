#include "shell/AppMenus.h"

#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/EditMenu.h"

namespace {

QAction *addQuitEntry(QMenu *menu, AppDelegate &app)
{
    return menu->addAction(
        QStringLiteral("Quitter OrvaneTavo"), QKeySequence(Qt::CTRL | Qt::Key_Q), &app, [&app] {
            if (app.terminate)
                app.terminate();
        });
}

} // namespace

namespace AppMenus {

QMenuBar *buildMenuBar(AppDelegate &app)
{
    auto *bar = new QMenuBar;
    QMenu *application = bar->addMenu(QStringLiteral("OrvaneTavo"));
    application->addAction(QStringLiteral("Rechercher des mises à jour…"), &app.updaterController,
        &UpdaterController::checkForUpdates);
    application->addAction(
        QStringLiteral("Signaler un problème…"), &app, &AppDelegate::reportProblemPressed);
    application->addAction(app.restoreAction);
    application->addSeparator();
    addQuitEntry(application, app)->setShortcutContext(Qt::ApplicationShortcut);
    QMenu *edit = new EditMenu;
    edit->setParent(bar, edit->windowFlags());
    bar->addMenu(edit);
    return bar;
}

std::unique_ptr<QMenu> buildStatusMenu(AppDelegate &app)
{
    auto menu = std::make_unique<QMenu>();
    menu->addAction(TavoSettings::isEnabled() ? QStringLiteral("Désactiver le texte brut")
                                              : QStringLiteral("Activer le texte brut"),
        &app, &AppDelegate::togglePressed);
    menu->addAction(app.restoreAction);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Ouvrir OrvaneTavo…"), &app, &AppDelegate::showMainWindow);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Rechercher des mises à jour…"), &app.updaterController,
        &UpdaterController::checkForUpdates);
    menu->addAction(
        QStringLiteral("Signaler un problème…"), &app, &AppDelegate::reportProblemPressed);
    menu->addSeparator();
    addQuitEntry(menu.get(), app);
    return menu;
}

} // namespace AppMenus
