#pragma once

#include "kit/DynamicColor.h"

#include <QFont>
#include <QString>

class QWidget;
class TavoLabel;

// The application's own colours, all sRGB.
DynamicColor tavoSlate();
DynamicColor orvaneMauve();
// Not dynamic: the tray icon's tint while cleaning is on. Created once, shared.
const QColor &tavoSlateFixed();

// The desktop's label colours, resolved from the palette being painted.
DynamicColor labelColor();
DynamicColor secondaryLabelColor();
DynamicColor tertiaryLabelColor();
// sRGB (142, 142, 147).
QColor systemGrayColor();

// The one way labels are made: read-only, centred, the system font at `size` pixels and the
// given weight, in a colour that keeps following the palette.
TavoLabel *makeLabel(const QString &text, qreal size, QFont::Weight weight,
    const DynamicColor &color, QWidget *parent = nullptr);
