// The BMP writer. The file is a 14-byte file header, a 108-byte version 4
// information header (bit fields: red, green, blue and alpha masks; no
// colour space), then the pixels, the bottom row first, each B, G, R, A,
// with no padding: a row of 32-bit pixels is a whole number of words.
#include "formats/bmp_writer.h"

#include <algorithm>
#include <cstring>

#include "common/large_block.h"

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 108;
constexpr size_t kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;

uint8_t* put_u16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    return at + 2;
}

uint8_t* put_u32(uint8_t* at, uint32_t value) {
    at = put_u16(at, value & 0xFFFF);
    return put_u16(at, value >> 16);
}

// Every field the reference fills; the ones it leaves 0 (image size,
// resolution, palette counts, colour space, end points, gamma) stay 0.
void write_headers(uint8_t* at, int32_t width, int32_t height, uint32_t pixel_bytes) {
    std::memset(at, 0, kHeaderBytes);
    at[0] = 'B';
    at[1] = 'M';
    put_u32(at + 2, static_cast<uint32_t>(kHeaderBytes) + pixel_bytes);
    put_u32(at + 10, static_cast<uint32_t>(kHeaderBytes));
    uint8_t* info = at + kFileHeaderBytes;
    put_u32(info, static_cast<uint32_t>(kInfoHeaderBytes));
    put_u32(info + 4, static_cast<uint32_t>(width));
    put_u32(info + 8, static_cast<uint32_t>(height));  // positive: the bottom row comes first
    put_u16(info + 12, 1);                             // planes
    put_u16(info + 14, 32);                            // bits per pixel
    put_u32(info + 16, 3);                             // bit fields
    put_u32(info + 40, 0x00FF0000u);                   // red
    put_u32(info + 44, 0x0000FF00u);                   // green
    put_u32(info + 48, 0x000000FFu);                   // blue
    put_u32(info + 52, 0xFF000000u);                   // alpha
}

// R, G, B, A to B, G, R, A: red and blue change places in each word.
void swap_red_and_blue(const uint8_t* row, int64_t width, uint8_t* out) {
    for (int64_t x = 0; x < width; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, row + x * 4, 4);
        pixel = (pixel & 0xFF00FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
        std::memcpy(out + x * 4, &pixel, 4);
    }
}

}  // namespace

malloc_ptr<uint8_t> write_bmp_to_memory(const pix_view& view, uint64_t* length) {
    const int64_t width = view.width;
    const int64_t height = view.height;
    const size_t row_bytes = size_t(width) * 4;
    const size_t pixel_bytes = row_bytes * size_t(height);
    malloc_ptr<uint8_t> bmp(static_cast<uint8_t*>(veerpix_malloc_large(kHeaderBytes + pixel_bytes)));
    malloc_ptr<uint8_t> scratch(static_cast<uint8_t*>(std::malloc(size_t(kViewBandRows) * row_bytes)));
    if (!bmp || !scratch) return nullptr;
    write_headers(bmp.get(), view.width, view.height, static_cast<uint32_t>(pixel_bytes));
    uint8_t* const pixels = bmp.get() + kHeaderBytes;
    for (int64_t first = 0; first < height; first += kViewBandRows) {
        const int64_t count = std::min<int64_t>(kViewBandRows, height - first);
        const uint8_t* rows[kViewBandRows];
        pix_view_rows(view, first, count, scratch.get(), rows);
        for (int64_t i = 0; i < count; ++i) {
            swap_red_and_blue(rows[i], width, pixels + size_t(height - 1 - (first + i)) * row_bytes);
        }
    }
    *length = kHeaderBytes + pixel_bytes;
    return bmp;
}
