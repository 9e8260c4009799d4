// The lossless road for JPEGs: one of the eight whole-pixel transforms
// done on the file's DCT coefficients, so the result decodes to exactly
// the picture transformed, with the file's own quantisation.
#pragma once

#include <cstdint>

#include "common/memory.h"
#include "pixels/transform.h"

struct JpegLosslessOptions {
    // Drop the partial MCUs of an edge that the transform would carry to
    // the result's left or top edge, instead of declining.
    bool trim = false;
};

struct JpegLosslessResult {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
    uint32_t width = 0;  // of the result
    uint32_t height = 0;
    // Which sides of the input lost their partial MCUs to the trim option
    // (a partial edge needed whole: declined without the option).
    bool trimmed_width = false;
    bool trimmed_height = false;
    uint32_t input_width = 0;  // the stored picture's sides
    uint32_t input_height = 0;
    uint32_t mcu_width = 0;  // the input's MCU in pixels
    uint32_t mcu_height = 0;
    bool input_progressive = false;
    // Where the input's picture ends (past EOI): what follows, such as the
    // secondary pictures of multi-picture files, is not in the result.
    uint64_t input_image_end = 0;
};

// The input JPEG's bytes, the transform (of the stored pixels) and the
// options. The result is a baseline JPEG: the input's segments before its
// frame header (APPn and COM) byte for byte, its quantisation tables,
// component ids and sampling factors (exchanged with the sides), Huffman
// tables made for the result, its restart interval. Returns null on
// success, else why the file cannot take this road (a constant string).
const char* jpeg_lossless_transform(const uint8_t* bytes, uint64_t length, Transform transform,
                                    const JpegLosslessOptions& options, JpegLosslessResult* result);

// The reasons for partial edges, for callers that name the side.
extern const char* const kJpegPartialWidth;
extern const char* const kJpegPartialHeight;
