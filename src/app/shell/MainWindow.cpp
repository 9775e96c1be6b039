#include "shell/MainWindow.h"

#include "kit/Symbols.h"

#include <QCloseEvent>
#include <QMenuBar>

MainWindow::MainWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_content(new QWidget(this))
{
    setWindowTitle(QStringLiteral("OrvaneTavo"));
    setWindowIcon(Symbols::applicationIcon());
    layOut();
}

void MainWindow::setMenuBar(QMenuBar *menuBar)
{
    m_menuBar = menuBar;
    menuBar->setParent(this);
    layOut();
}

void MainWindow::layOut()
{
    // A desktop-wide menu bar takes no room in the window.
    const int menuHeight
        = m_menuBar && !m_menuBar->isNativeMenuBar() ? m_menuBar->sizeHint().height() : 0;
    if (m_menuBar)
        m_menuBar->setGeometry(0, 0, contentSize.width(), menuHeight);
    m_content->setGeometry(QRect(QPoint(0, menuHeight), contentSize));
    setFixedSize(contentSize.width(), contentSize.height() + menuHeight);
}

void MainWindow::setTaskBarEntry(bool shown)
{
    if (hasTaskBarEntry() == shown)
        return;
    const bool visible = isVisible();
    // A tool window stays out of the task bar on X11 desktops; changing the type unmaps the
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
