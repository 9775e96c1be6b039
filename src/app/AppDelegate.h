#pragma once

#include "StatusItemController.h"
#include "UpdaterController.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class MainWindow;
class QCheckBox;
class QMenu;
class RoundTavoButton;
class TavoEngine;
class TavoLabel;

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

    // Told the name of each launch step just before it runs.
    std::function<void(const char *step)> onLaunchStep;
    // Ends the application (the window's last-close rule, the menus' quit entry).
    std::function<void()> terminate = [] { QCoreApplication::quit(); };

    TavoEngine &engine;
    StatusItemController statusController;
    UpdaterController updaterController;
    QPointer<MainWindow> mainWindow;
    QPointer<RoundTavoButton> tavoButton;
    QPointer<TavoLabel> tavoStatusLabel;
    QPointer<TavoLabel> statCountLabel;
    QPointer<QCheckBox> loginCheckbox;
    QPointer<QCheckBox> menuBarCheckbox;
    QPointer<QWidget> mainView;
    QPointer<QWidget> settingsView;

private:
    void launchStep(const char *name);
    void buildMenu();
    void buildMainWindow();
    QWidget *buildMainView();
    QWidget *buildSettingsView();
    void enableStatusItem();
    void syncWithServer();
    void activateApplication();

    ActivationPolicy m_activationPolicy = ActivationPolicy::Regular;
    QTimer m_pollTimer{this};
};
