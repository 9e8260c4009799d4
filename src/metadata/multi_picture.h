// The multi-picture index of a JPEG: the APP2 "MPF" segment ahead of the
// primary picture's frame, whose MP Entry list says where each picture of
// the file lies (an offset from the segment's TIFF header) and how long it
// is. Secondary pictures, such as the gain map of an HDR photo, follow the
// primary picture's EOI. Read with the one TIFF reader; rewritten in place,
// every byte of the segment but the entries' sizes and offsets kept.
#pragma once

#include <cstdint>
#include <vector>

#include "common/byte_reader.h"
#include "formats/jpeg_segments.h"

// An APP2 segment that holds MPF data: "MPF\0", then TIFF data.
bool is_mpf_segment(const ByteReader& jpeg, const JpegSegment& segment);
inline uint64_t mpf_tiff_start(const JpegSegment& mpf) { return mpf.payload + 4; }

// A picture that the index places after the primary picture.
struct secondary_picture {
    uint32_t entry = 0;   // its MP Entry's number: 1 for the file's second picture
    uint64_t start = 0;   // in the file
    uint64_t length = 0;  // as its entry states it
};

enum class multi_picture_index : uint8_t {
    absent,   // no MPF segment ahead of the frame
    sound,    // the pictures below are where the index says
    unsound,  // an index no one should follow (its pictures are left out)
};

// The secondary pictures listed by the JPEG's MPF segment, in the order of
// the file. Sound only where there is one MPF segment, its TIFF data opens,
// NumberOfImages (one LONG) and MPEntry (16 bytes a picture) agree, the
// first entry's offset is 0, and every other picture lies whole in the
// file after `primary_end` without overlapping another.
multi_picture_index read_multi_picture_index(const uint8_t* jpeg, uint64_t length, uint64_t primary_end,
                                             std::vector<secondary_picture>* pictures);

// A picture written after the primary picture, in the order written.
struct placed_picture {
    uint32_t entry = 0;   // its MP Entry's number, as read
    uint64_t length = 0;  // as written
};

// Sets a sound index (an MPF segment's TIFF data, `tiff_start` bytes from
// the file's start) to the file as written: the primary picture of
// `primary_length` bytes first (its offset stays 0), then `placed` one
// after another. False, nothing changed, where the index is not sound or a
// size or offset does not fit its 32 bits.
bool place_multi_pictures(uint8_t* tiff, uint64_t tiff_length, uint64_t tiff_start, uint64_t primary_length,
                          const std::vector<placed_picture>& placed);
