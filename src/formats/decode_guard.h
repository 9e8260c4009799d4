// Header checks in front of the image decoder. The decoder has memory-
// safety faults, fixed only in its later releases, that certain file
// shapes reach; the library must not change the decoder's code, so it
// recognises those shapes from the file's headers and refuses them before
// the decoder reads a byte, or, where the picture is sound but the decoder
// misreads its headers, hands it a mended copy.
#pragma once

#include <cstdint>

#include "pixels/raster.h"

// The whole file's bytes. Returns null when the decoder may read them,
// else a short reason for the refusal (a constant string).
const char* decode_guard_check(const uint8_t* bytes, uint64_t length);

// A copy of a file, rewritten so that the decoder reads it as the common
// viewers read the original.
struct MendedFile {
    malloc_ptr<uint8_t> bytes;  // null: the decoder reads the file as it is
    uint64_t length = 0;
};

// For a file decode_guard_check let pass: fills `mended` with the copy the
// decoder must read instead, where there is one: files whose palette the
// decoder would read short, so that an index past it reads memory the file
// never wrote. These are OS/2 1.x BMPs (12-byte header, 3-byte palette
// entries, which the decoder also misplaces), and BMPs and PNGs whose
// palette holds fewer entries than their pixels can index; the copy gives
// such indices opaque black. False only when the copy's memory cannot be
// had.
bool decode_guard_mend(const uint8_t* bytes, uint64_t length, MendedFile* mended);
