#pragma once

#include <QPalette>

// A dark desktop palette, as the screenshots of every window are drawn in.
inline QPalette darkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 42));
    dark.setColor(QPalette::WindowText, QColor(236, 236, 236));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(236, 236, 236));
    dark.setColor(QPalette::Button, QColor(55, 55, 58));
    dark.setColor(QPalette::ButtonText, QColor(236, 236, 236));
    dark.setColor(QPalette::PlaceholderText, QColor(236, 236, 236, 110));
    return dark;
}
