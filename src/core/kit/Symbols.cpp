#include "kit/Symbols.h"

#include "kit/GlyphDrawing.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

#include <array>
#include <cmath>

namespace {

enum class Glyph { Unknown, Document, FilledDocument, Gear, ChevronLeft };

Glyph glyphNamed(const QString &name)
{
    if (name == QLatin1String("doc.plaintext"))
        return Glyph::Document;
    if (name == QLatin1String("doc.plaintext.fill"))
        return Glyph::FilledDocument;
    if (name == QLatin1String("gearshape.fill"))
        return Glyph::Gear;
    if (name == QLatin1String("chevron.left"))
        return Glyph::ChevronLeft;
    return Glyph::Unknown;
}

// How much thicker than a regular stroke each weight draws, close to how a text face thickens
// from Thin to Black. Weights between the named ones are interpolated.
qreal weightFactor(QFont::Weight weight)
{
    static constexpr std::array<std::pair<int, qreal>, 9> factors{{{100, 0.45}, {200, 0.6},
        {300, 0.8}, {400, 1.0}, {500, 1.15}, {600, 1.32}, {700, 1.5}, {800, 1.7}, {900, 1.9}}};
    const int w = qBound(100, int(weight), 900);
    for (std::size_t i = 1; i < factors.size(); ++i) {
        if (w <= factors[i].first) {
            const auto [w0, f0] = factors[i - 1];
            const auto [w1, f1] = factors[i];
            return f0 + (f1 - f0) * (w - w0) / (w1 - w0);
        }
    }
    return factors.back().second;
}

// The sheet for menu and panel sizes, where the glyph has too few pixels for its lines: drawn
// on whole pixels, a little larger, with one-pixel lines in the tile's own colour.
void drawSmallSheet(QPainter &painter, const QRectF &tile, const QLinearGradient &tileColour)
{
    const qreal width = qMax(5.0, std::round(tile.width() * 0.52));
    const qreal height = qMax(7.0, std::round(tile.height() * 0.68));
    const qreal x = std::round(tile.center().x() - width / 2);
    const qreal y = std::round(tile.center().y() - height / 2);
    const qreal fold = std::round(width * 0.35);
    const QPointF sheet[] = {{x, y}, {x + width - fold, y}, {x + width, y + fold},
        {x + width, y + height}, {x, y + height}};
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPolygon(sheet, 5);

    const qreal spacing = qMax(2.0, std::round(tile.height() / 8));
    int lines = 0;
    for (qreal row = y + fold + 1; row < y + height - 1 && lines < 3; row += spacing, ++lines) {
        const qreal end = lines == 2 ? x + width * 0.6 : x + width - 1;
        painter.fillRect(QRectF(x + 1, row, std::round(end - x - 1), 1), tileColour);
    }
}

} // namespace

namespace Symbols {

bool exists(const QString &name)
{
    return glyphNamed(name) != Glyph::Unknown;
}

QImage image(const QString &name, qreal pointSize, QFont::Weight weight, const QColor &color,
    qreal devicePixelRatio)
{
    const Glyph glyph = glyphNamed(name);
    if (glyph == Glyph::Unknown || !(pointSize > 0) || !(devicePixelRatio > 0))
        return {};

    GlyphDrawing::Canvas canvas;
    canvas.side = qMax(1, qRound(pointSize * devicePixelRatio));
    canvas.thickness = weightFactor(weight) / 14;
    canvas.stroke = qMax(1.0, std::round(canvas.side * canvas.thickness));
    canvas.regular = qMax(1.0, std::round(canvas.side / 14));

    const int side = int(canvas.side);
    QImage result(side, side, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);

    // Drawn opaque, then faded as a whole, so that overlapping strokes do not add up.
    QColor ink = color.toRgb();
    const float alpha = ink.alphaF();
    ink.setAlphaF(1.0f);
    {
        QPainter painter(&result);
        painter.setRenderHint(QPainter::Antialiasing);
        switch (glyph) {
        case Glyph::Document:
            GlyphDrawing::document(painter, canvas, ink, false);
            break;
        case Glyph::FilledDocument:
            GlyphDrawing::document(painter, canvas, ink, true);
            break;
        case Glyph::Gear:
            GlyphDrawing::gear(painter, canvas, ink);
            break;
        case Glyph::ChevronLeft:
            GlyphDrawing::chevronLeft(painter, canvas, ink);
            break;
        case Glyph::Unknown:
            break;
        }
        if (alpha < 1.0f) {
            painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            painter.fillRect(result.rect(), QColor::fromRgbF(0, 0, 0, alpha));
        }
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

QIcon icon(const QString &name, qreal pointSize, QFont::Weight weight, const QColor &color)
{
    if (!exists(name))
        return {};
    QIcon result;
    for (const qreal ratio : {1.0, 2.0}) {
        const QImage glyph = image(name, pointSize, weight, color, ratio);
        if (glyph.isNull())
            return {};
        result.addPixmap(QPixmap::fromImage(glyph));
    }
    return result;
}

QImage applicationIconImage(int pixelSize)
{
    if (pixelSize <= 0)
        return {};
    QImage result(pixelSize, pixelSize, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);

    // The tile leaves a small margin, as desktop icons do, and sits on whole pixels.
    const qreal margin = std::round(pixelSize / 16.0);
    const QRectF tile(margin, margin, pixelSize - 2 * margin, pixelSize - 2 * margin);
    const qreal radius = tile.width() * 0.225;

    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(tile.topLeft(), tile.bottomLeft());
    gradient.setColorAt(0, QColor::fromRgbF(0.58f, 0.639f, 0.722f));
    gradient.setColorAt(1, QColor::fromRgbF(0.278f, 0.333f, 0.412f));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, radius, radius);

    if (pixelSize < 32) {
        drawSmallSheet(painter, tile, gradient);
        return result;
    }
    const QImage glyph = image(
        QStringLiteral("doc.plaintext.fill"), tile.width() * 0.55, QFont::DemiBold, Qt::white);
    if (!glyph.isNull()) {
        // Whole-pixel placement keeps the glyph's aligned edges sharp.
        const QPoint topLeft(int(std::floor(tile.center().x() - glyph.width() / 2.0)),
            int(std::floor(tile.center().y() - glyph.height() / 2.0)));
        painter.drawImage(topLeft, glyph);
    }
    return result;
}

QIcon applicationIcon()
{
    QIcon result;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        result.addPixmap(QPixmap::fromImage(applicationIconImage(size)));
    return result;
}

} // namespace Symbols
