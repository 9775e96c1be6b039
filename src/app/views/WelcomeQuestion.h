#pragma once

class QWidget;

// The question of the first launch: where the application should live.
namespace WelcomeQuestion {

// Asks over `parent` and waits for the answer: true for the tray ("Dans la barre de menus"),
// false for the task bar, which is also the answer when the question is closed any other way.
bool asksForMenuBar(QWidget *parent);

} // namespace WelcomeQuestion
