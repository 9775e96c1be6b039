#pragma once

#include "feedback/MessageAlert.h"
#include "feedback/ProblemReport.h"
#include "kit/StatusItemController.h"
#include "updater/UpdaterController.h"
#include "views/MainView.h"
#include "views/SettingsView.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class LoginItem;
class QAction;
class MainWindow;
class QMenu;
class QMenuBar;
class TavoEngine;

// Ties the application together: starts everything at launch, builds the window and its views,
// switches between the task-bar window and the tray icon, and wires the user's actions to the
// clipboard engine.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    // How the application is present on the desktop: a window in the task bar, or only an
    // icon in the tray.
    enum class ActivationPolicy { Regular, Accessory };

    static constexpr int pollIntervalSeconds = 3600;

    // The first use of the shared engine when given none.
    explicit AppDelegate(QObject *parent = nullptr);
    explicit AppDelegate(TavoEngine &engine, QObject *parent = nullptr);
    ~AppDelegate() override;

    static bool menuBarMode();

    void setActivationPolicy(ActivationPolicy policy);
    ActivationPolicy activationPolicy() const { return m_activationPolicy; }

    // The launch sequence, run once at the first turn of the event loop.
    void applicationDidFinishLaunching();
    // Read at the moment the window is closed: true in task-bar mode only.
    bool applicationShouldTerminateAfterLastWindowClosed() const;

    void applyDisplayMode();
    void toggleMenuBarMode(bool on);
    void showMainWindow();
    void showOnboardingIfNeeded();

    void refreshTavoUI();
    QString statCountText() const;
    static QString statCountText(qint64 count);
    void togglePressed();
    void showMain();
    void showSettings();
    void reportProblemPressed();

    std::unique_ptr<QMenu> buildStatusMenu();

    // The settings' switches, each given the box's new state.
    void toggleSkipTabular(bool on);
    void toggleAutoUpdates(bool on);
    void toggleLoginItem(bool on);
    void openOrvaneLabs();

    // Ends the application (the window's last-close rule, the menus' quit entry).
    std::function<void()> terminate = [] { QCoreApplication::quit(); };

    TavoEngine &engine;
    // Opening at login; replaceable (tests).
    std::unique_ptr<LoginItem> loginItem;
    // Opens links in the user's browser; replaceable (tests).
    std::function<bool(const QUrl &)> openUrl;
    // The system log; replaceable (tests).
    std::function<void(const QString &)> log;
    StatusItemController statusController;
    UpdaterController updaterController;
    QPointer<MainWindow> mainWindow;
    QPointer<MainView> mainView;
    QPointer<SettingsView> settingsView;
    QPointer<QMenuBar> mainMenu;
    // "Rétablir la mise en forme", in both menus; enabled while the engine can restore.
    QAction *restoreAction;

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void buildMenu();
    void terminateIfNoWindowLeft();
    void buildMainWindow();
    MainView *buildMainView();
    SettingsView *buildSettingsView();
    void showTavoState();
    void showSettingsCount();
    void enableStatusItem();
    void syncWithServer();
    void activateApplication();

    ActivationPolicy m_activationPolicy = ActivationPolicy::Regular;
    QTimer m_pollTimer{this};
    ProblemReport m_problemReport{this};
    MessageAlert m_messageAlert{this};
};
