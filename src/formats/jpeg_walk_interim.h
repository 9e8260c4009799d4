// INTERIM: a minimal segment walk until the shared JPEG segment walk lands
// (formats/jpeg_segments.h); removed when it does.
#pragma once

#include <cstdint>

struct JpegSegment {
    uint8_t marker = 0;
    uint64_t marker_offset = 0;
    uint64_t payload_offset = 0;  // past the length field; for SOI/EOI past the marker
    uint64_t payload_length = 0;
};

struct JpegSegmentWalk {
    const uint8_t* bytes;
    uint64_t length;
    uint64_t position;
    const char* failure;
};

inline JpegSegmentWalk jpeg_walk_start(const uint8_t* bytes, uint64_t length) {
    JpegSegmentWalk walk{bytes, length, 2, nullptr};
    if (length < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) walk.failure = "not a JPEG";
    return walk;
}

inline bool jpeg_walk_next(JpegSegmentWalk* walk, JpegSegment* segment) {
    if (walk->failure) return false;
    uint64_t at = walk->position;
    if (at + 2 > walk->length || walk->bytes[at] != 0xFF) {
        walk->failure = "JPEG segments truncated";
        return false;
    }
    while (at + 1 < walk->length && walk->bytes[at + 1] == 0xFF) ++at;
    if (at + 2 > walk->length) {
        walk->failure = "JPEG segments truncated";
        return false;
    }
    segment->marker = walk->bytes[at + 1];
    segment->marker_offset = at;
    if (segment->marker == 0xD9 || (segment->marker >= 0xD0 && segment->marker <= 0xD8) || segment->marker == 0x01) {
        segment->payload_offset = at + 2;
        segment->payload_length = 0;
        walk->position = at + 2;
        return true;
    }
    if (at + 4 > walk->length) {
        walk->failure = "JPEG segments truncated";
        return false;
    }
    const uint64_t field = uint64_t{walk->bytes[at + 2]} << 8 | walk->bytes[at + 3];
    if (field < 2 || at + 2 + field > walk->length) {
        walk->failure = "JPEG segments truncated";
        return false;
    }
    segment->payload_offset = at + 4;
    segment->payload_length = field - 2;
    walk->position = at + 2 + field;
    return true;
}

// After a scan's entropy-coded data: on to the marker that ends it.
inline void jpeg_walk_resume_after_scan(JpegSegmentWalk* walk, uint64_t position) {
    const uint8_t* bytes = walk->bytes;
    while (position + 1 < walk->length) {
        if (bytes[position] == 0xFF && bytes[position + 1] != 0x00 && bytes[position + 1] != 0xFF &&
            !(bytes[position + 1] >= 0xD0 && bytes[position + 1] <= 0xD7)) {
            walk->position = position;
            return;
        }
        ++position;
    }
    walk->position = walk->length;
}
