// The PNG writer: RGBA, 8 bits per channel, written byte for byte as the
// bundled stb_image_write writes it with the same compressor (the tests
// hold the two side by side); the row filters and the CRC run several
// times faster.
#pragma once

#include <cstdint>

#include "pixels/raster.h"

// The whole PNG of an RGBA raster in one malloc'd block, or null when
// memory runs out or the compressor fails. The raster's sides are those
// encoder_accepts lets through for PNG.
malloc_ptr<uint8_t> write_png_to_memory(const pix_image& raster, uint64_t* length);

// The same of the picture a view shows, read a band of rows at a time.
// All rows are filtered before the compressor runs, since its one call
// over all of them decides the bytes; `source`, where given, owns the
// view's pixels and is released between the two.
malloc_ptr<uint8_t> write_png_to_memory(const pix_view& view, uint64_t* length, pixel_owner* source = nullptr);
