#include "kit/GlyphDrawing.h"

#include <QPainterPath>

#include <cmath>
#include <numbers>

namespace {

using GlyphDrawing::Canvas;

// The centre of a stroke `width` pixels wide near `position`, so that both of its edges fall
// on pixel boundaries.
qreal snapped(qreal position, qreal width)
{
    return int(width) % 2 == 1 ? std::floor(position) + 0.5 : std::round(position);
}

// The sheet of paper: the outline through the middle of its stroke, the folded corner's two
// inner edges, and the text lines as pixel-aligned rectangles. Like a font's, the strokes sit
// on a fixed skeleton and grow to both sides with the weight.
struct DocumentShape
{
    QPainterPath outline;
    QPainterPath fold;
    QPainterPath foldCut; // the fold's edges run on through the sheet's edge, to cut it free
    QPainterPath flap; // the folded-over corner, as a solid triangle
    bool solidFlap = false; // heavy strokes leave no room inside the fold
    QList<QRectF> lines;
};

// `lineWidth` is the text lines' wished-for thickness.
DocumentShape documentShape(const Canvas &canvas, qreal lineWidth)
{
    const qreal side = canvas.side;
    const qreal sw = canvas.stroke;

    // The skeleton: the regular weight's stroke centres inside a sheet 72% wide and 90% tall.
    const qreal inset = side / 28;
    const qreal rawLeft = side * 0.14 + inset;
    const qreal rawTop = side * 0.05 + inset;
    const qreal l = snapped(rawLeft, sw);
    const qreal r = l + std::round(side - 2 * rawLeft);
    const qreal t = snapped(rawTop, sw);
    const qreal b = t + std::round(side - 2 * rawTop);
    const qreal radius = qMax(side * 0.06, sw / 2);
    const qreal fold = qMax(std::round((r - l) * 0.34), 2 * sw);

    DocumentShape shape;
    QPainterPath &path = shape.outline;
    path.moveTo(l, t + radius);
    path.arcTo(QRectF(l, t, 2 * radius, 2 * radius), 180, -90);
    path.lineTo(r - fold, t);
    path.lineTo(r, t + fold);
    path.lineTo(r, b - radius);
    path.arcTo(QRectF(r - 2 * radius, b - 2 * radius, 2 * radius, 2 * radius), 0, -90);
    path.lineTo(l + radius, b);
    path.arcTo(QRectF(l, b - 2 * radius, 2 * radius, 2 * radius), 270, -90);
    path.closeSubpath();

    shape.fold.moveTo(r - fold, t);
    shape.fold.lineTo(r - fold, t + fold);
    shape.fold.lineTo(r, t + fold);
    shape.flap.moveTo(r - fold, t);
    shape.flap.lineTo(r - fold, t + fold);
    shape.flap.lineTo(r, t + fold);
    shape.flap.closeSubpath();
    // What would stay open inside the fold, between its three strokes.
    shape.solidFlap = fold - (1 + std::numbers::sqrt2 / 2) * sw < qMax(sw, 2.0);
    shape.foldCut.moveTo(r - fold, t - sw);
    shape.foldCut.lineTo(r - fold, t + fold);
    shape.foldCut.lineTo(r + sw, t + fold);

    // The text lines share the room between the fold and the bottom edge with equal gaps.
    // Four lines when they stay clearly apart, otherwise three, thinned if need be so that
    // they never run together at small sizes, and two on the tiniest sheets.
    const qreal roomTop = t + fold + sw / 2;
    const qreal roomBottom = b - sw / 2;
    const qreal room = roomBottom - roomTop;
    int count = 3;
    qreal thickness = lineWidth;
    qreal gap = std::floor((room - 4 * lineWidth) / 5);
    if (gap >= qMax(lineWidth, 2.0)) {
        count = 4;
    } else {
        for (thickness = lineWidth;; thickness -= 1) {
            gap = std::floor((room - 3 * thickness) / 4);
            if (gap >= 1 || thickness <= 1)
                break;
        }
        // Below about a dozen pixels even three hairlines crowd the sheet.
        if (gap < 1) {
            count = 2;
            gap = 1;
        }
    }
    const qreal block = count * thickness + (count - 1) * gap;
    const qreal firstTop = roomTop + qMax(0.0, std::floor((room - block) / 2));
    const qreal margin = std::round(qMax((r - l) * 0.2, sw + 1));
    const qreal x0 = std::round(l + margin);
    const qreal x1 = std::round(r - margin);
    for (int i = 0; i < count; ++i) {
        // The last line is shorter, as the end of a paragraph.
        const qreal end = i == count - 1 ? x0 + std::round((x1 - x0) * 0.6) : x1;
        shape.lines.append(QRectF(x0, firstTop + i * (thickness + gap), end - x0, thickness));
    }
    return shape;
}

} // namespace

namespace GlyphDrawing {

void document(QPainter &painter, const Canvas &canvas, const QColor &ink, bool filled)
{
    // The filled sheet's cuts keep the regular weight's width, so that a heavier sheet is a
    // darker one rather than a more hollow one.
    const DocumentShape shape = documentShape(canvas, filled ? canvas.regular : canvas.stroke);
    QPen pen(ink, canvas.stroke, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin);
    painter.setPen(pen);

    if (!filled) {
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape.outline);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.drawPath(shape.fold);
        // A speck of background inside a heavy fold reads as a flaw; the flap is then solid.
        if (shape.solidFlap)
            painter.fillPath(shape.flap, ink);
        for (const QRectF &line : shape.lines)
            painter.fillRect(line, ink);
        return;
    }

    // The same sheet, solid, with the same outer edge as the outlined one.
    painter.setBrush(ink);
    painter.drawPath(shape.outline);

    // Cut the folded corner free and the text lines out, so that whatever lies beneath shows
    // through: the glyph reads on any background. The fold's cut takes the stroke's parity,
    // which keeps its edges on whole pixels.
    qreal foldCut = canvas.regular;
    if (int(canvas.regular - canvas.stroke) % 2 != 0)
        foldCut += canvas.regular > 1 ? -1 : 1;
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::NoBrush);
    pen.setWidthF(foldCut);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawPath(shape.foldCut);
    for (const QRectF &line : shape.lines)
        painter.fillRect(line, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void gear(QPainter &painter, const Canvas &canvas, const QColor &ink)
{
    constexpr int teeth = 8;
    constexpr qreal pi = std::numbers::pi;
    const qreal side = canvas.side;
    const QPointF centre(side / 2, side / 2);
    // A heavier weight grows the body towards the teeth and closes the hole.
    const qreal tip = side * 0.47;
    const qreal root = side * (0.31 + 0.7 * canvas.thickness);
    const qreal hole = side * qMax(0.06, 0.27 - 1.4 * canvas.thickness);
    const qreal step = 2 * pi / teeth;
    const qreal rootHalf = step * 0.32;
    const qreal tipHalf = step * 0.2;

    const auto at = [&](qreal radius, qreal angle) {
        return centre + QPointF(radius * std::cos(angle), radius * std::sin(angle));
    };
    QPainterPath path;
    const QRectF rootCircle(centre.x() - root, centre.y() - root, 2 * root, 2 * root);
    for (int i = 0; i < teeth; ++i) {
        const qreal middle = -pi / 2 + i * step;
        if (i == 0)
            path.moveTo(at(root, middle - rootHalf));
        path.lineTo(at(tip, middle - tipHalf));
        path.lineTo(at(tip, middle + tipHalf));
        path.lineTo(at(root, middle + rootHalf));
        // Along the root circle to the next tooth (Qt's angles run the other way, in degrees).
        const qreal from = middle + rootHalf;
        const qreal sweep = step - 2 * rootHalf;
        path.arcTo(rootCircle, -from * 180 / pi, -sweep * 180 / pi);
    }
    path.closeSubpath();
    path.addEllipse(centre, hole, hole);
    path.setFillRule(Qt::OddEvenFill);

    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawPath(path);
}

void chevronLeft(QPainter &painter, const Canvas &canvas, const QColor &ink)
{
    const qreal side = canvas.side;
    // Diagonals cannot sit on whole pixels; the exact width keeps every weight distinct.
    QPen pen(ink, qMax(1.0, side * canvas.thickness), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QPointF points[]
        = {{side * 0.63, side * 0.14}, {side * 0.31, side * 0.5}, {side * 0.63, side * 0.86}};
    painter.drawPolyline(points, 3);
}

} // namespace GlyphDrawing
