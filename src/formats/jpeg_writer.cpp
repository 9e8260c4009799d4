// The JPEG writer. Its output is the reference encoder's, byte for byte:
// the same headers and tables, the same float results per coefficient
// (see jpeg_block.h), the same rounding, the same bit stream. What differs
// is how the work is done: 4 or 8 values per instruction, the entropy
// coder walking only the non-zero coefficients, and the bytes stored
// straight into one block instead of passed through a callback one by one.
#include "formats/jpeg_writer.h"

#include <algorithm>
#include <cstring>

#include "formats/jpeg_block.h"
#include "formats/jpeg_zigzag.h"
#include "common/cpu.h"
#include "common/large_block.h"
#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace {


// The example quantisation tables of the JPEG standard (Annex K), natural order.
constexpr uint8_t kLumaQuantisation[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChromaQuantisation[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// The AAN DCT's output scale per row and column, with the 2 * sqrt(2) of
// the 8-point normalisation; written as the reference writes them, so that
// the float products come out the same.
constexpr float kDctScale[8] = {
    1.0f * 2.828427125f,         1.387039845f * 2.828427125f, 1.306562965f * 2.828427125f,
    1.175875602f * 2.828427125f, 1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
    0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f};

// The example Huffman tables of Annex K: codes per length 1..16, then the
// symbols in code order.
struct huffman_definition {
    uint8_t counts[16];
    uint8_t symbols[162];
    int symbol_count;
};

constexpr huffman_definition kLumaDc = {
    {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12};
constexpr huffman_definition kChromaDc = {
    {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 12};
constexpr huffman_definition kLumaAc = {
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
     0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
     0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
     0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
     0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
     0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
     0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
     0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
     0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
     0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
     0xf9, 0xfa},
    162};
constexpr huffman_definition kChromaAc = {
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
    {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
     0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
     0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
     0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
     0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
     0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
     0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
     0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
     0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
     0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
     0xf9, 0xfa},
    162};

// A symbol's code; symbols the table lacks have length 0 and write nothing,
// as in the reference writer.
struct huffman_code {
    uint16_t bits = 0;
    uint8_t length = 0;
};

struct huffman_table {
    huffman_code codes[256];
};

// Canonical codes: consecutive within a length, doubled at each next length.
huffman_table build_huffman_table(const huffman_definition& definition) {
    huffman_table table;
    unsigned code = 0;
    int symbol = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < definition.counts[length - 1]; ++i) {
            table.codes[definition.symbols[symbol++]] = {static_cast<uint16_t>(code++), static_cast<uint8_t>(length)};
        }
        code <<= 1;
    }
    return table;
}

struct quantisation_tables {
    uint8_t luma_zigzag[64];  // as the DQT segment carries them
    uint8_t chroma_zigzag[64];
    jpeg_divisors divisors;
};

// What the quality decides, read as the reference reads it: 0 stands for
// its default of 90; the chroma is averaged over 2x2 pixels at 90 and
// below, decided before the number is clamped to 1..100; the example
// tables are scaled by 5000 / quality percent below 50, by 200 - 2 *
// quality percent from 50 (so all ones at 100).
struct quality_settings {
    int table_scale;
    bool subsampled;
};

quality_settings read_quality(int quality) {
    if (quality == 0) quality = 90;
    const bool subsampled = quality <= 90;
    quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
    return {quality < 50 ? 5000 / quality : 200 - quality * 2, subsampled};
}

uint8_t scaled_quantiser(int base, int scale) {
    const int q = (base * scale + 50) / 100;
    return static_cast<uint8_t>(q < 1 ? 1 : q > 255 ? 255 : q);
}

quantisation_tables build_quantisation_tables(int scale) {
    quantisation_tables tables;
    for (int i = 0; i < 64; ++i) {
        tables.luma_zigzag[kZigzagPosition[i]] = scaled_quantiser(kLumaQuantisation[i], scale);
        tables.chroma_zigzag[kZigzagPosition[i]] = scaled_quantiser(kChromaQuantisation[i], scale);
    }
    for (int row = 0, k = 0; row < 8; ++row) {
        for (int column = 0; column < 8; ++column, ++k) {
            const int position = kZigzagPosition[k];
            tables.divisors.luma[k] = 1 / (tables.luma_zigzag[position] * kDctScale[row] * kDctScale[column]);
            tables.divisors.chroma[k] =
                1 / (tables.chroma_zigzag[position] * kDctScale[row] * kDctScale[column]);
        }
    }
    return tables;
}

// ---- Output ---------------------------------------------------------------

// One malloc'd block that grows only where a picture compresses worse
// than the first guess; the entropy coder checks room once per block row.
struct output_block {
    malloc_ptr<uint8_t> bytes;
    size_t capacity = 0;
    uint8_t* cursor = nullptr;

    size_t length() const { return static_cast<size_t>(cursor - bytes.get()); }

    bool reserve(size_t more) {
        const size_t used = bytes ? length() : 0;
        if (capacity - used >= more) return true;
        size_t grown = capacity ? capacity : 1 << 16;
        while (grown - used < more) grown *= 2;
        void* moved = bytes ? std::realloc(bytes.get(), grown) : veerpix_malloc_large(grown);
        if (!moved) return false;
        (void)bytes.release();
        bytes.reset(static_cast<uint8_t*>(moved));
        capacity = grown;
        cursor = bytes.get() + used;
        return true;
    }

    void put(const void* data, size_t size) {
        std::memcpy(cursor, data, size);
        cursor += size;
    }
    void put_byte(uint8_t byte) { *cursor++ = byte; }
    void put_u16(unsigned value) {
        put_byte(static_cast<uint8_t>(value >> 8));
        put_byte(static_cast<uint8_t>(value));
    }
};

constexpr size_t kHeaderBytes = 2 + 18 + 2 + 2 + 2 * 65 + 2 + 17 + 2 + 2 + 4 * 17 + 2 * (12 + 162) + 14;

void write_huffman_definition(output_block& out, int table_class_and_id, const huffman_definition& definition) {
    out.put_byte(static_cast<uint8_t>(table_class_and_id));
    out.put(definition.counts, 16);
    out.put(definition.symbols, static_cast<size_t>(definition.symbol_count));
}

// JFIF APP0, both quantisation tables in one DQT, the baseline frame, the
// four Huffman tables in one DHT, and the scan header of all three
// components (Y: tables 0, Cb and Cr: tables 1). Cb and Cr are sampled
// 1x1; Y 2x2 where the chroma is averaged, else 1x1.
void write_headers(output_block& out, const quantisation_tables& tables, int width, int height, bool subsampled) {
    static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F',
                                    0,    1,    1,    0,    0, 1,    0,   1,   0,   0};
    out.put(kJfif, sizeof kJfif);
    out.put_u16(0xFFDB);
    out.put_u16(2 + 2 * 65);
    out.put_byte(0);
    out.put(tables.luma_zigzag, 64);
    out.put_byte(1);
    out.put(tables.chroma_zigzag, 64);

    const uint8_t frame[] = {0xFF, 0xC0, 0, 0x11, 8,
                             static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                             static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
                             3, 1, static_cast<uint8_t>(subsampled ? 0x22 : 0x11), 0, 2, 0x11, 1, 3, 0x11, 1};
    out.put(frame, sizeof frame);

    out.put_u16(0xFFC4);
    out.put_u16(2 + 4 * 17 + 2 * (12 + 162));
    write_huffman_definition(out, 0x00, kLumaDc);
    write_huffman_definition(out, 0x10, kLumaAc);
    write_huffman_definition(out, 0x01, kChromaDc);
    write_huffman_definition(out, 0x11, kChromaAc);

    static const uint8_t kScan[] = {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
    out.put(kScan, sizeof kScan);
}

// ---- Entropy coding ---------------------------------------------------------

inline int bit_length(uint32_t value) {
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanReverse(&index, value);
    return static_cast<int>(index) + 1;
#else
    return 32 - __builtin_clz(value);
#endif
}

inline int lowest_set_bit(uint64_t value) {
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, value);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(value);
#endif
}

// Bits are gathered most significant first and stored 32 at a time; a
// 0xFF byte in the entropy-coded data is followed by a stuffed 0x00.
struct bit_writer {
    uint64_t pending = 0;
    int count = 0;

    // At most 32 bits at a time.
    void put(output_block& out, uint32_t bits, int length) {
        pending = (pending << length) | bits;
        count += length;
        if (count < 32) return;
        count -= 32;
        const uint32_t word = static_cast<uint32_t>(pending >> count);
        const uint32_t inverted = ~word;
        if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
            const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                      static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
            out.put(bytes, 4);
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8) put_stuffed(out, static_cast<uint8_t>(word >> shift));
    }

    static void put_stuffed(output_block& out, uint8_t byte) {
        out.put_byte(byte);
        if (byte == 0xFF) out.put_byte(0);
    }

    // Pads the last byte with 1 bits, as the reference does; bits short of
    // a whole byte after the padding are dropped.
    void finish(output_block& out) {
        pending = (pending << 7) | 0x7F;
        count += 7;
        while (count >= 8) {
            count -= 8;
            put_stuffed(out, static_cast<uint8_t>(pending >> count));
        }
    }
};

// A coefficient's magnitude category and its extra bits (one's complement
// for negative values).
inline void put_coded(bit_writer& bits, output_block& out, const huffman_code& code, int value,
                      int category) {
    const uint32_t extra = static_cast<uint32_t>(value < 0 ? value - 1 : value) & ((1u << category) - 1);
    bits.put(out, (uint32_t{code.bits} << category) | extra, code.length + category);
}

inline int category_of(int value) { return bit_length(static_cast<uint32_t>(value < 0 ? -value : value)); }

struct component_tables {
    const huffman_table* dc;
    const huffman_table* ac;
};

// Bit i set where the zigzag coefficient i is not zero.
uint64_t nonzero_mask(const int16_t zigzag[64]) {
#if JPEG_WRITER_SSE2
    uint64_t zero = 0;
    const __m128i nothing = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
        const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + i)), nothing);
        const __m128i b =
            _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + i + 8)), nothing);
        zero |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_packs_epi16(a, b)))) << i;
    }
    return ~zero;
#else
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= uint64_t(zigzag[i] != 0) << i;
    return mask;
#endif
}

// One block: the DC difference, then each run of zeros with the non-zero
// coefficient that ends it (runs of 16 or more as ZRL codes first), then
// EOB unless the last coefficient is non-zero. Returns the new DC.
int encode_block(bit_writer& bits, output_block& out, const int16_t natural[64], int previous_dc,
                 const component_tables& tables) {
    int16_t zigzag[64];
    // Unrolled, the table's indices become constant offsets.
#if defined(__GNUC__)
#pragma GCC unroll 64
#endif
    for (int i = 0; i < 64; ++i) zigzag[i] = natural[kNaturalOrder[i]];

    const int dc = zigzag[0];
    const int difference = dc - previous_dc;
    if (difference == 0) {
        const huffman_code& code = tables.dc->codes[0];
        bits.put(out, code.bits, code.length);
    } else {
        const int category = category_of(difference);
        put_coded(bits, out, tables.dc->codes[category], difference, category);
    }

    const huffman_code& end_of_block = tables.ac->codes[0x00];
    const huffman_code& sixteen_zeros = tables.ac->codes[0xF0];
    uint64_t remaining = nonzero_mask(zigzag) & ~uint64_t{1};
    int last = 0;
    while (remaining) {
        const int index = lowest_set_bit(remaining);
        remaining &= remaining - 1;
        int run = index - last - 1;
        last = index;
        for (; run >= 16; run -= 16) bits.put(out, sixteen_zeros.bits, sixteen_zeros.length);
        const int value = zigzag[index];
        const int category = category_of(value);
        put_coded(bits, out, tables.ac->codes[(run << 4) + category], value, category);
    }
    if (last != 63) bits.put(out, end_of_block.bits, end_of_block.length);
    return dc;
}

// The most one block can take: 64 codes of at most 32 bits, three ZRLs,
// every byte stuffed.
constexpr size_t kMaxBlockBytes = 2 * (64 * 4 + 3 * 2 + 8);

// ---- Blocks -----------------------------------------------------------------

// Rounds half away from zero by adding +-0.5 and truncating, as the
// reference does.
inline int16_t quantised(float coefficient, float divisor) {
    const float v = coefficient * divisor;
    return static_cast<int16_t>(static_cast<int>(v < 0 ? v - 0.5f : v + 0.5f));
}

// The Y, Cb and Cr planes of an 8x8 block, natural order.
void colour_planes_scalar(const uint8_t* const rows[8], float planes[3][64]) {
    for (int row = 0; row < 8; ++row) {
        for (int column = 0; column < 8; ++column) {
            const uint8_t* pixel = rows[row] + column * 4;
            const int i = row * 8 + column;
            ycbcr_from_rgb<scalar_lanes>(pixel[0], pixel[1], pixel[2], planes[0][i], planes[1][i], planes[2][i]);
        }
    }
}

// The DCT of a plane's rows, then of its columns, quantised.
void dct_quantise_scalar(float p[64], const float divisor[64], int16_t coefficients[64]) {
    for (int row = 0; row < 64; row += 8) forward_dct_8<scalar_lanes>(p + row);
    for (int column = 0; column < 8; ++column) {
        forward_dct_8<scalar_lanes>(p[column], p[column + 8], p[column + 16], p[column + 24], p[column + 32],
                                    p[column + 40], p[column + 48], p[column + 56]);
    }
    for (int i = 0; i < 64; ++i) coefficients[i] = quantised(p[i], divisor[i]);
}

void jpeg_block_scalar(const uint8_t* const rows[8], const jpeg_divisors& divisors, int16_t coefficients[3][64]) {
    float planes[3][64];
    colour_planes_scalar(rows, planes);
    dct_quantise_scalar(planes[0], divisors.luma, coefficients[0]);
    dct_quantise_scalar(planes[1], divisors.chroma, coefficients[1]);
    dct_quantise_scalar(planes[2], divisors.chroma, coefficients[2]);
}

void jpeg_subsampled_scalar(const uint8_t* const rows[16], const jpeg_divisors& divisors,
                            int16_t coefficients[6][64]) {
    float averaged[2][64];  // Cb and Cr of the whole square
    for (int quarter = 0; quarter < 4; ++quarter) {
        const uint8_t* block_rows[8];
        quarter_rows(rows, quarter, block_rows);
        float planes[3][64];
        colour_planes_scalar(block_rows, planes);
        dct_quantise_scalar(planes[0], divisors.luma, coefficients[quarter]);
        const int first = quarter / 2 * 32 + quarter % 2 * 4;  // the quarter's place in the averaged block
        for (int plane = 0; plane < 2; ++plane) {
            for (int row = 0; row < 4; ++row) {
                for (int column = 0; column < 4; ++column) {
                    const float* upper = planes[1 + plane] + row * 16 + column * 2;
                    averaged[plane][first + row * 8 + column] =
                        chroma_mean<scalar_lanes>(upper[0], upper[1], upper[8], upper[9]);
                }
            }
        }
    }
    dct_quantise_scalar(averaged[0], divisors.chroma, coefficients[4]);
    dct_quantise_scalar(averaged[1], divisors.chroma, coefficients[5]);
}

#if JPEG_WRITER_SSE2
// Moves bits only, so it serves pixels and floats alike.
inline void transpose_4x4(__m128& a, __m128& b, __m128& c, __m128& d) {
    const __m128 ab_low = _mm_unpacklo_ps(a, b), ab_high = _mm_unpackhi_ps(a, b);
    const __m128 cd_low = _mm_unpacklo_ps(c, d), cd_high = _mm_unpackhi_ps(c, d);
    a = _mm_movelh_ps(ab_low, cd_low);
    b = _mm_movehl_ps(cd_low, ab_low);
    c = _mm_movelh_ps(ab_high, cd_high);
    d = _mm_movehl_ps(cd_high, ab_high);
}

// An 8x8 held as left halves (columns 0-3) and right halves (4-7) of each
// row becomes the same layout of its transpose.
inline void transpose_8x8(__m128 left[8], __m128 right[8]) {
    transpose_4x4(left[0], left[1], left[2], left[3]);
    transpose_4x4(left[4], left[5], left[6], left[7]);
    transpose_4x4(right[0], right[1], right[2], right[3]);
    transpose_4x4(right[4], right[5], right[6], right[7]);
    for (int i = 0; i < 4; ++i) {
        const __m128 swap = left[4 + i];
        left[4 + i] = right[i];
        right[i] = swap;
    }
}

// Signed round half away from zero, then truncation: v + copysign(0.5, v)
// is v - 0.5 or v + 0.5 exactly as the reference picks them (for -0 both
// give 0).
inline __m128i quantised(__m128 coefficient, const float* divisor) {
    const __m128 v = _mm_mul_ps(coefficient, _mm_loadu_ps(divisor));
    const __m128 half = _mm_or_ps(_mm_and_ps(v, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(_mm_add_ps(v, half));
}

inline __m128 channel(__m128i pixels, int shift) {
    return _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(pixels, shift), _mm_set1_epi32(0xFF)));
}

// The Y, Cb and Cr planes of an 8x8 block, held as columns:
// planes[p][0][c] rows 0-3 of column c, planes[p][1][c] rows 4-7. The
// rows are transposed as pixels, so that the row pass of the DCT runs
// lane-wise.
inline void colour_planes_sse2(const uint8_t* const rows[8], __m128 planes[3][2][8]) {
    __m128 left[8], right[8];
    for (int row = 0; row < 8; ++row) {
        left[row] = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[row])));
        right[row] = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[row] + 16)));
    }
    transpose_8x8(left, right);  // left[c]: rows 0-3 of column c, right[c]: rows 4-7
    for (int column = 0; column < 8; ++column) {
        for (int half = 0; half < 2; ++half) {
            const __m128i pixels = _mm_castps_si128(half == 0 ? left[column] : right[column]);
            ycbcr_from_rgb<sse2_lanes>(channel(pixels, 0), channel(pixels, 8), channel(pixels, 16),
                                       planes[0][half][column], planes[1][half][column],
                                       planes[2][half][column]);
        }
    }
}

// A plane held as columns: the row pass, the transpose back to rows, the
// column pass, quantised.
inline void dct_quantise_sse2(__m128 top[8], __m128 bottom[8], const float divisor[64], int16_t coefficients[64]) {
    forward_dct_8<sse2_lanes>(top);
    forward_dct_8<sse2_lanes>(bottom);
    transpose_8x8(top, bottom);  // back to rows: top[r] columns 0-3, bottom[r] 4-7
    forward_dct_8<sse2_lanes>(top);
    forward_dct_8<sse2_lanes>(bottom);
    for (int row = 0; row < 8; ++row) {
        const __m128i low = quantised(top[row], divisor + row * 8);
        const __m128i high = quantised(bottom[row], divisor + row * 8 + 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + row * 8), _mm_packs_epi32(low, high));
    }
}

void jpeg_block_sse2(const uint8_t* const rows[8], const jpeg_divisors& divisors,
                     int16_t coefficients[3][64]) {
    __m128 planes[3][2][8];
    colour_planes_sse2(rows, planes);
    dct_quantise_sse2(planes[0][0], planes[0][1], divisors.luma, coefficients[0]);
    dct_quantise_sse2(planes[1][0], planes[1][1], divisors.chroma, coefficients[1]);
    dct_quantise_sse2(planes[2][0], planes[2][1], divisors.chroma, coefficients[2]);
}

// The 2x2 means of columns 2 * pair and 2 * pair + 1 of a plane held as
// columns: four averaged rows. Even rows are the upper of each pair.
inline __m128 averaged_column_sse2(const __m128 plane[2][8], int pair) {
    const __m128 left_top = plane[0][2 * pair], left_bottom = plane[1][2 * pair];
    const __m128 right_top = plane[0][2 * pair + 1], right_bottom = plane[1][2 * pair + 1];
    return chroma_mean<sse2_lanes>(_mm_shuffle_ps(left_top, left_bottom, _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm_shuffle_ps(right_top, right_bottom, _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm_shuffle_ps(left_top, left_bottom, _MM_SHUFFLE(3, 1, 3, 1)),
                                   _mm_shuffle_ps(right_top, right_bottom, _MM_SHUFFLE(3, 1, 3, 1)));
}

void jpeg_subsampled_sse2(const uint8_t* const rows[16], const jpeg_divisors& divisors,
                          int16_t coefficients[6][64]) {
    __m128 averaged[2][2][8];  // Cb and Cr of the whole square, held as columns
    for (int quarter = 0; quarter < 4; ++quarter) {
        const uint8_t* block_rows[8];
        quarter_rows(rows, quarter, block_rows);
        __m128 planes[3][2][8];
        colour_planes_sse2(block_rows, planes);
        dct_quantise_sse2(planes[0][0], planes[0][1], divisors.luma, coefficients[quarter]);
        for (int plane = 0; plane < 2; ++plane) {
            for (int pair = 0; pair < 4; ++pair) {
                averaged[plane][quarter / 2][quarter % 2 * 4 + pair] = averaged_column_sse2(planes[1 + plane], pair);
            }
        }
    }
    dct_quantise_sse2(averaged[0][0], averaged[0][1], divisors.chroma, coefficients[4]);
    dct_quantise_sse2(averaged[1][0], averaged[1][1], divisors.chroma, coefficients[5]);
}
#endif

// One band of 8 or 16 rows from `y`, out of the rows fetched from the
// view (`fetched[0]` is row `fetched_first`); rows past the bottom repeat
// the last row, as the reference does.
void band_rows(const uint8_t* const fetched[], int64_t fetched_first, int64_t y, int band_height,
               int64_t height, const uint8_t* rows[16]) {
    for (int row = 0; row < band_height; ++row) {
        const int64_t source_y = y + row < height ? y + row : height - 1;
        rows[row] = fetched[source_y - fetched_first];
    }
}

// The rows of the square of `side` pixels at `first_column` of a band:
// pointers into the band, or, for a square that reaches past the right
// edge, into `tile`, where the last column repeats as the reference has it.
void square_rows(const uint8_t* const band[16], int first_column, int side, int width, uint8_t tile[16][64],
                 const uint8_t* rows[16]) {
    if (first_column + side <= width) {
        for (int row = 0; row < side; ++row) rows[row] = band[row] + size_t(first_column) * 4;
        return;
    }
    for (int row = 0; row < side; ++row) {
        for (int column = 0; column < side; ++column) {
            const int x = first_column + column < width ? first_column + column : width - 1;
            std::memcpy(tile[row] + column * 4, band[row] + size_t(x) * 4, 4);
        }
        rows[row] = tile[row];
    }
}

// The blocks of one square in the order of the scan, by component: Y, Cb,
// Cr, or the four Y blocks first where the chroma is averaged.
constexpr int kFullComponents[] = {0, 1, 2};
constexpr int kSubsampledComponents[] = {0, 0, 0, 0, 1, 2};

}  // namespace

int available_jpeg_kernels(named_jpeg_kernel kernels[3]) {
    int count = 0;
    kernels[count++] = {"scalar", jpeg_block_scalar, jpeg_subsampled_scalar};
#if JPEG_WRITER_SSE2
    kernels[count++] = {"sse2", jpeg_block_sse2, jpeg_subsampled_sse2};
#endif
#if defined(VEERPIX_JPEG_AVX2)
    if (cpu_has_avx2()) kernels[count++] = {"avx2", jpeg_block_avx2, jpeg_subsampled_avx2};
#endif
    return count;
}

malloc_ptr<uint8_t> write_jpeg_to_memory(const pix_image& raster, uint64_t* length, int quality) {
    return write_jpeg_to_memory(pix_view_of(raster), length, quality);
}

malloc_ptr<uint8_t> write_jpeg_to_memory(const pix_view& view, uint64_t* length, int quality) {
    named_jpeg_kernel kernels[3];
    return write_jpeg_with_kernel(view, length, quality, kernels[available_jpeg_kernels(kernels) - 1]);
}

malloc_ptr<uint8_t> write_jpeg_with_kernel(const pix_image& raster, uint64_t* length, int quality,
                                           const named_jpeg_kernel& kernel) {
    return write_jpeg_with_kernel(pix_view_of(raster), length, quality, kernel);
}

malloc_ptr<uint8_t> write_jpeg_with_kernel(const pix_view& view, uint64_t* length, int quality,
                                           const named_jpeg_kernel& kernel) {
    const int width = view.width;
    const int height = view.height;
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return nullptr;
    const quality_settings settings = read_quality(quality);
    const quantisation_tables quantisation = build_quantisation_tables(settings.table_scale);
    const huffman_table luma_dc = build_huffman_table(kLumaDc), luma_ac = build_huffman_table(kLumaAc);
    const huffman_table chroma_dc = build_huffman_table(kChromaDc), chroma_ac = build_huffman_table(kChromaAc);
    const component_tables components[3] = {{&luma_dc, &luma_ac}, {&chroma_dc, &chroma_ac}, {&chroma_dc, &chroma_ac}};
    const int side = settings.subsampled ? 16 : 8;
    const int* const block_components = settings.subsampled ? kSubsampledComponents : kFullComponents;
    const int block_count = settings.subsampled ? 6 : 3;

    const size_t squares_across = (size_t(width) + side - 1) / side;
    const size_t band_bound = squares_across * size_t(block_count) * kMaxBlockBytes;
    // A photograph at quality 92 takes about an eighth of its raster; a
    // bound for every picture would be several times the raster, so the
    // block grows in the rare case that the guess is short.
    output_block out;
    if (!out.reserve(kHeaderBytes + size_t(width) * 4 * size_t(height) / 8 + band_bound + 2)) return nullptr;
    write_headers(out, quantisation, width, height, settings.subsampled);

    // The rows of a turned or mirrored view are gathered here, a band of
    // kViewBandRows (a whole number of squares) at a time.
    static_assert(kViewBandRows % 16 == 0, "a fetched band holds whole squares");
    malloc_ptr<uint8_t> scratch(static_cast<uint8_t*>(std::malloc(size_t(kViewBandRows) * size_t(width) * 4)));
    if (!scratch) return nullptr;

    bit_writer bits;
    int previous_dc[3] = {0, 0, 0};
    int16_t coefficients[6][64];
    uint8_t tile[16][64];
    for (int64_t fetched_first = 0; fetched_first < height; fetched_first += kViewBandRows) {
        const uint8_t* fetched[kViewBandRows];
        pix_view_rows(view, fetched_first, std::min<int64_t>(kViewBandRows, height - fetched_first), scratch.get(),
                      fetched);
        const int64_t fetched_end = std::min<int64_t>(fetched_first + kViewBandRows, height);
        for (int64_t y = fetched_first; y < fetched_end; y += side) {
            if (!out.reserve(band_bound + 2)) return nullptr;
            const uint8_t* band[16];
            band_rows(fetched, fetched_first, y, side, height, band);
            for (int x = 0; x < width; x += side) {
                const uint8_t* rows[16];
                square_rows(band, x, side, width, tile, rows);
                if (settings.subsampled) {
                    kernel.subsampled(rows, quantisation.divisors, coefficients);
                } else {
                    kernel.block(rows, quantisation.divisors, coefficients);
                }
                for (int block = 0; block < block_count; ++block) {
                    const int component = block_components[block];
                    previous_dc[component] = encode_block(bits, out, coefficients[block], previous_dc[component],
                                                          components[component]);
                }
            }
        }
    }
    bits.finish(out);
    out.put_u16(0xFFD9);
    *length = out.length();
    return std::move(out.bytes);
}
