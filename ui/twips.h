#pragma once

#include <QRect>

namespace relay {

// The forms are laid out in twips, as they were first drawn; 15 twips make one
// logical pixel.
constexpr int TwipsPerPixel = 15;

constexpr int pixels_from_twips(int twips) {
    return twips / TwipsPerPixel;
}

constexpr QRect twips_rect(int left, int top, int width, int height) {
    return QRect(pixels_from_twips(left), pixels_from_twips(top), pixels_from_twips(width),
                 pixels_from_twips(height));
}

}  // namespace relay
