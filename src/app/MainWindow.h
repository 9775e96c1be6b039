#pragma once

#include <QWidget>

// The application's one window: fixed size, two faces stacked (main view and settings view).
// Closing it only hides it; the owner decides whether that ends the application.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize contentSize{430, 500};

    explicit MainWindow(QWidget *parent = nullptr);

    // Puts the window in the task bar (true) or keeps it out of it, as a tray-only
    // application's window. Keeps the window shown if it was.
    void setTaskBarEntry(bool shown);
    bool hasTaskBarEntry() const { return windowType() != Qt::Tool; }

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
};
