#include "updater/UpdaterWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using Page = UpdaterWindow::Page;
Q_DECLARE_METATYPE(UpdaterWindow::Page)

namespace {

// Shows a page with sample contents; the array follows the order of the Page enumeration.
void showPage(UpdaterWindow &window, Page page)
{
    const std::function<void()> show[]
        = {[&] { window.showChecking(); }, [&] { window.showUpToDate("1.4.0"); },
            [&] { window.showAvailable("1.5.0", "1.4.0", "- Démarrage plus rapide."); },
            [&] { window.showDownloading(3'400'000, 41'200'000); },
            [&] { window.showReadyToRestart("1.5.0"); },
            [&] { window.showFailure("Signature non valide."); }};
    show[int(page)]();
}

// The sorted texts of the visible widgets of one kind (empty labels left out).
template<typename Widget> QStringList visibleTexts(const UpdaterWindow &window)
{
    QStringList texts;
    for (const Widget *widget : window.findChildren<Widget *>())
        if (widget->isVisibleTo(&window) && !widget->text().isEmpty())
            texts << widget->text();
    texts.sort();
    return texts;
}

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pageContents_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QStringList>("buttons");
        const auto row = [](const char *name, Page page, QStringList labels, QStringList buttons) {
            QTest::newRow(name) << page << labels << buttons;
        };
        row("checking", Page::Checking, {"Recherche de mises à jour…"}, {"Annuler"});
        row("up-to-date", Page::UpToDate,
            {"Tu es à jour\u00a0!", "OrvaneTavo 1.4.0 est la dernière version disponible."},
            {"OK"});
        row("available", Page::Available,
            {"OrvaneTavo 1.5.0 est disponible\u00a0!",
                "Tu as la version 1.4.0. Veux-tu l'installer maintenant\u00a0?",
                "Nouveautés\u00a0:"},
            {"Plus tard", "Installer maintenant"});
        row("downloading", Page::Downloading,
            {"Téléchargement de la mise à jour…", "3,4 Mo sur 41,2 Mo"}, {"Annuler"});
        row("ready", Page::ReadyToRestart,
            {"La mise à jour est prête\u00a0!",
                "OrvaneTavo 1.5.0 est installé. Redémarre l'app pour l'utiliser."},
            {"Plus tard", "Redémarrer maintenant"});
        row("failure", Page::Failure, {"La mise à jour a échoué", "Signature non valide."}, {"OK"});
    }

    // Each page is reached from a page that shows other things, so that nothing is left over.
    // The page is saved to screenshots/updater-<row>.png under the build folder, to look at.
    void pageContents()
    {
        QFETCH(Page, page);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, buttons);

        UpdaterWindow window;
        window.showAvailable("9.9", "9.8", "notes");
        window.showDownloading(1, 2);
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.page(), page);
        labels.sort();
        buttons.sort();
        QCOMPARE(visibleTexts<QLabel>(window), labels);
        QCOMPARE(visibleTexts<QPushButton>(window), buttons);
        QCOMPARE(window.findChild<QProgressBar *>()->isVisibleTo(&window),
            page == Page::Checking || page == Page::Downloading);
        QCOMPARE(
            window.findChild<QPlainTextEdit *>()->isVisibleTo(&window), page == Page::Available);
        // Everything the page shows fits in the window.
        for (const QWidget *child : window.findChildren<QWidget *>())
            if (child->isVisible())
                QVERIFY2(
                    window.rect().contains(QRect(child->mapTo(&window, QPoint()), child->size())),
                    qPrintable(child->metaObject()->className()));
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        QVERIFY(window.grab().save(
            QString(SCREENSHOT_DIR) + "/updater-" + QTest::currentDataTag() + ".png"));
    }

    void choices_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("reported");
        QTest::addColumn<bool>("staysOpen");

        const auto row = [](const char *name, Page page, const char *how, QStringList reported,
                             bool staysOpen = false) {
            QTest::newRow(name) << page << QString(how) << reported << staysOpen;
        };
        row("checking-cancel", Page::Checking, "Annuler", {"cancel"});
        row("up-to-date-ok", Page::UpToDate, "OK", {});
        row("available-later", Page::Available, "Plus tard", {"later"});
        row("available-install", Page::Available, "Installer maintenant", {"install"}, true);
        row("ready-restart", Page::ReadyToRestart, "Redémarrer maintenant", {"restart"}, true);
        // Escape and the title bar's close button report the same as the page's way out; the
        // updater closing the window itself hears nothing back.
        row("checking-escape", Page::Checking, "escape", {"cancel"});
        row("downloading-close-button", Page::Downloading, "close-button", {"cancel"});
        row("downloading-updater", Page::Downloading, "updater", {});
    }

    // Each way out of a page reports its choice exactly once.
    void choices()
    {
        QFETCH(Page, page);
        QFETCH(QString, how);
        QFETCH(QStringList, reported);
        QFETCH(bool, staysOpen);

        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // What the window manager sends when the title bar's close button is pressed: a close
        // event to the native window, which reaches the widget as a spontaneous one.
        const auto closeFromTitleBar = [&] {
            QCloseEvent event;
            QApplication::sendEvent(window.windowHandle(), &event);
        };
        QStringList names;
        connect(&window, &UpdaterWindow::cancelRequested, this, [&] { names << "cancel"; });
        connect(&window, &UpdaterWindow::installRequested, this, [&] { names << "install"; });
        connect(&window, &UpdaterWindow::laterChosen, this, [&] { names << "later"; });
        connect(&window, &UpdaterWindow::restartRequested, this, [&] { names << "restart"; });

        if (how == "escape")
            QTest::keyClick(&window, Qt::Key_Escape);
        else if (how == "close-button")
            closeFromTitleBar();
        else if (how == "updater")
            QVERIFY(window.close());
        for (QPushButton *button : window.findChildren<QPushButton *>())
            if (button->isVisibleTo(&window) && button->text() == how)
                QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(window.isVisible(), staysOpen);
        // Closing what is already closed reports nothing more.
        if (!staysOpen)
            closeFromTitleBar();
        QCOMPARE(names, reported);
    }

    // Notes, versions and messages come from the network: markup in them shows as typed.
    void markupShowsLiterally()
    {
        const QString markup = "<b>gras</b><script>alert(1)</script>&amp; <img src=x>";
        UpdaterWindow window;
        window.showAvailable(markup, markup, markup);
        QCOMPARE(window.findChild<QPlainTextEdit *>()->toPlainText(), markup);
        for (const QLabel *label : window.findChildren<QLabel *>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }

    // The size line in tenths of a Mo: past the total it stops there; without a total it shows
    // what arrived and the bar runs without an end.
    void downloadSizeLine()
    {
        UpdaterWindow window;
        const auto *bar = window.findChild<QProgressBar *>();
        window.showDownloading(50'000'000, 41'200'000);
        QVERIFY(visibleTexts<QLabel>(window).contains("41,2 Mo sur 41,2 Mo"));
        QCOMPARE(bar->value(), bar->maximum());
        window.showDownloading(12'500'000, 0);
        QVERIFY(visibleTexts<QLabel>(window).contains("12,5 Mo"));
        QCOMPARE(bar->maximum(), 0);
    }
};

QTEST_MAIN(TestUpdaterWindow)
#include "TestUpdaterWindow.moc"
