#include "DynamicColor.h"
#include "Palette.h"
#include "TavoLabel.h"

#include <QApplication>
#include <QTest>

#include <memory>

namespace {

QPalette makePalette(const QColor &window, const QColor &text)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

QPalette lightPalette()
{
    return makePalette(Qt::white, Qt::black);
}

QPalette darkPalette()
{
    return makePalette(QColor(30, 30, 32), QColor(236, 236, 236));
}

QColor withAlpha(QColor color, float alpha)
{
    color.setAlphaF(alpha);
    return color;
}

// The pixel of the image farthest from the background: a fully covered pixel of the text.
QColor inkOf(const QImage &image, const QColor &background)
{
    QColor best = background;
    int bestDistance = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int d = qAbs(c.red() - background.red()) + qAbs(c.green() - background.green())
                + qAbs(c.blue() - background.blue());
            if (d > bestDistance) {
                bestDistance = d;
                best = c;
            }
        }
    }
    return best;
}

bool near(const QColor &a, const QColor &b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

class TestPalette : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolvesForLightAndDark_data()
    {
        QTest::addColumn<DynamicColor>("color");
        QTest::addColumn<QColor>("light");
        QTest::addColumn<QColor>("dark");
        QTest::newRow("tavoSlate") << tavoSlate() << QColor::fromRgbF(0.278f, 0.333f, 0.412f)
                                   << QColor::fromRgbF(0.651f, 0.706f, 0.78f);
        QTest::newRow("orvaneMauve") << orvaneMauve() << QColor::fromRgbF(0.486f, 0.227f, 0.929f)
                                     << QColor::fromRgbF(0.686f, 0.573f, 0.992f);
        QTest::newRow("label") << labelColor() << QColor(Qt::black) << QColor(236, 236, 236);
        QTest::newRow("secondary") << secondaryLabelColor() << withAlpha(Qt::black, 0.5f)
                                   << withAlpha(QColor(236, 236, 236), 0.5f);
        QTest::newRow("tertiary") << tertiaryLabelColor() << withAlpha(Qt::black, 0.26f)
                                  << withAlpha(QColor(236, 236, 236), 0.26f);
        QTest::newRow("fixed") << DynamicColor::fixed(tavoSlateFixed())
                               << QColor::fromRgbF(0.392f, 0.455f, 0.545f)
                               << QColor::fromRgbF(0.392f, 0.455f, 0.545f);
    }

    void resolvesForLightAndDark()
    {
        QFETCH(DynamicColor, color);
        QFETCH(QColor, light);
        QFETCH(QColor, dark);
        QCOMPARE(color.resolve(lightPalette()), light);
        QCOMPARE(color.resolve(darkPalette()), dark);
        QCOMPARE(color.resolve(lightPalette()).spec(), QColor::Rgb);
    }

    void darkMeansWindowDarkerThanText_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("text");
        QTest::addColumn<bool>("dark");
        QTest::newRow("white on black text") << QColor(Qt::white) << QColor(Qt::black) << false;
        QTest::newRow("dark window") << QColor(30, 30, 32) << QColor(236, 236, 236) << true;
        QTest::newRow("grey, white text") << QColor(128, 128, 128) << QColor(Qt::white) << true;
        QTest::newRow("grey, black text") << QColor(128, 128, 128) << QColor(Qt::black) << false;
        QTest::newRow("equal") << QColor(90, 90, 90) << QColor(90, 90, 90) << false;
        // Lightness is what the eye sees, not the sum of the channels.
        QTest::newRow("blue window, yellow text")
            << QColor(0, 0, 255) << QColor(200, 200, 0) << true;
        QTest::newRow("yellow window, blue text")
            << QColor(200, 200, 0) << QColor(0, 0, 255) << false;
    }

    void darkMeansWindowDarkerThanText()
    {
        QFETCH(QColor, window);
        QFETCH(QColor, text);
        QFETCH(bool, dark);
        QCOMPARE(isDarkPalette(makePalette(window, text)), dark);
    }

    void fixedSlateIsOneSharedColour()
    {
        QCOMPARE(&tavoSlateFixed(), &tavoSlateFixed());
        QCOMPARE(tavoSlateFixed(), QColor::fromRgbF(0.392f, 0.455f, 0.545f));
        QCOMPARE(tavoSlateFixed().alphaF(), 1.0f);
        QCOMPARE(systemGrayColor(), QColor(142, 142, 147));
    }

    void labelFollowsItsPalette_data()
    {
        QTest::addColumn<DynamicColor>("color");
        QTest::newRow("tavoSlate") << tavoSlate();
        QTest::newRow("secondary") << secondaryLabelColor();
        QTest::newRow("label") << labelColor();
    }

    void labelFollowsItsPalette()
    {
        QFETCH(DynamicColor, color);
        TavoLabel label(QStringLiteral("x"));
        label.setTextColor(color);
        // Twice dark in a row: the second palette is read as it is, not through the first.
        for (const QPalette &palette : {darkPalette(), lightPalette(), darkPalette(),
                 makePalette(QColor(10, 10, 60), QColor(200, 220, 255))}) {
            label.setPalette(palette);
            QCOMPARE(label.resolvedTextColor(), color.resolve(palette));
        }
        QCOMPARE(label.textColor(), color);
    }

    void labelFollowsItsParentAndTheApplication()
    {
        const QPalette original = QApplication::palette();
        QApplication::setPalette(lightPalette());
        QWidget window;
        TavoLabel *child
            = makeLabel(QStringLiteral("x"), 13, QFont::Normal, secondaryLabelColor(), &window);
        TavoLabel topLevel(QStringLiteral("y"));
        topLevel.setTextColor(tavoSlate());

        // The application hands a new palette to its widgets through the event loop.
        QApplication::setPalette(darkPalette());
        QCoreApplication::processEvents();
        QCOMPARE(child->resolvedTextColor(), withAlpha(QColor(236, 236, 236), 0.5f));
        QCOMPARE(topLevel.resolvedTextColor(), QColor::fromRgbF(0.651f, 0.706f, 0.78f));

        QApplication::setPalette(lightPalette());
        QCoreApplication::processEvents();
        QCOMPARE(child->resolvedTextColor(), withAlpha(Qt::black, 0.5f));
        QCOMPARE(topLevel.resolvedTextColor(), QColor::fromRgbF(0.278f, 0.333f, 0.412f));

        window.setPalette(darkPalette());
        QCOMPARE(child->resolvedTextColor(), withAlpha(QColor(236, 236, 236), 0.5f));
        QApplication::setPalette(original);
        QCoreApplication::processEvents();
    }

    void labelPaintsWithTheResolvedColour()
    {
        TavoLabel *label = makeLabel(QStringLiteral("MW"), 40, QFont::Black, tavoSlate());
        std::unique_ptr<TavoLabel> owner(label);
        label->setAutoFillBackground(true);
        for (const QPalette &palette : {darkPalette(), lightPalette()}) {
            label->setPalette(palette);
            const QImage shot = label->grab().toImage();
            const QColor ink = inkOf(shot, palette.color(QPalette::Window));
            QVERIFY2(near(ink, tavoSlate().resolve(palette)), qPrintable(ink.name()));
        }
    }

    void makeLabelIsAPlainReadOnlyCentredLabel()
    {
        QWidget parent;
        TavoLabel *label = makeLabel(
            QStringLiteral("<b>Texte</b>"), 13.6, QFont::DemiBold, orvaneMauve(), &parent);
        QCOMPARE(label->parentWidget(), &parent);
        QCOMPARE(label->text(), QStringLiteral("<b>Texte</b>"));
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->textInteractionFlags(), Qt::NoTextInteraction);
        QCOMPARE(label->frameShape(), QFrame::NoFrame);
        QVERIFY(!label->autoFillBackground());
        QVERIFY(label->alignment() & Qt::AlignHCenter);
        QVERIFY(label->alignment() & Qt::AlignVCenter);
        QCOMPARE(label->font().pixelSize(), 14);
        QCOMPARE(label->font().weight(), QFont::DemiBold);
        QCOMPARE(label->font().family(), QApplication::font().family());
        QCOMPARE(label->textColor(), orvaneMauve());
    }

    void twoLinesShowOneAboveTheOther()
    {
        std::unique_ptr<TavoLabel> one(
            makeLabel(QStringLiteral("Colle"), 20, QFont::Normal, labelColor()));
        std::unique_ptr<TavoLabel> two(
            makeLabel(QStringLiteral("Colle toujours\nbrut"), 20, QFont::Normal, labelColor()));
        QVERIFY(two->sizeHint().height() > one->sizeHint().height() * 3 / 2);
    }
};

QTEST_MAIN(TestPalette)
#include "TestPalette.moc"
