// The JPEG writer's per-pixel arithmetic, written once for any lane type:
// a plain float, or an SSE2 or AVX2 register of floats. `L` supplies the
// type `V` and add, sub, mul and splat on it.
//
// Every expression keeps the operand order of the reference encoder whose
// bytes the writer reproduces: the colour conversion sums left to right, the
// scaled DCT is the AAN flow graph step by step. With contraction to fused
// multiply-add off (the build's rule), each lane then computes the same
// float as the reference does for that value. Do not reorder or "simplify".
#pragma once

#include <cstdint>

#if !defined(VEERPIX_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64))
#define JPEG_WRITER_SSE2 1
#include <emmintrin.h>
#endif

// Inside the writer: the divisors of the quantiser in natural (row-major)
// order, the DCT's scale factors folded in.
struct jpeg_divisors {
    float luma[64];
    float chroma[64];
};

// Colour conversion, DCT and quantisation of one 8x8 block: eight rows of
// eight RGBA pixels in, the quantised Y, Cb and Cr coefficients out, each
// in natural order. One implementation per instruction set.
using jpeg_block_kernel = void (*)(const uint8_t* const rows[8], const jpeg_divisors& divisors,
                                   int16_t coefficients[3][64]);

// The same for a 16x16 square whose chroma is averaged over each 2x2
// pixels: sixteen rows of sixteen RGBA pixels in; out the four Y blocks
// (top left, top right, bottom left, bottom right), then Cb and Cr.
using jpeg_subsampled_kernel = void (*)(const uint8_t* const rows[16], const jpeg_divisors& divisors,
                                        int16_t coefficients[6][64]);

#if defined(VEERPIX_JPEG_AVX2)
// In its own unit, compiled for AVX2; called only where the CPU has it.
void jpeg_block_avx2(const uint8_t* const rows[8], const jpeg_divisors& divisors,
                     int16_t coefficients[3][64]);
void jpeg_subsampled_avx2(const uint8_t* const rows[16], const jpeg_divisors& divisors,
                          int16_t coefficients[6][64]);
#endif

namespace {

// Level-shifted YCbCr (JFIF) from 0..255 channel values.
template <class L>
inline void ycbcr_from_rgb(typename L::V r, typename L::V g, typename L::V b, typename L::V& y,
                           typename L::V& cb, typename L::V& cr) {
    y = L::sub(L::add(L::add(L::mul(L::splat(0.29900f), r), L::mul(L::splat(0.58700f), g)),
                      L::mul(L::splat(0.11400f), b)),
               L::splat(128.0f));
    cb = L::add(L::sub(L::mul(L::splat(-0.16874f), r), L::mul(L::splat(0.33126f), g)),
                L::mul(L::splat(0.50000f), b));
    cr = L::sub(L::sub(L::mul(L::splat(0.50000f), r), L::mul(L::splat(0.41869f), g)),
                L::mul(L::splat(0.08131f), b));
}

// One 8-point pass of the scaled AAN forward DCT, in place; the scale
// factors are folded into the quantiser's divisors.
template <class L, class V = typename L::V>
inline void forward_dct_8(V& d0, V& d1, V& d2, V& d3, V& d4, V& d5, V& d6, V& d7) {
    const V tmp0 = L::add(d0, d7);
    const V tmp7 = L::sub(d0, d7);
    const V tmp1 = L::add(d1, d6);
    const V tmp6 = L::sub(d1, d6);
    const V tmp2 = L::add(d2, d5);
    const V tmp5 = L::sub(d2, d5);
    const V tmp3 = L::add(d3, d4);
    const V tmp4 = L::sub(d3, d4);

    // Even part.
    V tmp10 = L::add(tmp0, tmp3);
    const V tmp13 = L::sub(tmp0, tmp3);
    V tmp11 = L::add(tmp1, tmp2);
    V tmp12 = L::sub(tmp1, tmp2);
    d0 = L::add(tmp10, tmp11);
    d4 = L::sub(tmp10, tmp11);
    const V z1 = L::mul(L::add(tmp12, tmp13), L::splat(0.707106781f));
    d2 = L::add(tmp13, z1);
    d6 = L::sub(tmp13, z1);

    // Odd part: the rotation written to avoid negations.
    tmp10 = L::add(tmp4, tmp5);
    tmp11 = L::add(tmp5, tmp6);
    tmp12 = L::add(tmp6, tmp7);
    const V z5 = L::mul(L::sub(tmp10, tmp12), L::splat(0.382683433f));
    const V z2 = L::add(L::mul(tmp10, L::splat(0.541196100f)), z5);
    const V z4 = L::add(L::mul(tmp12, L::splat(1.306562965f)), z5);
    const V z3 = L::mul(tmp11, L::splat(0.707106781f));
    const V z11 = L::add(tmp7, z3);
    const V z13 = L::sub(tmp7, z3);
    d5 = L::add(z13, z2);
    d3 = L::sub(z13, z2);
    d1 = L::add(z11, z4);
    d7 = L::sub(z11, z4);
}

// The rows of one 8x8 quarter of a 16x16 square, in the order of its Y
// blocks: 0 top left, 1 top right, 2 bottom left, 3 bottom right.
inline void quarter_rows(const uint8_t* const rows[16], int quarter, const uint8_t* block_rows[8]) {
    const int top = quarter / 2 * 8, left = quarter % 2 * 8;
    for (int row = 0; row < 8; ++row) block_rows[row] = rows[top + row] + left * 4;
}

// The mean of a 2x2 square of chroma values: the upper pair summed, then
// the lower left added, then the lower right, then a quarter of it.
template <class L, class V = typename L::V>
inline V chroma_mean(V upper_left, V upper_right, V lower_left, V lower_right) {
    return L::mul(L::add(L::add(L::add(upper_left, upper_right), lower_left), lower_right), L::splat(0.25f));
}

struct scalar_lanes {
    using V = float;
    static float add(float a, float b) { return a + b; }
    static float sub(float a, float b) { return a - b; }
    static float mul(float a, float b) { return a * b; }
    static float splat(float a) { return a; }
};

#if JPEG_WRITER_SSE2
struct sse2_lanes {
    using V = __m128;
    static __m128 add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
    static __m128 sub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }
    static __m128 mul(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
    static __m128 splat(float a) { return _mm_set1_ps(a); }
};
#endif

// The pass over eight vectors held in an array.
template <class L, class V = typename L::V>
inline void forward_dct_8(V* d) {
    forward_dct_8<L>(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

}  // namespace
