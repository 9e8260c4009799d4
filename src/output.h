// The one step that writes output files.
#pragma once

#include <cstdint>

#include "raster.h"

// Writes `length` bytes of `buffer` to `path` and releases the buffer on
// every outcome. A regular file is replaced atomically: on failure the path
// keeps what it held before. Sets "failed to write output" and returns 0 on
// failure, returns 1 on success.
int write_file(const char* path, malloc_ptr<uint8_t> buffer, uint64_t length);
