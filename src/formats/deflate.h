// zlib streams and the CRC-32, one unit for the whole library: the PNG
// writer's image data, the metadata's iCCP profile and XMP text. The
// compressor is the one the build chose (libdeflate, zlib, or the PNG
// writer's built-in deflate) and always runs inside the writer's
// allocation guard; the inflater is the decoder's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/memory.h"

// A zlib stream of the data at the PNG writer's level, in one malloc'd
// block; null when memory runs out or the data is too long for the
// compressor (2 GiB).
malloc_ptr<uint8_t> deflate_zlib(const uint8_t* data, uint64_t length, uint64_t* stream_length);

enum class Inflated { whole, broken, out_of_memory };

// Inflates a zlib stream into a new block of at most `limit` bytes, so that
// a small stream cannot claim gigabytes. broken: the stream does not
// inflate, or not within the limit.
Inflated inflate_zlib(const uint8_t* stream, uint64_t length, uint64_t limit, malloc_ptr<uint8_t>* out,
                      uint64_t* out_length);

// The standard CRC-32 (PNG's chunks), continuing `crc` (0 to start).
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length);
