// The JPEG writer's block kernels for AVX2: a whole block row in one
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

// The Y, Cb and Cr planes of an 8x8 block, held as columns: planes[p][c]
// the rows of column c. The pixels are transposed first, so that the row
// pass of the DCT runs lane-wise.
inline void colour_planes(const uint8_t* const rows[8], __m256 planes[3][8]) {
    __m256 columns[8];
    for (int row = 0; row < 8; ++row) {
        columns[row] = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[row])));
    }
    transpose_8x8(columns);  // columns[c]: the pixels of column c, rows in lanes
    for (int column = 0; column < 8; ++column) {
        const __m256i pixels = _mm256_castps_si256(columns[column]);
        ycbcr_from_rgb<avx2_lanes>(channel(pixels, 0), channel(pixels, 8), channel(pixels, 16), planes[0][column],
                                   planes[1][column], planes[2][column]);
    }
}

// A plane held as columns: the row pass, the transpose back to rows, the
// column pass, quantised.
inline void dct_quantise(__m256 p[8], const float divisor[64], int16_t coefficients[64]) {
    forward_dct_8<avx2_lanes>(p);  // along each row
    transpose_8x8(p);
    forward_dct_8<avx2_lanes>(p);  // along each column
    for (int row = 0; row < 8; ++row) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + row * 8), quantised_row(p[row], divisor + row * 8));
    }
}

// The 2x2 means of columns 2 * pair and 2 * pair + 1 of a plane held as
// columns: four averaged rows. One permutation puts a column's even rows
// (the upper of each pair) in the low half, its odd rows in the high half.
inline __m128 averaged_column(const __m256 plane[8], int pair) {
    const __m256i even_then_odd = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256 left = _mm256_permutevar8x32_ps(plane[2 * pair], even_then_odd);
    const __m256 right = _mm256_permutevar8x32_ps(plane[2 * pair + 1], even_then_odd);
    return chroma_mean<sse2_lanes>(_mm256_castps256_ps128(left), _mm256_castps256_ps128(right),
                                   _mm256_extractf128_ps(left, 1), _mm256_extractf128_ps(right, 1));
}

}  // namespace

void jpeg_block_avx2(const uint8_t* const rows[8], const jpeg_divisors& divisors,
                     int16_t coefficients[3][64]) {
    __m256 planes[3][8];
    colour_planes(rows, planes);
    dct_quantise(planes[0], divisors.luma, coefficients[0]);
    dct_quantise(planes[1], divisors.chroma, coefficients[1]);
    dct_quantise(planes[2], divisors.chroma, coefficients[2]);
}

void jpeg_subsampled_avx2(const uint8_t* const rows[16], const jpeg_divisors& divisors,
                          int16_t coefficients[6][64]) {
    __m128 averaged[2][2][8];  // Cb and Cr of the whole square: [plane][top or bottom half][column]
    for (int quarter = 0; quarter < 4; ++quarter) {
        const uint8_t* block_rows[8];
        quarter_rows(rows, quarter, block_rows);
        __m256 planes[3][8];
        colour_planes(block_rows, planes);
        dct_quantise(planes[0], divisors.luma, coefficients[quarter]);
        for (int plane = 0; plane < 2; ++plane) {
            for (int pair = 0; pair < 4; ++pair) {
                averaged[plane][quarter / 2][quarter % 2 * 4 + pair] = averaged_column(planes[1 + plane], pair);
            }
        }
    }
    for (int plane = 0; plane < 2; ++plane) {
        __m256 columns[8];
        for (int column = 0; column < 8; ++column) {
            columns[column] = _mm256_insertf128_ps(_mm256_castps128_ps256(averaged[plane][0][column]),
                                                   averaged[plane][1][column], 1);
        }
        dct_quantise(columns, divisors.chroma, coefficients[4 + plane]);
    }
}
