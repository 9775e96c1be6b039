#include "FlippedView.h"
#include "RoundTavoButton.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// Draws only the control itself (no window background) on `background`, at the given ratio.
QImage renderButton(RoundTavoButton &button, qreal dpr, const QColor &background = Qt::transparent)
{
    QImage image(button.size() * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(background);
    button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The pixel under a device-independent point, straight (not premultiplied) alpha.
QColor pixelAt(const QImage &image, QPointF point)
{
    const qreal dpr = image.devicePixelRatio();
    return image.pixelColor(QPoint(int(point.x() * dpr), int(point.y() * dpr)));
}

bool near(const QColor &actual, const QColor &expected, int tolerance)
{
    return std::abs(actual.red() - expected.red()) <= tolerance
        && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance;
}

} // namespace

class TestRoundTavoButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void discIsCentredAndInsetBySix()
    {
        RoundTavoButton button;
        button.resize(300, 130);
        QCOMPARE(button.circleRect(), QRectF(91, 6, 118, 118));
        button.resize(130, 300);
        QCOMPARE(button.circleRect(), QRectF(6, 91, 118, 118));
    }

    void mouseSequences_data()
    {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("move");
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<int>("clicks");

        // All on a 130x130 control: the rectangle spans 0..129, the disc 6..124.
        const QPoint centre(65, 65);
        QTest::newRow("press and release inside") << centre << centre << centre << 1;
        QTest::newRow("drag out, release outside")
            << centre << QPoint(200, 65) << QPoint(200, 65) << 0;
        QTest::newRow("drag out and back in") << centre << QPoint(200, 65) << QPoint(70, 70) << 1;
        QTest::newRow("corner, outside the disc")
            << QPoint(2, 2) << QPoint(2, 2) << QPoint(2, 2) << 1;
        QTest::newRow("first pixel past the edge")
            << centre << QPoint(130, 65) << QPoint(130, 65) << 0;
    }

    void mouseSequences()
    {
        QFETCH(QPoint, press);
        QFETCH(QPoint, move);
        QFETCH(QPoint, release);
        QFETCH(int, clicks);

        RoundTavoButton button;
        button.resize(130, 130);
        QSignalSpy clicked(&button, &RoundTavoButton::clicked);

        QTest::mousePress(&button, Qt::LeftButton, {}, press);
        QVERIFY(button.isPressed());
        QTest::mouseMove(&button, move);
        QTest::mouseMove(&button, release);
        QCOMPARE(button.isPressed(), clicks == 1);
        QTest::mouseRelease(&button, Qt::LeftButton, {}, release);

        QVERIFY(!button.isPressed());
        QCOMPARE(clicked.count(), clicks);
    }

    void disabledSendsNothing()
    {
        RoundTavoButton button;
        button.resize(130, 130);
        button.setEnabled(false);
        QSignalSpy clicked(&button, &RoundTavoButton::clicked);
        // Qt refuses both events before they reach a disabled widget, which QTest reports.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not accepted"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not accepted"));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(65, 65));
        QVERIFY(!button.isPressed());
        QCOMPARE(clicked.count(), 0);
    }

    // On: a slate gradient, lighter at the top. Off: translucent grey. Held: about a sixth darker.
    void discFollowsStateAndPress_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qreal>("dpr");
        QTest::newRow("300x130 @1x") << QSize(300, 130) << 1.0;
        QTest::newRow("130x130 @2x") << QSize(130, 130) << 2.0;
    }

    void discFollowsStateAndPress()
    {
        QFETCH(QSize, size);
        QFETCH(qreal, dpr);
        RoundTavoButton button;
        button.resize(size);
        const QRectF disc = button.circleRect();
        // Clear of the glyph, a little inside the disc's top and bottom.
        const QPointF top(disc.center().x(), disc.top() + 6);
        const QPointF bottom(disc.center().x(), disc.bottom() - 6);

        for (const bool active : {true, false}) {
            button.setActiveState(active);
            const QImage image = renderButton(button, dpr);
            const QColor high = pixelAt(image, top);
            const QColor low = pixelAt(image, bottom);
            const QByteArray seen
                = (high.name(QColor::HexArgb) + " " + low.name(QColor::HexArgb)).toLatin1();
            if (active) {
                QVERIFY2(
                    high.alpha() == 255 && near(high, QColor(148, 163, 184), 8), seen.constData());
                QVERIFY2(low.alpha() == 255 && near(low, QColor(71, 85, 105), 8), seen.constData());
            } else {
                // Translucent grey (with the soft shadow seen through it).
                QVERIFY2(std::abs(high.red() - high.green()) <= 3
                        && std::abs(high.blue() - high.red()) <= 8 && high.red() > 100
                        && high.red() < 160 && high.alpha() > 128 && high.alpha() < 200,
                    seen.constData());
            }

            const QImage released = renderButton(button, dpr, Qt::white);
            QTest::mousePress(&button, Qt::LeftButton, {}, disc.center().toPoint());
            const QImage pressed = renderButton(button, dpr, Qt::white);
            QTest::mouseRelease(&button, Qt::LeftButton, {}, disc.center().toPoint());
            const int before = qGray(pixelAt(released, top).rgb());
            const int after = qGray(pixelAt(pressed, top).rgb());
            QVERIFY2(after < before - before / 10 && after > before - before / 4,
                qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        }
    }

    void shadowFallsBelowDisc()
    {
        const qreal dpr = 2.0;
        RoundTavoButton button;
        button.resize(300, 130);
        const QRectF disc = button.circleRect();
        const QPointF below(disc.center().x(), disc.bottom() + 2);
        const QPointF above(disc.center().x(), disc.top() - 2);

        for (const bool active : {false, true}) {
            button.setActiveState(active);
            const QImage image = renderButton(button, dpr);
            QVERIFY2(pixelAt(image, below).alpha() > 0, active ? "on" : "off");
            QVERIFY(pixelAt(image, above).alpha() < pixelAt(image, below).alpha());
            QCOMPARE(pixelAt(image, QPointF(1, 1)).alpha(), 0);
            // Only black is ever painted outside the disc.
            QCOMPARE(pixelAt(image, below).red(), 0);
        }
    }

    void flippedViewIsFlipped()
    {
        const FlippedView view;
        QVERIFY(view.isFlipped());
    }
};

QTEST_MAIN(TestRoundTavoButton)
#include "TestRoundTavoButton.moc"
