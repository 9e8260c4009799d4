// The JPEG decoder's pixel kernels. Each one reproduces the codec's
// arithmetic to the bit, wrap-arounds and saturations included: decoded
// pixels must equal the codec's for every file the decoder takes.
#include "formats/jpeg_pixels.h"

#include <cstring>

#include "formats/jpeg_idct_lanes.h"

#if !defined(VEERPIX_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64))
#define JPEG_PIXELS_SSE2 1
#include <emmintrin.h>
#endif
#if defined(VEERPIX_JPEG_AVX2)
#include "common/cpu.h"
#include "formats/jpeg_pixels_avx2.h"
#endif

// The codec's own choice of IDCT: its SSE2 kernel on x86 targets that have
// SSE2 (the VEERPIX_SIMD switch does not change the codec's build), its
// plain loop elsewhere. The two differ for coefficients so large that the
// SSE2 kernel's 16-bit sums wrap or its first pass saturates.
#if defined(__x86_64__) || defined(_M_X64) || \
    ((defined(__i386) || defined(_M_IX86)) && defined(__SSE2__) && !defined(__MINGW32__))
#define CODEC_IDCT_IS_SSE2 1
#endif

namespace {

// --- IDCT ------------------------------------------------------------------

int16_t wrap16(int32_t value) { return static_cast<int16_t>(static_cast<uint16_t>(value)); }
int32_t wrap32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }
int16_t saturate16(int32_t value) {
    return static_cast<int16_t>(value < -32768 ? -32768 : value > 32767 ? 32767 : value);
}
uint8_t clamp255(int32_t value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// 16-bit dequantisation: the codec multiplies into a short.
void dequantise(const int16_t* coefficients, const uint16_t* steps, int16_t out[64]) {
    for (int i = 0; i < 64; ++i) out[i] = wrap16(int32_t{coefficients[i]} * steps[i]);
}

#if defined(CODEC_IDCT_IS_SSE2)
// One pass of the codec's SSE2 IDCT on eight lanes: in[k][lane] is the
// k-th input of each lane's 1-D transform. Sums of two inputs wrap at 16
// bits, products and their sums at 32, and the results saturate to 16.
struct PairProduct {
    int even, odd;
};
int32_t pair_product(int16_t a, int16_t b, PairProduct c) { return wrap32(int64_t{a} * c.even + int64_t{b} * c.odd); }

void idct_pass_sse2_lanes(const int16_t in[8][8], int32_t bias, int shift, int16_t out[8][8]) {
    constexpr PairProduct rot0_0{idct_fixed(0.5411961f), idct_fixed(0.5411961f) + idct_fixed(-1.847759065f)};
    constexpr PairProduct rot0_1{idct_fixed(0.5411961f) + idct_fixed(0.765366865f), idct_fixed(0.5411961f)};
    constexpr PairProduct rot1_0{idct_fixed(1.175875602f) + idct_fixed(-0.899976223f), idct_fixed(1.175875602f)};
    constexpr PairProduct rot1_1{idct_fixed(1.175875602f), idct_fixed(1.175875602f) + idct_fixed(-2.562915447f)};
    constexpr PairProduct rot2_0{idct_fixed(-1.961570560f) + idct_fixed(0.298631336f), idct_fixed(-1.961570560f)};
    constexpr PairProduct rot2_1{idct_fixed(-1.961570560f), idct_fixed(-1.961570560f) + idct_fixed(3.072711026f)};
    constexpr PairProduct rot3_0{idct_fixed(-0.390180644f) + idct_fixed(2.053119869f), idct_fixed(-0.390180644f)};
    constexpr PairProduct rot3_1{idct_fixed(-0.390180644f), idct_fixed(-0.390180644f) + idct_fixed(1.501321110f)};
    for (int lane = 0; lane < 8; ++lane) {
        const int16_t r0 = in[0][lane], r1 = in[1][lane], r2 = in[2][lane], r3 = in[3][lane];
        const int16_t r4 = in[4][lane], r5 = in[5][lane], r6 = in[6][lane], r7 = in[7][lane];
        const int32_t t2e = pair_product(r2, r6, rot0_0), t3e = pair_product(r2, r6, rot0_1);
        const int32_t t0e = int32_t{wrap16(r0 + r4)} * 4096, t1e = int32_t{wrap16(r0 - r4)} * 4096;
        const int32_t x0 = wrap32(int64_t{t0e} + t3e), x3 = wrap32(int64_t{t0e} - t3e);
        const int32_t x1 = wrap32(int64_t{t1e} + t2e), x2 = wrap32(int64_t{t1e} - t2e);
        const int32_t y0 = pair_product(r7, r3, rot2_0), y2 = pair_product(r7, r3, rot2_1);
        const int32_t y1 = pair_product(r5, r1, rot3_0), y3 = pair_product(r5, r1, rot3_1);
        const int16_t sum17 = wrap16(r1 + r7), sum35 = wrap16(r3 + r5);
        const int32_t y4 = pair_product(sum17, sum35, rot1_0), y5 = pair_product(sum17, sum35, rot1_1);
        const int32_t x4 = wrap32(int64_t{y0} + y4), x5 = wrap32(int64_t{y1} + y5);
        const int32_t x6 = wrap32(int64_t{y2} + y5), x7 = wrap32(int64_t{y3} + y4);
        const int32_t even[4] = {x0, x1, x2, x3}, odd[4] = {x7, x6, x5, x4};
        for (int k = 0; k < 4; ++k) {
            const int32_t biased = wrap32(int64_t{even[k]} + bias);
            out[k][lane] = saturate16(wrap32(int64_t{biased} + odd[k]) >> shift);
            out[7 - k][lane] = saturate16(wrap32(int64_t{biased} - odd[k]) >> shift);
        }
    }
}

void idct_plain(const int16_t* coefficients, const uint16_t* steps, uint8_t* out, size_t stride) {
    int16_t block[64];
    dequantise(coefficients, steps, block);
    int16_t rows[8][8], columns[8][8], transposed[8][8], result[8][8];
    std::memcpy(rows, block, sizeof rows);
    idct_pass_sse2_lanes(rows, 512, 10, columns);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) transposed[j][i] = columns[i][j];
    }
    idct_pass_sse2_lanes(transposed, 65536 + (128 << 17), 17, result);
    // result[column][row]
    for (int row = 0; row < 8; ++row, out += stride) {
        for (int column = 0; column < 8; ++column) out[column] = clamp255(result[column][row]);
    }
}
#else
// The codec's plain IDCT: a column pass kept at 2 extra bits in ints, with
// a shortcut for columns of DC alone, then the row pass.
void idct_1d(const int32_t s[8], int32_t bias, int shift, int32_t out[8]) {
    const uint32_t p1 = uint32_t(s[2] + s[6]) * uint32_t(idct_fixed(0.5411961f));
    const uint32_t t2 = p1 + uint32_t(s[6]) * uint32_t(idct_fixed(-1.847759065f));
    const uint32_t t3 = p1 + uint32_t(s[2]) * uint32_t(idct_fixed(0.765366865f));
    const uint32_t t0 = uint32_t(s[0] + s[4]) * 4096u, t1 = uint32_t(s[0] - s[4]) * 4096u;
    const uint32_t x0 = t0 + t3 + uint32_t(bias), x3 = t0 - t3 + uint32_t(bias);
    const uint32_t x1 = t1 + t2 + uint32_t(bias), x2 = t1 - t2 + uint32_t(bias);
    const uint32_t o0 = uint32_t(s[7]), o1 = uint32_t(s[5]), o2 = uint32_t(s[3]), o3 = uint32_t(s[1]);
    const uint32_t q3 = o0 + o2, q4 = o1 + o3, q1 = o0 + o3, q2 = o1 + o2;
    const uint32_t q5 = (q3 + q4) * uint32_t(idct_fixed(1.175875602f));
    const uint32_t a1 = q5 + q1 * uint32_t(idct_fixed(-0.899976223f)), a2 = q5 + q2 * uint32_t(idct_fixed(-2.562915447f));
    const uint32_t a3 = q3 * uint32_t(idct_fixed(-1.961570560f)), a4 = q4 * uint32_t(idct_fixed(-0.390180644f));
    const uint32_t u0 = o0 * uint32_t(idct_fixed(0.298631336f)) + a1 + a3;
    const uint32_t u1 = o1 * uint32_t(idct_fixed(2.053119869f)) + a2 + a4;
    const uint32_t u2 = o2 * uint32_t(idct_fixed(3.072711026f)) + a2 + a3;
    const uint32_t u3 = o3 * uint32_t(idct_fixed(1.501321110f)) + a1 + a4;
    const uint32_t even[4] = {x0, x1, x2, x3}, odd[4] = {u3, u2, u1, u0};
    for (int k = 0; k < 4; ++k) {
        out[k] = static_cast<int32_t>(even[k] + odd[k]) >> shift;
        out[7 - k] = static_cast<int32_t>(even[k] - odd[k]) >> shift;
    }
}

void idct_plain(const int16_t* coefficients, const uint16_t* steps, uint8_t* out, size_t stride) {
    int16_t block[64];
    dequantise(coefficients, steps, block);
    int32_t columns[64];
    for (int column = 0; column < 8; ++column) {
        int32_t s[8], t[8];
        bool ac_zero = true;
        for (int k = 0; k < 8; ++k) {
            s[k] = block[k * 8 + column];
            if (k > 0 && s[k] != 0) ac_zero = false;
        }
        if (ac_zero) {
            for (int k = 0; k < 8; ++k) t[k] = s[0] * 4;
        } else {
            idct_1d(s, 512, 10, t);
        }
        for (int k = 0; k < 8; ++k) columns[k * 8 + column] = t[k];
    }
    for (int row = 0; row < 8; ++row, out += stride) {
        int32_t t[8];
        idct_1d(columns + row * 8, 65536 + (128 << 17), 17, t);
        for (int column = 0; column < 8; ++column) out[column] = clamp255(t[column]);
    }
}
#endif

// A block whose only non-zero coefficient is the DC: every one of its 64
// samples is the same value, so the row kernels fill it instead of
// running the transform. Both passes see one non-zero input per lane and
// zero odd parts; what is left of each is its bias and its shift.
#if defined(CODEC_IDCT_IS_SSE2)
uint8_t dc_only_sample_of(int16_t dequantised) {
    const int16_t first_pass = saturate16(int32_t{dequantised} * 4);
    return clamp255((int32_t{first_pass} * 4096 + 65536 + (128 << 17)) >> 17);
}
#else
uint8_t dc_only_sample_of(int16_t dequantised) {
    return clamp255((int32_t{dequantised} * 4 * 4096 + 65536 + (128 << 17)) >> 17);
}
#endif

bool ac_all_zero_plain(const int16_t* coefficients) {
    int16_t any = 0;
    for (int i = 1; i < 64; ++i) any = static_cast<int16_t>(any | coefficients[i]);
    return any == 0;
}

void fill_block(uint8_t* out, size_t stride, uint8_t sample) {
    for (int row = 0; row < 8; ++row, out += stride) std::memset(out, sample, 8);
}

#if JPEG_PIXELS_SSE2
// The codec's SSE2 IDCT, step for step, with the dequantisation in front.
struct Sse2Lanes {
    using V = __m128i;
    static V pair(int x, int y) {
        const short a = static_cast<short>(x), b = static_cast<short>(y);
        return _mm_setr_epi16(a, b, a, b, a, b, a, b);
    }
    static V zero() { return _mm_setzero_si128(); }
    static V set1_32(int x) { return _mm_set1_epi32(x); }
    static V unpacklo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    static V unpackhi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    static V unpacklo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V unpackhi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V madd16(V a, V b) { return _mm_madd_epi16(a, b); }
    static V add16(V a, V b) { return _mm_add_epi16(a, b); }
    static V sub16(V a, V b) { return _mm_sub_epi16(a, b); }
    static V add32(V a, V b) { return _mm_add_epi32(a, b); }
    static V sub32(V a, V b) { return _mm_sub_epi32(a, b); }
    template <int shift>
    static V srai32(V a) { return _mm_srai_epi32(a, shift); }
    static V packs32(V a, V b) { return _mm_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm_packus_epi16(a, b); }
};

void idct_sse2(const int16_t* coefficients, const uint16_t* steps, uint8_t* out, size_t stride) {
    __m128i row[8];
    for (int k = 0; k < 8; ++k) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + k * 8));
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps + k * 8));
        row[k] = _mm_mullo_epi16(c, q);
    }
    __m128i pairs[4];
    idct_to_bytes<Sse2Lanes>(row, pairs);
    for (int k = 0; k < 4; ++k, out += 2 * stride) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs[k]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_shuffle_epi32(pairs[k], 0x4e));
    }
}

bool ac_all_zero_sse2(const int16_t* coefficients) {
    __m128i any = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients)),
                                _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1));
    for (int k = 1; k < 8; ++k) {
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + k * 8)));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
}
#endif

// --- Upsampling --------------------------------------------------------------

uint8_t quarter(int value) { return static_cast<uint8_t>(value >> 2); }
uint8_t sixteenth(int value) { return static_cast<uint8_t>(value >> 4); }

void upsample_vertical(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width) {
    for (int i = 0; i < width; ++i) out[i] = quarter(3 * near_row[i] + far_row[i] + 2);
}

void upsample_horizontal(uint8_t* out, const uint8_t* in, int width) {
    if (width == 1) {
        out[0] = out[1] = in[0];
        return;
    }
    out[0] = in[0];
    out[1] = quarter(in[0] * 3 + in[1] + 2);
    int i = 1;
    for (; i < width - 1; ++i) {
        const int n = 3 * in[i] + 2;
        out[i * 2] = quarter(n + in[i - 1]);
        out[i * 2 + 1] = quarter(n + in[i + 1]);
    }
    out[i * 2] = quarter(in[width - 2] * 3 + in[width - 1] + 2);
    out[i * 2 + 1] = in[width - 1];
}

// Outputs 2 * start onwards of a row upsampled both ways, from the sums
// 3 * near + far of each sample and its neighbours (the first sample is its
// own left neighbour). Needs start < width and width > 1.
void upsample_both_from(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width, int start) {
    int i = start;
    const int left = i > 0 ? i - 1 : 0;
    int t0 = 3 * near_row[left] + far_row[left];
    int t1 = 3 * near_row[i] + far_row[i];
    out[i * 2] = sixteenth(3 * t1 + t0 + 8);
    for (++i; i < width; ++i) {
        t0 = t1;
        t1 = 3 * near_row[i] + far_row[i];
        out[i * 2 - 1] = sixteenth(3 * t0 + t1 + 8);
        out[i * 2] = sixteenth(3 * t1 + t0 + 8);
    }
    out[width * 2 - 1] = quarter(t1 + 2);
}

void upsample_both_plain(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width) {
    if (width == 1) {
        out[0] = out[1] = quarter(3 * near_row[0] + far_row[0] + 2);
        return;
    }
    upsample_both_from(out, near_row, far_row, width, 0);
}

#if JPEG_PIXELS_SSE2
// Eight source samples at a time while a next one exists; returns where it
// stopped. Needs width > 1.
int upsample_both_sse2_part(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width) {
    int i = 0;
    int t1 = 3 * near_row[0] + far_row[0];
    const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(8);
    for (; i < ((width - 1) & ~7); i += 8) {
        const __m128i far_words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(far_row + i)), zero);
        const __m128i near_words =
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(near_row + i)), zero);
        const __m128i current = _mm_add_epi16(_mm_slli_epi16(near_words, 2), _mm_sub_epi16(far_words, near_words));
        const __m128i previous = _mm_insert_epi16(_mm_slli_si128(current, 2), t1, 0);
        const __m128i next = _mm_insert_epi16(_mm_srli_si128(current, 2), 3 * near_row[i + 8] + far_row[i + 8], 7);
        const __m128i scaled = _mm_add_epi16(_mm_slli_epi16(current, 2), bias);
        const __m128i even = _mm_add_epi16(_mm_sub_epi16(previous, current), scaled);
        const __m128i odd = _mm_add_epi16(_mm_sub_epi16(next, current), scaled);
        const __m128i low = _mm_srli_epi16(_mm_unpacklo_epi16(even, odd), 4);
        const __m128i high = _mm_srli_epi16(_mm_unpackhi_epi16(even, odd), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * 2), _mm_packus_epi16(low, high));
        t1 = 3 * near_row[i + 7] + far_row[i + 7];
    }
    return i;
}

void upsample_both_sse2(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width) {
    if (width == 1) return upsample_both_plain(out, near_row, far_row, width);
    upsample_both_from(out, near_row, far_row, width, upsample_both_sse2_part(out, near_row, far_row, width));
}
#endif

void upsample_nearest(uint8_t* out, const uint8_t* in, int width, int factor) {
    for (int i = 0; i < width; ++i) {
        for (int j = 0; j < factor; ++j) out[i * factor + j] = in[i];
    }
}

// --- Colour --------------------------------------------------------------------

constexpr int fixed_colour(float x) { return static_cast<int>(x * 4096.0f + 0.5f) * 256; }

uint8_t clamp_colour(int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// Blends two 0..255 values as the codec rounds x * y / 255.
uint8_t scale_by(uint8_t x, uint8_t y) {
    const unsigned t = unsigned{x} * y + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

void ycbcr_plain(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
        const int y_fixed = (y[i] << 20) + (1 << 19);
        const int red_part = cr[i] - 128, blue_part = cb[i] - 128;
        // The codec drops the low 16 bits of the Cb part of green.
        const int g_blue = static_cast<int>(static_cast<unsigned>(blue_part * -fixed_colour(0.34414f)) & 0xffff0000u);
        out[i * 4] = clamp_colour((y_fixed + red_part * fixed_colour(1.40200f)) >> 20);
        out[i * 4 + 1] = clamp_colour((y_fixed + red_part * -fixed_colour(0.71414f) + g_blue) >> 20);
        out[i * 4 + 2] = clamp_colour((y_fixed + blue_part * fixed_colour(1.77200f)) >> 20);
        out[i * 4 + 3] = 255;
    }
}

#if JPEG_PIXELS_SSE2
// From pixel `from`, eight at a time; returns where it stopped.
uint32_t ycbcr_sse2(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t from, uint32_t width) {
    uint32_t i = from;
    // The codec's 16-bit form of the same fixed-point sums: each product's
    // dropped fraction is dropped before the final shift either way, so the
    // results equal the plain loop's.
    const __m128i sign_flip = _mm_set1_epi8(-0x80);
    const __m128i cr_red = _mm_set1_epi16(static_cast<short>(1.40200f * 4096.0f + 0.5f));
    const __m128i cr_green = _mm_set1_epi16(static_cast<short>(-static_cast<short>(0.71414f * 4096.0f + 0.5f)));
    const __m128i cb_green = _mm_set1_epi16(static_cast<short>(-static_cast<short>(0.34414f * 4096.0f + 0.5f)));
    const __m128i cb_blue = _mm_set1_epi16(static_cast<short>(1.77200f * 4096.0f + 0.5f));
    const __m128i y_bias = _mm_set1_epi8(static_cast<char>(128));
    const __m128i alpha = _mm_set1_epi16(255);
    for (; i + 7 < width; i += 8) {
        const __m128i y_bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + i));
        const __m128i cr_bytes = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + i)), sign_flip);
        const __m128i cb_bytes = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + i)), sign_flip);
        const __m128i y_words = _mm_srli_epi16(_mm_unpacklo_epi8(y_bias, y_bytes), 4);
        const __m128i cr_words = _mm_unpacklo_epi8(_mm_setzero_si128(), cr_bytes);
        const __m128i cb_words = _mm_unpacklo_epi8(_mm_setzero_si128(), cb_bytes);
        const __m128i red = _mm_srai_epi16(_mm_add_epi16(_mm_mulhi_epi16(cr_red, cr_words), y_words), 4);
        const __m128i green = _mm_srai_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epi16(cb_green, cb_words), y_words), _mm_mulhi_epi16(cr_words, cr_green)), 4);
        const __m128i blue = _mm_srai_epi16(_mm_add_epi16(y_words, _mm_mulhi_epi16(cb_words, cb_blue)), 4);
        const __m128i red_blue = _mm_packus_epi16(red, blue);
        const __m128i green_alpha = _mm_packus_epi16(green, alpha);
        const __m128i low = _mm_unpacklo_epi8(red_blue, green_alpha);
        const __m128i high = _mm_unpackhi_epi8(red_blue, green_alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * 4), _mm_unpacklo_epi16(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * 4 + 16), _mm_unpackhi_epi16(low, high));
    }
    return i;
}
#endif

int16_t dequantised_dc(const int16_t* coefficients, const uint16_t* steps) {
    return wrap16(int32_t{coefficients[0]} * steps[0]);
}

void idct_row_plain(const int16_t* blocks, uint32_t count, const uint16_t* steps, uint8_t* out, size_t stride) {
    for (uint32_t i = 0; i < count; ++i) {
        const int16_t* block = blocks + i * 64;
        if (ac_all_zero_plain(block)) {
            fill_block(out + i * 8, stride, dc_only_sample_of(dequantised_dc(block, steps)));
        } else {
            idct_plain(block, steps, out + i * 8, stride);
        }
    }
}

void ycbcr_row_plain(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t width) {
    ycbcr_plain(out, y, cb, cr, 0, width);
}

#if JPEG_PIXELS_SSE2
#if defined(CODEC_IDCT_IS_SSE2)
void idct_row_sse2(const int16_t* blocks, uint32_t count, const uint16_t* steps, uint8_t* out, size_t stride) {
    for (uint32_t i = 0; i < count; ++i) {
        const int16_t* block = blocks + i * 64;
        if (ac_all_zero_sse2(block)) {
            fill_block(out + i * 8, stride, dc_only_sample_of(dequantised_dc(block, steps)));
        } else {
            idct_sse2(block, steps, out + i * 8, stride);
        }
    }
}
#endif

void ycbcr_row_sse2(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t width) {
    const uint32_t done = ycbcr_sse2(out, y, cb, cr, 0, width);
    ycbcr_plain(out, y, cb, cr, done, width);
}
#endif

#if defined(VEERPIX_JPEG_AVX2) && defined(CODEC_IDCT_IS_SSE2)
// Blocks of DC alone filled, the others transformed in pairs where two
// come together.
void idct_row_avx2(const int16_t* blocks, uint32_t count, const uint16_t* steps, uint8_t* out, size_t stride) {
    uint32_t i = 0;
    while (i < count) {
        const int16_t* block = blocks + i * 64;
        if (ac_all_zero_sse2(block)) {
            fill_block(out + i * 8, stride, dc_only_sample_of(dequantised_dc(block, steps)));
            i += 1;
        } else if (i + 1 < count && !ac_all_zero_sse2(block + 64)) {
            idct_pair_avx2(block, block + 64, steps, out + i * 8, stride);
            i += 2;
        } else {
            idct_sse2(block, steps, out + i * 8, stride);
            i += 1;
        }
    }
}

// The first sample, its own left neighbour, by hand; then sixteen at a
// time, each sample's neighbours read from memory.
void upsample_both_row_avx2(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width) {
    if (width == 1) return upsample_both_plain(out, near_row, far_row, width);
    const int first = 3 * near_row[0] + far_row[0], second = 3 * near_row[1] + far_row[1];
    out[0] = sixteenth(4 * first + 8);
    out[1] = sixteenth(3 * first + second + 8);
    upsample_both_from(out, near_row, far_row, width, upsample_both_avx2(out, near_row, far_row, 1, width));
}

void ycbcr_row_avx2(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t width) {
    const uint32_t sixteens = width & ~15u;
    ycbcr_to_rgba_avx2(out, y, cb, cr, sixteens);
    const uint32_t done = ycbcr_sse2(out, y, cb, cr, sixteens, width);
    ycbcr_plain(out, y, cb, cr, done, width);
}
#endif

}  // namespace

int available_pixel_kernels(PixelKernels kernels[3]) {
    int count = 0;
    kernels[count++] = {"scalar", idct_row_plain, ycbcr_row_plain, upsample_both_plain};
#if JPEG_PIXELS_SSE2 && defined(CODEC_IDCT_IS_SSE2)
    kernels[count++] = {"sse2", idct_row_sse2, ycbcr_row_sse2, upsample_both_sse2};
#endif
#if defined(VEERPIX_JPEG_AVX2) && defined(CODEC_IDCT_IS_SSE2)
    if (cpu_has_avx2()) kernels[count++] = {"avx2", idct_row_avx2, ycbcr_row_avx2, upsample_both_row_avx2};
#endif
    return count;
}

PixelKernels pixel_kernels() {
    PixelKernels kernels[3];
    return kernels[available_pixel_kernels(kernels) - 1];
}

const uint8_t* upsample_row(const PixelKernels& kernels, uint8_t* out, const uint8_t* near_row, const uint8_t* far_row,
                            int width, int horizontal, int vertical) {
    if (horizontal == 1 && vertical == 1) return near_row;
    if (horizontal == 1 && vertical == 2) upsample_vertical(out, near_row, far_row, width);
    else if (horizontal == 2 && vertical == 1) upsample_horizontal(out, near_row, width);
    else if (horizontal == 2 && vertical == 2) kernels.upsample_both_row(out, near_row, far_row, width);
    else upsample_nearest(out, near_row, width, horizontal);
    return out;
}

void grey_to_rgba_row(uint8_t* out, const uint8_t* grey, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        out[i * 4] = out[i * 4 + 1] = out[i * 4 + 2] = grey[i];
        out[i * 4 + 3] = 255;
    }
}

void rgb_to_rgba_row(uint8_t* out, const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        out[i * 4] = r[i];
        out[i * 4 + 1] = g[i];
        out[i * 4 + 2] = b[i];
        out[i * 4 + 3] = 255;
    }
}

void cmyk_to_rgba_row(uint8_t* out, const uint8_t* c, const uint8_t* m, const uint8_t* y, const uint8_t* k,
                      uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        out[i * 4] = scale_by(c[i], k[i]);
        out[i * 4 + 1] = scale_by(m[i], k[i]);
        out[i * 4 + 2] = scale_by(y[i], k[i]);
        out[i * 4 + 3] = 255;
    }
}

void invert_and_multiply_row(uint8_t* out, const uint8_t* k, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
        for (int channel = 0; channel < 3; ++channel) {
            out[i * 4 + channel] = scale_by(static_cast<uint8_t>(255 - out[i * 4 + channel]), k[i]);
        }
    }
}
