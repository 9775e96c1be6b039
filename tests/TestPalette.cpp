#include "kit/DynamicColor.h"
#include "kit/Palette.h"
#include "kit/TavoLabel.h"

#include <QApplication>
#include <QTest>

#include <type_traits>

namespace {

QPalette makePalette(const QColor &window, const QColor &text)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

const QColor darkText(236, 236, 236);

QColor withAlpha(QColor color, float alpha)
{
    color.setAlphaF(alpha);
    return color;
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
        QTest::newRow("secondary")
            << secondaryLabelColor() << withAlpha(Qt::black, 0.5f) << withAlpha(darkText, 0.5f);
    }

    void resolvesForLightAndDark()
    {
        QFETCH(DynamicColor, color);
        QFETCH(QColor, light);
        QFETCH(QColor, dark);
        QCOMPARE(color.resolve(makePalette(Qt::white, Qt::black)), light);
        QCOMPARE(color.resolve(makePalette(QColor(30, 30, 32), darkText)), dark);
    }

    // Dark means a window darker than its text to the eye, not by the sum of the channels.
    void darkIsJudgedByLightness()
    {
        QVERIFY(isDarkPalette(makePalette(QColor(0, 0, 255), QColor(200, 200, 0))));
        QVERIFY(!isDarkPalette(makePalette(QColor(200, 200, 0), QColor(0, 0, 255))));
    }

    void fixedSlateIsOneSharedPlainColour()
    {
        static_assert(std::is_same_v<decltype(tavoSlateFixed()), const QColor &>);
        QCOMPARE(&tavoSlateFixed(), &tavoSlateFixed());
        QCOMPARE(tavoSlateFixed(), QColor::fromRgbF(0.392f, 0.455f, 0.545f));
    }

    void labelFollowsTheApplicationPalette()
    {
        const QPalette original = QApplication::palette();
        QApplication::setPalette(makePalette(Qt::white, Qt::black));
        QWidget window;
        TavoLabel *child
            = makeLabel(QStringLiteral("x"), 13, QFont::Normal, secondaryLabelColor(), &window);
        TavoLabel topLevel(QStringLiteral("y"));
        topLevel.setTextColor(tavoSlate());

        // The application hands a new palette to its widgets through the event loop.
        QApplication::setPalette(makePalette(QColor(30, 30, 32), darkText));
        QCoreApplication::processEvents();
        QCOMPARE(child->resolvedTextColor(), withAlpha(darkText, 0.5f));
        QCOMPARE(topLevel.resolvedTextColor(), QColor::fromRgbF(0.651f, 0.706f, 0.78f));

        QApplication::setPalette(makePalette(Qt::white, Qt::black));
        QCoreApplication::processEvents();
        QCOMPARE(child->resolvedTextColor(), withAlpha(Qt::black, 0.5f));
        QCOMPARE(topLevel.resolvedTextColor(), QColor::fromRgbF(0.278f, 0.333f, 0.412f));

        window.setPalette(makePalette(QColor(30, 30, 32), darkText));
        QCOMPARE(child->resolvedTextColor(), withAlpha(darkText, 0.5f));
        QApplication::setPalette(original);
        QCoreApplication::processEvents();
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
};

QTEST_MAIN(TestPalette)
#include "TestPalette.moc"
