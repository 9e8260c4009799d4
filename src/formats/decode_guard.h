// Header checks in front of the image decoder. The decoder has memory-
// safety faults, fixed only in its later releases, that certain file
// shapes reach; the library must not change the decoder's code, so it
// recognises those shapes from the file's headers and refuses them before
// the decoder reads a byte.
#pragma once

#include <cstdint>

// The whole file's bytes. Returns null when the decoder may read them,
// else a short reason for the refusal (a constant string).
const char* decode_guard_check(const uint8_t* bytes, uint64_t length);
