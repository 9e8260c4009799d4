// The JPEG writer: baseline JFIF at any quality, 4:4:4 above quality 90
// and 4:2:0 at 90 and below, written byte for byte as the bundled
// stb_image_write writes it (the tests hold the two side by side), several
// times faster.
#pragma once

#include <cstdint>

#include "formats/jpeg_block.h"
#include "pixels/raster.h"

// The whole JPEG of an RGBA raster (alpha ignored) in one malloc'd block,
// or null when memory runs out. The raster's sides are those
// encoder_accepts lets through for JPEG. `quality` is read as the
// reference reads any int: 1..100, 0 for its default of 90, others
// clamped; the library passes only 1..100.
malloc_ptr<uint8_t> write_jpeg_to_memory(const pix_image& raster, uint64_t* length, int quality);

// The same of the picture a view shows, read a band of rows at a time.
malloc_ptr<uint8_t> write_jpeg_to_memory(const pix_view& view, uint64_t* length, int quality);

// For the tests and benchmarks: the writer with given block kernels, and
// the kernels this build and CPU can run, named, the writer's choice last.
struct named_jpeg_kernel {
    const char* name;
    jpeg_block_kernel block;            // above quality 90
    jpeg_subsampled_kernel subsampled;  // at 90 and below
};
int available_jpeg_kernels(named_jpeg_kernel kernels[3]);

malloc_ptr<uint8_t> write_jpeg_with_kernel(const pix_image& raster, uint64_t* length, int quality,
                                           const named_jpeg_kernel& kernel);
malloc_ptr<uint8_t> write_jpeg_with_kernel(const pix_view& view, uint64_t* length, int quality,
                                           const named_jpeg_kernel& kernel);
