#include "Symbols.h"

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

// Runs of covered (or, with `covered` false, uncovered) pixels down one column, counting only
// those between the first and last covered pixel.
int runsDownColumn(const QImage &image, int x, bool covered)
{
    QList<bool> ink;
    for (int y = 0; y < image.height(); ++y)
        ink.append(image.pixelColor(x, y).alpha() >= 128);
    const qsizetype first = ink.indexOf(true);
    const qsizetype last = ink.lastIndexOf(true);
    int runs = 0;
    for (qsizetype y = first; y >= 0 && y <= last; ++y) {
        if (ink[y] == covered && (y == first || ink[y - 1] != covered))
            ++runs;
    }
    return runs;
}

} // namespace

class TestSymbols : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownGlyphsDrawInTheAskedColour_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<qreal>("ratio");
        for (const QString &name : knownNames) {
            for (const qreal pointSize : {16.0, 37.0}) {
                for (const qreal ratio : {1.0, 2.0}) {
                    QTest::addRow("%s %g@%gx", qPrintable(name), pointSize, ratio)
                        << name << pointSize << ratio;
                }
            }
        }
    }

    void knownGlyphsDrawInTheAskedColour()
    {
        QFETCH(QString, name);
        QFETCH(qreal, pointSize);
        QFETCH(qreal, ratio);
        const QColor asked(200, 40, 90);
        QVERIFY(Symbols::exists(name));
        const QImage image = Symbols::image(name, pointSize, QFont::Normal, asked, ratio);
        QVERIFY(!image.isNull());
        QCOMPARE(image.devicePixelRatio(), ratio);
        QCOMPARE(image.height(), qRound(pointSize * ratio));
        QVERIFY(image.width() <= image.height());
        QVERIFY(image.width() >= image.height() * 0.6);

        int opaque = 0;
        int transparent = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 0) {
                    ++transparent;
                } else if (pixel.alpha() >= 250) {
                    ++opaque;
                    QVERIFY2(qAbs(pixel.red() - asked.red()) <= 2
                            && qAbs(pixel.green() - asked.green()) <= 2
                            && qAbs(pixel.blue() - asked.blue()) <= 2,
                        qPrintable(pixel.name()));
                }
            }
        }
        QVERIFY(opaque > 0);
        QVERIFY(transparent > 0);
        // Nothing is painted into the corners: the glyph sits on a transparent background.
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(image.width() - 1, image.height() - 1).alpha(), 0);
    }

    void translucentColourFadesTheWholeGlyph()
    {
        const QImage image
            = Symbols::image("doc.plaintext", 32, QFont::Normal, QColor(0, 0, 0, 128));
        int maxAlpha = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                maxAlpha = qMax(maxAlpha, image.pixelColor(x, y).alpha());
        QVERIFY2(qAbs(maxAlpha - 128) <= 1, qPrintable(QString::number(maxAlpha)));
    }

    void filledDocumentCoversMoreThanOutlined()
    {
        for (const qreal ratio : {1.0, 2.0}) {
            const qreal outlined
                = coverage(Symbols::image("doc.plaintext", 24, QFont::Normal, Qt::black, ratio));
            const qreal filled = coverage(
                Symbols::image("doc.plaintext.fill", 24, QFont::Normal, Qt::black, ratio));
            QVERIFY2(filled > outlined * 1.2,
                qPrintable(QStringLiteral("%1 vs %2").arg(filled).arg(outlined)));
        }
    }

    void heavierWeightsCoverMore_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString &name : knownNames)
            QTest::newRow(qPrintable(name)) << name;
    }

    void heavierWeightsCoverMore()
    {
        QFETCH(QString, name);
        const QFont::Weight weights[] = {
            QFont::Thin, QFont::Light, QFont::Normal, QFont::DemiBold, QFont::Bold, QFont::Black};
        qreal previous = -1;
        for (const QFont::Weight weight : weights) {
            const qreal covered = coverage(Symbols::image(name, 64, weight, Qt::black));
            QVERIFY2(covered > previous, qPrintable(QStringLiteral("weight %1").arg(weight)));
            previous = covered;
        }
    }

    // Down a column through the text: the outlined sheet shows its top edge, three or four text
    // lines and its bottom edge; the filled sheet shows the lines as gaps. At small sizes and
    // at 2x, the lines must never run together.
    void textLinesStayApart_data()
    {
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<int>("weight");
        for (const qreal pointSize : {13.0, 16.0, 22.0, 64.0}) {
            for (const qreal ratio : {1.0, 2.0}) {
                for (const QFont::Weight weight : {QFont::Normal, QFont::Bold}) {
                    QTest::addRow("%g@%gx w%d", pointSize, ratio, int(weight))
                        << pointSize << ratio << int(weight);
                }
            }
        }
    }

    void textLinesStayApart()
    {
        QFETCH(qreal, pointSize);
        QFETCH(qreal, ratio);
        QFETCH(int, weight);
        const auto w = QFont::Weight(weight);
        const QImage outlined = Symbols::image("doc.plaintext", pointSize, w, Qt::black, ratio);
        const QImage filled = Symbols::image("doc.plaintext.fill", pointSize, w, Qt::black, ratio);
        const int column = int(outlined.width() * 0.42);
        const int edgesAndLines = runsDownColumn(outlined, column, true);
        QVERIFY2(
            edgesAndLines == 5 || edgesAndLines == 6, qPrintable(QString::number(edgesAndLines)));
        QCOMPARE(runsDownColumn(filled, column, false), edgesAndLines - 2);
    }

    // Straight edges land on whole pixels: few pixels are partly covered.
    void outlinedDocumentIsCrisp_data()
    {
        QTest::addColumn<qreal>("ratio");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("2x") << 2.0;
    }

    void outlinedDocumentIsCrisp()
    {
        QFETCH(qreal, ratio);
        for (const qreal pointSize : {16.0, 17.0, 24.0, 32.0}) {
            const QImage image
                = Symbols::image("doc.plaintext", pointSize, QFont::Normal, Qt::black, ratio);
            int partial = 0;
            int solid = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    const int alpha = image.pixelColor(x, y).alpha();
                    if (alpha >= 230)
                        ++solid;
                    else if (alpha > 25)
                        ++partial;
                }
            }
            QVERIFY2(partial * 3 < solid,
                qPrintable(QStringLiteral("%1 pt: %2 partial, %3 solid")
                               .arg(pointSize)
                               .arg(partial)
                               .arg(solid)));
        }
    }

    void unknownNamesGiveNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("unknown") << "doc.richtext";
        QTest::newRow("case") << "Chevron.Left";
    }

    void unknownNamesGiveNothing()
    {
        QFETCH(QString, name);
        QVERIFY(!Symbols::exists(name));
        QVERIFY(Symbols::image(name, 16, QFont::Normal, Qt::black).isNull());
        QVERIFY(Symbols::icon(name, 16, QFont::Normal, Qt::black).isNull());
    }

    void iconHoldsOneAndTwoTimesImages()
    {
        const QIcon icon = Symbols::icon("gearshape.fill", 16, QFont::Normal, Qt::black);
        QVERIFY(!icon.isNull());
        const QList<QSize> sizes = icon.availableSizes();
        QVERIFY(sizes.contains(QSize(16, 16)));
        QVERIFY(sizes.contains(QSize(32, 32)));
        const QPixmap sharp = icon.pixmap(QSize(16, 16), 2.0);
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QCOMPARE(sharp.size(), QSize(32, 32));
    }

    void applicationIconIsASlateTileWithAWhiteSheet_data()
    {
        QTest::addColumn<int>("size");
        for (const int size : {16, 32, 48, 256})
            QTest::addRow("%d", size) << size;
    }

    void applicationIconIsASlateTileWithAWhiteSheet()
    {
        QFETCH(int, size);
        const QImage image = Symbols::applicationIconImage(size);
        QCOMPARE(image.size(), QSize(size, size));
        // Rounded corners.
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(size - 1, size - 1).alpha(), 0);
        // Lighter at the top of the tile than at the bottom, slate blue throughout.
        const QColor top = image.pixelColor(size / 8, size / 5);
        const QColor bottom = image.pixelColor(size / 8, size - 1 - size / 5);
        QCOMPARE(top.alpha(), 255);
        QCOMPARE(bottom.alpha(), 255);
        QVERIFY(top.lightness() > bottom.lightness());
        QVERIFY(top.blue() > top.red() && bottom.blue() > bottom.red());
        // The sheet is white in the middle of the tile, just under the fold.
        int white = 0;
        for (int y = size * 3 / 10; y < size * 7 / 10; ++y) {
            for (int x = size * 3 / 10; x < size * 7 / 10; ++x) {
                const QColor pixel = image.pixelColor(x, y);
                white += pixel.red() > 245 && pixel.green() > 245 && pixel.blue() > 245;
            }
        }
        QVERIFY(white > size * size / 50);
    }

    void applicationIconHasTheDesktopSizes()
    {
        const QList<QSize> sizes = Symbols::applicationIcon().availableSizes();
        for (const int size : {16, 32, 48, 64, 128, 256})
            QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
        QVERIFY(Symbols::applicationIconImage(0).isNull());
    }
};

QTEST_MAIN(TestSymbols)
#include "TestSymbols.moc"
