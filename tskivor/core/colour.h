// Colour conversions of the colour picker and the colour texts of the
// contact-sheet settings.
#pragma once

#include <QPoint>
#include <QPointF>
#include <QString>

#include <cstdint>
#include <optional>

namespace tskivor {

struct Rgb {
    int red = 0, green = 0, blue = 0;
    bool operator==(const Rgb&) const = default;
};

// Hue 0..359 degrees; saturation and brightness 0..255.
struct Hsb {
    int hue = 0, saturation = 0, brightness = 0;
    bool operator==(const Hsb&) const = default;
};

Rgb hsbToRgb(Hsb c);
Hsb rgbToHsb(Rgb c);

// "RRGGBB" in upper case.
QString colourText(std::uint32_t rgb);
// Exactly six hexadecimal digits; anything else gives none, so the caller
// keeps the colour it had.
std::optional<std::uint32_t> parseColourText(const QString& text);

// The platform colour form: red in the low byte, blue in the high one.
inline std::uint32_t platformColour(Rgb c) {
    return static_cast<std::uint32_t>(c.red) | static_cast<std::uint32_t>(c.green) << 8 |
           static_cast<std::uint32_t>(c.blue) << 16;
}
inline Rgb fromPlatformColour(std::uint32_t v) {
    return {static_cast<int>(v & 0xFF), static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v >> 16 & 0xFF)};
}
inline Rgb fromRgbValue(std::uint32_t v) {
    return {static_cast<int>(v >> 16 & 0xFF), static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v & 0xFF)};
}

// Field clamping of the picker: components 0..255, hue 0..359.
int clampComponent(int v);
int clampHue(int v);

// Geometry of the picker's wheel and cube, relative to where each image is
// drawn.
namespace picker {
inline constexpr int kWheelWidth = 202, kWheelHeight = 201;
inline constexpr int kCubeSize = 190;
inline constexpr QPoint kWheelCentre{100, 100};
inline constexpr int kWheelRadius = 100;
inline constexpr QPoint kCubeOrigin{102, 108};
inline constexpr QPoint kRedEnd{102, 9}, kGreenEnd{23, 147}, kBlueEnd{181, 147};

// Cross-hair point for a hue and saturation.
QPoint wheelPoint(int hue, int saturation);
// Whether a point (relative to the wheel image) lies on the wheel.
bool onWheel(QPoint p);
// Hue and saturation at a point (relative to the wheel image); saturation
// is capped at 255 for points beyond the rim, as when dragging.
Hsb hueSaturationAt(QPoint p, int brightness);
// Brightness for a pointer height on a bar from `top` of `height` pixels.
int brightnessAt(int y, int top, int height);

enum class Axis { Red, Green, Blue };
double axisLength(Axis a);
QPoint axisEnd(Axis a);
// Marker point for a component value on its axis.
QPoint axisPoint(Axis a, int value);
// The component for a pointer dragged along an axis (limits as the cube
// allows), given the marker's current point.
int axisValueAt(Axis a, QPoint pointer, QPoint marker);
}  // namespace picker

}  // namespace tskivor
