// The coefficient writer: a baseline JPEG (one interleaved scan, Huffman
// tables made for the picture) from coefficients read by the coefficient
// reader, each block taken through one of the eight whole-pixel
// transforms on its way out. No second array of coefficients is made.
#pragma once

#include <cstdint>

#include "common/memory.h"
#include "formats/jpeg_coefficients.h"
#include "pixels/transform.h"

// Bytes appended to a growing malloc'd block; a failed allocation is
// remembered and every later append ignored.
struct ByteSink {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
    uint64_t capacity = 0;
    bool failed = false;

    bool reserve(uint64_t more);
    void append(const uint8_t* data, uint64_t size);
    void byte(uint8_t value) { append(&value, 1); }
    void u16(uint32_t value) {
        const uint8_t pair[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        append(pair, 2);
    }
};

// One component of the result: its frame values and where its blocks come
// from. Result block (x, y) is source block (u, v) of `source`, where
// (u, v) is (x, y), or (y, x) when the transform exchanges the sides; u
// counts from the right of the first source_columns blocks when the
// transform reverses columns (source_columns - 1 - u), v likewise.
struct LayoutComponent {
    const CoefficientComponent* source = nullptr;
    uint8_t horizontal_sampling = 1;
    uint8_t vertical_sampling = 1;
    uint32_t padded_blocks_wide = 0;
    uint32_t padded_blocks_high = 0;
    uint32_t source_columns = 0;
    uint32_t source_rows = 0;
};

// The result's frame: the source read through `transform`, its partial
// edge blocks dropped where they would leave the right or bottom edge.
struct CoefficientLayout {
    Transform transform = Transform::Identity;
    uint32_t width = 0;
    uint32_t height = 0;
    int component_count = 0;
    LayoutComponent components[4];
};

// Appends the frame from its quantisation tables to EOI (the caller has
// written SOI and what precedes the tables). Null on success, else the
// reason (a constant string).
const char* append_coefficient_jpeg(const CoefficientImage& image, const CoefficientLayout& layout, ByteSink* sink);
