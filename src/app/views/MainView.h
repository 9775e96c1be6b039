#pragma once

#include <QWidget>

class RoundTavoButton;
class SymbolButton;
class TavoLabel;

// The window's main face: the application's name, the round switch, its status line and the
// count of cleaned copies, with the gear that leads to the settings. It holds no state of its
// own: the application sets the switch and the lines and answers the two buttons.
class MainView : public QWidget
{
    Q_OBJECT

public:
    explicit MainView(QWidget *parent = nullptr);

    RoundTavoButton *const tavoButton;
    TavoLabel *const tavoStatusLabel;
    TavoLabel *const statCountLabel;
    SymbolButton *const gearButton;
};
