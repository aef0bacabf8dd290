// Writes sample photos for the demo, the tests and the benchmarks:
//   make_pictures DIR COUNT WIDTH HEIGHT [PREFIX]
#include <vips/vips8>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: make_pictures DIR COUNT WIDTH HEIGHT [PREFIX]\n");
        return 2;
    }
    if (VIPS_INIT(argv[0])) return 1;
    const std::string dir = argv[1];
    const int count = std::atoi(argv[2]), width = std::atoi(argv[3]), height = std::atoi(argv[4]);
    const std::string prefix = argc > 5 ? argv[5] : "photo";
    for (int i = 0; i < count; ++i) {
        // A colour gradient with noise, different for every picture, so that
        // JPEG sizes and thumbnails look like photos rather than flat fields.
        vips::VImage xy = vips::VImage::xyz(width, height);
        vips::VImage r = (xy[0] * (255.0 / width) + 40.0 * i) % 256;
        vips::VImage g = (xy[1] * (255.0 / height) + 70.0 * i) % 256;
        vips::VImage b = vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("mean", 128.0)->set("sigma", 40.0));
        vips::VImage img = r.bandjoin({g, b}).cast(VIPS_FORMAT_UCHAR).copy(
            vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        char name[512];
        std::snprintf(name, sizeof name, "%s/%s%02d.jpg", dir.c_str(), prefix.c_str(), i + 1);
        img.jpegsave(name, vips::VImage::option()->set("Q", 85));
    }
    vips_shutdown();
    return 0;
}
