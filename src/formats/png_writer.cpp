// The PNG writer. Its output is the reference writer's, byte for byte: each
// row gets the filter the reference picks (the smallest sum of the
// filtered bytes taken as signed magnitudes, the lower filter number on a
// tie), the rows go to the same compressor at the same level, and the
// chunks carry the standard CRC. What differs is the speed: 16 bytes per
// instruction through the filters and their sums, and a CRC that reads 8
// bytes per step.
#include "formats/png_writer.h"

#include <algorithm>
#include <cstring>

#include "common/large_block.h"
#include "formats/deflate.h"

#if !defined(VEERPIX_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64))
#define PNG_WRITER_SSE2 1
#include <emmintrin.h>
#endif

namespace {

constexpr int kChannels = 4;
constexpr int kFilterCount = 5;  // none, sub, up, average, Paeth

// ---- Row filters ----------------------------------------------------------------

// The Paeth predictor, the tie order as the PNG standard gives it.
inline int paeth(int left, int up, int up_left) {
    const int estimate = left + up - up_left;
    const int to_left = estimate > left ? estimate - left : left - estimate;
    const int to_up = estimate > up ? estimate - up : up - estimate;
    const int to_up_left = estimate > up_left ? estimate - up_left : up_left - estimate;
    if (to_left <= to_up && to_left <= to_up_left) return left;
    return to_up <= to_up_left ? up : up_left;
}

inline uint8_t filtered_byte(int filter, int value, int left, int up, int up_left) {
    switch (filter) {
        case 0: return static_cast<uint8_t>(value);
        case 1: return static_cast<uint8_t>(value - left);
        case 2: return static_cast<uint8_t>(value - up);
        case 3: return static_cast<uint8_t>(value - ((left + up) >> 1));
        default: return static_cast<uint8_t>(value - paeth(left, up, up_left));
    }
}

// The filter's estimate of a byte: its magnitude read as a signed byte.
inline int signed_magnitude(uint8_t byte) { return byte < 128 ? byte : 256 - byte; }

// Filters bytes [from, bytes) of the row; returns the sum of their estimates.
int64_t filter_bytes_plain(int filter, const uint8_t* row, const uint8_t* prior, size_t from, size_t bytes,
                           uint8_t* out) {
    int64_t estimate = 0;
    for (size_t i = from; i < bytes; ++i) {
        const int left = i >= kChannels ? row[i - kChannels] : 0;
        const int up_left = i >= kChannels ? prior[i - kChannels] : 0;
        out[i] = filtered_byte(filter, row[i], left, prior[i], up_left);
        estimate += signed_magnitude(out[i]);
    }
    return estimate;
}

#if PNG_WRITER_SSE2
inline __m128i load(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// The bytes 4 to the left of `at`: the left neighbours, zero before the row.
inline __m128i load_left(const uint8_t* at, size_t i) {
    return i >= kChannels ? load(at + i - kChannels) : _mm_slli_si128(load(at + i), kChannels);
}

inline __m128i abs_epi16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

// Paeth on 8 lanes of 16 bits.
inline __m128i paeth_epi16(__m128i left, __m128i up, __m128i up_left) {
    const __m128i from_up = _mm_sub_epi16(up, up_left);      // estimate - left
    const __m128i from_left = _mm_sub_epi16(left, up_left);  // estimate - up
    const __m128i to_left = abs_epi16(from_up);
    const __m128i to_up = abs_epi16(from_left);
    const __m128i to_up_left = abs_epi16(_mm_add_epi16(from_up, from_left));
    const __m128i not_left = _mm_or_si128(_mm_cmpgt_epi16(to_left, to_up), _mm_cmpgt_epi16(to_left, to_up_left));
    const __m128i not_up = _mm_cmpgt_epi16(to_up, to_up_left);
    const __m128i up_or_up_left = _mm_or_si128(_mm_andnot_si128(not_up, up), _mm_and_si128(not_up, up_left));
    return _mm_or_si128(_mm_andnot_si128(not_left, left), _mm_and_si128(not_left, up_or_up_left));
}

inline __m128i predicted(int filter, __m128i left, __m128i up, __m128i up_left) {
    const __m128i zero = _mm_setzero_si128();
    switch (filter) {
        case 0: return zero;
        case 1: return left;
        case 2: return up;
        case 3:  // the rounded-up average less the carry of the odd sums
            return _mm_sub_epi8(_mm_avg_epu8(left, up), _mm_and_si128(_mm_xor_si128(left, up), _mm_set1_epi8(1)));
        default: {
            const __m128i low = paeth_epi16(_mm_unpacklo_epi8(left, zero), _mm_unpacklo_epi8(up, zero),
                                            _mm_unpacklo_epi8(up_left, zero));
            const __m128i high = paeth_epi16(_mm_unpackhi_epi8(left, zero), _mm_unpackhi_epi8(up, zero),
                                             _mm_unpackhi_epi8(up_left, zero));
            return _mm_packus_epi16(low, high);
        }
    }
}

template <int filter>
int64_t filter_row(const uint8_t* row, const uint8_t* prior, size_t bytes, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i value = load(row + i);
        const __m128i guess = predicted(filter, load_left(row, i), load(prior + i), load_left(prior, i));
        const __m128i residual = _mm_sub_epi8(value, guess);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), residual);
        // |x| of signed bytes as unsigned bytes (-128 gives 128), summed.
        const __m128i negative = _mm_cmplt_epi8(residual, zero);
        const __m128i magnitude = _mm_sub_epi8(_mm_xor_si128(residual, negative), negative);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(magnitude, zero));
    }
    const int64_t vector_sum = _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    return vector_sum + filter_bytes_plain(filter, row, prior, i, bytes, out);
}
#else
template <int filter>
int64_t filter_row(const uint8_t* row, const uint8_t* prior, size_t bytes, uint8_t* out) {
    return filter_bytes_plain(filter, row, prior, 0, bytes, out);
}
#endif

using row_filter = int64_t (*)(const uint8_t* row, const uint8_t* prior, size_t bytes, uint8_t* out);
constexpr row_filter kFilters[kFilterCount] = {filter_row<0>, filter_row<1>, filter_row<2>, filter_row<3>,
                                              filter_row<4>};

// Every filter into its own scratch row; the first with the smallest
// estimate wins. The first row's filters see a row of zeros above it,
// which gives what the reference writes there (up as none, Paeth as sub).
// The view's rows come a band at a time, into two band buffers in turn, so
// that the row above a band's first row is still where it was fetched.
void filter_rows(const pix_view& view, uint8_t* filtered, uint8_t* scratch, const uint8_t* zero_row,
                 uint8_t* const bands[2]) {
    const size_t bytes = size_t(view.width) * kChannels;
    const uint8_t* prior = zero_row;
    for (int64_t first = 0, band = 0; first < view.height; first += kViewBandRows, band ^= 1) {
        const int64_t count = std::min<int64_t>(kViewBandRows, view.height - first);
        const uint8_t* rows[kViewBandRows];
        pix_view_rows(view, first, count, bands[band], rows);
        for (int64_t i = 0; i < count; ++i) {
            const uint8_t* row = rows[i];
            int best = 0;
            int64_t best_estimate = INT64_MAX;
            for (int filter = 0; filter < kFilterCount; ++filter) {
                const int64_t estimate = kFilters[filter](row, prior, bytes, scratch + size_t(filter) * bytes);
                if (estimate < best_estimate) {
                    best_estimate = estimate;
                    best = filter;
                }
            }
            uint8_t* out = filtered + size_t(first + i) * (bytes + 1);
            out[0] = static_cast<uint8_t>(best);
            std::memcpy(out + 1, scratch + size_t(best) * bytes, bytes);
            prior = row;
        }
    }
}

// ---- Chunks -------------------------------------------------------------------

uint8_t* put_u32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
    return at + 4;
}

// Length, type and data are in place at `chunk`; appends the CRC of type
// and data.
uint8_t* finish_chunk(uint8_t* chunk, size_t data_length) {
    return put_u32(chunk + 8 + data_length, crc32_update(0, chunk + 4, data_length + 4));
}

}  // namespace

malloc_ptr<uint8_t> write_png_to_memory(const pix_image& raster, uint64_t* length) {
    return write_png_to_memory(pix_view_of(raster), length);
}

malloc_ptr<uint8_t> write_png_to_memory(const pix_view& view, uint64_t* length, pixel_owner* source) {
    const size_t bytes = size_t(view.width) * kChannels;
    const size_t filtered_length = (bytes + 1) * size_t(view.height);
    uint64_t compressed_length = 0;
    malloc_ptr<uint8_t> stream;
    {
        malloc_ptr<uint8_t> filtered(static_cast<uint8_t*>(veerpix_malloc_large(filtered_length)));
        // The scratch rows of the five filters, then a row of zeros.
        malloc_ptr<uint8_t> scratch(static_cast<uint8_t*>(std::calloc(kFilterCount + 1, bytes)));
        // Two bands of rows gathered from a turned or mirrored view.
        malloc_ptr<uint8_t> band_rows(static_cast<uint8_t*>(std::malloc(2 * size_t(kViewBandRows) * bytes)));
        if (!filtered || !scratch || !band_rows) return nullptr;
        uint8_t* const bands[2] = {band_rows.get(), band_rows.get() + size_t(kViewBandRows) * bytes};
        filter_rows(view, filtered.get(), scratch.get(), scratch.get() + kFilterCount * bytes, bands);
        scratch.reset();
        band_rows.reset();
        if (source) source->reset();
        if (deflate_zlib(filtered.get(), filtered_length, &stream, &compressed_length) != Deflated::whole) {
            return nullptr;
        }
    }

    static const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    const size_t stream_length = static_cast<size_t>(compressed_length);
    const size_t total = 8 + (12 + 13) + (12 + stream_length) + 12;
    malloc_ptr<uint8_t> png(static_cast<uint8_t*>(veerpix_malloc_large(total)));
    if (!png) return nullptr;
    uint8_t* at = png.get();
    std::memcpy(at, kSignature, 8);
    at += 8;

    uint8_t* chunk = at;
    at = put_u32(at, 13);
    std::memcpy(at, "IHDR", 4);
    at = put_u32(at + 4, static_cast<uint32_t>(view.width));
    at = put_u32(at, static_cast<uint32_t>(view.height));
    const uint8_t format[5] = {8, 6, 0, 0, 0};  // 8 bits, RGBA, deflate, adaptive filters, not interlaced
    std::memcpy(at, format, 5);
    at = finish_chunk(chunk, 13);

    chunk = at;
    at = put_u32(at, static_cast<uint32_t>(stream_length));
    std::memcpy(at, "IDAT", 4);
    std::memcpy(at + 4, stream.get(), stream_length);
    stream.reset();
    at = finish_chunk(chunk, stream_length);

    chunk = at;
    at = put_u32(at, 0);
    std::memcpy(at, "IEND", 4);
    at = finish_chunk(chunk, 0);

    *length = static_cast<uint64_t>(at - png.get());
    return png;
}
