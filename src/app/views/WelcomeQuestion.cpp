#include "views/WelcomeQuestion.h"

#include <QMessageBox>
#include <QPushButton>

namespace WelcomeQuestion {

bool asksForMenuBar(QWidget *parent)
{
    QMessageBox alert(parent);
    alert.setWindowTitle(QStringLiteral("OrvaneTavo"));
    alert.setTextFormat(Qt::PlainText);
    alert.setText(QStringLiteral("Bienvenue dans OrvaneTavo 📄"));
    alert.setInformativeText(
        QStringLiteral("Où veux-tu que l'app vive ?\n\n"
                       "Dans le Dock : une app classique avec sa fenêtre.\n"
                       "Dans la barre de menus : une petite icône discrète en haut de l'écran.\n\n"
                       "Tu pourras changer d'avis à tout moment dans la fenêtre de l'app."));
    alert.setIcon(QMessageBox::Information);
    QPushButton *dock = alert.addButton(QStringLiteral("Dans le Dock"), QMessageBox::AcceptRole);
    QPushButton *menuBar
        = alert.addButton(QStringLiteral("Dans la barre de menus"), QMessageBox::AcceptRole);
    alert.setDefaultButton(dock);
    // Closing the question any other way keeps the window in the task bar.
    alert.setEscapeButton(dock);
    alert.exec();
    return alert.clickedButton() == menuBar;
}

} // namespace WelcomeQuestion
