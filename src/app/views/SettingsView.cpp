#include "views/SettingsView.h"

#include "kit/CardPanel.h"
#include "kit/LinkButton.h"
#include "kit/Palette.h"
#include "kit/SymbolButton.h"
#include "kit/TavoLabel.h"
#include "shell/MainWindow.h"

#include <QCheckBox>
#include <QFontInfo>
#include <QFrame>
#include <QPushButton>

namespace {

// A control sized to its content, placed at a fixed point of the view.
template<typename Widget> Widget *place(Widget *widget, QWidget *parent, int x, int y)
{
    widget->setParent(parent);
    widget->adjustSize();
    widget->move(x, y);
    return widget;
}

// The texts were measured for a narrow system font; a wider desktop font would carry a long
// switch title past its card, so its font steps down until it fits.
void fitInside(QWidget *widget, int right)
{
    QFont font = widget->font();
    const int minimum = 10;
    int size = QFontInfo(font).pixelSize();
    while (widget->geometry().right() >= right && size > minimum) {
        font.setPixelSize(--size);
        widget->setFont(font);
        widget->adjustSize();
    }
}

} // namespace

SettingsView::SettingsView(QWidget *parent)
    : FlippedView(parent)
    , backButton(new SymbolButton(
          QStringLiteral("chevron.left"), 15, QFont::DemiBold, secondaryLabelColor(), this))
    , skipTabularCheckbox(new QCheckBox(
          QStringLiteral("Ignorer les copies venant des tableurs (préserve les tabulations)")))
    , statCountLabel(makeLabel(QStringLiteral(" "), 11, QFont::Normal, tertiaryLabelColor()))
    , autoUpdatesCheckbox(
          new QCheckBox(QStringLiteral("Installer les mises à jour automatiquement")))
    , menuBarCheckbox(
          new QCheckBox(QStringLiteral("Icône dans la barre de menus (au lieu du Dock)")))
    , loginCheckbox(new QCheckBox(QStringLiteral("Ouvrir à la connexion")))
    , updateButton(new QPushButton(QStringLiteral("Rechercher des mises à jour…")))
    , reportButton(new QPushButton(QStringLiteral("Signaler un problème…")))
    , siteLink(new LinkButton(QStringLiteral("orvanelabs.ch"), orvaneMauve()))
{
    // The window never changes size, so every control has its fixed place.
    resize(MainWindow::contentSize);
    setAutoFillBackground(true);

    backButton->setToolTip(QStringLiteral("Retour"));
    backButton->setAccessibleName(QStringLiteral("Retour"));
    backButton->setGeometry(18, 46, 28, 28);

    auto *title
        = place(makeLabel(QStringLiteral("Réglages"), 20, QFont::Bold, labelColor()), this, 54, 0);
    title->move(54, 60 - title->height() / 2);

    (new CardPanel(this))->setGeometry(24, 100, 382, 90);
    place(skipTabularCheckbox, this, 40, 122);
    fitInside(skipTabularCheckbox, 24 + 382 - 8);
    statCountLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(statCountLabel, this, 40, 154);

    (new CardPanel(this))->setGeometry(24, 210, 382, 96);
    place(autoUpdatesCheckbox, this, 40, 222);
    place(menuBarCheckbox, this, 40, 250);
    place(loginCheckbox, this, 40, 278);

    place(updateButton, this, 24, 322);
    place(reportButton, this, updateButton->geometry().right() + 1 + 10, 322);

    auto *separator = new QFrame(this);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    separator->setGeometry(24, 366, 382, 1);

    const QString version = QStringLiteral(ORVANE_VERSION);
    auto *versionLine = makeLabel(
        QStringLiteral("OrvaneTavo v") + (version.isEmpty() ? QStringLiteral("?") : version), 12,
        QFont::DemiBold, labelColor());
    auto *studio = makeLabel(QStringLiteral("Développé par Orvane Labs,\n"
                                            "studio suisse d'applications Mac."),
        11, QFont::Normal, secondaryLabelColor());
    for (TavoLabel *label : {versionLine, studio})
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(versionLine, this, 24, 420);
    place(studio, this, 24, 438);

    QFont font = siteLink->font();
    font.setPixelSize(12);
    font.setWeight(QFont::DemiBold);
    siteLink->setFont(font);
    place(siteLink, this, 24, 470);
}
