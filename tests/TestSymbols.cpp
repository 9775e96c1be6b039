#include "kit/Symbols.h"

#include <QTest>

namespace {

const QStringList knownNames{
    "doc.plaintext", "doc.plaintext.fill", "gearshape.fill", "chevron.left"};

// Total coverage: the sum of the alpha channel, in whole pixels.
qreal coverage(const QImage &image)
{
    qreal sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += image.pixelColor(x, y).alphaF();
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
        QVERIFY(!image.isNull());
        QCOMPARE(image.devicePixelRatio(), ratio);
        QCOMPARE(image.height(), qRound(17 * ratio));

        int opaque = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() >= 250) {
                    ++opaque;
                    QVERIFY2(qAbs(pixel.red() - asked.red()) <= 2
                            && qAbs(pixel.green() - asked.green()) <= 2
                            && qAbs(pixel.blue() - asked.blue()) <= 2,
                        qPrintable(pixel.name()));
                }
            }
        }
        QVERIFY(opaque > 0);
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

    void filledDocumentCoversMoreThanOutlined()
    {
        const qreal outlined
            = coverage(Symbols::image("doc.plaintext", 24, QFont::Normal, Qt::black));
        const qreal filled
            = coverage(Symbols::image("doc.plaintext.fill", 24, QFont::Normal, Qt::black));
        QVERIFY2(filled > outlined * 1.2,
            qPrintable(QStringLiteral("%1 vs %2").arg(filled).arg(outlined)));
    }

    void heavierWeightsCoverMore()
    {
        for (const QString &name : knownNames) {
            qreal previous = -1;
            for (const QFont::Weight weight :
                {QFont::Thin, QFont::Normal, QFont::Bold, QFont::Black}) {
                const qreal covered = coverage(Symbols::image(name, 64, weight, Qt::black));
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
            for (int y = size * 3 / 10; y < size * 7 / 10; ++y) {
                for (int x = size * 3 / 10; x < size * 7 / 10; ++x) {
                    const QColor pixel = image.pixelColor(x, y);
                    white += pixel.red() > 245 && pixel.green() > 245 && pixel.blue() > 245;
                }
            }
            QVERIFY(white > size * size / 50);
        }
        QVERIFY(Symbols::applicationIcon().availableSizes().contains(QSize(256, 256)));
    }
};

QTEST_MAIN(TestSymbols)
#include "TestSymbols.moc"
