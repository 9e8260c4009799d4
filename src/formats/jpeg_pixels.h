// The JPEG decoder's pixel kernels, each giving the codec's bytes: the
// IDCT of a block, the upsampling of a row, the colour conversion of a
// row. Plain loops everywhere, SSE2 and AVX2 variants where they pay.
#pragma once

#include <cstddef>
#include <cstdint>

// Dequantises `count` blocks of a row (each 64 coefficients in natural
// order; products kept to 16 bits as the codec keeps them) and writes
// their 8x8 samples side by side, rows `stride` apart.
using IdctRowKernel = void (*)(const int16_t* blocks, uint32_t count, const uint16_t* steps, uint8_t* out,
                               size_t stride);
// The codec's YCbCr to RGBA (alpha 255) of a row of samples.
using YcbcrRowKernel = void (*)(uint8_t* out, const uint8_t* y, const uint8_t* cb, const uint8_t* cr,
                                uint32_t width);

// The codec's upsampling by two both ways of a row of `width` samples, from
// the nearer and the farther source row, into width * 2 bytes.
using UpsampleRowKernel = void (*)(uint8_t* out, const uint8_t* near_row, const uint8_t* far_row, int width);

struct PixelKernels {
    const char* name;
    IdctRowKernel idct_row;
    YcbcrRowKernel ycbcr_row;
    UpsampleRowKernel upsample_both_row;
};

// The plain loops first, the fastest the CPU runs last.
int available_pixel_kernels(PixelKernels kernels[3]);
PixelKernels pixel_kernels();

// One output row of a component upsampled by (horizontal, vertical)
// factors, as the codec's resampler of that pair computes it from the
// nearer and the farther source row: into `out` (width * horizontal + 3
// bytes at least), or the near row itself where nothing is to be done.
const uint8_t* upsample_row(const PixelKernels& kernels, uint8_t* out, const uint8_t* near_row, const uint8_t* far_row,
                            int width, int horizontal, int vertical);

void grey_to_rgba_row(uint8_t* out, const uint8_t* grey, uint32_t width);
void rgb_to_rgba_row(uint8_t* out, const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t width);
void cmyk_to_rgba_row(uint8_t* out, const uint8_t* c, const uint8_t* m, const uint8_t* y, const uint8_t* k,
                      uint32_t width);
// YCCK after its YCbCr part: each colour channel inverted and scaled by K.
void invert_and_multiply_row(uint8_t* out, const uint8_t* k, uint32_t width);
