// The tests' plain loops (tests/reference.h) in the benchmarks' terms:
// what the library's kernels are measured against.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "pixels/raster.h"
#include "reference.h"

namespace bench {

inline int plain_map(const pix_image* source, reference::Map map, pix_image* result) {
    const int64_t w = source->width, h = source->height;
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w * h * 4)));
    if (!out) return 0;
    reference::move_cells(map, source->pixels, w, h, out);
    *result = pix_image{static_cast<int32_t>(reference::result_width(map, w, h)),
                        static_cast<int32_t>(reference::result_height(map, w, h)), out};
    return 1;
}

inline int plain_turn_90(const pix_image* source, pix_image* result) {
    return plain_map(source, reference::Map::Turn90, result);
}

inline int plain_mirror(const pix_image* source, pix_image* result) {
    return plain_map(source, reference::Map::MirrorLeftRight, result);
}

// On the white background.
inline int plain_angle(const pix_image* source, float degrees, pix_image* result) {
    const reference::AngleCanvas canvas = reference::angle_canvas(source->width, source->height, degrees);
    auto* out = static_cast<uint8_t*>(std::malloc(size_t(canvas.width) * size_t(canvas.height) * 4));
    if (!out) return 0;
    reference::angle_pixels(source->pixels, source->width, source->height, canvas, 255, 255, 255, out);
    *result = pix_image{canvas.width, canvas.height, out};
    return 1;
}

}  // namespace bench
