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

int whitePixels(const QImage &image, const QRectF &area)
{
    const qreal dpr = image.devicePixelRatio();
    const QRect box(QPoint(int(area.left() * dpr), int(area.top() * dpr)),
        QPoint(int(area.right() * dpr), int(area.bottom() * dpr)));
    int count = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += c.alpha() > 240 && c.red() > 240 && c.green() > 240 && c.blue() > 240;
        }
    }
    return count;
}

bool near(const QColor &actual, const QColor &expected, int tolerance)
{
    return std::abs(actual.red() - expected.red()) <= tolerance
        && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance;
}

QString describe(const QColor &c)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

void addSizesAndRatios()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<qreal>("dpr");
    for (const QSize size : {QSize(130, 130), QSize(300, 130)}) {
        for (const qreal dpr : {1.0, 2.0}) {
            const QByteArray name = QByteArray::number(size.width()) + "x"
                + QByteArray::number(size.height()) + " @" + QByteArray::number(dpr) + "x";
            QTest::newRow(name.constData()) << size << dpr;
        }
    }
}

} // namespace

class TestRoundTavoButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void circleRectFollowsSize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRectF>("expected");
        QTest::newRow("square") << QSize(130, 130) << QRectF(6, 6, 118, 118);
        QTest::newRow("wide, centred across") << QSize(300, 130) << QRectF(91, 6, 118, 118);
        QTest::newRow("tall, centred down") << QSize(130, 300) << QRectF(6, 91, 118, 118);
        QTest::newRow("odd width, half-pixel centre")
            << QSize(131, 130) << QRectF(6.5, 6, 118, 118);
    }

    void circleRectFollowsSize()
    {
        QFETCH(QSize, size);
        QFETCH(QRectF, expected);
        RoundTavoButton button;
        button.resize(size);
        QCOMPARE(button.circleRect(), expected);
    }

    void mouseSequences_data()
    {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QList<QPoint>>("moves");
        QTest::addColumn<bool>("pressedBeforeRelease");
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<int>("clicks");

        // All on a 130x130 control: the rectangle spans 0..129, the disc 6..124.
        const QPoint centre(65, 65);
        QTest::newRow("press and release inside")
            << centre << QList<QPoint>{} << true << centre << 1;
        QTest::newRow("moves that stay inside")
            << centre << QList<QPoint>{{20, 100}, {120, 10}} << true << QPoint(120, 10) << 1;
        QTest::newRow("drag out, release outside")
            << centre << QList<QPoint>{{200, 65}} << false << QPoint(200, 65) << 0;
        QTest::newRow("drag out and back in")
            << centre << QList<QPoint>{{200, 65}, {65, -40}, {70, 70}} << true << QPoint(70, 70)
            << 1;
        QTest::newRow("corner, outside the disc")
            << QPoint(2, 2) << QList<QPoint>{} << true << QPoint(2, 2) << 1;
        QTest::newRow("last pixel inside")
            << centre << QList<QPoint>{{129, 129}} << true << QPoint(129, 129) << 1;
        QTest::newRow("first pixel past the edge")
            << centre << QList<QPoint>{{130, 65}} << false << QPoint(130, 65) << 0;
        QTest::newRow("left of the control")
            << centre << QList<QPoint>{{-1, 65}} << false << QPoint(-1, 65) << 0;
    }

    void mouseSequences()
    {
        QFETCH(QPoint, press);
        QFETCH(QList<QPoint>, moves);
        QFETCH(bool, pressedBeforeRelease);
        QFETCH(QPoint, release);
        QFETCH(int, clicks);

        RoundTavoButton button;
        button.resize(130, 130);
        QSignalSpy clicked(&button, &RoundTavoButton::clicked);

        QTest::mousePress(&button, Qt::LeftButton, {}, press);
        QVERIFY(button.isPressed());
        QCOMPARE(clicked.count(), 0);
        for (const QPoint &point : moves)
            QTest::mouseMove(&button, point);
        QCOMPARE(button.isPressed(), pressedBeforeRelease);
        QTest::mouseRelease(&button, Qt::LeftButton, {}, release);

        QVERIFY(!button.isPressed());
        QCOMPARE(clicked.count(), clicks);
    }

    void otherButtonsAndDisabledSendNothing_data()
    {
        QTest::addColumn<Qt::MouseButton>("mouseButton");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("right button") << Qt::RightButton << true;
        QTest::newRow("middle button") << Qt::MiddleButton << true;
        QTest::newRow("disabled, left button") << Qt::LeftButton << false;
    }

    void otherButtonsAndDisabledSendNothing()
    {
        QFETCH(Qt::MouseButton, mouseButton);
        QFETCH(bool, enabled);
        RoundTavoButton button;
        button.resize(130, 130);
        button.setEnabled(enabled);
        QSignalSpy clicked(&button, &RoundTavoButton::clicked);

        // Qt refuses both events before they reach a disabled widget, which QTest reports.
        if (!enabled) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not accepted"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not accepted"));
        }
        QTest::mousePress(&button, mouseButton, {}, QPoint(65, 65));
        QVERIFY(!button.isPressed());
        QTest::mouseRelease(&button, mouseButton, {}, QPoint(65, 65));
        QVERIFY(!button.isPressed());
        QCOMPARE(clicked.count(), 0);
    }

    void sameStateStillRepaints_data()
    {
        QTest::addColumn<bool>("from");
        QTest::addColumn<bool>("to");
        QTest::newRow("off again") << false << false;
        QTest::newRow("on again") << true << true;
        QTest::newRow("off to on") << false << true;
    }

    void sameStateStillRepaints()
    {
        QFETCH(bool, from);
        QFETCH(bool, to);
        QWidget window;
        window.resize(160, 160);
        auto *button = new RoundTavoButton(&window);
        button->setGeometry(10, 10, 130, 130);
        button->setActiveState(from);
        PaintCounter counter;
        button->installEventFilter(&counter);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(counter.paints > 0);
        QTest::qWait(20);
        counter.paints = 0;

        button->setActiveState(to);
        QCOMPARE(button->isActiveState(), to);
        QTRY_VERIFY(counter.paints > 0);
    }

    void fillFollowsState_data() { addSizesAndRatios(); }

    void fillFollowsState()
    {
        QFETCH(QSize, size);
        QFETCH(qreal, dpr);
        RoundTavoButton button;
        button.resize(size);
        const QRectF disc = button.circleRect();
        // Clear of the glyph, a little inside the disc's top and bottom.
        const QPointF top(disc.center().x(), disc.top() + 6);
        const QPointF bottom(disc.center().x(), disc.bottom() - 6);

        button.setActiveState(true);
        QImage image = renderButton(button, dpr);
        QColor colour = pixelAt(image, top);
        QVERIFY2(colour.alpha() == 255 && near(colour, QColor(148, 163, 184), 8),
            qPrintable(describe(colour)));
        colour = pixelAt(image, bottom);
        QVERIFY2(colour.alpha() == 255 && near(colour, QColor(71, 85, 105), 8),
            qPrintable(describe(colour)));

        button.setActiveState(false);
        image = renderButton(button, dpr);
        for (const QPointF &point : {top, bottom}) {
            colour = pixelAt(image, point);
            // Translucent grey (with the soft shadow seen through it).
            const bool grey = std::abs(colour.red() - colour.green()) <= 3
                && std::abs(colour.blue() - colour.red()) <= 8 && colour.red() > 100
                && colour.red() < 160;
            QVERIFY2(
                grey && colour.alpha() > 128 && colour.alpha() < 200, qPrintable(describe(colour)));
        }
    }

    void pressedDarkensDisc_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<qreal>("dpr");
        QTest::newRow("on @1x") << true << 1.0;
        QTest::newRow("off @1x") << false << 1.0;
        QTest::newRow("on @2x") << true << 2.0;
    }

    void pressedDarkensDisc()
    {
        QFETCH(bool, active);
        QFETCH(qreal, dpr);
        RoundTavoButton button;
        button.resize(130, 130);
        button.setActiveState(active);
        const QPointF inDisc(65, 14);
        const QPointF outside(2, 2);

        const QImage released = renderButton(button, dpr, Qt::white);
        QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(65, 65));
        const QImage pressed = renderButton(button, dpr, Qt::white);
        QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(65, 65));

        const int before = qGray(pixelAt(released, inDisc).rgb());
        const int after = qGray(pixelAt(pressed, inDisc).rgb());
        // Black at 15 % takes about a sixth off the brightness.
        QVERIFY2(after < before - before / 10 && after > before - before / 4,
            qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        QCOMPARE(pixelAt(pressed, outside), pixelAt(released, outside));
        // Released again: back to the first picture.
        QCOMPARE(renderButton(button, dpr, Qt::white), released);
    }

    void shadowFallsBelowDisc_data() { addSizesAndRatios(); }

    void shadowFallsBelowDisc()
    {
        QFETCH(QSize, size);
        QFETCH(qreal, dpr);
        RoundTavoButton button;
        button.resize(size);
        const QRectF disc = button.circleRect();
        const QPointF below(disc.center().x(), disc.bottom() + 2);
        const QPointF above(disc.center().x(), disc.top() - 2);
        const QPointF far(disc.left() - 20, disc.top());
        const QPointF corner(1, 1);

        int belowAlpha[2] = {};
        for (const bool active : {false, true}) {
            button.setActiveState(active);
            const QImage image = renderButton(button, dpr);
            belowAlpha[active] = pixelAt(image, below).alpha();
            QVERIFY2(belowAlpha[active] > 0, active ? "on" : "off");
            QVERIFY(pixelAt(image, above).alpha() < belowAlpha[active]);
            QCOMPARE(pixelAt(image, corner).alpha(), 0);
            if (far.x() >= 0)
                QCOMPARE(pixelAt(image, far).alpha(), 0);
            // Only black is ever painted outside the disc.
            QCOMPARE(pixelAt(image, below).red(), 0);
        }
        QVERIFY(belowAlpha[true] > belowAlpha[false]);
    }

    void glyphIsWhiteAtCentre_data() { addSizesAndRatios(); }

    void glyphIsWhiteAtCentre()
    {
        QFETCH(QSize, size);
        QFETCH(qreal, dpr);
        RoundTavoButton button;
        button.resize(size);
        const QRectF disc = button.circleRect();
        QRectF glyphArea(0, 0, disc.width() * 0.5, disc.height() * 0.5);
        glyphArea.moveCenter(disc.center());

        int white[2] = {};
        for (const bool active : {false, true}) {
            button.setActiveState(active);
            const QImage image = renderButton(button, dpr);
            white[active] = whitePixels(image, glyphArea);
            QVERIFY2(white[active] > 20 * dpr * dpr, active ? "on" : "off");
            // Nothing white away from the glyph.
            QCOMPARE(whitePixels(image, QRectF(disc.left(), disc.top(), disc.width(), 12)), 0);
        }
        // The filled document shows more white than its outline.
        QVERIFY2(white[true] > white[false],
            qPrintable(QStringLiteral("%1 vs %2").arg(white[true]).arg(white[false])));
    }

    void disabledDrawsLikeEnabled()
    {
        RoundTavoButton button;
        button.resize(130, 130);
        button.setActiveState(true);
        const QImage enabled = renderButton(button, 1);
        button.setEnabled(false);
        QCOMPARE(renderButton(button, 1), enabled);
    }

    void tooSmallForADiscDrawsNothing()
    {
        RoundTavoButton button;
        button.resize(12, 40);
        button.setActiveState(true);
        const QImage image = renderButton(button, 1);
        QImage empty(image.size(), image.format());
        empty.fill(Qt::transparent);
        QCOMPARE(image.convertToFormat(QImage::Format_ARGB32),
            empty.convertToFormat(QImage::Format_ARGB32));
    }

    void flippedViewPlacesChildrenFromTheTop()
    {
        FlippedView view;
        view.resize(100, 100);
        QVERIFY(view.isFlipped());
        auto *child = new QWidget(&view);
        child->setAutoFillBackground(true);
        QPalette palette = child->palette();
        palette.setColor(QPalette::Window, Qt::red);
        child->setPalette(palette);
        child->setGeometry(0, 0, 100, 10);

        QImage image(100, 100, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(image.pixelColor(50, 0), QColor(Qt::red));
        QCOMPARE(image.pixelColor(50, 9), QColor(Qt::red));
        QCOMPARE(image.pixelColor(50, 10).alpha(), 0);
        QCOMPARE(image.pixelColor(50, 99).alpha(), 0);
    }
};

QTEST_MAIN(TestRoundTavoButton)
#include "TestRoundTavoButton.moc"
