#include "shell/MainWindow.h"

#include "kit/Symbols.h"
#include "platform/TaskBarState.h"

#include <QMenuBar>
#include <QShowEvent>

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
    if (m_taskBarEntry == shown)
        return;
    m_taskBarEntry = shown;
    if (testAttribute(Qt::WA_WState_Created))
        TaskBarState::setSkipTaskBar(windowHandle(), !shown);
}

void MainWindow::showEvent(QShowEvent *event)
{
    // The window manager forgets the state whenever the window is hidden; the window is not
    // mapped yet here, so the state goes with the mapping.
    if (!event->spontaneous())
        TaskBarState::setSkipTaskBar(windowHandle(), !m_taskBarEntry);
    QWidget::showEvent(event);
}
