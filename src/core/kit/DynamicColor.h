#pragma once

#include <QColor>
#include <QPalette>

// A colour that is resolved against the palette being painted, so that it follows the
// desktop's light or dark look without being fetched again.
class DynamicColor
{
public:
    // The same colour in every palette.
    static DynamicColor fixed(const QColor &color);
    // One colour for light palettes, another for dark ones.
    static DynamicColor lightDark(const QColor &light, const QColor &dark);
    // The palette's text colour (WindowText) at the given alpha: 1.0 for labels, 0.5 for
    // secondary labels, 0.26 for tertiary ones.
    static DynamicColor text(qreal alpha);

    QColor resolve(const QPalette &palette) const;
    bool operator==(const DynamicColor &other) const = default;

private:
    enum class Kind { Fixed, LightDark, Text };
    Kind m_kind = Kind::Fixed;
    QColor m_light;
    QColor m_dark;
    qreal m_alpha = 1.0;
};

// A palette is dark when its window colour is darker than its text colour.
bool isDarkPalette(const QPalette &palette);
