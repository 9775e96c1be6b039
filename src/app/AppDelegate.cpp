#include "AppDelegate.h"

#include "AutostartLoginItem.h"
#include "CardPanel.h"
#include "CrashReporter.h"
#include "FlippedView.h"
#include "LinkButton.h"
#include "MainWindow.h"
#include "Palette.h"
#include "RoundTavoButton.h"
#include "SymbolButton.h"
#include "Symbols.h"
#include "SystemLog.h"
#include "TavoEngine.h"
#include "TavoLabel.h"
#include "TavoSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString onText = QStringLiteral("Texte brut : activé");
const QString offText = QStringLiteral("Texte brut : désactivé");
const QString siteDomain = QStringLiteral("orvanelabs.ch");

// The edit entries act on whichever text field has the keyboard focus.
void sendToFocusedField(const char *slot)
{
    QWidget *field = QApplication::focusWidget();
    if (!field)
        return;
    const QByteArray signature = QByteArray(slot) + "()";
    if (field->metaObject()->indexOfMethod(signature.constData()) >= 0)
        QMetaObject::invokeMethod(field, slot);
}

// A control sized to its content, placed at a fixed point of the settings view.
template<typename Widget> Widget *place(Widget *widget, QWidget *parent, int x, int y)
{
    widget->setParent(parent);
    widget->adjustSize();
    widget->move(x, y);
    return widget;
}

// The settings' texts were measured for a narrow system font; a wider desktop font would carry
// a long switch title past its card, so its font steps down until it fits.
void fitInside(QWidget *widget, int right)
{
    QFont font = widget->font();
    const int minimum = 10;
    int size = QFontInfo(font).pixelSize();
    while (widget->geometry().right() >= right && size > minimum) {
        font.setPixelSize(--size);
        widget->setFont(font);
        widget->adjustSize();
    }
}

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
}

AppDelegate::~AppDelegate()
{
    engine.onCleaned = nullptr;
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

void AppDelegate::launchStep(const char *name)
{
    if (onLaunchStep)
        onLaunchStep(name);
}

void AppDelegate::applicationDidFinishLaunching()
{
    launchStep("CrashReporter.install");
    CrashReporter::install();

    launchStep("buildMenu");
    buildMenu();

    launchStep("buildMainWindow");
    buildMainWindow();

    launchStep("onCleaned");
    QPointer<AppDelegate> self(this);
    engine.onCleaned = [self] {
        if (self)
            self->refreshTavoUI();
    };

    if (menuBarMode()) {
        launchStep("enableStatusItem");
        enableStatusItem();
    } else {
        launchStep("activate");
        activateApplication();
    }

    launchStep("showOnboardingIfNeeded");
    showOnboardingIfNeeded();

    launchStep("refreshTavoUI");
    refreshTavoUI();

    launchStep("syncWithServer");
    QMetaObject::invokeMethod(this, &AppDelegate::syncWithServer, Qt::QueuedConnection);

    launchStep("pollTimer");
    m_pollTimer.setInterval(pollIntervalSeconds * 1000);
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pollTimer, &QTimer::timeout, this, &AppDelegate::syncWithServer);
    m_pollTimer.start();

    launchStep("updateCheckInterval");
    updaterController.updater().setUpdateCheckInterval(3600);

    launchStep("debugSettings");
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

    QMessageBox alert(mainWindow);
    alert.setWindowTitle(QStringLiteral("OrvaneTavo"));
    alert.setTextFormat(Qt::PlainText);
    alert.setText(QStringLiteral("Bienvenue dans OrvaneTavo 📄"));
    alert.setInformativeText(
        QStringLiteral("Où veux-tu que l'app vive ?\n\n"
                       "Dans le Dock : une app classique avec sa fenêtre.\n"
                       "Dans la barre de menus : une petite icône discrète en haut de l'écran.\n\n"
                       "Tu pourras changer d'avis à tout moment dans la fenêtre de l'app."));
    alert.setIcon(QMessageBox::Information);
    QPushButton *dock = alert.addButton(QStringLiteral("Dans le Dock"), QMessageBox::AcceptRole);
    QPushButton *menuBar
        = alert.addButton(QStringLiteral("Dans la barre de menus"), QMessageBox::AcceptRole);
    alert.setDefaultButton(dock);
    // Closing the question any other way keeps the window in the task bar.
    alert.setEscapeButton(dock);
    activateApplication();
    alert.exec();

    const bool chooseMenuBar = alert.clickedButton() == menuBar;
    store.setBool(TavoSettings::menuBarModeKey, chooseMenuBar);
    if (menuBarCheckbox)
        menuBarCheckbox->setChecked(chooseMenuBar);
    applyDisplayMode();
}

void AppDelegate::addQuitEntry(QMenu *menu)
{
    menu->addAction(
        QStringLiteral("Quitter OrvaneTavo"), QKeySequence(Qt::CTRL | Qt::Key_Q), this, [this] {
            if (terminate)
                terminate();
        });
}

void AppDelegate::buildMenu()
{
    auto *bar = new QMenuBar;
    QMenu *application = bar->addMenu(QStringLiteral("OrvaneTavo"));
    application->addAction(QStringLiteral("Rechercher des mises à jour…"), &updaterController,
        &UpdaterController::checkForUpdates);
    application->addAction(
        QStringLiteral("Signaler un problème…"), this, &AppDelegate::reportProblemPressed);
    application->addSeparator();
    addQuitEntry(application);
    QMenu *edit = editMenuItem();
    edit->setParent(bar, edit->windowFlags());
    bar->addMenu(edit);
    mainMenu = bar;
}

QMenu *AppDelegate::editMenuItem()
{
    auto *edit = new QMenu(QStringLiteral("Édition"));
    const struct
    {
        const char *title;
        QKeySequence keys;
        const char *slot;
    } entries[] = {
        {"Annuler", QKeySequence(Qt::CTRL | Qt::Key_Z), "undo"},
        {"Rétablir", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), "redo"},
        {nullptr, {}, nullptr},
        {"Couper", QKeySequence(Qt::CTRL | Qt::Key_X), "cut"},
        {"Copier", QKeySequence(Qt::CTRL | Qt::Key_C), "copy"},
        {"Coller", QKeySequence(Qt::CTRL | Qt::Key_V), "paste"},
        {"Tout sélectionner", QKeySequence(Qt::CTRL | Qt::Key_A), "selectAll"},
    };
    for (const auto &entry : entries) {
        if (!entry.title) {
            edit->addSeparator();
            continue;
        }
        const char *slot = entry.slot;
        edit->addAction(
            QString::fromUtf8(entry.title), entry.keys, edit, [slot] { sendToFocusedField(slot); });
    }
    return edit;
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
    for (QWidget *view : {mainView.data(), settingsView.data()}) {
        view->setParent(window->content());
        view->setGeometry(window->content()->rect());
    }
    connect(window, &MainWindow::closed, this, [this] {
        if (applicationShouldTerminateAfterLastWindowClosed() && terminate)
            terminate();
    });
    mainWindow = window;
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    if (!menuBarMode())
        showMainWindow();
}

QWidget *AppDelegate::buildMainView()
{
    auto *view = new QWidget;
    view->resize(MainWindow::contentSize);

    auto *icon = new QLabel;
    icon->setFixedSize(92, 92);
    const qreal ratio = qApp->devicePixelRatio();
    QImage iconImage = Symbols::applicationIconImage(qRound(92 * ratio));
    iconImage.setDevicePixelRatio(ratio);
    icon->setPixmap(QPixmap::fromImage(iconImage));

    auto *name = makeLabel(QStringLiteral("OrvaneTavo"), 24, QFont::Bold, labelColor());
    auto *tagline = makeLabel(QStringLiteral("Colle toujours du texte brut, partout.\n"
                                             "Sans gras, sans couleurs, sans surprise."),
        13, QFont::Normal, secondaryLabelColor());
    auto *button = new RoundTavoButton;
    button->setFixedSize(130, 130);
    button->setToolTip(QStringLiteral("Activer ou désactiver le texte brut"));
    connect(button, &RoundTavoButton::clicked, this, &AppDelegate::togglePressed);
    tavoButton = button;
    tavoStatusLabel = makeLabel(onText, 15, QFont::DemiBold, secondaryLabelColor());
    auto *privacy
        = makeLabel(QStringLiteral("Aucune permission : rien n'est jamais envoyé ni enregistré"),
            11, QFont::Normal, tertiaryLabelColor());
    statCountLabel = makeLabel(QStringLiteral(" "), 11, QFont::Normal, tertiaryLabelColor());

    // The seven rows, each followed by its own gap, centred as a block 4 above the middle.
    auto *stack = new QVBoxLayout;
    stack->setSpacing(0);
    const std::pair<QWidget *, int> rows[] = {
        {icon, 12},
        {name, 10},
        {tagline, 16},
        {button, 10},
        {tavoStatusLabel, 8},
        {privacy, 4},
        {statCountLabel, 0},
    };
    for (const auto &[widget, gap] : rows) {
        stack->addWidget(widget, 0, Qt::AlignHCenter);
        if (gap > 0)
            stack->addSpacing(gap);
    }
    auto *outer = new QVBoxLayout(view);
    outer->setContentsMargins(0, 0, 0, 8);
    outer->addStretch(1);
    outer->addLayout(stack);
    outer->addStretch(1);

    auto *gear = new SymbolButton(
        QStringLiteral("gearshape.fill"), 16, QFont::Normal, secondaryLabelColor(), view);
    gear->setToolTip(QStringLiteral("Réglages"));
    gear->setAccessibleName(QStringLiteral("Réglages"));
    gear->setGeometry(view->width() - 14 - 30, view->height() - 14 - 30, 30, 30);
    connect(gear, &QToolButton::clicked, this, &AppDelegate::showSettings);
    return view;
}

QWidget *AppDelegate::buildSettingsView()
{
    // Laid out from the top down at fixed places: the window never changes size.
    auto *view = new FlippedView;
    view->resize(MainWindow::contentSize);
    view->setAutoFillBackground(true);

    auto *back = new SymbolButton(
        QStringLiteral("chevron.left"), 15, QFont::DemiBold, secondaryLabelColor(), view);
    back->setToolTip(QStringLiteral("Retour"));
    back->setAccessibleName(QStringLiteral("Retour"));
    back->setGeometry(18, 46, 28, 28);
    connect(back, &QToolButton::clicked, this, &AppDelegate::showMain);

    auto *title
        = place(makeLabel(QStringLiteral("Réglages"), 20, QFont::Bold, labelColor()), view, 54, 0);
    title->move(54, 60 - title->height() / 2);

    (new CardPanel(view))->setGeometry(24, 100, 382, 90);
    auto *skipTabular = place(
        new QCheckBox(
            QStringLiteral("Ignorer les copies venant des tableurs (préserve les tabulations)")),
        view, 40, 122);
    skipTabular->setChecked(TavoSettings::skipTabular());
    fitInside(skipTabular, 24 + 382 - 8);
    connect(skipTabular, &QCheckBox::clicked, this, &AppDelegate::toggleSkipTabular);
    auto *count = makeLabel(statCountText(), 11, QFont::Normal, tertiaryLabelColor());
    count->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(count, view, 40, 154);

    (new CardPanel(view))->setGeometry(24, 210, 382, 96);
    const Updater &updater = updaterController.updater();
    auto *autoUpdates = place(
        new QCheckBox(QStringLiteral("Installer les mises à jour automatiquement")), view, 40, 222);
    autoUpdates->setChecked(
        updater.automaticallyChecksForUpdates() && updater.automaticallyDownloadsUpdates());
    connect(autoUpdates, &QCheckBox::clicked, this, &AppDelegate::toggleAutoUpdates);
    menuBarCheckbox
        = place(new QCheckBox(QStringLiteral("Icône dans la barre de menus (au lieu du Dock)")),
            view, 40, 250);
    menuBarCheckbox->setChecked(menuBarMode());
    connect(menuBarCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleMenuBarMode);
    loginCheckbox = place(new QCheckBox(QStringLiteral("Ouvrir à la connexion")), view, 40, 278);
    loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
    connect(loginCheckbox, &QCheckBox::clicked, this, &AppDelegate::toggleLoginItem);

    auto *update
        = place(new QPushButton(QStringLiteral("Rechercher des mises à jour…")), view, 24, 322);
    connect(update, &QPushButton::clicked, &updaterController, &UpdaterController::checkForUpdates);
    auto *report = place(new QPushButton(QStringLiteral("Signaler un problème…")), view,
        update->geometry().right() + 1 + 10, 322);
    connect(report, &QPushButton::clicked, this, &AppDelegate::reportProblemPressed);

    auto *separator = new QFrame(view);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    separator->setGeometry(24, 366, 382, 1);

    const QString version = QStringLiteral(ORVANE_VERSION);
    auto *versionLine = makeLabel(
        QStringLiteral("OrvaneTavo v") + (version.isEmpty() ? QStringLiteral("?") : version), 12,
        QFont::DemiBold, labelColor());
    auto *studio = makeLabel(QStringLiteral("Développé par Orvane Labs,\n"
                                            "studio suisse d'applications Mac."),
        11, QFont::Normal, secondaryLabelColor());
    for (TavoLabel *label : {versionLine, studio})
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(versionLine, view, 24, 420);
    place(studio, view, 24, 438);

    auto *site = new LinkButton(siteDomain, orvaneMauve());
    QFont font = site->font();
    font.setPixelSize(12);
    font.setWeight(QFont::DemiBold);
    site->setFont(font);
    place(site, view, 24, 470);
    connect(site, &QPushButton::clicked, this, &AppDelegate::openOrvaneLabs);
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
    if (loginCheckbox)
        loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
}

void AppDelegate::openOrvaneLabs()
{
    const QUrl site(QStringLiteral("https://") + siteDomain);
    if (site.isValid() && openUrl)
        openUrl(site);
}

void AppDelegate::refreshTavoUI()
{
    const bool on = TavoSettings::isEnabled();
    if (tavoButton)
        tavoButton->setActiveState(on);
    if (tavoStatusLabel) {
        tavoStatusLabel->setText(on ? onText : offText);
        tavoStatusLabel->setTextColor(on ? tavoSlate() : secondaryLabelColor());
        QFont font = tavoStatusLabel->font();
        font.setPixelSize(15);
        font.setWeight(QFont::DemiBold);
        tavoStatusLabel->setFont(font);
    }
    statusController.setActive(on);
    const qint64 count = engine.cleanedCount();
    if (statCountLabel)
        statCountLabel->setText(statCountText(count));
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
    if (settingsView)
        settingsView->show();
    // The registration can change outside the application (the desktop's own settings).
    if (loginCheckbox)
        loginCheckbox->setChecked(loginItem->status() == LoginItem::Status::Enabled);
}

void AppDelegate::reportProblemPressed()
{
    // The problem report's dialog arrives with the makers' service link.
}

void AppDelegate::syncWithServer()
{
    // The replies poll arrives with the makers' service link.
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
    auto menu = std::make_unique<QMenu>();
    menu->addAction(TavoSettings::isEnabled() ? QStringLiteral("Désactiver le texte brut")
                                              : QStringLiteral("Activer le texte brut"),
        this, &AppDelegate::togglePressed);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Ouvrir OrvaneTavo…"), this, &AppDelegate::showMainWindow);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Rechercher des mises à jour…"), &updaterController,
        &UpdaterController::checkForUpdates);
    menu->addAction(
        QStringLiteral("Signaler un problème…"), this, &AppDelegate::reportProblemPressed);
    menu->addSeparator();
    addQuitEntry(menu.get());
    return menu;
}
