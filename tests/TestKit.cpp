#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/Symbols.h"
#include "kit/TavoLabel.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

namespace {

QPalette palette(const QColor &window, const QColor &text)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

QColor withAlpha(QColor color, float alpha)
{
    color.setAlphaF(alpha);
    return color;
}

const QColor darkText(236, 236, 236);
const QPalette light = palette(Qt::white, Qt::black);
const QPalette dark = palette(QColor(30, 30, 32), darkText);
const QColor slateLight = QColor::fromRgbF(0.278f, 0.333f, 0.412f);
const QColor slateDark = QColor::fromRgbF(0.651f, 0.706f, 0.78f);

// How many pixels of `image` pass `test`.
int count(const QImage &image, const std::function<bool(const QColor &)> &test)
{
    int passing = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            passing += test(image.pixelColor(x, y));
    return passing;
}

// The round button drawn alone on `background` at twice the density; a pixel under a point.
QColor pixel(RoundTavoButton &button, QPointF point, const QColor &background = Qt::transparent)
{
    QImage image(button.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(background);
    button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.pixelColor((point * 2).toPoint());
}

bool near(const QColor &actual, const QColor &expected, int tolerance)
{
    return std::max({qAbs(actual.red() - expected.red()), qAbs(actual.green() - expected.green()),
               qAbs(actual.blue() - expected.blue()), qAbs(actual.alpha() - expected.alpha())})
        <= tolerance;
}

} // namespace

class TestKit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A new palette reaches labels through the event loop, for a top-level label as for a
    // child, and a parent's own palette counts too. Dark means a window darker than its text to
    // the eye, not by the sum of the channels. Text is shown as typed, in whole pixels.
    void labelsFollowThePalette()
    {
        const QPalette original = QApplication::palette();
        QWidget window;
        TavoLabel *child
            = makeLabel("<b>x</b>", 13.6, QFont::DemiBold, secondaryLabelColor(), &window);
        QCOMPARE(child->textFormat(), Qt::PlainText);
        QCOMPARE(child->textInteractionFlags(), Qt::NoTextInteraction);
        QCOMPARE(child->font().pixelSize(), 14);
        TavoLabel topLevel("y");
        topLevel.setTextColor(tavoSlate());
        const QColor yellow(200, 200, 0), blue(0, 0, 255);
        for (const auto &[colours, isDark] : {std::pair{dark, true}, {light, false},
                 {palette(blue, yellow), true}, {palette(yellow, blue), false}}) {
            QApplication::setPalette(colours);
            QCoreApplication::processEvents();
            QCOMPARE(
                child->resolvedTextColor(), withAlpha(colours.color(QPalette::WindowText), 0.5f));
            QCOMPARE(topLevel.resolvedTextColor(), isDark ? slateDark : slateLight);
        }
        window.setPalette(dark);
        QCOMPARE(child->resolvedTextColor(), withAlpha(darkText, 0.5f));
        QVERIFY(orvaneMauve().resolve(dark).lightness() > orvaneMauve().resolve(light).lightness());
        QApplication::setPalette(original);
    }

    void glyphsAreDrawnInTheAskedColour_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name :
            {"doc.plaintext", "doc.plaintext.fill", "gearshape.fill", "chevron.left"})
            QTest::newRow(name) << QString(name);
    }

    // On a transparent background at 1x and 2x, and heavier with each weight.
    void glyphsAreDrawnInTheAskedColour()
    {
        QFETCH(QString, name);
        const QColor asked(200, 40, 90);
        QVERIFY(Symbols::exists(name));
        for (const qreal ratio : {1.0, 2.0}) {
            const QImage image = Symbols::image(name, 17, QFont::Normal, asked, ratio);
            QCOMPARE(image.devicePixelRatio(), ratio);
            QCOMPARE(image.height(), qRound(17 * ratio));
            QVERIFY(count(image, [&](const QColor &c) { return c.alpha() >= 250; }) > 0);
            QCOMPARE(count(image,
                         [&](const QColor &c) { return c.alpha() >= 250 && !near(c, asked, 5); }),
                0);
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        }

        const auto cover = [](const QString &name, QFont::Weight weight) {
            const QImage image = Symbols::image(name, 64, weight, Qt::black);
            return count(image, [](const QColor &c) { return c.alpha() > 127; });
        };
        int previous = -1;
        for (const QFont::Weight weight : {QFont::Thin, QFont::Normal, QFont::Bold, QFont::Black}) {
            QVERIFY2(cover(name, weight) > previous, qPrintable(QString::number(weight)));
            previous = cover(name, weight);
        }
        if (name == "doc.plaintext.fill") // reads as filled
            QVERIFY(cover(name, QFont::Normal) > cover("doc.plaintext", QFont::Normal) * 1.2);
    }

    void unknownNamesGiveNothing()
    {
        for (const char *name : {"", "doc.richtext", "Chevron.Left"})
            QVERIFY(!Symbols::exists(name)
                && Symbols::image(name, 16, QFont::Normal, Qt::black).isNull()
                && Symbols::icon(name, 16, QFont::Normal, Qt::black).isNull());
    }

    // A slate tile with rounded corners, lighter at the top, and a white sheet in the middle.
    void applicationIconIsASlateTileWithAWhiteSheet()
    {
        for (const int size : {16, 256}) {
            const QImage image = Symbols::applicationIconImage(size);
            QCOMPARE(image.size(), QSize(size, size));
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
            const QColor top = image.pixelColor(size / 8, size / 5);
            const QColor bottom = image.pixelColor(size / 8, size - 1 - size / 5);
            QVERIFY(top.alpha() == 255 && bottom.alpha() == 255);
            QVERIFY(top.lightness() > bottom.lightness());
            QVERIFY(top.blue() > top.red() && bottom.blue() > bottom.red());
            const int from = size * 3 / 10, to = size * 7 / 10;
            QVERIFY(count(image.copy(from, from, to - from, to - from), [](const QColor &c) {
                return c.red() > 245 && c.green() > 245 && c.blue() > 245;
            }) > size * size / 50);
        }
        QVERIFY(Symbols::applicationIcon().availableSizes().contains(QSize(256, 256)));
    }

    // On a 130x130 control the rectangle spans 0..129, the disc 6..124: pressed and released
    // inside, then dragged out just past the edge, then in a corner outside the disc.
    void roundButtonClicks()
    {
        for (const auto &[press, release, clicks] : {std::tuple{QPoint(65, 65), QPoint(65, 65), 1},
                 {QPoint(65, 65), QPoint(130, 65), 0}, {QPoint(2, 2), QPoint(2, 2), 1}}) {
            RoundTavoButton button;
            button.resize(130, 130);
            QSignalSpy clicked(&button, &RoundTavoButton::clicked);
            QTest::mousePress(&button, Qt::LeftButton, {}, press);
            QVERIFY(button.isPressed());
            QTest::mouseMove(&button, release);
            QCOMPARE(button.isPressed(), clicks == 1);
            QTest::mouseRelease(&button, Qt::LeftButton, {}, release);
            QVERIFY(!button.isPressed());
            QCOMPARE(clicked.count(), clicks);
        }
    }

    // Centred, inset by six, lighter at the top; held, about a sixth darker. Around the disc only
    // a soft black shadow, falling below it.
    void roundButtonDisc()
    {
        RoundTavoButton button;
        button.resize(300, 130);
        const QRectF disc = button.circleRect();
        QCOMPARE(disc, QRectF(91, 6, 118, 118));
        // Clear of the glyph, a little inside the disc's top and bottom; then just outside it.
        const QPointF top(150, disc.top() + 6), bottom(150, disc.bottom() - 6);
        const QPointF above(150, disc.top() - 2), below(150, disc.bottom() + 2);
        for (const bool active : {true, false}) {
            button.setActiveState(active);
            // On: a slate gradient. Off: translucent grey, with the soft shadow seen through it.
            QVERIFY(near(pixel(button, top),
                active ? QColor(148, 163, 184) : QColor(128, 128, 133, 155), 8));
            QVERIFY(near(pixel(button, bottom),
                active ? QColor(71, 85, 105) : QColor(124, 124, 129, 160), 8));
            QVERIFY(pixel(button, below).alpha() > pixel(button, above).alpha());
            QCOMPARE(pixel(button, below).red(), 0);
            QCOMPARE(pixel(button, QPointF(1, 1)).alpha(), 0);

            const int before = qGray(pixel(button, top, Qt::white).rgb());
            QTest::mousePress(&button, Qt::LeftButton, {}, disc.center().toPoint());
            const int after = qGray(pixel(button, top, Qt::white).rgb());
            QTest::mouseRelease(&button, Qt::LeftButton, {}, disc.center().toPoint());
            QVERIFY2(after < before - before / 10 && after > before - before / 4,
                qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        }
    }
};

QTEST_MAIN(TestKit)
#include "TestKit.moc"
