// The BMP writer: 32-bit BGRA rows bottom to top behind a version 4 header
// with the channel masks, written byte for byte as the bundled
// stb_image_write writes an RGBA raster (the tests hold the two side by
// side), from a view, so that a turned picture needs no second raster.
#pragma once

#include <cstdint>

#include "pixels/raster.h"

// The whole BMP of the picture the view shows in one malloc'd block, or
// null when memory runs out. The sides are those encoder_accepts lets
// through for BMP.
malloc_ptr<uint8_t> write_bmp_to_memory(const pix_view& view, uint64_t* length);
