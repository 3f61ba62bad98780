#pragma once

#include <QColor>
#include <cstdint>

// Colours are given in the 0x00BBGGRR layout (red in the lowest byte): 0x0000FF
// is red, 0x0080FF orange, 0x800000 dark blue. QColor(uint) would read the same
// number as 0xRRGGBB, so every such number goes through this conversion.
using ColourRef = uint32_t;

inline QColor ColourFromRef(ColourRef colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

constexpr ColourRef kColourBlack = 0x000000;
constexpr ColourRef kColourGreen = 0x00FF00;
constexpr ColourRef kColourDarkGreen = 0x008000;
constexpr ColourRef kColourRed = 0x0000FF;
constexpr ColourRef kColourOrange = 0x0080FF;
constexpr ColourRef kColourDarkBlue = 0x800000;
