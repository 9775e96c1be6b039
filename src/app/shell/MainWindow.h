#pragma once

#include <QWidget>

class QMenuBar;

// The application's one window: a fixed area of 430 × 500 for its two faces (main view and
// settings view), under the window's menu bar where the desktop does not show menus itself.
// Closing it only hides it; the application decides whether that ends it.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize contentSize{430, 500};

    explicit MainWindow(QWidget *parent = nullptr);

    // The parent of the two faces.
    QWidget *content() const { return m_content; }
    void setMenuBar(QMenuBar *menuBar);
    QMenuBar *menuBar() const { return m_menuBar; }

    // Puts the window in the task bar (true) or keeps it out of it, as a tray-only
    // application's window.
    void setTaskBarEntry(bool shown);
    bool hasTaskBarEntry() const { return m_taskBarEntry; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void layOut();

    QWidget *m_content;
    QMenuBar *m_menuBar = nullptr;
    bool m_taskBarEntry = true;
};
