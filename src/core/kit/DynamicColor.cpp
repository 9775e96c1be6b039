#include "kit/DynamicColor.h"

#include <cmath>

namespace {

// Relative luminance of an sRGB colour: how light it looks, whatever its hue.
qreal luminance(const QColor &color)
{
    const QColor rgb = color.toRgb();
    const auto linear
        = [](float c) { return c <= 0.04045f ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF())
        + 0.0722 * linear(rgb.blueF());
}

} // namespace

DynamicColor DynamicColor::fixed(const QColor &color)
{
    DynamicColor result;
    result.m_kind = Kind::Fixed;
    result.m_light = color;
    result.m_dark = color;
    return result;
}

DynamicColor DynamicColor::lightDark(const QColor &light, const QColor &dark)
{
    DynamicColor result;
    result.m_kind = Kind::LightDark;
    result.m_light = light;
    result.m_dark = dark;
    return result;
}

DynamicColor DynamicColor::text(qreal alpha)
{
    DynamicColor result;
    result.m_kind = Kind::Text;
    result.m_alpha = qBound(0.0, alpha, 1.0);
    return result;
}

QColor DynamicColor::resolve(const QPalette &palette) const
{
    switch (m_kind) {
    case Kind::Fixed:
        return m_light;
    case Kind::LightDark:
        return isDarkPalette(palette) ? m_dark : m_light;
    case Kind::Text: {
        QColor color = palette.color(QPalette::WindowText);
        color.setAlphaF(float(m_alpha));
        return color;
    }
    }
    return m_light;
}

bool isDarkPalette(const QPalette &palette)
{
    const QColor window = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    // Without both colours there is no telling; light is the safe guess.
    if (!window.isValid() || !text.isValid())
        return false;
    return luminance(window) < luminance(text);
}
