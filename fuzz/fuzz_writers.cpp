// The library's JPEG and PNG writers against stb_image_write on small
// rasters the fuzzer picks: the first two bytes are the width and height
// (1 to 64 each), the rest the RGBA pixels, repeated to fill the raster.
// Any difference in the written bytes is a failure.
#include <cstdint>
#include <cstring>
#include <vector>

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
    if (size < 3) return 0;
    const int width = data[0] % 64 + 1;
    const int height = data[1] % 64 + 1;
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = data[2 + i % (size - 2)];
    const pix_image raster{width, height, rgba.data()};

    std::vector<uint8_t> reference;
    require(stbi_write_jpg_to_func(append, &reference, width, height, 4, rgba.data(), 92) == 1);
    uint64_t length = 0;
    require_same(write_jpeg_to_memory(raster, &length, 92), length, reference);

    reference.clear();
    require(stbi_write_png_to_func(append, &reference, width, height, 4, rgba.data(), width * 4) == 1);
    require_same(write_png_to_memory(raster, &length), length, reference);
    return 0;
}
