#pragma once

#include <QWidget>

// A bare container whose children are placed from the top down. Every Qt widget already has
// its origin at the top left; the class exists so that views built top-down say so.
class FlippedView : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;
    bool isFlipped() const { return true; }
};
