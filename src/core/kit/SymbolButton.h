#pragma once

#include "kit/DynamicColor.h"

#include <QFont>
#include <QToolButton>

// A borderless button that shows one of our symbols, tinted with a colour that follows the
// palette. Without such a symbol it shows no image at all.
class SymbolButton : public QToolButton
{
    Q_OBJECT

public:
    SymbolButton(const QString &symbol, qreal pointSize, QFont::Weight weight,
        const DynamicColor &tint, QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyIcon();

    QString m_symbol;
    qreal m_pointSize;
    QFont::Weight m_weight;
    DynamicColor m_tint;
};
