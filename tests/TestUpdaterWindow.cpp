// The updater's window: what each page says, what each choice reports, and that nothing coming
// from the network is ever read as markup.
#include "UpdaterWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>

using Page = UpdaterWindow::Page;
Q_DECLARE_METATYPE(UpdaterWindow::Page)

namespace {

const QString notesSample = "- Le bouton suit le thème sombre.\n- Démarrage plus rapide.";

void showPage(UpdaterWindow &window, Page page)
{
    switch (page) {
    case Page::Checking:
        return window.showChecking();
    case Page::UpToDate:
        return window.showUpToDate("1.4.0");
    case Page::Available:
        return window.showAvailable("1.5.0", "1.4.0", notesSample);
    case Page::Downloading:
        return window.showDownloading(3'400'000, 41'200'000);
    case Page::ReadyToRestart:
        return window.showReadyToRestart("1.5.0");
    case Page::Failure:
        return window.showFailure("La signature de la mise à jour n'est pas valide.");
    }
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

// What the window manager sends when the title bar's close button is pressed: a close event to
// the native window, which reaches the widget as a spontaneous one.
void closeFromTitleBar(UpdaterWindow &window)
{
    QCloseEvent event;
    QApplication::sendEvent(window.windowHandle(), &event);
}

// Every signal the window reports, in order, to check that one choice gives exactly one.
struct Reported : QObject
{
    explicit Reported(UpdaterWindow &window)
    {
        const std::pair<void (UpdaterWindow::*)(), const char *> all[] = {
            {&UpdaterWindow::cancelRequested, "cancel"},
            {&UpdaterWindow::installRequested, "install"}, {&UpdaterWindow::laterChosen, "later"},
            {&UpdaterWindow::restartRequested, "restart"}};
        for (const auto &[signal, name] : all)
            connect(&window, signal, this, [this, name] { names << name; });
    }
    QStringList names;
};

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void pageContents_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<bool>("progress");

        QTest::newRow("checking") << Page::Checking << QStringList{"Recherche de mises à jour…"}
                                  << QStringList{"Annuler"} << true;
        QTest::newRow("up-to-date") << Page::UpToDate
                                    << QStringList{"Tu es à jour\u00a0!",
                                           "OrvaneTavo 1.4.0 est la dernière version disponible."}
                                    << QStringList{"OK"} << false;
        QTest::newRow("available")
            << Page::Available
            << QStringList{"OrvaneTavo 1.5.0 est disponible\u00a0!",
                   "Tu as la version 1.4.0. Veux-tu l'installer maintenant\u00a0?",
                   "Nouveautés\u00a0:"}
            << QStringList{"Plus tard", "Installer maintenant"} << false;
        QTest::newRow("downloading")
            << Page::Downloading
            << QStringList{"Téléchargement de la mise à jour…", "3,4 Mo sur 41,2 Mo"}
            << QStringList{"Annuler"} << true;
        QTest::newRow("ready")
            << Page::ReadyToRestart
            << QStringList{"La mise à jour est prête\u00a0!",
                   "OrvaneTavo 1.5.0 est installé. Redémarre l'app pour l'utiliser."}
            << QStringList{"Plus tard", "Redémarrer maintenant"} << false;
        QTest::newRow("failure") << Page::Failure
                                 << QStringList{"La mise à jour a échoué",
                                        "La signature de la mise à jour n'est pas valide."}
                                 << QStringList{"OK"} << false;
    }

    // Each page is reached from a page that shows other things, so that nothing is left over.
    void pageContents()
    {
        QFETCH(Page, page);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, buttons);
        QFETCH(bool, progress);

        UpdaterWindow window;
        QCOMPARE(window.windowTitle(), "Mise à jour d'OrvaneTavo");
        window.showAvailable("9.9", "9.8", "notes");
        window.showDownloading(1, 2);
        showPage(window, page);

        QCOMPARE(window.page(), page);
        labels.sort();
        buttons.sort();
        QCOMPARE(visibleTexts<QLabel>(window), labels);
        QCOMPARE(visibleTexts<QPushButton>(window), buttons);
        QCOMPARE(window.findChild<QProgressBar *>()->isVisibleTo(&window), progress);
        const auto *notes = window.findChild<QPlainTextEdit *>();
        QCOMPARE(notes->isVisibleTo(&window), page == Page::Available);
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
        Reported signals_(window);

        if (how == "escape") {
            QTest::keyClick(&window, Qt::Key_Escape);
        } else if (how == "close-button") {
            closeFromTitleBar(window);
        } else if (how == "updater") {
            QVERIFY(window.close());
        } else {
            const auto all = window.findChildren<QPushButton *>();
            const auto target = std::ranges::find_if(
                all, [&](auto *b) { return b->isVisibleTo(&window) && b->text() == how; });
            QVERIFY(target != all.end());
            QTest::mouseClick(*target, Qt::LeftButton);
        }
        QCOMPARE(signals_.names, reported);
        QCOMPARE(window.isVisible(), staysOpen);

        // Closing what is already closed reports nothing more.
        if (!staysOpen) {
            closeFromTitleBar(window);
            QCOMPARE(signals_.names, reported);
        }
    }

    // Notes, versions and messages come from the network: markup in them shows as typed.
    void markupShowsLiterally()
    {
        const QString markup = "<b>gras</b><script>alert(1)</script>&amp; <img src=x>";
        UpdaterWindow window;
        window.showAvailable(markup, "<i>1.4</i>", markup);

        const auto *notes = window.findChild<QPlainTextEdit *>();
        QVERIFY(notes->isReadOnly());
        QCOMPARE(notes->toPlainText(), markup);
        QVERIFY(visibleTexts<QLabel>(window).contains(
            "OrvaneTavo " + markup + " est disponible\u00a0!"));

        window.showFailure(markup);
        QVERIFY(visibleTexts<QLabel>(window).contains(markup));
        for (const QLabel *label : window.findChildren<QLabel *>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }

    // The size line in tenths of a Mo; past the total it stops there, without one it shows what
    // arrived and a busy bar (value -1).
    void downloadProgress_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("value");
        QTest::newRow("part") << qint64(3'400'000) << qint64(41'200'000) << "3,4 Mo sur 41,2 Mo"
                              << 82;
        QTest::newRow("more-than-announced")
            << qint64(50'000'000) << qint64(41'200'000) << "41,2 Mo sur 41,2 Mo" << 1000;
        QTest::newRow("unknown-total") << qint64(12'500'000) << qint64(0) << "12,5 Mo" << -1;
    }

    void downloadProgress()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(QString, line);
        QFETCH(int, value);

        UpdaterWindow window;
        window.showDownloading(1, 2);
        window.showDownloading(received, total);
        QVERIFY(visibleTexts<QLabel>(window).contains(line));
        const auto *bar = window.findChild<QProgressBar *>();
        QCOMPARE(bar->maximum(), value < 0 ? 0 : 1000);
        if (value >= 0)
            QCOMPARE(bar->value(), value);
    }

    void screenshots_data() { pageContents_data(); }

    // Saves each page to screenshots/updater-<page>.png under the build folder, to look at.
    void screenshots()
    {
        QFETCH(Page, page);
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // Everything the page shows fits in the window.
        for (const QWidget *child : window.findChildren<QWidget *>())
            if (child->isVisible())
                QVERIFY2(
                    window.rect().contains(QRect(child->mapTo(&window, QPoint()), child->size())),
                    qPrintable(child->metaObject()->className()));
        const QString path
            = QString(SCREENSHOT_DIR) + "/updater-" + QTest::currentDataTag() + ".png";
        QVERIFY(window.grab().save(path));
    }
};

QTEST_MAIN(TestUpdaterWindow)
#include "TestUpdaterWindow.moc"
