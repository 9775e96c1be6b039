#include "shell/AppDelegate.h"

#include "clipboard/TavoEngine.h"
#include "diagnostics/CrashReporter.h"
#include "feedback/MessageInbox.h"
#include "kit/LinkButton.h"
#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/SymbolButton.h"
#include "kit/TavoLabel.h"
#include "platform/AutostartLoginItem.h"
#include "platform/SystemLog.h"
#include "settings/TavoSettings.h"
#include "shell/AppMenus.h"
#include "shell/MainWindow.h"
#include "views/WelcomeQuestion.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

namespace {

const QString onText = QStringLiteral("Texte brut : activé");
const QString offText = QStringLiteral("Texte brut : désactivé");

} // namespace

AppDelegate::AppDelegate(QObject *parent)
    : AppDelegate(TavoEngine::shared(), parent)
{
}

AppDelegate::AppDelegate(TavoEngine &engine, QObject *parent)
    : QObject(parent)
    , engine(engine)
    , loginItem(std::make_unique<AutostartLoginItem>())
    , openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); })
    , log(&SystemLog::write)
    , restoreAction(new QAction(QStringLiteral("Rétablir la mise en forme"), this))
{
    // The tray answers a toggle click and, without a tray to show in, hands the user the
    // window rather than nothing at all.
    QPointer<AppDelegate> self(this);
    statusController.onToggle = [self] {
        if (self)
            self->togglePressed();
    };
    statusController.onUnavailable = [self] {
        if (self)
            self->showMainWindow();
    };
    connect(restoreAction, &QAction::triggered, this, [this] { this->engine.restore(); });
    restoreAction->setEnabled(engine.canRestore());
    engine.onRestorableChanged = [self] {
        if (self)
            self->restoreAction->setEnabled(self->engine.canRestore());
    };
}

AppDelegate::~AppDelegate()
{
    engine.onCleaned = nullptr;
    engine.onRestorableChanged = nullptr;
    delete mainWindow.data();
    delete mainMenu.data();
}

bool AppDelegate::menuBarMode()
{
    return TavoSettings::defaults().boolValue(TavoSettings::menuBarModeKey);
}

void AppDelegate::setActivationPolicy(ActivationPolicy policy)
{
    m_activationPolicy = policy;
    if (mainWindow)
        mainWindow->setTaskBarEntry(policy == ActivationPolicy::Regular);
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Crash capture first, so that it covers everything after it.
    CrashReporter::install();
    qApp->installEventFilter(this);
    buildMenu();
    buildMainWindow();

    QPointer<AppDelegate> self(this);
    engine.onCleaned = [self] {
        if (self)
            self->refreshTavoUI();
    };

    if (menuBarMode())
        enableStatusItem();
    else
        activateApplication();

    // Asked over the built window, which the answer may move into the tray.
    showOnboardingIfNeeded();
    refreshTavoUI();

    QMetaObject::invokeMethod(this, &AppDelegate::syncWithServer, Qt::QueuedConnection);
    m_pollTimer.setInterval(pollIntervalSeconds * 1000);
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pollTimer, &QTimer::timeout, this, &AppDelegate::syncWithServer);
    m_pollTimer.start();

    updaterController.updater().setUpdateCheckInterval(3600);

    if (qgetenv("ORVANE_DEBUG_SETTINGS") == "1")
        showSettings();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const
{
    return !menuBarMode();
}

void AppDelegate::applyDisplayMode()
{
    if (menuBarMode()) {
        enableStatusItem();
        setActivationPolicy(ActivationPolicy::Accessory);
        return;
    }
    statusController.disable();
    setActivationPolicy(ActivationPolicy::Regular);
    // After the window has come back into the task bar.
    QMetaObject::invokeMethod(
        this,
        [this] {
            activateApplication();
            if (mainWindow) {
                mainWindow->show();
                mainWindow->raise();
                mainWindow->activateWindow();
            }
            activateApplication();
        },
        Qt::QueuedConnection);
}

void AppDelegate::toggleMenuBarMode(bool on)
{
    TavoSettings::defaults().setBool(TavoSettings::menuBarModeKey, on);
    applyDisplayMode();
}

void AppDelegate::showMainWindow()
{
    if (mainWindow) {
        mainWindow->show();
        mainWindow->raise();
        mainWindow->activateWindow();
    }
    activateApplication();
}

void AppDelegate::activateApplication()
{
    // On X11 an application has no focus of its own apart from its windows: bringing the
    // window forward is all there is to activation.
    if (mainWindow && mainWindow->isVisible())
        mainWindow->activateWindow();
}

void AppDelegate::showOnboardingIfNeeded()
{
    const SettingsStore &store = TavoSettings::defaults();
    if (store.boolValue(TavoSettings::onboardedKey))
        return;
    // Stored first: the question is asked at most once, even if the application is quit while
    // it is on screen.
    store.setBool(TavoSettings::onboardedKey, true);

    activateApplication();
    const bool chooseMenuBar = WelcomeQuestion::asksForMenuBar(mainWindow);
    store.setBool(TavoSettings::menuBarModeKey, chooseMenuBar);
    if (settingsView)
        settingsView->menuBarCheckbox->setChecked(chooseMenuBar);
    applyDisplayMode();
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    // Whichever of our windows goes away (closed, dismissed, hidden), the rule is read once the
    // event has run its course: a window that is only being re-mapped is back by then.
    if (event->type() == QEvent::Hide && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->isWindow())
        QMetaObject::invokeMethod(
            this, &AppDelegate::terminateIfNoWindowLeft, Qt::QueuedConnection);
    return QObject::eventFilter(watched, event);
}

void AppDelegate::terminateIfNoWindowLeft()
{
    if (!applicationShouldTerminateAfterLastWindowClosed() || !terminate)
        return;
    // A running download or the restart offer must not die with the main window.
    const QWidgetList windows = QApplication::topLevelWidgets();
    const bool windowLeft = std::any_of(windows.begin(), windows.end(), [](const QWidget *w) {
        const Qt::WindowType type = w->windowType();
        return w->isVisible() && type != Qt::Popup && type != Qt::ToolTip;
    });
    if (!windowLeft)
        terminate();
}

void AppDelegate::buildMenu()
{
    mainMenu = AppMenus::buildMenuBar(*this);
}

void AppDelegate::buildMainWindow()
{
    auto *window = new MainWindow;
    window->setTaskBarEntry(m_activationPolicy == ActivationPolicy::Regular);
    if (mainMenu)
        window->setMenuBar(mainMenu);
    mainView = buildMainView();
    settingsView = buildSettingsView();
    settingsView->hide();
    for (QWidget *view : std::initializer_list<QWidget *>{mainView, settingsView}) {
        view->setParent(window->content());
        view->setGeometry(window->content()->rect());
    }
    // In the stored state from the start, also behind the welcome question of a first launch.
    showTavoState();
    mainWindow = window;
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    if (!menuBarMode())
        showMainWindow();
}

MainView *AppDelegate::buildMainView()
{
    auto *view = new MainView;
    connect(view->tavoButton, &RoundTavoButton::clicked, this, &AppDelegate::togglePressed);
    connect(view->gearButton, &QToolButton::clicked, this, &AppDelegate::showSettings);
    return view;
}

SettingsView *AppDelegate::buildSettingsView()
{
    auto *view = new SettingsView;
    connect(view->backButton, &QToolButton::clicked, this, &AppDelegate::showMain);
    view->skipTabularCheckbox->setChecked(TavoSettings::skipTabular());
    connect(view->skipTabularCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleSkipTabular);
    const Updater &updater = updaterController.updater();
    view->autoUpdatesCheckbox->setChecked(
        updater.automaticallyChecksForUpdates() && updater.automaticallyDownloadsUpdates());
    connect(view->autoUpdatesCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleAutoUpdates);
    view->menuBarCheckbox->setChecked(menuBarMode());
    connect(view->menuBarCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleMenuBarMode);
    connect(view->loginCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleLoginItem);
    connect(view->updateButton, &QPushButton::clicked, &updaterController,
        &UpdaterController::checkForUpdates);
    connect(view->reportButton, &QPushButton::clicked, this, &AppDelegate::reportProblemPressed);
    connect(view->siteLink, &QPushButton::clicked, this, &AppDelegate::openOrvaneLabs);
    view->loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
    return view;
}

void AppDelegate::toggleSkipTabular(bool on)
{
    TavoSettings::setSkipTabular(on);
}

void AppDelegate::toggleAutoUpdates(bool on)
{
    Updater &updater = updaterController.updater();
    updater.setAutomaticallyChecksForUpdates(on);
    updater.setAutomaticallyDownloadsUpdates(on);
}

void AppDelegate::toggleLoginItem(bool on)
{
    QString error;
    const bool done = on ? loginItem->registerItem(&error) : loginItem->unregisterItem(&error);
    if (done)
        return;
    if (log)
        log(QStringLiteral("OrvaneTavo: ouverture à la connexion: ") + error);
    if (settingsView)
        settingsView->loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
}

void AppDelegate::openOrvaneLabs()
{
    const QUrl site(QStringLiteral("https://orvanelabs.ch"));
    if (site.isValid() && openUrl)
        openUrl(site);
}

void AppDelegate::refreshTavoUI()
{
    showTavoState();
    statusController.setActive(TavoSettings::isEnabled());
}

void AppDelegate::showTavoState()
{
    const bool on = TavoSettings::isEnabled();
    if (mainView) {
        mainView->tavoButton->setActiveState(on);
        TavoLabel *status = mainView->tavoStatusLabel;
        status->setText(on ? onText : offText);
        status->setTextColor(on ? tavoSlate() : secondaryLabelColor());
        QFont font = status->font();
        font.setPixelSize(15);
        font.setWeight(QFont::DemiBold);
        status->setFont(font);
        mainView->statCountLabel->setText(statCountText());
    }
    showSettingsCount();
}

void AppDelegate::showSettingsCount()
{
    if (!settingsView)
        return;
    settingsView->statCountLabel->setText(statCountText());
    settingsView->statCountLabel->adjustSize();
}

QString AppDelegate::statCountText() const
{
    return statCountText(engine.cleanedCount());
}

QString AppDelegate::statCountText(qint64 count)
{
    if (count < 1)
        return QStringLiteral("Aucun collage nettoyé pour l'instant");
    const QString plural = count == 1 ? QString() : QStringLiteral("s");
    return QString::number(count) + QStringLiteral(" collage") + plural + QStringLiteral(" nettoyé")
        + plural + QStringLiteral(" depuis l'installation");
}

void AppDelegate::togglePressed()
{
    engine.setEnabled(!TavoSettings::isEnabled());
    refreshTavoUI();
}

void AppDelegate::showMain()
{
    if (settingsView)
        settingsView->hide();
    if (mainView)
        mainView->show();
}

void AppDelegate::showSettings()
{
    if (mainView)
        mainView->hide();
    if (!settingsView)
        return;
    // The registration can change outside the application (the desktop's own settings), and
    // the count must not be the figure of when the window was built.
    settingsView->loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
    showSettingsCount();
    settingsView->show();
}

void AppDelegate::reportProblemPressed()
{
    m_problemReport.open();
}

void AppDelegate::syncWithServer()
{
    MessageInbox &inbox = MessageInbox::shared();
    m_messageAlert.follow(inbox);
    inbox.checkWithServer();
}

void AppDelegate::enableStatusItem()
{
    QPointer<AppDelegate> self(this);
    statusController.enable([self]() -> std::unique_ptr<QMenu> {
        return self ? self->buildStatusMenu() : std::make_unique<QMenu>();
    });
    statusController.setActive(TavoSettings::isEnabled());
}

std::unique_ptr<QMenu> AppDelegate::buildStatusMenu()
{
    return AppMenus::buildStatusMenu(*this);
}
