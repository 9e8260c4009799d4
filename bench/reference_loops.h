// The raster routines written as plainly as possible, one destination
// pixel at a time: what the library's kernels are measured against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raster.h"

namespace bench {

// A quarter turn by 90 counter-clockwise: destination (x, y) <- source (W-1-y, x).
inline int plain_turn_90(const pix_image* source, pix_image* result) {
    const int64_t w = source->width, h = source->height;
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w * h * 4)));
    if (!out) return 0;
    for (int64_t y = 0; y < w; ++y) {
        for (int64_t x = 0; x < h; ++x) {
            std::memcpy(out + (y * h + x) * 4, source->pixels + (x * w + (w - 1 - y)) * 4, 4);
        }
    }
    *result = pix_image{source->height, source->width, out};
    return 1;
}

// A mirror left to right: destination (x, y) <- source (W-1-x, y).
inline int plain_mirror(const pix_image* source, pix_image* result) {
    const int64_t w = source->width, h = source->height;
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w * h * 4)));
    if (!out) return 0;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            std::memcpy(out + (y * w + x) * 4, source->pixels + (y * w + (w - 1 - x)) * 4, 4);
        }
    }
    *result = pix_image{source->width, source->height, out};
    return 1;
}

// The free-angle turn with both bound tests, the floors and the
// four-channel blend in every pixel, in the library's order of operations.
inline int plain_angle(const pix_image* source, float degrees, pix_image* result) {
    const double W = source->width, H = source->height;
    double m = std::fmod(static_cast<double>(degrees), 360.0);
    if (m < 0) m += 360.0;
    const double theta = (m * (-3.141592653589793)) / 180.0;
    const double c = std::round(std::cos(theta) * 1e15) / 1e15;
    const double s = std::round(std::sin(theta) * 1e15) / 1e15;
    const double tx = (s * (-(H * 0.5)) - (W * 0.5) * c) + W * 0.5;
    const double ty = ((W * 0.5) * s + (-(H * 0.5)) * c) + H * 0.5;
    double min_x = 1e30, min_y = 1e30, max_x = -1e30, max_y = -1e30;
    const double corners[4][2] = {{0, 0}, {W, 0}, {W, H}, {0, H}};
    for (const auto& corner : corners) {
        const double X = (c * corner[0] + s * corner[1]) + tx;
        const double Y = (corner[0] * (-s) + corner[1] * c) + ty;
        max_x = std::max(max_x, X);
        min_x = std::min(min_x, X);
        max_y = std::max(max_y, Y);
        min_y = std::min(min_y, Y);
    }
    const int32_t out_w = std::max(int32_t(std::ceil(max_x)) - int32_t(std::floor(min_x)), 1);
    const int32_t out_h = std::max(int32_t(std::ceil(max_y)) - int32_t(std::floor(min_y)), 1);
    const double dx = double(source->width - out_w) * 0.5;
    const double dy = double(source->height - out_h) * 0.5;
    const double ox = (c * dx + s * dy) + tx;
    const double oy = (dx * (-s) + c * dy) + ty;

    auto* out = static_cast<uint8_t*>(std::malloc(size_t(out_w) * size_t(out_h) * 4));
    if (!out) return 0;
    const uint8_t background[4] = {255, 255, 255, 255};
    const int64_t step_x = source->width > 1 ? 4 : 0;
    const int64_t step_y = source->height > 1 ? int64_t{source->width} * 4 : 0;
    for (int32_t y = 0; y < out_h; ++y) {
        for (int32_t x = 0; x < out_w; ++x) {
            uint8_t* pixel = out + (int64_t{y} * out_w + x) * 4;
            const double src_x = ((c * (x + 0.5) + s * (y + 0.5)) + ox) - 0.5;
            const double src_y = (((x + 0.5) * (-s) + c * (y + 0.5)) + oy) - 0.5;
            if (src_x < -0.5 || src_x > (W - 1) + 0.5 || src_y < -0.5 || src_y > (H - 1) + 0.5) {
                std::memcpy(pixel, background, 4);
                continue;
            }
            int32_t x0 = std::max(int32_t(std::floor(src_x)), 0);
            int32_t y0 = std::max(int32_t(std::floor(src_y)), 0);
            if (x0 >= source->width - 1 && source->width > 1) x0 = source->width - 2;
            if (y0 >= source->height - 1 && source->height > 1) y0 = source->height - 2;
            const float wx = std::min(std::max(float(src_x - x0), 0.0f), 1.0f);
            const float wy = std::min(std::max(float(src_y - y0), 0.0f), 1.0f);
            const uint8_t* p00 = source->pixels + (int64_t{y0} * source->width + x0) * 4;
            const uint8_t* p10 = p00 + step_x;
            const uint8_t* p01 = p00 + step_y;
            const uint8_t* p11 = p01 + step_x;
            for (int channel = 0; channel < 4; ++channel) {
                const float top = float(p10[channel] - p00[channel]) * wx + float(p00[channel]);
                const float bottom = float(p11[channel] - p01[channel]) * wx + float(p01[channel]);
                const float v = (bottom - top) * wy + top;
                pixel[channel] = v < 0 ? 0 : uint8_t(int(std::min(v, 255.0f) + 0.5f));
            }
        }
    }
    *result = pix_image{out_w, out_h, out};
    return 1;
}

}  // namespace bench
