// The library's JPEG, PNG and BMP writers against stb_image_write on small
// rasters the fuzzer picks: the first two bytes are the width and height
// (1 to 64 each), the third the JPEG quality as a signed byte (so 0,
// negative numbers and those past 100 too, which both writers read alike),
// the fourth the whole-pixel transform (modulo 8) that our writers read
// the raster through and that stb gets made whole, the rest the RGBA
// pixels, repeated to fill the raster. Any difference in the written
// bytes is a failure.
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/bmp_writer.h"
#include "formats/jpeg_writer.h"
#include "formats/png_writer.h"
#include "stb_image_write.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void append(void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(context);
    bytes->insert(bytes->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

void require_same(const malloc_ptr<uint8_t>& ours, uint64_t length, const std::vector<uint8_t>& reference) {
    require(ours != nullptr && length == reference.size());
    require(std::memcmp(ours.get(), reference.data(), reference.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int width = data[0] % 64 + 1;
    const int height = data[1] % 64 + 1;
    const int quality = static_cast<int8_t>(data[2]);
    const auto transform = static_cast<Transform>(data[3] % kTransformCount);
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = data[4 + i % (size - 4)];
    const pix_view view = pix_view_of(pix_image{width, height, rgba.data()}, transform);
    pix_image moved{};
    require(pix_transform(&view.source, transform, &moved) == 1);
    const pixel_owner moved_pixels(moved.pixels);

    std::vector<uint8_t> reference;
    require(stbi_write_jpg_to_func(append, &reference, moved.width, moved.height, 4, moved.pixels, quality) == 1);
    uint64_t length = 0;
    require_same(write_jpeg_to_memory(view, &length, quality), length, reference);

    reference.clear();
    require(stbi_write_png_to_func(append, &reference, moved.width, moved.height, 4, moved.pixels,
                                   moved.width * 4) == 1);
    require_same(write_png_to_memory(view, &length), length, reference);

    reference.clear();
    require(stbi_write_bmp_to_func(append, &reference, moved.width, moved.height, 4, moved.pixels) == 1);
    require_same(write_bmp_to_memory(view, &length), length, reference);
    return 0;
}
