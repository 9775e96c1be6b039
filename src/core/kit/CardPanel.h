#pragma once

#include <QWidget>

// A rounded panel behind a group of settings: a faint fill and border in the text colour, so
// it reads on light and dark palettes alike. Pure decoration: it holds no controls.
class CardPanel : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *event) override;
};
