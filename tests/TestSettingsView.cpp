#include "AppDelegate.h"
#include "FakePasteboard.h"
#include "LinkButton.h"
#include "LoginItem.h"
#include "MainWindow.h"
#include "Palette.h"
#include "TavoEngine.h"
#include "TavoLabel.h"
#include "TavoSettings.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace PasteboardType;

namespace {

// The desktop's login registration, as a test sets it.
class FakeLoginItem : public LoginItem
{
public:
    Status status() const override { return *m_status; }
    bool registerItem(QString *error) override { return change(Status::Enabled, error); }
    bool unregisterItem(QString *error) override { return change(Status::NotRegistered, error); }

    std::shared_ptr<Status> m_status = std::make_shared<Status>(Status::NotRegistered);
    std::shared_ptr<bool> m_refuse = std::make_shared<bool>(false);

private:
    bool change(Status to, QString *error)
    {
        if (*m_refuse) {
            *error = "refusé par le bureau";
            return false;
        }
        *m_status = to;
        return true;
    }
};

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    std::shared_ptr<LoginItem::Status> m_login;
    std::shared_ptr<bool> m_refuse;
    QList<QUrl> m_opened;
    QStringList m_logged;

    AppDelegate &launch()
    {
        m_app = std::make_unique<AppDelegate>(*m_engine);
        auto login = std::make_unique<FakeLoginItem>();
        m_login = login->m_status;
        m_refuse = login->m_refuse;
        *m_login = m_initialLogin;
        m_app->loginItem = std::move(login);
        m_app->openUrl = [this](const QUrl &url) {
            m_opened.append(url);
            return true;
        };
        m_app->terminate = [] {};
        m_app->log = [this](const QString &line) { m_logged.append(line); };
        m_app->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *m_app;
    }

    template<typename Widget> Widget *find(const QString &text) const
    {
        for (Widget *widget : m_app->settingsView->findChildren<Widget *>()) {
            if (widget->text() == text)
                return widget;
        }
        return nullptr;
    }

    QCheckBox *box(const QString &text) const { return find<QCheckBox>(text); }

    LoginItem::Status m_initialLogin = LoginItem::Status::NotRegistered;

private Q_SLOTS:
    void init()
    {
        QFile::remove(store.fileName());
        store.setBool(TavoSettings::onboardedKey, true);
        m_opened.clear();
        m_logged.clear();
        m_initialLogin = LoginItem::Status::NotRegistered;
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
    }

    void cleanup()
    {
        m_app.reset();
        m_engine.reset();
    }

    void controlsSitWhereTheyBelong_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("spreadsheet")
            << "Ignorer les copies venant des tableurs (préserve les tabulations)"
            << "checkbox" << QPoint(40, 122);
        QTest::newRow("updates") << "Installer les mises à jour automatiquement"
                                 << "checkbox" << QPoint(40, 222);
        QTest::newRow("tray") << "Icône dans la barre de menus (au lieu du Dock)"
                              << "checkbox" << QPoint(40, 250);
        QTest::newRow("login") << "Ouvrir à la connexion"
                               << "checkbox" << QPoint(40, 278);
        QTest::newRow("update button") << "Rechercher des mises à jour…"
                                       << "button" << QPoint(24, 322);
        QTest::newRow("count") << "Aucun collage nettoyé pour l'instant"
                               << "label" << QPoint(40, 154);
        QTest::newRow("version") << "OrvaneTavo v" ORVANE_VERSION << "label" << QPoint(24, 420);
        QTest::newRow("studio") << "Développé par Orvane Labs,\nstudio suisse d'applications Mac."
                                << "label" << QPoint(24, 438);
        QTest::newRow("site") << "orvanelabs.ch"
                              << "link" << QPoint(24, 470);
    }

    void controlsSitWhereTheyBelong()
    {
        QFETCH(QString, text);
        QFETCH(QString, kind);
        QFETCH(QPoint, origin);
        launch();
        QWidget *widget = nullptr;
        if (kind == "checkbox")
            widget = find<QCheckBox>(text);
        else if (kind == "button")
            widget = find<QPushButton>(text);
        else if (kind == "link")
            widget = find<LinkButton>(text);
        else
            widget = find<TavoLabel>(text);
        QVERIFY2(widget, qPrintable(text));
        QCOMPARE(widget->pos(), origin);
        // Fitted: the control keeps the size its content asks for.
        QCOMPARE(widget->size(), widget->sizeHint());
        if (auto *label = qobject_cast<TavoLabel *>(widget); label && kind == "label")
            QVERIFY(label->alignment() & Qt::AlignLeft);
    }

    void titleAndBackButton()
    {
        AppDelegate &app = launch();
        auto *title = find<TavoLabel>("Réglages");
        QVERIFY(title);
        QCOMPARE(title->x(), 54);
        QVERIFY(qAbs(title->geometry().center().y() - 60) <= 1);
        QToolButton *back = nullptr;
        for (auto *button : app.settingsView->findChildren<QToolButton *>())
            back = button->toolTip() == "Retour" ? button : back;
        QVERIFY(back);
        QCOMPARE(back->geometry(), QRect(18, 46, 28, 28));
        QVERIFY(!back->icon().isNull());

        app.showSettings();
        QVERIFY(app.settingsView->isVisible());
        back->click();
        QVERIFY(app.mainView->isVisible());
        QVERIFY(!app.settingsView->isVisible());
    }

    void reportButtonFollowsTheUpdateButton_data()
    {
        QTest::addColumn<int>("pixelSize");
        QTest::newRow("small font") << 10;
        QTest::newRow("large font") << 18;
    }

    void reportButtonFollowsTheUpdateButton()
    {
        QFETCH(int, pixelSize);
        QFont font = QApplication::font();
        const QFont original = font;
        font.setPixelSize(pixelSize);
        QApplication::setFont(font);
        launch();
        QApplication::setFont(original);
        auto *update = find<QPushButton>("Rechercher des mises à jour…");
        auto *report = find<QPushButton>("Signaler un problème…");
        QVERIFY(update && report);
        QCOMPARE(report->x(), update->x() + update->width() + 10);
        QCOMPARE(report->y(), 322);
    }

    void initialStates_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<bool>("loginEnabled");
        QTest::addColumn<QList<bool>>("checked"); // spreadsheet, updates, tray, login
        QTest::newRow("fresh") << QVariantMap{} << false << QList<bool>{true, false, false, false};
        QTest::newRow("everything on")
            << QVariantMap{{"OTSkipTabular", true}, {"UpdaterAutomaticChecks", true},
                   {"UpdaterAutomaticDownloads", true}, {"OTMenuBarMode", true}}
            << true << QList<bool>{true, true, true, true};
        QTest::newRow("only one update flag")
            << QVariantMap{{"OTSkipTabular", false}, {"UpdaterAutomaticDownloads", true}} << false
            << QList<bool>{false, true, false, false};
        QTest::newRow("checks without downloads")
            << QVariantMap{{"UpdaterAutomaticChecks", true}, {"UpdaterAutomaticDownloads", false}}
            << false << QList<bool>{true, false, false, false};
    }

    void initialStates()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(bool, loginEnabled);
        QFETCH(QList<bool>, checked);
        for (auto it = stored.begin(); it != stored.end(); ++it)
            store.setObject(it.key(), it.value());
        m_initialLogin
            = loginEnabled ? LoginItem::Status::Enabled : LoginItem::Status::NotRegistered;
        launch();
        const QList<bool> actual{
            box("Ignorer les copies venant des tableurs (préserve les tabulations)")->isChecked(),
            box("Installer les mises à jour automatiquement")->isChecked(),
            box("Icône dans la barre de menus (au lieu du Dock)")->isChecked(),
            box("Ouvrir à la connexion")->isChecked()};
        QCOMPARE(actual, checked);
    }

    void spreadsheetSwitchChangesTheNextTick()
    {
        launch();
        QCheckBox *skip = box("Ignorer les copies venant des tableurs (préserve les tabulations)");
        skip->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(false));
        m_board->copy({html, "text/tab-separated-values", string}, "a\tb");
        QTRY_COMPARE_WITH_TIMEOUT(m_board->types(), QStringList{string}, 2000);
        skip->click();
        QCOMPARE(store.object(TavoSettings::skipTabularKey), QVariant(true));
    }

    void oneBoxDrivesBothUpdateFlags()
    {
        AppDelegate &app = launch();
        QCheckBox *updates = box("Installer les mises à jour automatiquement");
        updates->click();
        QVERIFY(app.updaterController.updater().automaticallyChecksForUpdates());
        QVERIFY(app.updaterController.updater().automaticallyDownloadsUpdates());
        updates->click();
        QVERIFY(!app.updaterController.updater().automaticallyChecksForUpdates());
        QVERIFY(!app.updaterController.updater().automaticallyDownloadsUpdates());
    }

    void loginBoxRegistersAndSpringsBackOnFailure()
    {
        AppDelegate &app = launch();
        QCheckBox *login = box("Ouvrir à la connexion");
        login->click();
        QCOMPARE(*m_login, LoginItem::Status::Enabled);
        QVERIFY(login->isChecked());

        *m_refuse = true;
        login->click();
        // Refused: one log line, and the box shows the registration as it really is.
        QCOMPARE(
            m_logged, QStringList{"OrvaneTavo: ouverture à la connexion: refusé par le bureau"});
        QVERIFY(login->isChecked());
        *m_refuse = false;

        // Changed behind our back: seen the next time the view is shown.
        *m_login = LoginItem::Status::NotRegistered;
        app.showMain();
        app.showSettings();
        QVERIFY(!login->isChecked());
    }

    void trayBoxSwitchesTheMode()
    {
        AppDelegate &app = launch();
        QCheckBox *tray = box("Icône dans la barre de menus (au lieu du Dock)");
        tray->click();
        QVERIFY(AppDelegate::menuBarMode());
        QVERIFY(app.statusController.isEnabled());
        QVERIFY(!app.mainWindow->hasTaskBarEntry());
        tray->click();
        QVERIFY(!AppDelegate::menuBarMode());
        QVERIFY(!app.statusController.isEnabled());
        QTRY_VERIFY(app.mainWindow->isVisible());
        QVERIFY(app.mainWindow->hasTaskBarEntry());
    }

    void countLineKeepsItsLaunchValue()
    {
        AppDelegate &app = launch();
        m_board->copy({html, string}, "x");
        QTRY_COMPARE_WITH_TIMEOUT(
            app.statCountLabel->text(), QString("1 collage nettoyé depuis l'installation"), 2000);
        QVERIFY(find<TavoLabel>("Aucun collage nettoyé pour l'instant"));
    }

    void siteLinkOpensTheMakersSite()
    {
        launch();
        auto *site = find<LinkButton>("orvanelabs.ch");
        QCOMPARE(site->resolvedTextColor(), orvaneMauve().resolve(site->palette()));
        site->click();
        QCOMPARE(m_opened, QList<QUrl>{QUrl("https://orvanelabs.ch")});
    }
};

QTEST_MAIN(TestSettingsView)
#include "TestSettingsView.moc"
