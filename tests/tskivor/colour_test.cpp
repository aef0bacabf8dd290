#include "colour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace tskivor;

TEST(Colour, ConversionsAtKnownColours) {
    EXPECT_EQ(rgbToHsb({255, 0, 0}), (Hsb{0, 255, 255}));
    EXPECT_EQ(hsbToRgb({0, 255, 255}), (Rgb{255, 0, 0}));
    EXPECT_EQ(rgbToHsb({128, 128, 128}), (Hsb{0, 0, 128}));
    // Grey stays grey whatever the hue.
    for (int h : {1, 90, 200, 359}) EXPECT_EQ(hsbToRgb({h, 0, 128}), (Rgb{128, 128, 128})) << h;
    EXPECT_EQ(rgbToHsb({0, 255, 0}), (Hsb{120, 255, 255}));
    EXPECT_EQ(rgbToHsb({0, 0, 255}), (Hsb{240, 255, 255}));
    EXPECT_EQ(hsbToRgb({240, 255, 255}), (Rgb{0, 0, 255}));
    EXPECT_EQ(rgbToHsb({255, 0, 1}).hue, 359);  // just below 360, never 360
    EXPECT_EQ(rgbToHsb({0, 0, 0}), (Hsb{0, 0, 0}));
}

// Round trip RGB -> HSB -> RGB over a sweep. The bound, worked out:
// - brightness is the maximum, exact, so the largest component comes back
//   exactly;
// - saturation is truncated, s in (S-1, S] with S = 255*delta/max, so the
//   chroma c = s*v/255 lies in (delta - 1, delta]; the minimum m = v - c then
//   lies in [min, min + 1) and truncates back to min exactly;
// - the middle component is m + c*f (or v - c*(1-f)) with f the hue's place in
//   its 60-degree sector. The whole-degree hue is off by less than one
//   degree, f by less than 1/60, so that term by less than c/60 <= delta/60;
//   the chroma error adds less than 1 and the final truncation less than 1.
//   So |middle error| < delta/60 + 2.
TEST(Colour, RoundTripStaysWithinTheTruncationBound) {
    int worstMiddle = 0;
    for (int r = 0; r < 256; r += 3) {
        for (int g = 0; g < 256; g += 5) {
            for (int b = 0; b < 256; b += 7) {
                const Rgb in{r, g, b};
                const Rgb out = hsbToRgb(rgbToHsb(in));
                const int c[3] = {r, g, b}, o[3] = {out.red, out.green, out.blue};
                const int max = std::max({r, g, b}), min = std::min({r, g, b});
                for (int i = 0; i < 3; ++i) {
                    if (c[i] == max) {
                        ASSERT_EQ(o[i], c[i]) << r << "," << g << "," << b;
                    } else if (c[i] == min) {
                        ASSERT_EQ(o[i], c[i]) << r << "," << g << "," << b;
                    } else {
                        const int err = std::abs(o[i] - c[i]);
                        ASSERT_LT(err, (max - min) / 60.0 + 2) << r << "," << g << "," << b;
                        worstMiddle = std::max(worstMiddle, err);
                    }
                }
            }
        }
    }
    EXPECT_LE(worstMiddle, 6);  // delta <= 255 gives < 6.25
}

TEST(Colour, TextsClampingAndPlatformForm) {
    EXPECT_EQ(colourText(0xFF8000), QStringLiteral("FF8000"));
    EXPECT_EQ(colourText(0), QStringLiteral("000000"));
    EXPECT_EQ(parseColourText(QStringLiteral("ff8000")), 0xFF8000u);
    // Fewer than six digits lead with zeros.
    EXPECT_EQ(parseColourText(QStringLiteral("12")), 0x000012u);
    EXPECT_EQ(parseColourText(QStringLiteral("FF800")), 0x0FF800u);
    for (const char* bad : {"", "#FF8000", "FF80000", "GG0000", "ff 800"})
        EXPECT_FALSE(parseColourText(QString::fromLatin1(bad))) << bad;
    EXPECT_EQ(platformColour({255, 128, 0}), 0x0080FFu);
    EXPECT_EQ(fromPlatformColour(0x0080FF), (Rgb{255, 128, 0}));
    EXPECT_EQ(fromRgbValue(0xFF8000), (Rgb{255, 128, 0}));
    EXPECT_EQ(clampComponent(300), 255);
    EXPECT_EQ(clampComponent(256), 255);
    EXPECT_EQ(clampComponent(-4), 0);
    EXPECT_EQ(clampHue(400), 359);
    EXPECT_EQ(clampHue(360), 359);
    EXPECT_EQ(clampHue(-1), 0);
}

TEST(Colour, WheelAndCubeGeometry) {
    using namespace picker;
    EXPECT_EQ(wheelPoint(0, 255), QPoint(200, 100));
    EXPECT_EQ(wheelPoint(90, 255), QPoint(100, 0));
    EXPECT_EQ(wheelPoint(123, 0), kWheelCentre);
    EXPECT_EQ(hueSaturationAt(kWheelCentre, 77), (Hsb{0, 0, 77}));
    EXPECT_EQ(hueSaturationAt(QPoint(100, 0), 1), (Hsb{90, 255, 1}));
    EXPECT_EQ(hueSaturationAt(QPoint(150, 100), 1), (Hsb{0, 127, 1}));
    EXPECT_EQ(hueSaturationAt(QPoint(100, 150), 1).hue, 270);
    EXPECT_TRUE(onWheel(QPoint(0, 100)));
    EXPECT_FALSE(onWheel(QPoint(0, 0)));
    EXPECT_EQ(hueSaturationAt(QPoint(400, 100), 1).saturation, 255) << "dragging beyond the rim";

    EXPECT_EQ(brightnessAt(0, 0, 201), 255);
    EXPECT_EQ(brightnessAt(201, 0, 201), 0);
    EXPECT_EQ(brightnessAt(-50, 0, 201), 255);
    EXPECT_EQ(brightnessAt(500, 0, 201), 0);

    EXPECT_EQ(axisPoint(Axis::Red, 255), kRedEnd);
    EXPECT_EQ(axisPoint(Axis::Green, 0), kCubeOrigin);
    EXPECT_EQ(axisPoint(Axis::Blue, 255), kBlueEnd);
    EXPECT_DOUBLE_EQ(axisLength(Axis::Red), 99.0);
    // Red: the height above the origin, never below it.
    EXPECT_EQ(axisValueAt(Axis::Red, QPoint(150, 9), QPoint()), 255);
    EXPECT_EQ(axisValueAt(Axis::Red, QPoint(102, 300), QPoint()), 0);
    EXPECT_EQ(axisValueAt(Axis::Red, QPoint(102, 108 - 33), QPoint()), 85);
    // Green may not go right of the origin, blue not left of it.
    EXPECT_EQ(axisValueAt(Axis::Green, QPoint(180, 108), kCubeOrigin), 0);
    EXPECT_EQ(axisValueAt(Axis::Blue, QPoint(0, 108), kCubeOrigin), 0);
    EXPECT_EQ(axisValueAt(Axis::Blue, QPoint(400, 108), kBlueEnd), 255) << "clamped to the axis";
    EXPECT_EQ(axisValueAt(Axis::Green, kGreenEnd, kGreenEnd), 255);
}
