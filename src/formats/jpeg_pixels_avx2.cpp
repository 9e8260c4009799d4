// The JPEG decoder's AVX2 kernels, in a unit of their own compiled for
// AVX2; jpeg_pixels.cpp asks the CPU before calling them. Each 256-bit
// instruction here works on two 128-bit halves independently, so the
// codec's SSE2 steps, done in both halves, give its results for two blocks
// (or sixteen pixels) at once, bit for bit.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "formats/jpeg_idct_lanes.h"
#include "formats/jpeg_pixels_avx2.h"

namespace {

struct Avx2Lanes {
    using V = __m256i;
    static V pair(int x, int y) {
        const short a = static_cast<short>(x), b = static_cast<short>(y);
        return _mm256_setr_epi16(a, b, a, b, a, b, a, b, a, b, a, b, a, b, a, b);
    }
    static V zero() { return _mm256_setzero_si256(); }
    static V set1_32(int x) { return _mm256_set1_epi32(x); }
    static V unpacklo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
    static V unpackhi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
    static V unpacklo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    static V unpackhi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    static V madd16(V a, V b) { return _mm256_madd_epi16(a, b); }
    static V add16(V a, V b) { return _mm256_add_epi16(a, b); }
    static V sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
    static V sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
    template <int shift>
    static V srai32(V a) { return _mm256_srai_epi32(a, shift); }
    static V packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
};

inline __m256i load_pair(const void* first, const void* second) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(first))),
                                   _mm_loadu_si128(static_cast<const __m128i*>(second)), 1);
}

}  // namespace

void idct_pair_avx2(const int16_t* first, const int16_t* second, const uint16_t* steps, uint8_t* out, size_t stride) {
    __m256i row[8];
    for (int k = 0; k < 8; ++k) {
        const __m256i q = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(steps + k * 8)));
        row[k] = _mm256_mullo_epi16(load_pair(first + k * 8, second + k * 8), q);
    }
    __m256i pairs[4];
    idct_to_bytes<Avx2Lanes>(row, pairs);
    // Each half holds two rows of its block: gather the first block's row
    // and the second's side by side, 16 bytes of the output row.
    for (int k = 0; k < 4; ++k) {
        // Lanes: [A row 2k, A row 2k+1 | B row 2k, B row 2k+1].
        const __m256i rows_ab = _mm256_permute4x64_epi64(pairs[k], 0xD8);  // A 2k, B 2k | A 2k+1, B 2k+1
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k * stride), _mm256_castsi256_si128(rows_ab));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (2 * k + 1) * stride), _mm256_extracti128_si256(rows_ab, 1));
    }
}

void ycbcr_to_rgba_avx2(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t count) {
    const __m256i cr_red = _mm256_set1_epi16(static_cast<short>(1.40200f * 4096.0f + 0.5f));
    const __m256i cr_green = _mm256_set1_epi16(static_cast<short>(-static_cast<short>(0.71414f * 4096.0f + 0.5f)));
    const __m256i cb_green = _mm256_set1_epi16(static_cast<short>(-static_cast<short>(0.34414f * 4096.0f + 0.5f)));
    const __m256i cb_blue = _mm256_set1_epi16(static_cast<short>(1.77200f * 4096.0f + 0.5f));
    const __m256i half = _mm256_set1_epi16(128), eight = _mm256_set1_epi16(8);
    const __m256i alpha = _mm256_set1_epi16(255);
    for (uint32_t i = 0; i + 16 <= count; i += 16) {
        const __m256i y_words = _mm256_add_epi16(
            _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i))), 4), eight);
        const __m256i cr_words = _mm256_slli_epi16(
            _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + i))), half), 8);
        const __m256i cb_words = _mm256_slli_epi16(
            _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + i))), half), 8);
        const __m256i red = _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(cr_red, cr_words), y_words), 4);
        const __m256i green = _mm256_srai_epi16(
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(cb_green, cb_words), y_words),
                             _mm256_mulhi_epi16(cr_words, cr_green)),
            4);
        const __m256i blue = _mm256_srai_epi16(_mm256_add_epi16(y_words, _mm256_mulhi_epi16(cb_words, cb_blue)), 4);
        const __m256i red_blue = _mm256_packus_epi16(red, blue);
        const __m256i green_alpha = _mm256_packus_epi16(green, alpha);
        const __m256i low = _mm256_unpacklo_epi8(red_blue, green_alpha);
        const __m256i high = _mm256_unpackhi_epi8(red_blue, green_alpha);
        const __m256i first = _mm256_unpacklo_epi16(low, high), second = _mm256_unpackhi_epi16(low, high);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i * 4), _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i * 4 + 32), _mm256_permute2x128_si256(first, second, 0x31));
    }
}

int upsample_both_avx2(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int start, int width) {
    const __m256i eight = _mm256_set1_epi16(8);
    // 3 * near + far of the sixteen samples from `at`.
    const auto sums = [near_row, far_row](int at) {
        const __m256i near_words = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(near_row + at)));
        const __m256i far_words = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(far_row + at)));
        return _mm256_add_epi16(_mm256_add_epi16(near_words, _mm256_slli_epi16(near_words, 1)), far_words);
    };
    int i = start;
    for (; i + 16 < width; i += 16) {
        const __m256i current = sums(i), previous = sums(i - 1), next = sums(i + 1);
        const __m256i scaled = _mm256_add_epi16(_mm256_add_epi16(current, _mm256_slli_epi16(current, 1)), eight);
        const __m256i even = _mm256_srli_epi16(_mm256_add_epi16(scaled, previous), 4);
        const __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(scaled, next), 4);
        // Unpacking and packing within each 128-bit half leaves the bytes in
        // order: even 0, odd 0, ... odd 7 | even 8, ... odd 15.
        const __m256i low = _mm256_unpacklo_epi16(even, odd), high = _mm256_unpackhi_epi16(even, odd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm256_packus_epi16(low, high));
    }
    return i;
}
