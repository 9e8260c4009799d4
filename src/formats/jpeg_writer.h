// The JPEG writer: baseline JFIF, 4:4:4, quality 92, written byte for byte
// as the bundled stb_image_write writes it (the tests hold the two side by
// side), several times faster.
#pragma once

#include <cstdint>

#include "formats/jpeg_block.h"
#include "pixels/raster.h"

// The whole JPEG of an RGBA raster (alpha ignored) in one malloc'd block,
// or null when memory runs out. The raster's sides are those
// encoder_accepts lets through for JPEG. `quality` as stb_image_write
// reads it (1..100; the library passes only those).
malloc_ptr<uint8_t> write_jpeg_to_memory(const pix_image& raster, uint64_t* length, int quality);

// For the tests and benchmarks: the writer with a given block kernel, and
// the kernels this build and CPU can run, named, the writer's choice last.
malloc_ptr<uint8_t> write_jpeg_with_kernel(const pix_image& raster, uint64_t* length, jpeg_block_kernel kernel);

struct named_jpeg_kernel {
    const char* name;
    jpeg_block_kernel kernel;
};
int available_jpeg_kernels(named_jpeg_kernel kernels[3]);
