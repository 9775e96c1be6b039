#include "kit/RoundTavoButton.h"

#include "kit/Palette.h"
#include "kit/Symbols.h"

#include <QCache>
#include <QHashFunctions>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr qreal discInset = 6.0;
constexpr qreal shadowBlurRadius = 10.0;
constexpr qreal shadowOffsetY = 3.0; // downwards: the light comes from above
constexpr qreal shadowAlphaOn = 0.30;
constexpr qreal shadowAlphaOff = 0.18;
constexpr qreal offFillAlpha = 0.55;
constexpr qreal pressedAlpha = 0.15;
constexpr qreal glyphScale = 0.34;

QColor gradientTop()
{
    return QColor::fromRgbF(0.58f, 0.639f, 0.722f);
}
QColor gradientBottom()
{
    return QColor::fromRgbF(0.278f, 0.333f, 0.412f);
}

// One pass of a separable gaussian blur over an 8-bit coverage buffer, along x or y.
void blurPass(const std::vector<float> &in, std::vector<float> &out, int width, int height,
    const std::vector<float> &kernel, bool horizontal)
{
    const int half = int(kernel.size() / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float sum = 0;
            for (int k = -half; k <= half; ++k) {
                const int sx = horizontal ? x + k : x;
                const int sy = horizontal ? y : y + k;
                if (sx < 0 || sy < 0 || sx >= width || sy >= height)
                    continue;
                sum += in[size_t(sy) * width + sx] * kernel[size_t(k + half)];
            }
            out[size_t(y) * width + x] = sum;
        }
    }
}

struct ShadowKey
{
    qreal diameter;
    qreal devicePixelRatio;
    bool active;
    bool operator==(const ShadowKey &) const = default;
};

size_t qHash(const ShadowKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.diameter, key.devicePixelRatio, key.active);
}

struct Shadow
{
    QImage image;
    // Where the disc's bounding square starts inside the image, in device-independent pixels.
    qreal margin = 0;
};

// The blurred disc, black at the shadow's alpha, with room around it for the blur to fade
// out. Made once per size, state and pixel ratio: the blur is the only costly part of a paint.
const Shadow &shadowFor(qreal diameter, bool active, qreal dpr)
{
    // A few sizes at most are ever alive (one control, two states, one or two screens).
    static QCache<ShadowKey, Shadow> cache(8);
    const ShadowKey key{diameter, dpr, active};
    if (const Shadow *cached = cache.object(key))
        return *cached;

    // The blur radius is read the way desktop toolkits do: a gaussian of sigma radius / 2,
    // which fades out within three sigmas.
    const qreal sigma = shadowBlurRadius / 2.0 * dpr;
    const int half = int(std::ceil(3.0 * sigma));
    std::vector<float> kernel(size_t(2 * half + 1));
    float total = 0;
    for (int i = -half; i <= half; ++i) {
        const float w = float(std::exp(-(i * i) / (2.0 * sigma * sigma)));
        kernel[size_t(i + half)] = w;
        total += w;
    }
    for (float &w : kernel)
        w /= total;

    const qreal deviceDiameter = diameter * dpr;
    const int side = int(std::ceil(deviceDiameter)) + 2 * half;
    QImage mask(side, side, QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawEllipse(QRectF(half, half, deviceDiameter, deviceDiameter));
    }

    std::vector<float> coverage(size_t(side) * side);
    for (int y = 0; y < side; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(mask.constScanLine(y));
        for (int x = 0; x < side; ++x)
            coverage[size_t(y) * side + x] = float(qAlpha(line[x]));
    }
    std::vector<float> pass(coverage.size());
    blurPass(coverage, pass, side, side, kernel, true);
    blurPass(pass, coverage, side, side, kernel, false);

    const float alpha = float(active ? shadowAlphaOn : shadowAlphaOff);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < side; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < side; ++x) {
            const int a
                = std::clamp(int(std::lround(coverage[size_t(y) * side + x] * alpha)), 0, 255);
            line[x] = qRgba(0, 0, 0, a); // black: premultiplied and straight agree
        }
    }
    image.setDevicePixelRatio(dpr);

    auto *shadow = new Shadow{image, half / dpr};
    cache.insert(key, shadow);
    return *shadow;
}

// The pixel ratio of what is really painted on: the screen's backing store, or the image
// handed to render(), which may be sharper than the screen the widget sits on.
qreal targetPixelRatio(const QPainter &painter, const QWidget &widget)
{
    if (const QPaintEngine *engine = painter.paintEngine()) {
        if (const QPaintDevice *device = engine->paintDevice())
            return std::max(device->devicePixelRatioF(), widget.devicePixelRatioF());
    }
    return widget.devicePixelRatioF();
}

// Snaps a device-independent coordinate to the device pixel grid, so images drawn 1:1 stay
// sharp.
qreal snapped(qreal value, qreal dpr)
{
    return std::round(value * dpr) / dpr;
}

} // namespace

RoundTavoButton::RoundTavoButton(QWidget *parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void RoundTavoButton::setActiveState(bool active)
{
    m_activeState = active;
    update();
}

QRectF RoundTavoButton::circleRect() const
{
    const QRectF bounds(rect());
    const qreal side = std::min(bounds.width(), bounds.height());
    QRectF square(0, 0, side, side);
    square.moveCenter(bounds.center());
    return square.adjusted(discInset, discInset, -discInset, -discInset);
}

void RoundTavoButton::paintEvent(QPaintEvent *)
{
    const QRectF disc = circleRect();
    if (disc.width() <= 0 || disc.height() <= 0)
        return;
    const qreal side = disc.width() + 2 * discInset;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const qreal dpr = targetPixelRatio(painter, *this);

    QPainterPath path;
    path.addEllipse(disc);

    const Shadow &shadow = shadowFor(disc.width(), m_activeState, dpr);
    const QPointF shadowOrigin(
        disc.left() - shadow.margin, disc.top() - shadow.margin + shadowOffsetY);
    painter.drawImage(
        QPointF(snapped(shadowOrigin.x(), dpr), snapped(shadowOrigin.y(), dpr)), shadow.image);

    if (m_activeState) {
        QLinearGradient gradient(disc.center().x(), disc.top(), disc.center().x(), disc.bottom());
        gradient.setColorAt(0, gradientTop());
        gradient.setColorAt(1, gradientBottom());
        painter.fillPath(path, gradient);
    } else {
        QColor grey = systemGrayColor();
        grey.setAlphaF(offFillAlpha);
        painter.fillPath(path, grey);
    }

    if (m_pressed)
        painter.fillPath(path, QColor::fromRgbF(0, 0, 0, pressedAlpha));

    const QImage glyph = Symbols::image(
        m_activeState ? QStringLiteral("doc.plaintext.fill") : QStringLiteral("doc.plaintext"),
        side * glyphScale, QFont::DemiBold, Qt::white, dpr);
    if (!glyph.isNull()) {
        // Sized from the ratio asked for, so the glyph lands 1:1 on device pixels.
        const QSizeF size = QSizeF(glyph.size()) / dpr;
        const QPointF topLeft(snapped(disc.center().x() - size.width() / 2, dpr),
            snapped(disc.center().y() - size.height() / 2, dpr));
        painter.drawImage(QRectF(topLeft, size), glyph);
    }
}

void RoundTavoButton::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !isEnabled()) {
        event->ignore();
        return;
    }
    m_pressed = true;
    update();
}

void RoundTavoButton::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || !isEnabled()) {
        event->ignore();
        return;
    }
    // The whole rectangle counts, like the click itself, not only the disc.
    const bool inside = rect().contains(event->position().toPoint());
    if (inside != m_pressed) {
        m_pressed = inside;
        update();
    }
}

void RoundTavoButton::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_pressed = false;
    update();
    if (isEnabled() && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}
