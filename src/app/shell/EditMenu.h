#pragma once

#include <QMenu>

// The "Édition" menu: undo, redo, cut, copy, paste and select all, acting on whichever text
// field of ours has the keyboard focus, in any of our windows. Without a focused text field the
// entries do nothing.
class EditMenu : public QMenu
{
    Q_OBJECT

public:
    explicit EditMenu(QWidget *parent = nullptr);
};
