// The decode road's own JPEG decoder: for every file it takes, the codec's
// RGBA bytes exactly (its IDCT with the codec's rounding and saturation,
// its upsampling, its colour conversions), from the coefficient reader's
// coefficients. A file it is not sure of in every detail it declines,
// and the codec decodes that one as before, so results, messages and
// failure reasons stay the codec's.
#pragma once

#include <cstdint>

#include "common/memory.h"

// RGBA pixels, 4 bytes each, rows of `width` pixels, or null where the
// file is declined (no message). The caller has already checked the
// file's sides against the decoder's budget.
malloc_ptr<uint8_t> decode_jpeg_rgba(const uint8_t* bytes, uint64_t length, uint32_t* width, uint32_t* height);

// What the decoder would do with a file, for the tests and the fuzz
// target: null where it decodes it, else why it declines.
const char* jpeg_decoder_declines(const uint8_t* bytes, uint64_t length);
