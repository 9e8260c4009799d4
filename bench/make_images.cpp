// Writes the end-to-end benchmark's input files into a folder:
//
//   photo-24mp.jpg  photo-24mp-o1.jpg  photo-24mp-o6.jpg  photo-24mp.png  photo-24mp.bmp
//   graphic-24mp.png
//   photo-2mp.jpg   ...
//
// 24 MP is 6000x4000, 2 MP 1632x1224. The JPEGs are quality 92; -o1 and -o6
// carry an EXIF Orientation of 1 and 6, the plain one none. The graphic is
// screenshot-like (flat colours, text, empty areas): PNG's other kind of
// content beside photographs.
#include <cstdio>
#include <string>
#include <vector>

#include "photo.h"
#include "stb_image_write.h"

namespace {

struct picture_size {
    const char* name;
    int width;
    int height;
};

constexpr picture_size kSizes[] = {{"24mp", 6000, 4000}, {"2mp", 1632, 1224}};

bool write_set(const std::string& folder, const picture_size& size) {
    const std::vector<uint8_t> rgba = bench::photo_like(size.width, size.height);
    const std::string stem = folder + "/photo-" + size.name;
    const std::vector<uint8_t> graphic = bench::screenshot_like(size.width, size.height);
    std::vector<uint8_t> jpeg, png, bmp, graphic_png;
    if (!stbi_write_png_to_func(bench::append_bytes, &graphic_png, size.width, size.height, 4, graphic.data(),
                                size.width * 4) ||
        !stbi_write_jpg_to_func(bench::append_bytes, &jpeg, size.width, size.height, 4, rgba.data(), 92) ||
        !stbi_write_png_to_func(bench::append_bytes, &png, size.width, size.height, 4, rgba.data(),
                                size.width * 4) ||
        !stbi_write_bmp_to_func(bench::append_bytes, &bmp, size.width, size.height, 4, rgba.data())) {
        return false;
    }
    return bench::write_whole_file((stem + ".jpg").c_str(), jpeg) &&
           bench::write_whole_file((stem + "-o1.jpg").c_str(), bench::with_orientation(jpeg, 1)) &&
           bench::write_whole_file((stem + "-o6.jpg").c_str(), bench::with_orientation(jpeg, 6)) &&
           bench::write_whole_file((stem + ".png").c_str(), png) &&
           bench::write_whole_file((stem + ".bmp").c_str(), bmp) &&
           bench::write_whole_file((folder + "/graphic-" + size.name + ".png").c_str(), graphic_png);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: veerpix_bench_images FOLDER\n");
        return 2;
    }
    for (const picture_size& size : kSizes) {
        if (!write_set(argv[1], size)) {
            std::fprintf(stderr, "veerpix_bench_images: cannot write the %s pictures into %s\n",
                         size.name, argv[1]);
            return 1;
        }
    }
    return 0;
}
