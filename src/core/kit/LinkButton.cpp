#include "kit/LinkButton.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

LinkButton::LinkButton(const QString &text, const DynamicColor &color, QWidget *parent)
    : QAbstractButton(parent)
    , m_color(color)
{
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

QSize LinkButton::sizeHint() const
{
    return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(2, 2);
}

void LinkButton::paintEvent(QPaintEvent *)
{
    // Resolved at each paint, so the link follows a change of palette by itself.
    QPainter painter(this);
    painter.setPen(resolvedTextColor());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}
