#include "formats/deflate.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "common/large_block.h"
#include "formats/stb_codecs.h"

#if defined(VEERPIX_DEFLATE_LIBDEFLATE)
#include <libdeflate.h>
#elif defined(VEERPIX_DEFLATE_ZLIB)
#include <zlib.h>
#endif

// ---- The compressor -----------------------------------------------------------

#if defined(VEERPIX_DEFLATE_LIBDEFLATE) || defined(VEERPIX_DEFLATE_ZLIB)
namespace {

// The writer asks for its level 8 unless told otherwise; that level maps
// to libdeflate's 7, or zlib's 6 where zlib stands in (its own default and
// the level libvips writes with; zlib's 7 searches twice as far, and was
// not measured). libdeflate's level comes from whole quarter turns of the
// benchmarks' 24 MP pictures at each level beside libvips with one thread
// (bench/compare.sh with LEVELS; the figures are in docs/performance.md).
// On the photo every level up to 9 takes about half of libvips's CPU time
// or less and writes a file 14-18% smaller; 5 to 9 write the smallest
// files of these (1 to 4 up to 5% more), 6 and 7 the same bytes in the
// same time. On the screenshot-like graphic, where long matches decide, 7
// writes 4% less than 6 (10% less than 5) for up to a third more of a turn
// that stays under half of libvips's; 9 takes more than twice as long as 7
// to write 1% less, and from 10 up a level costs as much as libvips's
// whole turn. Up to 11 the graphic's file stays larger than libvips's (by
// 14% at 7): libvips writes rows unfiltered, which suits flat colours
// better than adaptive filters, and ours stay the reference writer's (its
// bytes are the writer's promise); only 12 gets under it, at twenty times
// its time.
constexpr int kWriterDefaultLevel = 8;
#if defined(VEERPIX_DEFLATE_LIBDEFLATE)
constexpr int kLibraryDefaultLevel = 7;
#else
constexpr int kLibraryDefaultLevel = 6;
#endif

int library_level(int writer_level, int highest) {
    if (writer_level == kWriterDefaultLevel) return kLibraryDefaultLevel;
    return std::clamp(writer_level, 1, highest);
}

// Gives back the unused tail of the worst-case bound.
unsigned char* fitted(unsigned char* stream, size_t length) {
    void* smaller = std::realloc(stream, length);
    return smaller ? static_cast<unsigned char*>(smaller) : stream;
}

}  // namespace

// The writer releases the result with free.
extern "C" unsigned char* library_deflate(unsigned char* data, int data_len, int* out_len, int quality) {
    if (data_len < 0) return nullptr;
#if defined(VEERPIX_DEFLATE_LIBDEFLATE)
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(library_level(quality, 12));
    if (!compressor) return nullptr;
    const size_t bound = libdeflate_zlib_compress_bound(compressor, static_cast<size_t>(data_len));
    auto* out = static_cast<unsigned char*>(veerpix_malloc_large(bound));
    const size_t written =
        out ? libdeflate_zlib_compress(compressor, data, static_cast<size_t>(data_len), out, bound) : 0;
    libdeflate_free_compressor(compressor);
#else
    uLongf written = compressBound(static_cast<uLong>(data_len));
    auto* out = static_cast<unsigned char*>(std::malloc(written));
    if (out && compress2(out, &written, data, static_cast<uLong>(data_len), library_level(quality, 9)) != Z_OK) {
        written = 0;
    }
#endif
    if (written == 0 || written > INT_MAX) {
        std::free(out);
        return nullptr;
    }
    *out_len = static_cast<int>(written);
    return fitted(out, written);
}
#endif

DeflateBackend deflate_backend() {
#if defined(VEERPIX_DEFLATE_LIBDEFLATE)
    return DeflateBackend::libdeflate;
#elif defined(VEERPIX_DEFLATE_ZLIB)
    return DeflateBackend::zlib;
#else
    return DeflateBackend::builtin;
#endif
}

Deflated deflate_zlib(const uint8_t* data, uint64_t length, malloc_ptr<uint8_t>* stream,
                      uint64_t* stream_length) {
    if (length > INT_MAX) return Deflated::too_large;
    int compressed_length = 0;
    malloc_ptr<uint8_t> compressed(compress_guarded(data, static_cast<int>(length), &compressed_length));
    if (!compressed || compressed_length <= 0) return Deflated::out_of_memory;
    *stream = std::move(compressed);
    *stream_length = static_cast<uint64_t>(compressed_length);
    return Deflated::whole;
}

// ---- The inflater ---------------------------------------------------------------

Inflated inflate_zlib(const uint8_t* stream, uint64_t length, uint64_t limit, malloc_ptr<uint8_t>* out,
                      uint64_t* out_length) {
    if (length == 0 || length > INT_MAX) return Inflated::broken;
    // Nearly every stream fits the first try; a larger one gets room for
    // the most that deflate can expand (1032 to 1).
    const uint64_t largest = std::min({limit, length * 1032 + 64, uint64_t{INT_MAX}});
    const uint64_t first = std::min<uint64_t>(largest, 256 << 10);
    for (uint64_t capacity : {first, largest}) {
        malloc_ptr<uint8_t> block(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity ? capacity : 1))));
        if (!block) return Inflated::out_of_memory;
        const int inflated = inflate_zlib_stream(stream, static_cast<int>(length), block.get(),
                                                 static_cast<int>(capacity));
        if (inflated > 0) {
            *out = std::move(block);
            *out_length = static_cast<uint64_t>(inflated);
            return Inflated::whole;
        }
        if (capacity == largest) break;
    }
    return Inflated::broken;
}

// ---- CRC-32 -----------------------------------------------------------------------

#if defined(VEERPIX_DEFLATE_LIBDEFLATE)
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    return libdeflate_crc32(crc, data, length);
}
#elif defined(VEERPIX_DEFLATE_ZLIB)
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    while (length > 0) {
        const uInt chunk = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
        crc = static_cast<uint32_t>(crc32(crc, data, chunk));
        data += chunk;
        length -= chunk;
    }
    return crc;
}
#else
namespace {

// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes.
struct CrcTables {
    uint32_t table[8][256];
};

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t.table[0][n] = c;
    }
    for (int k = 1; k < 8; ++k) {
        for (int n = 0; n < 256; ++n) {
            const uint32_t previous = t.table[k - 1][n];
            t.table[k][n] = (previous >> 8) ^ t.table[0][previous & 0xFF];
        }
    }
    return t;
}

constexpr CrcTables kCrc = make_crc_tables();

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    crc = ~crc;
    for (; length >= 8; data += 8, length -= 8) {
        const uint32_t low = crc ^ (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                                    uint32_t{data[3]} << 24);
        crc = kCrc.table[7][low & 0xFF] ^ kCrc.table[6][(low >> 8) & 0xFF] ^ kCrc.table[5][(low >> 16) & 0xFF] ^
              kCrc.table[4][low >> 24] ^ kCrc.table[3][data[4]] ^ kCrc.table[2][data[5]] ^
              kCrc.table[1][data[6]] ^ kCrc.table[0][data[7]];
    }
    for (; length > 0; ++data, --length) crc = kCrc.table[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
#endif
