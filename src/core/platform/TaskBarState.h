#pragma once

class QWindow;

// The desktop's task-bar state of one of our windows. The window keeps its normal type in both
// modes: a utility window would be hidden by some window managers whenever the application is
// not active, and placed again by others.
namespace TaskBarState {

// Asks the window manager to leave the window out of the task bar (or to list it again). Safe
// on any platform: where there is no X11 display it does nothing.
void setSkipTaskBar(QWindow *window, bool skip);

} // namespace TaskBarState
