#pragma once

#include "kit/DynamicColor.h"

#include <QAbstractButton>

// A button that reads as a link: only its text, in a colour that follows the palette.
class LinkButton : public QAbstractButton
{
    Q_OBJECT

public:
    LinkButton(const QString &text, const DynamicColor &color, QWidget *parent = nullptr);

    QColor resolvedTextColor() const { return m_color.resolve(palette()); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    DynamicColor m_color;
};
