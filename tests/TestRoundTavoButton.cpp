#include "kit/RoundTavoButton.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// Draws only the control itself (no window background) on `background`, at twice the density.
QImage renderButton(RoundTavoButton &button, const QColor &background = Qt::transparent)
{
    QImage image(button.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(background);
    button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The pixel under a device-independent point, straight (not premultiplied) alpha.
QColor pixelAt(const QImage &image, QPointF point)
{
    return image.pixelColor((point * 2).toPoint());
}

bool opaqueNear(const QColor &actual, const QColor &expected)
{
    return actual.alpha() == 255 && std::abs(actual.red() - expected.red()) <= 8
        && std::abs(actual.green() - expected.green()) <= 8
        && std::abs(actual.blue() - expected.blue()) <= 8;
}

} // namespace

class TestRoundTavoButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mouseSequences_data()
    {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<int>("clicks");

        // All on a 130x130 control: the rectangle spans 0..129, the disc 6..124.
        const QPoint centre(65, 65);
        QTest::newRow("press and release inside") << centre << centre << 1;
        QTest::newRow("drag out, just past the edge") << centre << QPoint(130, 65) << 0;
        QTest::newRow("corner, outside the disc") << QPoint(2, 2) << QPoint(2, 2) << 1;
    }

    void mouseSequences()
    {
        QFETCH(QPoint, press);
        QFETCH(QPoint, release);
        QFETCH(int, clicks);

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

    // Centred, inset by six. On: a slate gradient, lighter at the top. Off: translucent grey.
    // Held: about a sixth darker. Around the disc only a soft black shadow, falling below it.
    void discFollowsStateAndPress()
    {
        RoundTavoButton button;
        button.resize(300, 130);
        const QRectF disc = button.circleRect();
        QCOMPARE(disc, QRectF(91, 6, 118, 118));
        // Clear of the glyph, a little inside the disc's top and bottom; then just outside it.
        const QPointF top(disc.center().x(), disc.top() + 6);
        const QPointF bottom(disc.center().x(), disc.bottom() - 6);
        const QPointF above(disc.center().x(), disc.top() - 2);
        const QPointF below(disc.center().x(), disc.bottom() + 2);

        for (const bool active : {true, false}) {
            button.setActiveState(active);
            const QImage image = renderButton(button);
            const QColor high = pixelAt(image, top);
            const QColor low = pixelAt(image, bottom);
            if (active) {
                QVERIFY2(opaqueNear(high, QColor(148, 163, 184)), qPrintable(high.name()));
                QVERIFY2(opaqueNear(low, QColor(71, 85, 105)), qPrintable(low.name()));
            } else {
                // Translucent grey (with the soft shadow seen through it).
                QVERIFY2(std::abs(high.red() - high.green()) <= 3
                        && std::abs(high.blue() - high.red()) <= 8 && high.red() > 100
                        && high.red() < 160 && high.alpha() > 128 && high.alpha() < 200,
                    qPrintable(high.name(QColor::HexArgb)));
            }
            QVERIFY(pixelAt(image, below).alpha() > pixelAt(image, above).alpha());
            QCOMPARE(pixelAt(image, below).red(), 0);
            QCOMPARE(pixelAt(image, QPointF(1, 1)).alpha(), 0);

            const QImage released = renderButton(button, Qt::white);
            QTest::mousePress(&button, Qt::LeftButton, {}, disc.center().toPoint());
            const int before = qGray(pixelAt(released, top).rgb());
            const int after = qGray(pixelAt(renderButton(button, Qt::white), top).rgb());
            QTest::mouseRelease(&button, Qt::LeftButton, {}, disc.center().toPoint());
            QVERIFY2(after < before - before / 10 && after > before - before / 4,
                qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        }
    }
};

QTEST_MAIN(TestRoundTavoButton)
#include "TestRoundTavoButton.moc"
