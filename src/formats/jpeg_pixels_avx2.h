// The JPEG decoder's AVX2 kernels, in their own unit compiled for AVX2:
// called only where the CPU has it.
#pragma once

#include <cstddef>
#include <cstdint>

// The codec's IDCT of two blocks at once, written side by side.
void idct_pair_avx2(const int16_t* first, const int16_t* second, const uint16_t* steps, uint8_t* out, size_t stride);

// The codec's YCbCr conversion of the first whole sixteens of `count`
// pixels.
void ycbcr_to_rgba_avx2(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t count);

// The codec's upsampling by two both ways of samples `start` (at least 1)
// on, sixteen at a time while the sample after them exists: outputs
// 2 * start onwards. Returns the sample it stopped at.
int upsample_both_avx2(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int start, int width);
