#include "AppDelegate.h"
#include "FakePasteboard.h"
#include "MainWindow.h"
#include "RoundTavoButton.h"
#include "TavoEngine.h"
#include "TavoSettings.h"

#include <QApplication>
#include <QClipboard>
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

    static QStringList titles(const QMenu *menu)
    {
        QStringList result;
        for (const QAction *action : menu->actions())
            result.append(action->isSeparator() ? QString("-")
                                                : action->text()
                        + (action->shortcut().isEmpty()
                                ? QString()
                                : " [" + action->shortcut().toString() + "]"));
        return result;
    }

    QMenu *menu(int index) const { return m_app->mainMenu->actions().at(index)->menu(); }

    QAction *editEntry(const QString &title) const
    {
        for (QAction *action : menu(1)->actions()) {
            if (action->text() == title)
                return action;
        }
        return nullptr;
    }

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

    void mainMenuHasItsEntries()
    {
        QVERIFY(m_app->mainMenu);
        QCOMPARE(m_app->mainWindow->menuBar(), m_app->mainMenu.data());
        QCOMPARE(m_app->mainMenu->actions().size(), 2);
        QCOMPARE(titles(menu(0)),
            (QStringList{"Rechercher des mises à jour…", "Signaler un problème…", "-",
                "Quitter OrvaneTavo [Ctrl+Q]"}));
        QCOMPARE(menu(1)->title(), "Édition");
        QCOMPARE(titles(menu(1)),
            (QStringList{"Annuler [Ctrl+Z]", "Rétablir [Ctrl+Shift+Z]", "-", "Couper [Ctrl+X]",
                "Copier [Ctrl+C]", "Coller [Ctrl+V]", "Tout sélectionner [Ctrl+A]"}));
        // Titles that open a further step end in the one ellipsis character.
        QVERIFY(menu(0)->actions().first()->text().endsWith(QChar(0x2026)));

        menu(0)->actions().last()->trigger();
        QCOMPARE(m_quits, 1);
        // The window's faces keep their full size under the menu bar.
        QCOMPARE(m_app->mainView->size(), QSize(430, 500));
    }

    void updateEntryOpensTheUpdater()
    {
        menu(0)->actions().first()->trigger();
        QVERIFY(m_app->updaterController.updater().window());
        QVERIFY(m_app->updaterController.updater().window()->isVisible());
        m_app->updaterController.updater().window()->close();
    }

    void editEntriesActOnTheFocusedField()
    {
        QLineEdit field(m_app->mainWindow);
        field.show();
        m_app->mainWindow->show();
        field.setFocus();
        QApplication::setActiveWindow(m_app->mainWindow);
        QTRY_COMPARE(QApplication::focusWidget(), &field);
        QTest::keyClicks(&field, "bonjour");

        editEntry("Tout sélectionner")->trigger();
        QCOMPARE(field.selectedText(), "bonjour");
        editEntry("Couper")->trigger();
        QCOMPARE(field.text(), "");
        editEntry("Annuler")->trigger();
        QCOMPARE(field.text(), "bonjour");
        editEntry("Rétablir")->trigger();
        QCOMPARE(field.text(), "");
        editEntry("Coller")->trigger();
        QCOMPARE(field.text(), "bonjour");
        field.selectAll();
        editEntry("Copier")->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), "bonjour");
    }

    void editEntriesIgnoreFieldlessFocus()
    {
        m_app->mainWindow->show();
        m_app->tavoButton->setFocus();
        // Nothing to act on: nothing happens, nothing breaks.
        for (QAction *action : menu(1)->actions())
            action->trigger();
        QVERIFY(m_engine->isEnabled());
    }

    void statusMenuNamesTheActionOfTheMoment()
    {
        std::unique_ptr<QMenu> status = m_app->buildStatusMenu();
        QCOMPARE(status->actions().first()->text(), "Désactiver le texte brut");
        status->actions().first()->trigger();
        QVERIFY(!m_engine->isEnabled());
        QCOMPARE(m_app->buildStatusMenu()->actions().first()->text(), "Activer le texte brut");
        QCOMPARE(titles(m_app->buildStatusMenu().get()).mid(1),
            (QStringList{"-", "Ouvrir OrvaneTavo…", "-", "Rechercher des mises à jour…",
                "Signaler un problème…", "-", "Quitter OrvaneTavo [Ctrl+Q]"}));
    }
};

QTEST_MAIN(TestMenus)
#include "TestMenus.moc"
