#pragma once

#include <QColor>
#include <QPainter>

// The drawings behind the named symbols. Each fills a square canvas in one opaque ink, with its
// straight strokes on whole device pixels.
namespace GlyphDrawing {

// Everything is drawn in device pixels, so that strokes can be placed on whole pixels.
struct Canvas
{
    qreal side = 0; // the image's edge
    qreal stroke = 1; // the weight's stroke, a whole number of pixels, at least one
    qreal regular = 1; // the regular weight's stroke, likewise
    qreal thickness = 0; // the weight's stroke as a fraction of the side, before rounding
};

// A sheet of paper with a folded corner and lines of text, outlined or solid with the folded
// corner and the lines cut out.
void document(QPainter &painter, const Canvas &canvas, const QColor &ink, bool filled);
void gear(QPainter &painter, const Canvas &canvas, const QColor &ink);
void chevronLeft(QPainter &painter, const Canvas &canvas, const QColor &ink);

} // namespace GlyphDrawing
