#include "kit/SymbolButton.h"

#include "kit/Symbols.h"

#include <QEvent>

SymbolButton::SymbolButton(const QString &symbol, qreal pointSize, QFont::Weight weight,
    const DynamicColor &tint, QWidget *parent)
    : QToolButton(parent)
    , m_symbol(symbol)
    , m_pointSize(pointSize)
    , m_weight(weight)
    , m_tint(tint)
{
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setCursor(Qt::PointingHandCursor);
    setIconSize(QSize(qRound(pointSize), qRound(pointSize)));
    applyIcon();
}

void SymbolButton::changeEvent(QEvent *event)
{
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyIcon();
}

void SymbolButton::applyIcon()
{
    setIcon(Symbols::icon(m_symbol, m_pointSize, m_weight, m_tint.resolve(palette())));
}
