// A JPEG's quantised DCT coefficients, read without decoding a pixel: the
// picture as the lossless transforms and the coefficient writer see it.
// The reader takes baseline, extended sequential and progressive Huffman
// files of 8-bit samples with 1 to 4 components; everything else it
// declines with a reason rather than misread.
#pragma once

#include <cstdint>

#include "common/memory.h"

// The coefficients of one component, block after block in rows, each block
// 64 values in natural (row-major) order. The rows span whole MCUs of the
// frame (padded_blocks_*), as an interleaved scan codes them; the picture's
// own samples lie in the first blocks_* of them.
struct CoefficientComponent {
    uint8_t id = 0;
    uint8_t horizontal_sampling = 1;
    uint8_t vertical_sampling = 1;
    uint8_t quant_table = 0;
    uint32_t blocks_wide = 0;  // ceil(component width / 8)
    uint32_t blocks_high = 0;
    uint32_t padded_blocks_wide = 0;
    uint32_t padded_blocks_high = 0;
    malloc_ptr<int16_t> coefficients;

    int16_t* block(uint32_t column, uint32_t row) const {
        return coefficients.get() + (uint64_t{row} * padded_blocks_wide + column) * 64;
    }
};

struct QuantTable {
    bool defined = false;
    uint16_t steps[64] = {};  // natural order
};

struct CoefficientImage {
    uint32_t width = 0;
    uint32_t height = 0;
    int component_count = 0;
    CoefficientComponent components[4];
    QuantTable quant_tables[4];
    bool progressive = false;
    uint16_t restart_interval = 0;  // the first one defined; 0 for none
    // The MCU in pixels: 8 x 8 for a single component, else 8 times the
    // largest sampling factors.
    uint32_t mcu_width = 8;
    uint32_t mcu_height = 8;
    // Where the frame header's marker starts: what lies before it (APPn,
    // COM, tables) is the file's head.
    uint64_t frame_offset = 0;
    // Just past the EOI marker (or the end of the data when there is none):
    // what follows is not part of this picture.
    uint64_t image_end = 0;
    // Some scan's data is followed by bytes no code reads (or by a restart
    // marker) before the marker that ends it. Dropped on the lossless
    // road; a pixel decoder may read them differently.
    bool bytes_after_scan_data = false;
};

// Coefficients take 2 bytes per sample; like the decoder's raster, the
// whole must stay under 2 GiB, checked from the frame header before any
// allocation.
constexpr uint64_t kMaxCoefficientBytes = 0x7FFFFFFF;

// Takes a sequential file's coefficients one MCU row at a time, so that a
// decoder need not hold the whole picture's: each component then holds
// one MCU row of blocks (rows 0 to v - 1, or 0 alone for a single
// component), valid during the call. False stops the reading.
struct CoefficientRowSink {
    void* context;
    bool (*mcu_row)(void* context, const CoefficientImage& image, uint32_t mcu_row);
};

// Reads the whole file's coefficients into `image`. Returns null on
// success, else the reason it declines (a constant string). With a sink,
// only a sequential file of one scan holding every component is read.
const char* read_jpeg_coefficients(const uint8_t* bytes, uint64_t length, CoefficientImage* image,
                                   const CoefficientRowSink* sink = nullptr);
