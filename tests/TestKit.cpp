#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/Symbols.h"
#include "kit/TavoLabel.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

namespace {

// Only the window and its text count: every other role takes one of the two.
const auto palette = [](QColor w, QColor t) { return QPalette(t, w, w, w, w, t, t, w, w); };
const auto half = [](QColor c) { return QColor::fromRgbF(c.redF(), c.greenF(), c.blueF(), 0.5f); };
const QPalette light = palette(Qt::white, Qt::black), dark = palette(QColor(30, 30, 32), Qt::gray);

// How many pixels of `image`, drawn premultiplied, pass `test`.
int count(const QImage &image, const std::function<bool(QRgb)> &test)
{
    const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
    return int(std::count_if(pixels, pixels + image.width() * image.height(), test));
}

bool near(const QColor &actual, const QColor &expected, int tolerance = 8)
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
    // the eye, not by the sum of the channels. Text is shown as typed, in whole pixels. The
    // other tests draw in fixed colours: the palette set last can stay.
    void labelsFollowThePalette()
    {
        QWidget window;
        auto *child = makeLabel("<b>x</b>", 13.6, QFont::DemiBold, secondaryLabelColor(), &window);
        QVERIFY(child->textFormat() == Qt::PlainText && child->font().pixelSize() == 14);
        const std::unique_ptr<TavoLabel> topLevel(makeLabel("y", 13, QFont::Normal, tavoSlate()));
        const QColor yellow(200, 200, 0), blue(0, 0, 255);
        for (const auto &[colours, isDark] : {std::pair{dark, true}, {light, false},
                 {palette(blue, yellow), true}, {palette(yellow, blue), false}}) {
            QApplication::setPalette(colours);
            QCoreApplication::processEvents();
            QCOMPARE(child->resolvedTextColor(), half(colours.color(QPalette::WindowText)));
            QCOMPARE(topLevel->resolvedTextColor(), tavoSlate().resolve(isDark ? dark : light));
        }
        window.setPalette(dark);
        QCOMPARE(child->resolvedTextColor(), half(Qt::gray));
        for (const DynamicColor &accent : {orvaneMauve(), tavoSlate()}) // lighter on dark
            QVERIFY(accent.resolve(dark).lightness() > accent.resolve(light).lightness());
    }

    // Known glyphs give an icon and are drawn in the asked colour on a transparent background at
    // 1x and 2x, heavier with each weight; the filled document reads as filled. Unknown names
    // give nothing.
    void symbols()
    {
        const QColor asked(200, 40, 90);
        for (const QString name : {"", "doc.richtext", "Chevron.Left"})
            QVERIFY2(Symbols::image(name, 16, QFont::Normal, asked).isNull(), qPrintable(name));
        const auto cover = [](const QString &name, QFont::Weight weight) {
            return count(Symbols::image(name, 64, weight, Qt::black),
                [](QRgb c) { return qAlpha(c) > 127; });
        };
        for (const QString name :
            {"doc.plaintext", "doc.plaintext.fill", "gearshape.fill", "chevron.left"}) {
            QVERIFY2(!Symbols::icon(name, 16, QFont::Normal, asked).isNull(), qPrintable(name));
            for (const qreal ratio : {1.0, 2.0}) {
                const QImage image = Symbols::image(name, 17, QFont::Normal, asked, ratio);
                QVERIFY(image.devicePixelRatio() == ratio && image.height() == qRound(17 * ratio));
                // Opaque pixels, some, all in the asked colour; a transparent corner.
                const int opaque = count(image, [](QRgb c) { return qAlpha(c) >= 250; });
                QVERIFY(opaque > 0 && image.pixelColor(0, 0).alpha() == 0);
                const auto inAsked = [&](QRgb c) { return qAlpha(c) >= 250 && near(c, asked, 5); };
                QCOMPARE(count(image, inAsked), opaque);
            }
            for (const auto &[lighter, heavier] : {std::pair{QFont::Thin, QFont::Normal},
                     {QFont::Normal, QFont::Bold}, {QFont::Bold, QFont::Black}})
                QVERIFY2(cover(name, heavier) > cover(name, lighter), qPrintable(name));
        }
        QVERIFY(cover("doc.plaintext.fill", QFont::Normal)
            > cover("doc.plaintext", QFont::Normal) * 1.2);
        // The application's icon: a slate tile with rounded corners, lighter at the top, and a
        // white sheet in the middle.
        for (const int size : {16, 256}) {
            const QImage image = Symbols::applicationIconImage(size);
            const QColor top = image.pixelColor(size / 8, size / 5);
            const QColor bottom = image.pixelColor(size / 8, size - 1 - size / 5);
            QVERIFY(image.size() == QSize(size, size) && image.pixelColor(0, 0).alpha() == 0);
            QVERIFY(top.alpha() == 255 && bottom.alpha() == 255
                && top.lightness() > bottom.lightness());
            QVERIFY(top.blue() > top.red() && bottom.blue() > bottom.red());
            const int from = size * 3 / 10, side = size * 2 / 5;
            QVERIFY(count(image.copy(from, from, side, side), [](QRgb c) { return qGray(c) > 245; })
                > size * size / 50);
        }
        QVERIFY(Symbols::applicationIcon().availableSizes().contains(QSize(256, 256)));
    }

    // On a 300x130 control the disc is centred and inset by six, lighter at the top; held,
    // a tenth to a quarter darker. Around the disc only a soft black shadow, falling below it. The
    // whole rectangle takes clicks: pressed and released inside, then dragged out just past the
    // edge, then in a corner outside the disc.
    void roundButton()
    {
        RoundTavoButton button;
        button.setAttribute(Qt::WA_NoSystemBackground); // drawn on nothing, as in its window
        button.resize(300, 130);
        QCOMPARE(button.circleRect(), QRectF(91, 6, 118, 118));
        const auto pixel = [&](QPoint point) { return button.grab().toImage().pixelColor(point); };
        // Clear of the glyph, a little inside the disc's top and bottom; then just outside it.
        const QPoint top(150, 12), bottom(150, 118), above(150, 4), below(150, 126);
        const auto grey = [&] { return qGray(pixel(top).rgb()); };
        for (const bool active : {false, true}) {
            button.setActiveState(active);
            // On: a slate gradient. Off: translucent grey, with the soft shadow seen through it.
            QVERIFY(near(pixel(top), active ? QColor(148, 163, 184) : QColor(128, 128, 133, 155)));
            QVERIFY(near(pixel(bottom), active ? QColor(71, 85, 105) : QColor(124, 124, 129, 160)));
            QVERIFY(pixel(below).alpha() > pixel(above).alpha() && pixel(below).red() == 0);
            QCOMPARE(pixel({1, 1}).alpha(), 0);
            const int released = grey();
            for (const auto &[press, release, clicks] :
                {std::tuple{QPoint(150, 65), QPoint(150, 65), 1},
                    {QPoint(150, 65), QPoint(300, 65), 0}, {QPoint(2, 2), QPoint(2, 2), 1}}) {
                QSignalSpy clicked(&button, &RoundTavoButton::clicked);
                QTest::mousePress(&button, Qt::LeftButton, {}, press);
                QTest::mouseMove(&button, release);
                const int held = grey();
                QVERIFY2(clicks ? held < released - released / 10 && held > released - released / 4
                                : held == released,
                    qPrintable(QStringLiteral("%1 -> %2").arg(released).arg(held)));
                QTest::mouseRelease(&button, Qt::LeftButton, {}, release);
                QVERIFY(grey() == released && clicked.count() == clicks);
            }
        }
    }
};

QTEST_MAIN(TestKit)
#include "TestKit.moc"
