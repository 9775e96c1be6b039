#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QString>

// Glyphs drawn in code by name, at any size and weight: "doc.plaintext", "doc.plaintext.fill",
// "gearshape.fill", "chevron.left". An unknown name gives a null image or icon.
namespace Symbols {

bool exists(const QString &name);
// The glyph in one colour on a transparent background, sized for a font of `pointSize`
// pixels, with the given device pixel ratio (1 or 2 for crisp 1x and 2x rendering).
QImage image(const QString &name, qreal pointSize, QFont::Weight weight, const QColor &color,
    qreal devicePixelRatio = 1.0);
// The same at 1x and 2x.
QIcon icon(const QString &name, qreal pointSize, QFont::Weight weight, const QColor &color);

// The application's own icon, at any pixel size.
QImage applicationIconImage(int pixelSize);
QIcon applicationIcon();

} // namespace Symbols
