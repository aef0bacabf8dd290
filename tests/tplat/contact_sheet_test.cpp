// Real sheets from libtplat.so, judged by their pixels.
#include <dlfcn.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tplat.h"

using testing_support::TempDir;

namespace {

using CreateFn = decltype(&createContactSheets);

CreateFn loadSheets() {
    static void* handle = dlopen(TPLAT_SO, RTLD_NOW);
    return handle ? reinterpret_cast<CreateFn>(dlsym(handle, "createContactSheets")) : nullptr;
}

void grey(const std::string& path, int width, int height) {
    vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3))
        .new_from_image(std::vector<double>{128, 128, 128})
        .cast(VIPS_FORMAT_UCHAR)
        .jpegsave(path.c_str());
}

// Pixels of a region where red is strong and green weak: the ink of a red font.
int redPixels(const vips::VImage& sheet, int left, int top, int width, int height) {
    const vips::VImage area = sheet.crop(left, top, width, height);
    const vips::VImage red = (area[0] > 100) & (area[1] < 80);
    return static_cast<int>(red.avg() / 255.0 * width * height);
}

}  // namespace

TEST(ContactSheets, TextIsInkedCaptionsSurviveOddNamesAndThumbnailsKeepTheirShape) {
    ASSERT_EQ(VIPS_INIT("tplat-test"), 0);
    const CreateFn create = loadSheets();
    ASSERT_NE(create, nullptr);
    TempDir dir;
    grey("wide.jpg", 800, 200);  // 4:1
    grey("caf\xe9.jpg", 300, 300);  // not UTF-8: must not cost the folder its sheet
    const RGBQUAD black{0, 0, 0, 0}, red{0, 0, 255, 0};
    const std::deque<std::string> sources{dir / "wide.jpg", dir / "caf\xe9.jpg"};
    std::deque<std::string> created;
    create("Banner", "beach\\day one", nullptr, nullptr, &black, &red, &sources, &created);
    ASSERT_EQ(created.size(), 1u);
    const vips::VImage sheet = vips::VImage::new_from_file(created[0].c_str()).copy_memory();
    ASSERT_EQ(sheet.width(), 1024);
    // The banner (top band) and both captions (under each thumbnail) carry
    // ink of the font colour.
    EXPECT_GT(redPixels(sheet, 0, 30, 1024, 42), 50);
    EXPECT_GT(redPixels(sheet, 0, 72 + 232 - 34, 204, 34), 30);
    EXPECT_GT(redPixels(sheet, 204, 72 + 232 - 34, 204, 34), 30);
    // The wide picture's thumbnail: grey pixels four times as wide as high.
    const vips::VImage cell = sheet.crop(0, 72, 204, 232 - 34);
    const vips::VImage isGrey = (cell[0] > 100) & (cell[0] < 160) & (cell[1] > 100) & (cell[1] < 160);
    std::size_t size = 0;
    auto* mask = static_cast<unsigned char*>(isGrey.write_to_memory(&size));
    std::vector<bool> anyCol(static_cast<std::size_t>(cell.width())), anyRow(static_cast<std::size_t>(cell.height()));
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            if (mask[static_cast<std::size_t>(y) * static_cast<std::size_t>(cell.width()) + static_cast<std::size_t>(x)])
                anyCol[static_cast<std::size_t>(x)] = anyRow[static_cast<std::size_t>(y)] = true;
    g_free(mask);
    const auto w = std::count(anyCol.begin(), anyCol.end(), true);
    const auto hgt = std::count(anyRow.begin(), anyRow.end(), true);
    ASSERT_GT(hgt, 0);
    EXPECT_NEAR(static_cast<double>(w) / hgt, 4.0, 0.3);
}
