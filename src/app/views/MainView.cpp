#include "views/MainView.h"

#include "kit/Palette.h"
#include "kit/RoundTavoButton.h"
#include "kit/SymbolButton.h"
#include "kit/Symbols.h"
#include "kit/TavoLabel.h"
#include "shell/MainWindow.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

MainView::MainView(QWidget *parent)
    : QWidget(parent)
    , tavoButton(new RoundTavoButton)
    , tavoStatusLabel(makeLabel(QStringLiteral(" "), 15, QFont::DemiBold, secondaryLabelColor()))
    , statCountLabel(makeLabel(QStringLiteral(" "), 11, QFont::Normal, tertiaryLabelColor()))
    , gearButton(new SymbolButton(
          QStringLiteral("gearshape.fill"), 16, QFont::Normal, secondaryLabelColor(), this))
{
    resize(MainWindow::contentSize);

    auto *icon = new QLabel;
    icon->setFixedSize(92, 92);
    const qreal ratio = qApp->devicePixelRatio();
    QImage iconImage = Symbols::applicationIconImage(qRound(92 * ratio));
    iconImage.setDevicePixelRatio(ratio);
    icon->setPixmap(QPixmap::fromImage(iconImage));

    auto *name = makeLabel(QStringLiteral("OrvaneTavo"), 24, QFont::Bold, labelColor());
    auto *tagline = makeLabel(QStringLiteral("Colle toujours du texte brut, partout.\n"
                                             "Sans gras, sans couleurs, sans surprise."),
        13, QFont::Normal, secondaryLabelColor());
    tavoButton->setFixedSize(130, 130);
    tavoButton->setToolTip(QStringLiteral("Activer ou désactiver le texte brut"));
    auto *privacy
        = makeLabel(QStringLiteral("Aucune permission : rien n'est jamais envoyé ni enregistré"),
            11, QFont::Normal, tertiaryLabelColor());

    // The seven rows, each followed by its own gap, centred as a block 4 above the middle.
    auto *stack = new QVBoxLayout;
    stack->setSpacing(0);
    const std::pair<QWidget *, int> rows[] = {
        {icon, 12},
        {name, 10},
        {tagline, 16},
        {tavoButton, 10},
        {tavoStatusLabel, 8},
        {privacy, 4},
        {statCountLabel, 0},
    };
    for (const auto &[widget, gap] : rows) {
        stack->addWidget(widget, 0, Qt::AlignHCenter);
        if (gap > 0)
            stack->addSpacing(gap);
    }
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 8);
    outer->addStretch(1);
    outer->addLayout(stack);
    outer->addStretch(1);

    gearButton->setToolTip(QStringLiteral("Réglages"));
    gearButton->setAccessibleName(QStringLiteral("Réglages"));
    gearButton->setGeometry(width() - 14 - 30, height() - 14 - 30, 30, 30);
}
