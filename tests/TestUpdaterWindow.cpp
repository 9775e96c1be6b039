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
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>
#include <QTextBlock>
#include <QTextFragment>

using Page = UpdaterWindow::Page;
Q_DECLARE_METATYPE(UpdaterWindow::Page)

namespace {

const QString notesSample = "- Le bouton suit le thème sombre.\n- Copier depuis un terminal garde "
                            "les tabulations.\n- Démarrage plus rapide.";

void showPage(UpdaterWindow &window, Page page)
{
    switch (page) {
    case Page::Checking:
        window.showChecking();
        break;
    case Page::UpToDate:
        window.showUpToDate("1.4.0");
        break;
    case Page::Available:
        window.showAvailable("1.5.0", "1.4.0", notesSample);
        break;
    case Page::Downloading:
        window.showDownloading(3'400'000, 41'200'000);
        break;
    case Page::ReadyToRestart:
        window.showReadyToRestart("1.5.0");
        break;
    case Page::Failure:
        window.showFailure("La signature de la mise à jour n'est pas valide.");
        break;
    }
}

QStringList visibleLabelTexts(const UpdaterWindow &window)
{
    QStringList texts;
    for (const QLabel *label : window.findChildren<QLabel *>())
        if (label->isVisibleTo(&window) && !label->text().isEmpty())
            texts << label->text();
    texts.sort();
    return texts;
}

QStringList visibleButtonTexts(const UpdaterWindow &window)
{
    QStringList texts;
    for (const QPushButton *button : window.findChildren<QPushButton *>())
        if (button->isVisibleTo(&window))
            texts << button->text();
    texts.sort();
    return texts;
}

QPushButton *button(const UpdaterWindow &window, const QString &text)
{
    for (QPushButton *button : window.findChildren<QPushButton *>())
        if (button->isVisibleTo(&window) && button->text() == text)
            return button;
    return nullptr;
}

QString defaultButtonText(const UpdaterWindow &window)
{
    for (const QPushButton *button : window.findChildren<QPushButton *>())
        if (button->isVisibleTo(&window) && button->isDefault())
            return button->text();
    return {};
}

QProgressBar *visibleProgressBar(const UpdaterWindow &window)
{
    for (QProgressBar *bar : window.findChildren<QProgressBar *>())
        if (bar->isVisibleTo(&window))
            return bar;
    return nullptr;
}

// What the window manager sends when the title bar's close button is pressed: a close event to
// the native window, which reaches the widget as a spontaneous one.
void closeFromTitleBar(UpdaterWindow &window)
{
    QCloseEvent event;
    QApplication::sendEvent(window.windowHandle(), &event);
}

// Records every signal the window reports, to check that one choice gives exactly one signal.
struct Spies
{
    explicit Spies(UpdaterWindow &window)
        : cancel(&window, &UpdaterWindow::cancelRequested)
        , install(&window, &UpdaterWindow::installRequested)
        , later(&window, &UpdaterWindow::laterChosen)
        , restart(&window, &UpdaterWindow::restartRequested)
    {
    }

    // "cancel=1 install=0 later=0 restart=0", readable in a failure message.
    QString counts() const
    {
        return QString("cancel=%1 install=%2 later=%3 restart=%4")
            .arg(cancel.count())
            .arg(install.count())
            .arg(later.count())
            .arg(restart.count());
    }

    QSignalSpy cancel;
    QSignalSpy install;
    QSignalSpy later;
    QSignalSpy restart;
};

QString expectedCounts(const QString &signal)
{
    return QString("cancel=%1 install=%2 later=%3 restart=%4")
        .arg(signal == "cancel")
        .arg(signal == "install")
        .arg(signal == "later")
        .arg(signal == "restart");
}

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
        QTest::addColumn<QString>("defaultButton");
        QTest::addColumn<bool>("progress");

        QTest::newRow("checking") << Page::Checking << QStringList{"Recherche de mises à jour…"}
                                  << QStringList{"Annuler"} << QString() << true;
        QTest::newRow("up-to-date") << Page::UpToDate
                                    << QStringList{"Tu es à jour\u00a0!",
                                           "OrvaneTavo 1.4.0 est la dernière version disponible."}
                                    << QStringList{"OK"} << "OK" << false;
        QTest::newRow("available")
            << Page::Available
            << QStringList{"OrvaneTavo 1.5.0 est disponible\u00a0!",
                   "Tu as la version 1.4.0. Veux-tu l'installer maintenant\u00a0?",
                   "Nouveautés\u00a0:"}
            << QStringList{"Plus tard", "Installer maintenant"} << "Installer maintenant" << false;
        QTest::newRow("downloading")
            << Page::Downloading
            << QStringList{"Téléchargement de la mise à jour…", "3,4 Mo sur 41,2 Mo"}
            << QStringList{"Annuler"} << QString() << true;
        QTest::newRow("ready")
            << Page::ReadyToRestart
            << QStringList{"La mise à jour est prête\u00a0!",
                   "OrvaneTavo 1.5.0 est installé. Redémarre l'app pour l'utiliser."}
            << QStringList{"Plus tard", "Redémarrer maintenant"} << "Redémarrer maintenant"
            << false;
        QTest::newRow("failure") << Page::Failure
                                 << QStringList{"La mise à jour a échoué",
                                        "La signature de la mise à jour n'est pas valide."}
                                 << QStringList{"OK"} << "OK" << false;
    }

    // Each page is reached from a page that shows other things, so that nothing is left over.
    void pageContents()
    {
        QFETCH(Page, page);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, buttons);
        QFETCH(QString, defaultButton);
        QFETCH(bool, progress);

        UpdaterWindow window;
        QCOMPARE(window.windowTitle(), "Mise à jour d'OrvaneTavo");
        window.showAvailable("9.9", "9.8", "notes");
        window.showDownloading(1, 2);
        showPage(window, page);

        QCOMPARE(window.page(), page);
        labels.sort();
        buttons.sort();
        QCOMPARE(visibleLabelTexts(window), labels);
        QCOMPARE(visibleButtonTexts(window), buttons);
        QCOMPARE(defaultButtonText(window), defaultButton);
        QCOMPARE(visibleProgressBar(window) != nullptr, progress);
        const auto *notes = window.findChild<QPlainTextEdit *>();
        QVERIFY(notes);
        QCOMPARE(notes->isVisibleTo(&window), page == Page::Available);
        if (page == Page::Available)
            QCOMPARE(notes->toPlainText(), notesSample);
        if (page == Page::Checking)
            QCOMPARE(visibleProgressBar(window)->maximum(), 0);
    }

    void buttons_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("signal");
        QTest::addColumn<bool>("staysOpen");

        QTest::newRow("checking-cancel") << Page::Checking << "Annuler"
                                         << "cancel" << false;
        QTest::newRow("up-to-date-ok") << Page::UpToDate << "OK" << QString() << false;
        QTest::newRow("available-later") << Page::Available << "Plus tard"
                                         << "later" << false;
        QTest::newRow("available-install") << Page::Available << "Installer maintenant"
                                           << "install" << true;
        QTest::newRow("downloading-cancel") << Page::Downloading << "Annuler"
                                            << "cancel" << false;
        QTest::newRow("ready-later") << Page::ReadyToRestart << "Plus tard"
                                     << "later" << false;
        QTest::newRow("ready-restart") << Page::ReadyToRestart << "Redémarrer maintenant"
                                       << "restart" << true;
        QTest::newRow("failure-ok") << Page::Failure << "OK" << QString() << false;
    }

    void buttons()
    {
        QFETCH(Page, page);
        QFETCH(QString, button);
        QFETCH(QString, signal);
        QFETCH(bool, staysOpen);

        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Spies spies(window);

        QPushButton *target = ::button(window, button);
        QVERIFY(target);
        QTest::mouseClick(target, Qt::LeftButton);
        QCOMPARE(spies.counts(), expectedCounts(signal));
        QCOMPARE(window.isVisible(), staysOpen);
        QCOMPARE(window.page(), page);

        // Closing what is already closed reports nothing more.
        if (!staysOpen) {
            closeFromTitleBar(window);
            QCOMPARE(spies.counts(), expectedCounts(signal));
        }
    }

    void dismiss_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("signal");

        const QList<std::pair<Page, QString>> pages{{Page::Checking, "cancel"},
            {Page::UpToDate, QString()}, {Page::Available, "later"}, {Page::Downloading, "cancel"},
            {Page::ReadyToRestart, "later"}, {Page::Failure, QString()}};
        const char *names[]
            = {"checking", "up-to-date", "available", "downloading", "ready", "failure"};
        for (qsizetype i = 0; i < pages.size(); ++i) {
            for (const char *how : {"escape", "close-button", "updater"}) {
                const QByteArray tag = QByteArray(names[i]) + '-' + how;
                QTest::newRow(tag.constData())
                    << pages[i].first << QString(how)
                    << (QString(how) == "updater" ? QString() : pages[i].second);
            }
        }
    }

    // Escape and the title bar's close button report the same as the page's way out; the
    // updater closing the window itself hears nothing back.
    void dismiss()
    {
        QFETCH(Page, page);
        QFETCH(QString, how);
        QFETCH(QString, signal);

        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Spies spies(window);

        if (how == "escape") {
            QTest::keyClick(&window, Qt::Key_Escape);
        } else if (how == "close-button") {
            closeFromTitleBar(window);
        } else {
            QVERIFY(window.close());
        }
        QVERIFY(!window.isVisible());
        QCOMPARE(spies.counts(), expectedCounts(signal));

        closeFromTitleBar(window);
        QCOMPARE(spies.counts(), expectedCounts(signal));
    }

    // Return picks the page's default choice, and never cancels a download.
    void returnKey_data()
    {
        QTest::addColumn<Page>("page");
        QTest::addColumn<QString>("signal");
        QTest::newRow("available") << Page::Available << "install";
        QTest::newRow("ready") << Page::ReadyToRestart << "restart";
        QTest::newRow("downloading") << Page::Downloading << QString();
    }

    void returnKey()
    {
        QFETCH(Page, page);
        QFETCH(QString, signal);

        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Spies spies(window);
        QTest::keyClick(&window, Qt::Key_Return);
        QCOMPARE(spies.counts(), expectedCounts(signal));
        QVERIFY(window.isVisible());
    }

    // Notes, versions and messages come from the network: markup in them shows as typed.
    void markupShowsLiterally()
    {
        const QString markup = "<b>gras</b><script>alert(1)</script>&amp; <img src=x>";
        UpdaterWindow window;
        window.showAvailable(markup, "<i>1.4</i>", markup);

        const auto *notes = window.findChild<QPlainTextEdit *>();
        QVERIFY(notes);
        QVERIFY(notes->isReadOnly());
        QCOMPARE(notes->toPlainText(), markup);
        const QTextBlock block = notes->document()->firstBlock();
        for (auto it = block.begin(); !it.atEnd(); ++it)
            QVERIFY(it.fragment().charFormat().fontWeight() != QFont::Bold);
        QVERIFY(
            visibleLabelTexts(window).contains("OrvaneTavo " + markup + " est disponible\u00a0!"));

        window.showFailure(markup);
        QVERIFY(visibleLabelTexts(window).contains(markup));
        for (const QLabel *label : window.findChildren<QLabel *>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }

    void downloadProgress_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");

        QTest::newRow("start") << qint64(0) << qint64(41'200'000) << "0,0 Mo sur 41,2 Mo" << 1000
                               << 0;
        QTest::newRow("part") << qint64(3'400'000) << qint64(41'200'000) << "3,4 Mo sur 41,2 Mo"
                              << 1000 << 82;
        QTest::newRow("rounding") << qint64(999'999) << qint64(1'960'000) << "1,0 Mo sur 2,0 Mo"
                                  << 1000 << 510;
        QTest::newRow("done") << qint64(41'200'000) << qint64(41'200'000) << "41,2 Mo sur 41,2 Mo"
                              << 1000 << 1000;
        QTest::newRow("more-than-announced")
            << qint64(50'000'000) << qint64(41'200'000) << "41,2 Mo sur 41,2 Mo" << 1000 << 1000;
        QTest::newRow("huge") << qint64(8'000'000'000'000) << qint64(9'000'000'000'000)
                              << "8\u202f000\u202f000,0 Mo sur 9\u202f000\u202f000,0 Mo" << 1000
                              << 888;
        QTest::newRow("unknown-total") << qint64(12'500'000) << qint64(0) << "12,5 Mo" << 0 << -1;
        QTest::newRow("negative-total") << qint64(700'000) << qint64(-1) << "0,7 Mo" << 0 << -1;
    }

    void downloadProgress()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(QString, line);
        QFETCH(int, maximum);
        QFETCH(int, value);

        UpdaterWindow window;
        window.showDownloading(1, 2);
        window.showDownloading(received, total);

        QVERIFY(visibleLabelTexts(window).contains(line));
        const QProgressBar *bar = visibleProgressBar(window);
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), maximum);
        if (value >= 0)
            QCOMPARE(bar->value(), value);
    }

    // The updater moves one window from page to page; progress updates leave it where it is.
    void oneWindowForAllPages()
    {
        UpdaterWindow window;
        QVERIFY(!window.isModal());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const WId id = window.winId();
        const qsizetype children = window.findChildren<QWidget *>().size();

        window.showChecking();
        const int checkingHeight = window.height();
        for (int round = 0; round < 3; ++round) {
            for (Page page : {Page::Checking, Page::Available, Page::Downloading,
                     Page::ReadyToRestart, Page::UpToDate, Page::Failure})
                showPage(window, page);
        }
        window.showAvailable("1.5.0", "1.4.0", notesSample);
        QVERIFY(window.height() > checkingHeight + 100);
        window.showChecking();
        QCOMPARE(window.height(), checkingHeight);

        window.showDownloading(0, 41'200'000);
        const QRect geometry = window.geometry();
        for (qint64 received = 0; received <= 41'200'000; received += 4'120'000)
            window.showDownloading(received, 41'200'000);
        QCOMPARE(window.geometry(), geometry);
        QCOMPARE(visibleProgressBar(window)->value(), 1000);

        QVERIFY(window.isVisible());
        QCOMPARE(window.winId(), id);
        QCOMPARE(window.findChildren<QWidget *>().size(), children);
        QCOMPARE(window.width(), 460);
        QCOMPARE(window.minimumSize(), window.maximumSize());
    }

    void screenshots_data()
    {
        QTest::addColumn<Page>("page");
        QTest::newRow("checking") << Page::Checking;
        QTest::newRow("up-to-date") << Page::UpToDate;
        QTest::newRow("available") << Page::Available;
        QTest::newRow("downloading") << Page::Downloading;
        QTest::newRow("ready") << Page::ReadyToRestart;
        QTest::newRow("failure") << Page::Failure;
    }

    // Saves each page to screenshots/updater-<page>.png under the build folder, to look at.
    void screenshots()
    {
        QFETCH(Page, page);
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        UpdaterWindow window;
        showPage(window, page);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QPixmap shot = window.grab();
        QCOMPARE(shot.deviceIndependentSize().width(), 460.0);
        // Everything the page shows fits in the window.
        for (const QWidget *child : window.findChildren<QWidget *>())
            if (child->isVisible())
                QVERIFY2(
                    window.rect().contains(QRect(child->mapTo(&window, QPoint()), child->size())),
                    qPrintable(child->metaObject()->className()));
        const QString path
            = QString(SCREENSHOT_DIR) + "/updater-" + QTest::currentDataTag() + ".png";
        QVERIFY(shot.save(path));
    }
};

QTEST_MAIN(TestUpdaterWindow)
#include "TestUpdaterWindow.moc"
