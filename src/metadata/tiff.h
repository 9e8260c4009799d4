// The one reader of TIFF data (the body of an Exif segment or a PNG eXIf
// chunk): its header, IFD0 and the entries of a directory. Every read is
// bounded by the data's end; byte order is a value carried along.
#pragma once

#include <cstdint>

#include "common/byte_reader.h"

constexpr uint64_t TIFF_HEADER_SIZE = 8;
constexpr uint64_t TIFF_ENTRY_SIZE = 12;

constexpr uint16_t TIFF_TAG_ORIENTATION = 0x0112;
constexpr uint16_t TIFF_TYPE_SHORT = 3;
constexpr uint16_t TIFF_TYPE_LONG = 4;

// TIFF data whose IFD0, entry table included, lies inside it.
struct TiffData {
    ByteReader bytes;  // positions count from the TIFF header
    ByteOrder order;
    uint64_t ifd0;
    uint16_t entry_count;
};

// Why TIFF data could not be opened.
enum class TiffFault {
    None,
    Truncated,     // shorter than a TIFF header
    ByteOrder,     // neither "I" nor "M" first
    Magic,         // not 42 in the stated byte order
    IfdOffset,     // IFD0's offset inside the header, past the data or above 2^31
    IfdTruncated,  // IFD0's entries pass the data's end
};

TiffFault open_tiff(const ByteReader& bytes, TiffData* tiff);

struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
};

inline uint64_t tiff_entry_position(uint64_t directory, uint64_t index) {
    return directory + 2 + TIFF_ENTRY_SIZE * index;
}

// Only for entries of a directory whose table lies inside the data.
TiffEntry read_tiff_entry(const TiffData& tiff, uint64_t position);

// The position of IFD0's next entry with `tag` after the entry at `after`
// (0: from the first), or 0 where there is none. Every entry with the tag
// is found, duplicates too:
//   for (uint64_t at = find_ifd0_entry(tiff, tag, 0); at; at = find_ifd0_entry(tiff, tag, at))
uint64_t find_ifd0_entry(const TiffData& tiff, uint16_t tag, uint64_t after);
