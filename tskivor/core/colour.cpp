#include "colour.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace tskivor {

namespace {
constexpr double kPi = 3.14159265358;
int trunc(double v) { return static_cast<int>(v); }
}  // namespace


// Both conversions work on whole numbers over a common denominator, so that
// truncation is exact: in floating point, m + c can land a hair below v.
Rgb hsbToRgb(Hsb in) {
    constexpr long kD = 255 * 60;  // c = s*v/255 and the sector fraction h/60
    const long h = in.hue, v = in.brightness, sv = static_cast<long>(in.saturation) * v;
    const long m = v * kD - sv * 60;  // (v - c) * kD
    auto part = [&](long degrees) { return static_cast<int>((m + sv * degrees) / kD); };
    const int low = static_cast<int>(m / kD), top = static_cast<int>(v);
    if (h <= 60) return {top, part(h), low};
    if (h > 300) return {top, low, part(360 - h)};
    if (h < 120) return {part(120 - h), top, low};
    if (h < 180) return {low, top, part(h - 120)};
    if (h < 240) return {low, part(240 - h), top};
    return {part(h - 240), low, top};
}

Hsb rgbToHsb(Rgb in) {
    const int max = std::max({in.red, in.green, in.blue});
    const int min = std::min({in.red, in.green, in.blue});
    const int delta = max - min;
    Hsb out{0, 0, max};
    if (delta == 0) return out;
    out.saturation = delta * 255 / max;
    // hue * delta, as hue = 60 * h'
    long num = 0;
    if (max == in.red) {
        num = 60L * (in.green - in.blue);
    } else if (max == in.green) {
        num = 60L * (in.blue - in.red) + 120L * delta;
    } else {
        num = 60L * (in.red - in.green) + 240L * delta;
    }
    if (num < 0) num += 360L * delta;
    out.hue = static_cast<int>(num / delta);
    if (out.hue == 360) out.hue = 0;
    return out;
}

QString colourText(std::uint32_t rgb) {
    return QStringLiteral("%1").arg(rgb & 0xFFFFFF, 6, 16, QLatin1Char('0')).toUpper();
}

std::optional<std::uint32_t> parseColourText(const QString& text) {
    // Up to six digits, the missing ones leading zeros: "12" is 000012.
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{1,6}$"));
    if (!hexDigits.match(text).hasMatch()) return std::nullopt;
    return text.toUInt(nullptr, 16);
}

int clampComponent(int v) { return std::clamp(v, 0, 255); }
int clampHue(int v) { return std::clamp(v, 0, 359); }

namespace picker {

QPoint wheelPoint(int hue, int saturation) {
    const double r = saturation * 100.0 / 255.0;
    const double a = hue * kPi / 180.0;
    return {kWheelCentre.x() + trunc(std::cos(a) * r), kWheelCentre.y() - trunc(std::sin(a) * r)};
}

bool onWheel(QPoint p) {
    const QPoint d = p - kWheelCentre;
    return std::hypot(d.x(), d.y()) <= kWheelRadius;
}

Hsb hueSaturationAt(QPoint p, int brightness) {
    const double dx = p.x() - kWheelCentre.x(), dy = kWheelCentre.y() - p.y();
    const double distance = std::hypot(dx, dy);
    int hue = (dx == 0 && dy == 0) ? 0 : trunc(std::atan2(dy, dx) * 180.0 / kPi);
    if (hue < 0) hue += 360;
    if (hue >= 360) hue = 0;
    return Hsb{hue, std::min(255, trunc(distance * 255.0 / 100.0)), brightness};
}

int brightnessAt(int y, int top, int height) {
    if (height <= 0) return 0;
    return std::clamp((top + height - y) * 255 / height, 0, 255);
}

QPoint axisEnd(Axis a) { return a == Axis::Red ? kRedEnd : a == Axis::Green ? kGreenEnd : kBlueEnd; }

double axisLength(Axis a) {
    const QPoint d = axisEnd(a) - kCubeOrigin;
    return std::hypot(d.x(), d.y());
}

QPoint axisPoint(Axis a, int value) {
    const QPoint d = axisEnd(a) - kCubeOrigin;
    const double f = value / 255.0;
    return kCubeOrigin + QPoint(static_cast<int>(std::lround(d.x() * f)), static_cast<int>(std::lround(d.y() * f)));
}

int axisValueAt(Axis a, QPoint pointer, QPoint marker) {
    double distance = 0;
    if (a == Axis::Red) {
        const int y = std::min(pointer.y(), kCubeOrigin.y());  // not below the origin
        distance = kCubeOrigin.y() - y;
    } else {
        int x = pointer.x();
        if (a == Axis::Green) x = std::min(x, kCubeOrigin.x());  // not right of the origin
        if (a == Axis::Blue) x = std::max(x, kCubeOrigin.x());   // not left of it
        distance = std::hypot(x - kCubeOrigin.x(), marker.y() - kCubeOrigin.y());
    }
    const double length = axisLength(a);
    distance = std::min(distance, length);
    return trunc(distance / length * 255);
}

}  // namespace picker
}  // namespace tskivor
