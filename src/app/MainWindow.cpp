#include "MainWindow.h"

#include "Symbols.h"

#include <QCloseEvent>

MainWindow::MainWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("OrvaneTavo"));
    setWindowIcon(Symbols::applicationIcon());
    setFixedSize(contentSize);
}

void MainWindow::setTaskBarEntry(bool shown)
{
    if (hasTaskBarEntry() == shown)
        return;
    const bool visible = isVisible();
    // A tool window stays out of the task bar on X11 desktops; changing the flag unmaps the
    // window, so map it again where it was.
    const QRect geometry = this->geometry();
    setWindowFlags((windowFlags() & ~Qt::WindowType_Mask) | (shown ? Qt::Window : Qt::Tool));
    if (visible) {
        setGeometry(geometry);
        show();
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    Q_EMIT closed();
}
