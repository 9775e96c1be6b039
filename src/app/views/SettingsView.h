#pragma once

#include "kit/FlippedView.h"

class LinkButton;
class QCheckBox;
class QPushButton;
class SymbolButton;
class TavoLabel;

// The window's settings face, every control at a fixed place from the top down. Like the main
// face it only shows: the application sets the boxes and answers them.
class SettingsView : public FlippedView
{
    Q_OBJECT

public:
    explicit SettingsView(QWidget *parent = nullptr);

    SymbolButton *const backButton;
    QCheckBox *const skipTabularCheckbox;
    TavoLabel *const statCountLabel;
    QCheckBox *const autoUpdatesCheckbox;
    QCheckBox *const menuBarCheckbox;
    QCheckBox *const loginCheckbox;
    QPushButton *const updateButton;
    QPushButton *const reportButton;
    LinkButton *const siteLink;
};
