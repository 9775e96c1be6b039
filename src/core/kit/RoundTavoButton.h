#pragma once

#include <QWidget>

// The large round on/off control: a shaded disc with a document glyph, slate blue with a
// gradient when on, translucent grey when off, darkened while held. It shows a state but does
// not change it: the owner sets the state after the engine changed. Never takes focus.
class RoundTavoButton : public QWidget
{
    Q_OBJECT

public:
    explicit RoundTavoButton(QWidget *parent = nullptr);

    bool isActiveState() const { return m_activeState; }
    // Always repaints, also when the value is unchanged.
    void setActiveState(bool active);
    bool isPressed() const { return m_pressed; }

    // The disc's bounding square, from the current size: side = the smaller edge, centred,
    // inset by 6 on each side.
    QRectF circleRect() const;

Q_SIGNALS:
    // One completed click: pressed and released inside the control's rectangle.
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_activeState = false;
    bool m_pressed = false;
};
