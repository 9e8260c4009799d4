// Free-angle rotation: bilinear sampling onto a canvas that holds the whole
// turned picture.
//
// Every floating-point expression below keeps its operand order and
// precision (double geometry, float blending) so that the canvas size and
// every output byte are the same on every compiler and CPU. The build turns
// off contraction to fused multiply-add; do not reorder or "simplify".
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "error.h"
#include "raster.h"

namespace {

// The canvas and the inverse mapping from canvas pixels to source positions.
struct angle_canvas {
    int32_t width;
    int32_t height;
    double cos_theta;
    double sin_theta;
    double origin_x;
    double origin_y;
};

// Rounded to 15 decimals so that whole multiples of 90 degrees give exactly
// 0 and +-1, and quarter turns land on the pixel grid.
double snap(double value) { return std::round(value * 1e15) / 1e15; }

bool fits_int32(double value) {
    return value >= std::numeric_limits<int32_t>::min() &&
           value <= std::numeric_limits<int32_t>::max();
}

// False when the canvas's edges or sides do not fit the raster's int32 sides.
bool plan_canvas(const pix_image& source, float degrees, angle_canvas* canvas) {
    const double width = source.width;
    const double height = source.height;

    double normalised = std::fmod(static_cast<double>(degrees), 360.0);
    if (normalised < 0.0) normalised += 360.0;
    // Negative: rows run downwards, so this turns counter-clockwise on screen.
    const double theta = (normalised * (-3.141592653589793)) / 180.0;
    const double c = snap(std::cos(theta));
    const double s = snap(std::sin(theta));

    // Rotation about the source's centre.
    const double tx = (s * (-(height * 0.5)) - (width * 0.5) * c) + width * 0.5;
    const double ty = ((width * 0.5) * s + (-(height * 0.5)) * c) + height * 0.5;

    double min_x = 1e30, min_y = 1e30, max_x = -1e30, max_y = -1e30;
    const double corners[4][2] = {{0.0, 0.0}, {width, 0.0}, {width, height}, {0.0, height}};
    for (const auto& corner : corners) {
        const double x = corner[0], y = corner[1];
        const double turned_x = (c * x + s * y) + tx;
        const double turned_y = (x * (-s) + y * c) + ty;
        if (turned_x > max_x) max_x = turned_x;
        if (turned_x < min_x) min_x = turned_x;
        if (turned_y > max_y) max_y = turned_y;
        if (turned_y < min_y) min_y = turned_y;
    }

    // Each edge rounded outward on the source's grid, then the sides taken
    // as integers: rounding the width as a length would shift the picture.
    const double left = std::floor(min_x), right = std::ceil(max_x);
    const double top = std::floor(min_y), bottom = std::ceil(max_y);
    if (!fits_int32(left) || !fits_int32(right) || !fits_int32(top) || !fits_int32(bottom)) {
        return false;
    }
    const int64_t side_x = int64_t{static_cast<int32_t>(right)} - static_cast<int32_t>(left);
    const int64_t side_y = int64_t{static_cast<int32_t>(bottom)} - static_cast<int32_t>(top);
    if (side_x > std::numeric_limits<int32_t>::max() ||
        side_y > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    canvas->width = side_x > 0 ? static_cast<int32_t>(side_x) : 1;
    canvas->height = side_y > 0 ? static_cast<int32_t>(side_y) : 1;

    const double dx = static_cast<double>(int64_t{source.width} - canvas->width) * 0.5;
    const double dy = static_cast<double>(int64_t{source.height} - canvas->height) * 0.5;
    canvas->cos_theta = c;
    canvas->sin_theta = s;
    canvas->origin_x = (c * dx + s * dy) + tx;
    canvas->origin_y = (dx * (-s) + c * dy) + ty;
    return true;
}

uint8_t clamp_byte(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

uint8_t blend_channel(int p00, int p10, int p01, int p11, float wx, float wy) {
    const float top = static_cast<float>(p10 - p00) * wx + static_cast<float>(p00);
    const float bottom = static_cast<float>(p11 - p01) * wx + static_cast<float>(p01);
    const float value = (bottom - top) * wy + top;
    if (value < 0.0f) return 0;
    return static_cast<uint8_t>(static_cast<int>(std::min(value, 255.0f) + 0.5f));
}

float unit_weight(double fraction) {
    const float weight = static_cast<float>(fraction);
    if (weight < 0.0f) return 0.0f;
    if (weight > 1.0f) return 1.0f;
    return weight;
}

void fill_canvas(const pix_image& source, const angle_canvas& canvas,
                 const uint8_t background[4], uint8_t* out) {
    const double c = canvas.cos_theta, s = canvas.sin_theta;
    const double ox = canvas.origin_x, oy = canvas.origin_y;
    // A source without pixels covers nothing; the bounds below would still
    // let a sample at exactly -0.5 through.
    const bool has_pixels = source.width > 0 && source.height > 0;
    const double max_src_x = static_cast<double>(int64_t{source.width} - 1) + 0.5;
    const double max_src_y = static_cast<double>(int64_t{source.height} - 1) + 0.5;
    // In a source one pixel wide or high, the edge pixel is its own neighbour.
    const int64_t step_x = source.width > 1 ? 4 : 0;
    const int64_t step_y = source.height > 1 ? int64_t{source.width} * 4 : 0;

    for (int32_t y = 0; y < canvas.height; ++y) {
        for (int32_t x = 0; x < canvas.width; ++x) {
            uint8_t* pixel = out + (int64_t{y} * canvas.width + x) * 4;
            const double src_x = ((c * (x + 0.5) + s * (y + 0.5)) + ox) - 0.5;
            if (!has_pixels || src_x < -0.5 || src_x > max_src_x) {
                std::memcpy(pixel, background, 4);
                continue;
            }
            const double src_y = (((x + 0.5) * (-s) + c * (y + 0.5)) + oy) - 0.5;
            if (src_y < -0.5 || src_y > max_src_y) {
                std::memcpy(pixel, background, 4);
                continue;
            }

            int32_t x0 = static_cast<int32_t>(std::floor(src_x));
            int32_t y0 = static_cast<int32_t>(std::floor(src_y));
            if (x0 < 0) x0 = 0;
            if (y0 < 0) y0 = 0;
            if (x0 >= source.width - 1 && source.width > 1) x0 = source.width - 2;
            if (y0 >= source.height - 1 && source.height > 1) y0 = source.height - 2;
            const float wx = unit_weight(src_x - x0);
            const float wy = unit_weight(src_y - y0);

            const uint8_t* p00 = source.pixels + (int64_t{y0} * source.width + x0) * 4;
            const uint8_t* p10 = p00 + step_x;
            const uint8_t* p01 = p00 + step_y;
            const uint8_t* p11 = p01 + step_x;
            for (int channel = 0; channel < 4; ++channel) {
                pixel[channel] = blend_channel(p00[channel], p10[channel], p01[channel],
                                               p11[channel], wx, wy);
            }
        }
    }
}

}  // namespace

int pix_angle(const pix_image* source, float degrees, int red, int green, int blue,
              pix_image* result) {
    *result = pix_image{0, 0, nullptr};
    if (!std::isfinite(degrees)) {
        set_err("angle must be a finite number");
        return 0;
    }
    angle_canvas canvas{};
    if (!plan_canvas(*source, degrees, &canvas)) {
        set_err("out of memory");
        return 0;
    }
    // Past PTRDIFF_MAX no allocation can succeed, and some allocators abort
    // instead of returning null.
    const std::optional<size_t> bytes = raster_bytes(canvas.width, canvas.height);
    if (!bytes || *bytes > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max())) {
        set_err("out of memory");
        return 0;
    }
    pixel_owner pixels(static_cast<uint8_t*>(std::malloc(*bytes)));
    if (!pixels) {
        set_err("out of memory");
        return 0;
    }

    const uint8_t background[4] = {clamp_byte(red), clamp_byte(green), clamp_byte(blue), 255};
    fill_canvas(*source, canvas, background, pixels.get());

    result->width = canvas.width;
    result->height = canvas.height;
    result->pixels = pixels.release();
    return 1;
}
