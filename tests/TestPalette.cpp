#include "kit/DynamicColor.h"
#include "kit/Palette.h"
#include "kit/TavoLabel.h"

#include <QApplication>
#include <QTest>

namespace {

QPalette makePalette(const QColor &window, const QColor &text)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

const QColor darkText(236, 236, 236);
const QPalette light = makePalette(Qt::white, Qt::black);
const QPalette dark = makePalette(QColor(30, 30, 32), darkText);
const QColor slateLight = QColor::fromRgbF(0.278f, 0.333f, 0.412f);
const QColor slateDark = QColor::fromRgbF(0.651f, 0.706f, 0.78f);

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
        QTest::newRow("tavoSlate") << tavoSlate() << slateLight << slateDark;
        QTest::newRow("orvaneMauve") << orvaneMauve() << QColor::fromRgbF(0.486f, 0.227f, 0.929f)
                                     << QColor::fromRgbF(0.686f, 0.573f, 0.992f);
        QTest::newRow("secondary")
            << secondaryLabelColor() << withAlpha(Qt::black, 0.5f) << withAlpha(darkText, 0.5f);
    }

    void resolvesForLightAndDark()
    {
        QFETCH(DynamicColor, color);
        QTEST(color.resolve(light), "light");
        QTEST(color.resolve(dark), "dark");
    }

    // Dark means a window darker than its text to the eye, not by the sum of the channels.
    void darkIsJudgedByLightness()
    {
        QVERIFY(isDarkPalette(makePalette(QColor(0, 0, 255), QColor(200, 200, 0))));
        QVERIFY(!isDarkPalette(makePalette(QColor(200, 200, 0), QColor(0, 0, 255))));
    }

    // A new palette reaches labels through the event loop, for a top-level label as for a child,
    // and a parent's own palette counts too.
    void labelFollowsTheApplicationPalette()
    {
        const QPalette original = QApplication::palette();
        QApplication::setPalette(light);
        QWidget window;
        TavoLabel *child = makeLabel("x", 13, QFont::Normal, secondaryLabelColor(), &window);
        TavoLabel topLevel("y");
        topLevel.setTextColor(tavoSlate());
        for (const bool isDark : {true, false}) {
            QApplication::setPalette(isDark ? dark : light);
            QCoreApplication::processEvents();
            QCOMPARE(child->resolvedTextColor(), withAlpha(isDark ? darkText : Qt::black, 0.5f));
            QCOMPARE(topLevel.resolvedTextColor(), isDark ? slateDark : slateLight);
        }
        window.setPalette(dark);
        QCOMPARE(child->resolvedTextColor(), withAlpha(darkText, 0.5f));
        QApplication::setPalette(original);
        QCoreApplication::processEvents();
    }

    // Rich text is shown as typed, never selectable; sizes are whole pixels.
    void makeLabelIsAPlainReadOnlyCentredLabel()
    {
        TavoLabel *label = makeLabel("<b>Texte</b>", 13.6, QFont::DemiBold, orvaneMauve());
        const std::unique_ptr<TavoLabel> owner(label);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->textInteractionFlags(), Qt::NoTextInteraction);
        QCOMPARE(label->alignment(), Qt::Alignment(Qt::AlignCenter));
        QCOMPARE(label->font().pixelSize(), 14);
        QCOMPARE(label->font().weight(), QFont::DemiBold);
    }
};

QTEST_MAIN(TestPalette)
#include "TestPalette.moc"
