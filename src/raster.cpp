// Raster transforms that only move whole pixels: quarter turns, mirrors
// and the two diagonal mirrors. Each is driven from the destination: every
// destination pixel is fetched from the source pixel it maps to.
#include "raster.h"

#include <cstring>

#include "error.h"

std::optional<size_t> raster_bytes(int64_t width, int64_t height) {
    if (width < 0 || height < 0) return std::nullopt;
    const uint64_t limit = SIZE_MAX / 4;
    if (width != 0 && static_cast<uint64_t>(height) > limit / static_cast<uint64_t>(width)) {
        return std::nullopt;
    }
    return static_cast<size_t>(static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4);
}

namespace {

pixel_owner allocate_pixels(int64_t width, int64_t height) {
    std::optional<size_t> bytes = raster_bytes(width, height);
    if (!bytes) return nullptr;
    // malloc(0) may give null; a byte more keeps empty rasters valid.
    return pixel_owner(static_cast<uint8_t*>(std::malloc(*bytes ? *bytes : 1)));
}

uint32_t load_pixel(const uint8_t* pixels, uint64_t index) {
    uint32_t value;
    std::memcpy(&value, pixels + index * 4, 4);
    return value;
}

void store_pixel(uint8_t* pixels, uint64_t index, uint32_t value) {
    std::memcpy(pixels + index * 4, &value, 4);
}

// Fills a dst_width x dst_height raster; source_index(x, y) names the
// source pixel that destination pixel (x, y) receives.
template <typename SourceIndex>
int remap(const pix_image* source, int32_t dst_width, int32_t dst_height, pix_image* result,
          SourceIndex source_index) {
    pixel_owner pixels = allocate_pixels(dst_width, dst_height);
    if (!pixels) {
        set_err("out of memory");
        return 0;
    }
    uint8_t* dst = pixels.get();
    uint64_t dst_index = 0;
    for (int64_t y = 0; y < dst_height; ++y) {
        for (int64_t x = 0; x < dst_width; ++x) {
            store_pixel(dst, dst_index++, load_pixel(source->pixels, source_index(x, y)));
        }
    }
    result->width = dst_width;
    result->height = dst_height;
    result->pixels = pixels.release();
    return 1;
}

}  // namespace

int pix_fixed(const pix_image* source, int degrees, pix_image* result) {
    const int64_t w = source->width;
    const int64_t h = source->height;
    switch (degrees) {
        case 90:
            return remap(source, source->height, source->width, result,
                         [=](int64_t x, int64_t y) { return x * w + (w - 1 - y); });
        case 180:
            return remap(source, source->width, source->height, result,
                         [=](int64_t x, int64_t y) { return (h - 1 - y) * w + (w - 1 - x); });
        default:  // 270
            return remap(source, source->height, source->width, result,
                         [=](int64_t x, int64_t y) { return (h - 1 - x) * w + y; });
    }
}

int pix_flip(const pix_image* source, int mode, pix_image* result) {
    const int64_t w = source->width;
    const int64_t h = source->height;
    // Callers read the size even when the allocation fails.
    result->width = source->width;
    result->height = source->height;
    result->pixels = nullptr;
    if (mode == 0) {
        return remap(source, source->width, source->height, result,
                     [=](int64_t x, int64_t y) { return y * w + (w - 1 - x); });
    }
    return remap(source, source->width, source->height, result,
                 [=](int64_t x, int64_t y) { return (h - 1 - y) * w + x; });
}

int pix_transpose(const pix_image* source, pix_image* result) {
    const int64_t w = source->width;
    return remap(source, source->height, source->width, result,
                 [=](int64_t x, int64_t y) { return x * w + y; });
}

int pix_transverse(const pix_image* source, pix_image* result) {
    const int64_t w = source->width;
    const int64_t h = source->height;
    return remap(source, source->height, source->width, result,
                 [=](int64_t x, int64_t y) { return (h - 1 - x) * w + (w - 1 - y); });
}
