// Renders the window as the user sees it, light and dark, on and off, to PNG files under the
// build folder (screenshots/), so that anyone can look at them.
#include "DarkPalette.h"
#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "kit/LinkButton.h"
#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/TavoLabel.h"
#include "settings/TavoSettings.h"
#include "shell/AppDelegate.h"
#include "shell/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStyleFactory>
#include <QTest>

class TestScreenshots : public QObject
{
    Q_OBJECT

private:
    FakePasteboard m_board;
    std::unique_ptr<TavoEngine> m_engine;
    std::unique_ptr<AppDelegate> m_app;
    QPalette m_light;

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        m_light = QApplication::palette();
        QFile::remove(TavoSettings::defaults().fileName());
        TavoSettings::defaults().setBool(TavoSettings::onboardedKey, true);
        m_engine = std::make_unique<TavoEngine>(m_board);
        m_engine->setCleanedCount(42);
        m_app = std::make_unique<AppDelegate>(*m_engine);
        m_app->applicationDidFinishLaunching();
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
    }

    void cleanupTestCase()
    {
        m_app.reset();
        QApplication::setPalette(m_light);
    }

    // The row's name is the file's: main-{light,dark}-{on,off}.png, settings-{light,dark}.png.
    void faces_data()
    {
        QTest::addColumn<bool>("settings");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("on");
        for (const bool dark : {false, true}) {
            const char *look = dark ? "dark" : "light";
            QTest::addRow("main-%s-on", look) << false << dark << true;
            QTest::addRow("main-%s-off", look) << false << dark << false;
            QTest::addRow("settings-%s", look) << true << dark << true;
        }
    }

    void faces()
    {
        QFETCH(bool, settings);
        QFETCH(bool, dark);
        QFETCH(bool, on);
        QApplication::setPalette(dark ? darkPalette() : m_light);
        if (m_engine->isEnabled() != on)
            m_app->togglePressed();
        settings ? m_app->showSettings() : m_app->showMain();
        QCoreApplication::processEvents();

        const QPixmap shot = m_app->mainWindow->content()->grab();
        QCOMPARE(shot.deviceIndependentSize(), QSizeF(430, 500));
        QVERIFY(shot.save(QString(SCREENSHOT_DIR) + '/' + QTest::currentDataTag() + ".png"));

        if (settings) {
            // The link follows the palette: mauve, light or dark.
            auto *site = m_app->settingsView->findChild<LinkButton *>();
            QVERIFY(site);
            QCOMPARE(site->resolvedTextColor(),
                dark ? QColor::fromRgbF(0.686f, 0.573f, 0.992f)
                     : QColor::fromRgbF(0.486f, 0.227f, 0.929f));
            return;
        }
        // The status line paints in the colour of the state, resolved for the palette.
        QCOMPARE(m_app->mainView->tavoStatusLabel->resolvedTextColor(),
            (on ? tavoSlate() : secondaryLabelColor()).resolve(QApplication::palette()));

        // The disc's upper half: slate when on, grey when off.
        const QPoint disc
            = m_app->mainView->tavoButton->mapTo(m_app->mainWindow->content(), QPoint(65, 30));
        const QColor sample = shot.toImage().pixelColor(disc * shot.devicePixelRatio());
        if (on)
            QVERIFY2(sample.blue() > sample.red() + 15, qPrintable(sample.name()));
        else
            QVERIFY2(qAbs(sample.blue() - sample.red()) < 15, qPrintable(sample.name()));
    }
};

QTEST_MAIN(TestScreenshots)
#include "TestScreenshots.moc"
