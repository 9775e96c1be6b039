#include "kit/Palette.h"

#include "kit/TavoLabel.h"

#include <QApplication>

DynamicColor tavoSlate()
{
    return DynamicColor::lightDark(
        QColor::fromRgbF(0.278f, 0.333f, 0.412f), QColor::fromRgbF(0.651f, 0.706f, 0.78f));
}

DynamicColor orvaneMauve()
{
    return DynamicColor::lightDark(
        QColor::fromRgbF(0.486f, 0.227f, 0.929f), QColor::fromRgbF(0.686f, 0.573f, 0.992f));
}

const QColor &tavoSlateFixed()
{
    // The tray redraws its icon on every state change; one shared colour is enough.
    static const QColor color = QColor::fromRgbF(0.392f, 0.455f, 0.545f);
    return color;
}

DynamicColor labelColor()
{
    return DynamicColor::text(1.0);
}

DynamicColor secondaryLabelColor()
{
    return DynamicColor::text(0.5);
}

DynamicColor tertiaryLabelColor()
{
    return DynamicColor::text(0.26);
}

QColor systemGrayColor()
{
    return QColor::fromRgb(142, 142, 147);
}

TavoLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight,
    const DynamicColor &color, QWidget *parent)
{
    auto *label = new TavoLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setFrameShape(QFrame::NoFrame);
    label->setAutoFillBackground(false);
    label->setAlignment(Qt::AlignCenter);

    // Sizes are device-independent pixels, so that text keeps its size next to the drawn
    // glyphs whatever the screen's DPI setting says about points.
    QFont font = QApplication::font();
    font.setPixelSize(qMax(1, qRound(size)));
    font.setWeight(weight);
    label->setFont(font);

    label->setTextColor(color);
    return label;
}
