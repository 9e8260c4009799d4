// The JPEG writer's block kernel for AVX2: a whole block row in one
// register. This unit alone is compiled for AVX2, and the writer calls it
// only where the CPU has it; it includes nothing whose inline code another
// unit could share (the arithmetic templates have internal linkage).
#include <immintrin.h>

#include "formats/jpeg_block.h"

namespace {

struct avx2_lanes {
    using V = __m256;
    static __m256 add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
    static __m256 sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
    static __m256 mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
    static __m256 splat(float a) { return _mm256_set1_ps(a); }
};

// Moves bits only, so it serves pixels and floats alike.
inline void transpose_8x8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// See the SSE2 kernel: v + copysign(0.5, v), then truncation.
inline __m128i quantised_row(__m256 coefficients, const float* divisors) {
    const __m256 v = _mm256_mul_ps(coefficients, _mm256_loadu_ps(divisors));
    const __m256 half = _mm256_or_ps(_mm256_and_ps(v, _mm256_set1_ps(-0.0f)), _mm256_set1_ps(0.5f));
    const __m256i whole = _mm256_cvttps_epi32(_mm256_add_ps(v, half));
    return _mm_packs_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
}

inline __m256 channel(__m256i pixels, int shift) {
    return _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(pixels, shift), _mm256_set1_epi32(0xFF)));
}

}  // namespace

void jpeg_block_avx2(const uint8_t* const rows[8], const jpeg_divisors& divisors,
                     int16_t coefficients[3][64]) {
    __m256 columns[8];
    for (int row = 0; row < 8; ++row) {
        columns[row] = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[row])));
    }
    transpose_8x8(columns);  // columns[c]: the pixels of column c, rows in lanes

    __m256 planes[3][8];
    for (int column = 0; column < 8; ++column) {
        const __m256i pixels = _mm256_castps_si256(columns[column]);
        ycbcr_from_rgb<avx2_lanes>(channel(pixels, 0), channel(pixels, 8), channel(pixels, 16), planes[0][column],
                                   planes[1][column], planes[2][column]);
    }
    for (int plane = 0; plane < 3; ++plane) {
        __m256* p = planes[plane];
        forward_dct_8<avx2_lanes>(p);  // along each row
        transpose_8x8(p);
        forward_dct_8<avx2_lanes>(p);  // along each column
        const float* divisor = plane == 0 ? divisors.luma : divisors.chroma;
        for (int row = 0; row < 8; ++row) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients[plane] + row * 8),
                             quantised_row(p[row], divisor + row * 8));
        }
    }
}
