#include "kit/TavoLabel.h"

#include <QEvent>

namespace {

// The label paints with a role of its own rather than WindowText. Writing the resolved colour
// into WindowText would pin it on this label, and the next resolution (after the desktop or a
// parent switches palette) would read back our own colour instead of the new text colour.
// BrightText is never consulted for a plain, non-interactive label.
constexpr QPalette::ColorRole paintRole = QPalette::BrightText;

} // namespace

TavoLabel::TavoLabel(const QString &text, QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setForegroundRole(paintRole);
    setText(text);
    applyColor();
}

void TavoLabel::setTextColor(const DynamicColor &color)
{
    m_color = color;
    applyColor();
}

QColor TavoLabel::resolvedTextColor() const
{
    return palette().color(foregroundRole());
}

void TavoLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColor();
}

void TavoLabel::applyColor()
{
    QPalette target = palette();
    bool changed = false;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QPalette source = palette();
        source.setCurrentColorGroup(group);
        const QColor color = m_color.resolve(source);
        if (target.color(group, paintRole) != color) {
            target.setColor(group, paintRole, color);
            changed = true;
        }
    }
    // Setting the palette sends another PaletteChange; by then nothing differs and it stops.
    if (changed)
        setPalette(target);
}
