// Free-angle rotation: bilinear sampling onto a canvas that holds the whole
// turned picture.
//
// Every floating-point expression below keeps its operand order and
// precision (double geometry, float blending) so that the canvas size and
// every output byte are the same on every compiler and CPU. The build turns
// off contraction to fused multiply-add; do not reorder or "simplify".
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/error.h"
#include "common/large_block.h"
#include "pixels/raster.h"

// SSE2 is part of every x86-64 CPU; elsewhere, and in builds without the
// vector paths, the scalar blend is used.
#if !defined(VEERPIX_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64))
#define ANGLE_BLEND_SSE2 1
#include <emmintrin.h>
#endif

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

// Blends a 2x2 neighbourhood into one pixel, channel by channel in R, G, B,
// A order, with the weights of the right and the lower neighbours:
//   top = (p10 - p00) * wx + p00, the difference taken as integers
//   bottom = (p11 - p01) * wx + p01
//   value = (bottom - top) * wy + top, limited to 0..255, + 0.5, truncated.
// Limiting with max and min gives the same bytes as testing for a negative
// value first (NaN cannot occur) and needs no branch.
uint8_t blend_channel(int p00, int p10, int p01, int p11, float wx, float wy) {
    const float top = static_cast<float>(p10 - p00) * wx + static_cast<float>(p00);
    const float bottom = static_cast<float>(p11 - p01) * wx + static_cast<float>(p01);
    const float value = std::min(std::max((bottom - top) * wy + top, 0.0f), 255.0f);
    return static_cast<uint8_t>(static_cast<int>(value + 0.5f));
}

void blend_pixel(const uint8_t* p00, const uint8_t* p10, const uint8_t* p01, const uint8_t* p11,
                 float wx, float wy, uint8_t* pixel) {
    for (int channel = 0; channel < 4; ++channel) {
        pixel[channel] =
            blend_channel(p00[channel], p10[channel], p01[channel], p11[channel], wx, wy);
    }
}

float unit_weight(double fraction) {
    return std::min(std::max(static_cast<float>(fraction), 0.0f), 1.0f);
}

// What every row needs to sample the source.
struct sampler {
    const uint8_t* pixels;
    int64_t row_bytes;
    double max_x;  // (W - 1) + 0.5: samples up to here are inside
    double max_y;
    int32_t max_base_x;  // the last column a 2x2 neighbourhood may start at
    int32_t max_base_y;
    int64_t step_x;  // byte distance to the right neighbour, 0 in a 1-wide source
    int64_t step_y;  // byte distance to the lower neighbour, 0 in a 1-high source
};

sampler make_sampler(const pix_image& source) {
    sampler from{};
    from.pixels = source.pixels;
    from.row_bytes = int64_t{source.width} * 4;
    from.max_x = static_cast<double>(int64_t{source.width} - 1) + 0.5;
    from.max_y = static_cast<double>(int64_t{source.height} - 1) + 0.5;
    // The edge pixel is its own neighbour when there is no second column or
    // row, so the reads stay in the raster without a branch per pixel.
    from.max_base_x = std::max(source.width, 2) - 2;
    from.max_base_y = std::max(source.height, 2) - 2;
    from.step_x = source.width > 1 ? 4 : 0;
    from.step_y = source.height > 1 ? from.row_bytes : 0;
    return from;
}

// The source position of canvas column x in a row. The row's own term is
// passed in precomputed; the sums keep their order.
double sample_x(const angle_canvas& canvas, double row_term, int32_t x) {
    return ((canvas.cos_theta * (x + 0.5) + row_term) + canvas.origin_x) - 0.5;
}

double sample_y(const angle_canvas& canvas, double row_term, int32_t x) {
    return (((x + 0.5) * (-canvas.sin_theta) + row_term) + canvas.origin_y) - 0.5;
}

struct column_span {
    int32_t begin;
    int32_t end;
};

// The columns of a row where `holds` is true. Each sample coordinate is a
// chain of correctly rounded products and sums of x with fixed terms, so it
// is monotonic along the row, and a test against one bound flips at most
// once; a binary search with that very test finds the flip exactly.
template <typename Test>
column_span columns_where(int32_t width, Test holds) {
    const bool first = holds(0);
    if (first == holds(width - 1)) return first ? column_span{0, width} : column_span{0, 0};
    int32_t same = 0, flipped = width - 1;
    while (flipped - same > 1) {
        const int32_t middle = same + (flipped - same) / 2;
        if (holds(middle) == first) {
            same = middle;
        } else {
            flipped = middle;
        }
    }
    return first ? column_span{0, flipped} : column_span{flipped, width};
}

column_span intersect(column_span a, column_span b) {
    const int32_t begin = std::max(a.begin, b.begin);
    return column_span{begin, std::max(begin, std::min(a.end, b.end))};
}

// The columns whose samples pass all four bound tests.
column_span inside_columns(const angle_canvas& canvas, const sampler& from, double row_term_x,
                           double row_term_y) {
    const int32_t width = canvas.width;
    column_span span =
        columns_where(width, [&](int32_t x) { return !(sample_x(canvas, row_term_x, x) < -0.5); });
    span = intersect(span, columns_where(width, [&](int32_t x) {
                         return !(sample_x(canvas, row_term_x, x) > from.max_x);
                     }));
    span = intersect(span, columns_where(width, [&](int32_t x) {
                         return !(sample_y(canvas, row_term_y, x) < -0.5);
                     }));
    span = intersect(span, columns_where(width, [&](int32_t x) {
                         return !(sample_y(canvas, row_term_y, x) > from.max_y);
                     }));
    return span;
}

void fill_background(uint8_t* out, int32_t count, const uint8_t background[4]) {
    for (int32_t i = 0; i < count; ++i) std::memcpy(out + int64_t{i} * 4, background, 4);
}

// Only for samples known to be inside: there both coordinates lie in
// [-0.5, side - 0.5], where truncation equals the floor raised to 0.
void sample_pixel(const sampler& from, double src_x, double src_y, uint8_t* pixel) {
    const int32_t x0 = std::min(static_cast<int32_t>(src_x), from.max_base_x);
    const int32_t y0 = std::min(static_cast<int32_t>(src_y), from.max_base_y);
    const float wx = unit_weight(src_x - x0);
    const float wy = unit_weight(src_y - y0);
    const uint8_t* p00 = from.pixels + int64_t{y0} * from.row_bytes + int64_t{x0} * 4;
    const uint8_t* p10 = p00 + from.step_x;
    const uint8_t* p01 = p00 + from.step_y;
    const uint8_t* p11 = p01 + from.step_x;
    blend_pixel(p00, p10, p01, p11, wx, wy, pixel);
}

#if ANGLE_BLEND_SSE2

// The inside run of a row, for sources at least 2 pixels wide: the same
// operations as sample_pixel and blend_pixel, lane by lane, arranged to
// need few conversions, which are the slow instructions here.
// - Both source coordinates of a pixel share a register, x in lane 0 and y
//   in lane 1 (a product is the same whichever factor comes first), and
//   x + 0.5 is counted up by 1.0, which is exact.
// - A pixel and its right neighbour are one 8-byte load, and their bytes
//   become floats without a conversion: a byte b under the upper half
//   0x4B00 reads as the float 2^23 + b. The difference of two such floats
//   is exactly the bytes' difference, and subtracting 2^23 gives b exactly.
void sample_run(const sampler& from, const angle_canvas& canvas, double row_term_x,
                double row_term_y, column_span run, uint8_t* row) {
    const __m128d factors = _mm_set_pd(-canvas.sin_theta, canvas.cos_theta);
    const __m128d row_terms = _mm_set_pd(row_term_y, row_term_x);
    const __m128d origins = _mm_set_pd(canvas.origin_y, canvas.origin_x);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128i max_bases = _mm_set_epi32(0, 0, from.max_base_y, from.max_base_x);
    const __m128i zero = _mm_setzero_si128();
    const __m128i float_exponent = _mm_set1_epi16(0x4B00);
    const __m128 two_to_23 = _mm_set1_ps(8388608.0f);
    const __m128 lowest = _mm_setzero_ps(), unit = _mm_set1_ps(1.0f);
    const __m128 byte_max = _mm_set1_ps(255.0f), rounding = _mm_set1_ps(0.5f);
    double column = run.begin + 0.5;
    for (int32_t x = run.begin; x < run.end; ++x, column += 1.0) {
        const __m128d position = _mm_sub_pd(
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(factors, _mm_set1_pd(column)), row_terms), origins),
            half);
        // Inside, truncation is the floor raised to 0; then the last base.
        __m128i bases = _mm_cvttpd_epi32(position);
        const __m128i past = _mm_cmpgt_epi32(bases, max_bases);
        bases = _mm_or_si128(_mm_and_si128(past, max_bases), _mm_andnot_si128(past, bases));
        __m128 weights = _mm_cvtpd_ps(_mm_sub_pd(position, _mm_cvtepi32_pd(bases)));
        weights = _mm_min_ps(_mm_max_ps(weights, lowest), unit);
        const __m128 weight_x = _mm_shuffle_ps(weights, weights, _MM_SHUFFLE(0, 0, 0, 0));
        const __m128 weight_y = _mm_shuffle_ps(weights, weights, _MM_SHUFFLE(1, 1, 1, 1));

        const int32_t x0 = _mm_cvtsi128_si32(bases);
        const int32_t y0 = _mm_cvtsi128_si32(_mm_shuffle_epi32(bases, _MM_SHUFFLE(1, 1, 1, 1)));
        const uint8_t* p00 = from.pixels + int64_t{y0} * from.row_bytes + int64_t{x0} * 4;
        const __m128i upper = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p00)), zero);
        const __m128i lower = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p00 + from.step_y)), zero);
        const __m128 q00 = _mm_castsi128_ps(_mm_unpacklo_epi16(upper, float_exponent));
        const __m128 q10 = _mm_castsi128_ps(_mm_unpackhi_epi16(upper, float_exponent));
        const __m128 q01 = _mm_castsi128_ps(_mm_unpacklo_epi16(lower, float_exponent));
        const __m128 q11 = _mm_castsi128_ps(_mm_unpackhi_epi16(lower, float_exponent));
        const __m128 top =
            _mm_add_ps(_mm_mul_ps(_mm_sub_ps(q10, q00), weight_x), _mm_sub_ps(q00, two_to_23));
        const __m128 bottom =
            _mm_add_ps(_mm_mul_ps(_mm_sub_ps(q11, q01), weight_x), _mm_sub_ps(q01, two_to_23));
        __m128 value = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(bottom, top), weight_y), top);
        value = _mm_min_ps(_mm_max_ps(value, lowest), byte_max);
        __m128i bytes = _mm_cvttps_epi32(_mm_add_ps(value, rounding));
        bytes = _mm_packs_epi32(bytes, bytes);  // already 0..255: nothing saturates
        bytes = _mm_packus_epi16(bytes, bytes);
        const int32_t word = _mm_cvtsi128_si32(bytes);
        std::memcpy(row + int64_t{x} * 4, &word, 4);
    }
}

#endif

// The inside run of a row, one pixel at a time.
void sample_run_by_pixel(const sampler& from, const angle_canvas& canvas, double row_term_x,
                         double row_term_y, column_span run, uint8_t* row) {
    for (int32_t x = run.begin; x < run.end; ++x) {
        sample_pixel(from, sample_x(canvas, row_term_x, x), sample_y(canvas, row_term_y, x),
                     row + int64_t{x} * 4);
    }
}

void fill_canvas(const pix_image& source, const angle_canvas& canvas, const uint8_t background[4],
                 uint8_t* out) {
    const sampler from = make_sampler(source);
    // Without pixels nothing is inside; the bound tests alone would still
    // let a sample at exactly -0.5 through.
    const bool has_pixels = source.width > 0 && source.height > 0;
    for (int32_t y = 0; y < canvas.height; ++y) {
        uint8_t* row = out + int64_t{y} * canvas.width * 4;
        const double row_term_x = canvas.sin_theta * (y + 0.5);
        const double row_term_y = canvas.cos_theta * (y + 0.5);
        const column_span inside =
            has_pixels ? inside_columns(canvas, from, row_term_x, row_term_y) : column_span{0, 0};
        fill_background(row, inside.begin, background);
#if ANGLE_BLEND_SSE2
        if (from.step_x == 4) {
            sample_run(from, canvas, row_term_x, row_term_y, inside, row);
        } else {
            sample_run_by_pixel(from, canvas, row_term_x, row_term_y, inside, row);
        }
#else
        sample_run_by_pixel(from, canvas, row_term_x, row_term_y, inside, row);
#endif
        fill_background(row + int64_t{inside.end} * 4, canvas.width - inside.end, background);
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
    if (!plan_canvas(*source, degrees, &canvas)) return out_of_memory();
    // Past PTRDIFF_MAX no allocation can succeed, and some allocators abort
    // instead of returning null.
    const std::optional<size_t> bytes = raster_bytes(canvas.width, canvas.height);
    if (!bytes || *bytes > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max())) {
        return out_of_memory();
    }
    pixel_owner pixels(static_cast<uint8_t*>(veerpix_malloc_large(*bytes)));
    if (!pixels) return out_of_memory();

    const uint8_t background[4] = {clamp_byte(red), clamp_byte(green), clamp_byte(blue), 255};
    fill_canvas(*source, canvas, background, pixels.get());

    result->width = canvas.width;
    result->height = canvas.height;
    result->pixels = pixels.release();
    return 1;
}

int pix_angle_size(const pix_image* source, float degrees, int32_t* width, int32_t* height) {
    angle_canvas canvas{};
    if (!std::isfinite(degrees) || !plan_canvas(*source, degrees, &canvas)) return 0;
    *width = canvas.width;
    *height = canvas.height;
    return 1;
}
