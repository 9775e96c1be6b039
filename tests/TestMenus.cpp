#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/MainWindow.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

class TestMenus : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakePasteboard> m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    int m_quits = 0;

    // Each entry as "title [shortcut]", separators as "-".
    static QStringList titles(const QMenu *menu)
    {
        QStringList result;
        for (const QAction *action : menu->actions()) {
            const QString keys = action->shortcut().toString();
            result.append(action->isSeparator() ? "-"
                    : keys.isEmpty()            ? action->text()
                                                : action->text() + " [" + keys + "]");
        }
        return result;
    }

    QMenu *menu(int index) const { return m_app->mainMenu->actions().at(index)->menu(); }

private Q_SLOTS:
    void init()
    {
        QFile::remove(TavoSettings::defaults().fileName());
        TavoSettings::defaults().setBool(TavoSettings::onboardedKey, true);
        m_quits = 0;
        m_board = std::make_unique<FakePasteboard>();
        m_engine = std::make_unique<TavoEngine>(*m_board);
        m_app = std::make_unique<AppDelegate>(*m_engine);
        m_app->terminate = [this] { ++m_quits; };
        m_app->applicationDidFinishLaunching();
    }

    void cleanup()
    {
        m_app.reset();
        m_engine.reset();
    }

    // The quit key works from the update window too, not only from the main window.
    void quitKeyWorksInEveryWindow()
    {
        m_app->updaterController.checkForUpdates();
        QWidget *updater = m_app->updaterController.updater().window();
        QVERIFY(updater);
        QApplication::setActiveWindow(updater);
        QVERIFY(QTest::qWaitForWindowActive(updater));
        QTest::keyClick(updater, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(m_quits, 1);
    }

    void mainMenuEntriesAndWhereTheyLand()
    {
        QCOMPARE(m_app->mainWindow->menuBar(), m_app->mainMenu.data());
        QCOMPARE(m_app->mainMenu->actions().size(), 2);
        QCOMPARE(titles(menu(0)),
            (QStringList{"Rechercher des mises à jour…", "Signaler un problème…", "-",
                "Quitter OrvaneTavo [Ctrl+Q]"}));
        QCOMPARE(menu(1)->title(), "Édition");
        QCOMPARE(titles(menu(1)),
            (QStringList{"Annuler [Ctrl+Z]", "Rétablir [Ctrl+Shift+Z]", "-", "Couper [Ctrl+X]",
                "Copier [Ctrl+C]", "Coller [Ctrl+V]", "Tout sélectionner [Ctrl+A]"}));
        // The window's faces keep their full size under the menu bar.
        QCOMPARE(m_app->mainView->size(), QSize(430, 500));

        menu(0)->actions().first()->trigger();
        QWidget *updater = m_app->updaterController.updater().window();
        QVERIFY(updater && updater->isVisible());
        updater->close();
        menu(0)->actions().last()->trigger();
        QCOMPARE(m_quits, 1);
    }

    void editEntriesActOnTheFocusedField()
    {
        QLineEdit field(m_app->mainWindow);
        m_app->mainWindow->show();
        field.show();
        field.setFocus();
        QApplication::setActiveWindow(m_app->mainWindow);
        QTRY_COMPARE(QApplication::focusWidget(), &field);
        QTest::keyClicks(&field, "bonjour");
        const QList<QAction *> edit = menu(1)->actions(); // undo, redo, -, cut, copy, paste, all

        edit[6]->trigger();
        QCOMPARE(field.selectedText(), "bonjour");
        edit[3]->trigger();
        QCOMPARE(field.text(), "");
        edit[5]->trigger();
        QCOMPARE(field.text(), "bonjour");
        edit[0]->trigger();
        QCOMPARE(field.text(), "");
    }

    void statusMenuNamesTheActionOfTheMoment()
    {
        std::unique_ptr<QMenu> status = m_app->buildStatusMenu();
        QCOMPARE(status->actions().first()->text(), "Désactiver le texte brut");
        status->actions().first()->trigger();
        QVERIFY(!m_engine->isEnabled());
        QCOMPARE(titles(m_app->buildStatusMenu().get()),
            (QStringList{"Activer le texte brut", "-", "Ouvrir OrvaneTavo…", "-",
                "Rechercher des mises à jour…", "Signaler un problème…", "-",
                "Quitter OrvaneTavo [Ctrl+Q]"}));
    }
};

QTEST_MAIN(TestMenus)
#include "TestMenus.moc"
