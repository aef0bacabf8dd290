// Contact sheets with libvips: thumbnails are shrunk on load, so a folder of
// large photos costs little time and memory.
#include <sys/stat.h>
#include <vips/vips8>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tplat.h"
#include "common/utf8.h"

namespace {

constexpr int kSheetWidth = 1024;
constexpr int kSheetHeight = 768;
constexpr int kColumns = 5;
constexpr int kRows = 3;
constexpr int kHeaderHeight = 72;  // logo (600x30) and banner
constexpr int kCaptionHeight = 34;  // two lines: the name, then size in pixels and bytes
constexpr int kCellWidth = kSheetWidth / kColumns;                        // 204
constexpr int kCellHeight = (kSheetHeight - kHeaderHeight) / kRows;       // 232
constexpr int kThumbBox = std::min(kCellWidth, kCellHeight - kCaptionHeight) - 8;

std::vector<double> rgb(const RGBQUAD* c, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    if (c) return {double(c->rgbRed), double(c->rgbGreen), double(c->rgbBlue)};
    return {double(r), double(g), double(b)};
}

// Valid UTF-8 stays; every byte that is not becomes U+FFFD, so one odd file
// name cannot cost the folder its sheet.
std::string validUtf8(const std::string& in) {
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    for (std::size_t i = 0, n = in.size(); i < n;) {
        const int len = common::utf8Length(s, i, n);
        if (len == 0 || s[i] < 0x20) {
            out += len == 0 ? "\xEF\xBF\xBD" : "?";
            ++i;
        } else {
            out.append(in, i, static_cast<std::size_t>(len));
            i += static_cast<std::size_t>(len);
        }
    }
    return out;
}

// Pango markup treats & and < as markup; captions are plain text.
std::string escapeMarkup(const std::string& raw) {
    std::string out;
    for (char c : validUtf8(raw)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

vips::VImage toRgb(vips::VImage image) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.bands() == 4) image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}));
    if (image.bands() == 1) image = image.bandjoin({image, image});
    if (image.bands() == 2) image = image.extract_band(0).bandjoin({image.extract_band(0), image.extract_band(0)});
    return image.cast(VIPS_FORMAT_UCHAR);
}

// White text on a transparent ground, coloured and laid over `base`.
vips::VImage drawText(vips::VImage base, const std::string& text, int x, int y, int width, int dpi,
                      const std::vector<double>& colour, int maxHeight = 0) {
    if (text.empty()) return base;
    vips::VImage mask = vips::VImage::text(escapeMarkup(text).c_str(), vips::VImage::option()
                                                                           ->set("width", width)
                                                                           ->set("dpi", dpi)
                                                                           ->set("font", "sans"));
    if (mask.width() > width) mask = mask.crop(0, 0, width, mask.height());
    if (maxHeight > 0 && mask.height() > maxHeight) mask = mask.crop(0, 0, mask.width(), maxHeight);
    vips::VImage ink = vips::VImage::black(mask.width(), mask.height()).new_from_image(colour);
    vips::VImage region = base.crop(x, y, std::min(mask.width(), base.width() - x), std::min(mask.height(), base.height() - y));
    mask = mask.crop(0, 0, region.width(), region.height());
    ink = ink.crop(0, 0, region.width(), region.height());
    // In blend mode the condition is the ink's weight from 0 to 255.
    vips::VImage blended = mask.ifthenelse(ink, region, vips::VImage::option()->set("blend", true));
    return base.insert(blended.cast(VIPS_FORMAT_UCHAR), x, y);
}

vips::VImage background(const char* image, const RGBQUAD* colour) {
    vips::VImage bg = vips::VImage::black(kSheetWidth, kSheetHeight, vips::VImage::option()->set("bands", 3))
                          .new_from_image(rgb(colour, 255, 255, 255))
                          .cast(VIPS_FORMAT_UCHAR);
    if (image) {
        try {
            // Scaled to cover the sheet, then cropped from the middle.
            vips::VImage pic = toRgb(vips::VImage::thumbnail(image, kSheetWidth, vips::VImage::option()
                                                                                    ->set("height", kSheetHeight)
                                                                                    ->set("crop", VIPS_INTERESTING_CENTRE)
                                                                                    ->set("size", VIPS_SIZE_FORCE)));
            bg = pic.copy_memory();
        } catch (const vips::VError& e) {
            std::printf("  Contact sheet background %s is not an image; using the colour.\n", image);
        }
    }
    return bg;
}

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// "4000x3000  2.1 MB"
std::string sizeText(int width, int height, unsigned long long bytes) {
    char text[96];
    if (bytes >= 1024ull * 1024)
        std::snprintf(text, sizeof text, "%dx%d  %.1f MB", width, height, bytes / 1048576.0);
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%dx%d  %llu KB", width, height, bytes / 1024);
    else
        std::snprintf(text, sizeof text, "%dx%d  %llu bytes", width, height, bytes);
    return text;
}

std::string extensionOf(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

}  // namespace

extern "C" TPLAT_EXPORT void createContactSheets(const char* banner, const char* folderTitle,
                                                 const char* backgroundImage, const char* authorLogo,
                                                 const RGBQUAD* backgroundColour, const RGBQUAD* fontColour,
                                                 const std::deque<std::string>* sources,
                                                 std::deque<std::string>* created) {
    if (!sources || !created || sources->empty()) return;
    static const bool started = VIPS_INIT("tplat") == 0;
    if (!started) {
        std::printf("  Contact sheets: the image library could not start.\n");
        return;
    }
    const std::vector<double> ink = rgb(fontColour, 0, 0, 0);

    // Thumbnails first: sources that are no readable image are left out.
    struct Thumb {
        std::string name;
        std::string details;
        vips::VImage image;
    };
    std::vector<Thumb> thumbs;
    for (const auto& path : *sources) {
        try {
            // The box keeps the picture's aspect: the longer side fits it.
            vips::VImage t = vips::VImage::thumbnail(path.c_str(), kThumbBox,
                                                     vips::VImage::option()->set("height", kThumbBox)->set("fail_on", VIPS_FAIL_ON_ERROR));
            const vips::VImage header = vips::VImage::new_from_file(path.c_str());
            struct stat st {};
            const unsigned long long bytes = stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
            thumbs.push_back({baseName(path), sizeText(header.width(), header.height(), bytes), toRgb(t).copy_memory()});
        } catch (const vips::VError&) {
            std::printf("  Contact sheet: %s is not a readable picture, left out.\n", validUtf8(baseName(path)).c_str());
        }
    }
    if (thumbs.empty()) return;

    // The sheet takes the sources' extension so that the folder's mask
    // posts it, and a name that sorts before them.
    std::string extension = extensionOf(thumbs.front().name);
    std::string lower = extension;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool saveable = lower == ".jpg" || lower == ".jpeg" || lower == ".png" || lower == ".tif" ||
                          lower == ".tiff" || lower == ".webp" || lower == ".gif";
    if (!saveable) extension = ".jpg";

    const vips::VImage base = background(backgroundImage, backgroundColour);
    vips::VImage logo;
    bool haveLogo = false;
    if (authorLogo) {
        try {
            logo = toRgb(vips::VImage::thumbnail(authorLogo, 600, vips::VImage::option()->set("height", 30)));
            haveLogo = true;
        } catch (const vips::VError&) {
            std::printf("  Contact sheet logo %s is not an image; left out.\n", authorLogo);
        }
    }

    const std::size_t perSheet = kColumns * kRows;
    const std::size_t sheets = (thumbs.size() + perSheet - 1) / perSheet;
    for (std::size_t s = 0; s < sheets; ++s) {
        try {
            vips::VImage sheet = base;
            if (haveLogo) sheet = sheet.insert(logo, (kSheetWidth - logo.width()) / 2, 4);
            char title[512];
            const std::string folder = folderTitle && *folderTitle ? std::string("   ") + folderTitle : "";
            std::snprintf(title, sizeof title, "%s%s   (%zu/%zu)", banner ? banner : "", folder.c_str(), s + 1, sheets);
            sheet = drawText(sheet, title, 12, 40, kSheetWidth - 24, 72, ink);
            for (std::size_t k = 0; k < perSheet && s * perSheet + k < thumbs.size(); ++k) {
                const Thumb& t = thumbs[s * perSheet + k];
                const int col = static_cast<int>(k % kColumns), row = static_cast<int>(k / kColumns);
                const int cellX = col * kCellWidth, cellY = kHeaderHeight + row * kCellHeight;
                sheet = sheet.insert(t.image, cellX + (kCellWidth - t.image.width()) / 2,
                                     cellY + (kCellHeight - kCaptionHeight - t.image.height()) / 2);
                const int captionY = cellY + kCellHeight - kCaptionHeight;
                sheet = drawText(sheet, t.name, cellX + 4, captionY, kCellWidth - 8, 60, ink, kCaptionHeight / 2);
                sheet = drawText(sheet, t.details, cellX + 4, captionY + kCaptionHeight / 2, kCellWidth - 8, 60, ink,
                                 kCaptionHeight / 2);
            }
            char name[64];
            std::snprintf(name, sizeof name, "!contact-sheet-%02zu", s + 1);
            const std::string file = name + extension;
            sheet.write_to_file(file.c_str());
            created->push_back(file);
        } catch (const vips::VError& e) {
            std::printf("  Contact sheet %zu could not be written: %s\n", s + 1, e.what());
        }
    }
}
