#include "kit/Symbols.h"

#include <QTest>

namespace {

const QStringList knownNames{
    "doc.plaintext", "doc.plaintext.fill", "gearshape.fill", "chevron.left"};

// Every pixel of `image`, in turn.
template<typename Visit> void forEachPixel(const QImage &image, Visit visit)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            visit(image.pixelColor(x, y));
}

// Total coverage: the sum of the alpha channel, in whole pixels.
qreal coverage(const QImage &image)
{
    qreal sum = 0;
    forEachPixel(image, [&](const QColor &pixel) { sum += pixel.alphaF(); });
    return sum;
}

} // namespace

class TestSymbols : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownGlyphsDrawInTheAskedColour_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qreal>("ratio");
        for (const QString &name : knownNames) {
            for (const qreal ratio : {1.0, 2.0})
                QTest::addRow("%s @%gx", qPrintable(name), ratio) << name << ratio;
        }
    }

    void knownGlyphsDrawInTheAskedColour()
    {
        QFETCH(QString, name);
        QFETCH(qreal, ratio);
        const QColor asked(200, 40, 90);
        QVERIFY(Symbols::exists(name));
        const QImage image = Symbols::image(name, 17, QFont::Normal, asked, ratio);
        QCOMPARE(image.devicePixelRatio(), ratio);
        QCOMPARE(image.height(), qRound(17 * ratio));

        int opaque = 0, offColour = 0;
        forEachPixel(image, [&](const QColor &pixel) {
            opaque += pixel.alpha() >= 250;
            offColour += pixel.alpha() >= 250
                && (qAbs(pixel.red() - asked.red()) > 2 || qAbs(pixel.green() - asked.green()) > 2
                    || qAbs(pixel.blue() - asked.blue()) > 2);
        });
        QVERIFY(opaque > 0);
        QCOMPARE(offColour, 0);
        // The glyph sits on a transparent background.
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    }

    void unknownNamesGiveNothing()
    {
        for (const char *name : {"", "doc.richtext", "Chevron.Left"}) {
            QVERIFY2(!Symbols::exists(name), name);
            QVERIFY(Symbols::image(name, 16, QFont::Normal, Qt::black).isNull());
            QVERIFY(Symbols::icon(name, 16, QFont::Normal, Qt::black).isNull());
        }
    }

    // The filled document reads as filled; every glyph thickens with the weight asked for.
    void coverageFollowsFillAndWeight()
    {
        const auto cover = [](const QString &name, QFont::Weight weight = QFont::Normal) {
            return coverage(Symbols::image(name, 64, weight, Qt::black));
        };
        QVERIFY(cover("doc.plaintext.fill") > cover("doc.plaintext") * 1.2);
        for (const QString &name : knownNames) {
            qreal previous = -1;
            for (const QFont::Weight weight :
                {QFont::Thin, QFont::Normal, QFont::Bold, QFont::Black}) {
                const qreal covered = cover(name, weight);
                QVERIFY2(covered > previous,
                    qPrintable(QStringLiteral("%1, weight %2").arg(name).arg(weight)));
                previous = covered;
            }
        }
    }

    void applicationIconIsASlateTileWithAWhiteSheet()
    {
        for (const int size : {16, 256}) {
            const QImage image = Symbols::applicationIconImage(size);
            QCOMPARE(image.size(), QSize(size, size));
            // Rounded corners.
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
            // Lighter at the top of the tile than at the bottom, slate blue throughout.
            const QColor top = image.pixelColor(size / 8, size / 5);
            const QColor bottom = image.pixelColor(size / 8, size - 1 - size / 5);
            QCOMPARE(top.alpha(), 255);
            QCOMPARE(bottom.alpha(), 255);
            QVERIFY(top.lightness() > bottom.lightness());
            QVERIFY(top.blue() > top.red() && bottom.blue() > bottom.red());
            // The sheet is white in the middle of the tile.
            int white = 0;
            const int from = size * 3 / 10, to = size * 7 / 10;
            forEachPixel(image.copy(from, from, to - from, to - from), [&](const QColor &pixel) {
                white += pixel.red() > 245 && pixel.green() > 245 && pixel.blue() > 245;
            });
            QVERIFY(white > size * size / 50);
        }
        QVERIFY(Symbols::applicationIcon().availableSizes().contains(QSize(256, 256)));
    }
};

QTEST_MAIN(TestSymbols)
#include "TestSymbols.moc"
