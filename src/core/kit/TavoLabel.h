#pragma once

#include "kit/DynamicColor.h"

#include <QLabel>

// A label whose text colour is a DynamicColor, resolved again whenever its palette changes.
class TavoLabel : public QLabel
{
    Q_OBJECT

public:
    explicit TavoLabel(const QString &text, QWidget *parent = nullptr);

    void setTextColor(const DynamicColor &color);
    DynamicColor textColor() const { return m_color; }
    // The colour the label paints with now.
    QColor resolvedTextColor() const;

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyColor();

    DynamicColor m_color = DynamicColor::text(1.0);
};
