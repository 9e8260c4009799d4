// The one walk over a JPEG's marker segments, held in memory.
//
// Each call reads one marker and the segment it opens, by its length
// field, and checks that the segment lies inside the data before anyone
// looks into it. The walk knows markers, positions and lengths only; what
// a segment means is for its caller (the EXIF reader, the metadata copy,
// the decoder's guard, the coefficient reader).
#pragma once

#include <cstdint>

#include "common/byte_reader.h"

namespace jpeg_code {
constexpr uint8_t tem = 0x01;
constexpr uint8_t sof0 = 0xC0;
constexpr uint8_t sof1 = 0xC1;
constexpr uint8_t sof2 = 0xC2;
constexpr uint8_t dht = 0xC4;
constexpr uint8_t rst0 = 0xD0;
constexpr uint8_t rst7 = 0xD7;
constexpr uint8_t soi = 0xD8;
constexpr uint8_t eoi = 0xD9;
constexpr uint8_t sos = 0xDA;
constexpr uint8_t dqt = 0xDB;
constexpr uint8_t dnl = 0xDC;
constexpr uint8_t dri = 0xDD;
constexpr uint8_t app0 = 0xE0;
constexpr uint8_t app1 = 0xE1;
constexpr uint8_t app2 = 0xE2;
constexpr uint8_t app15 = 0xEF;
constexpr uint8_t com = 0xFE;
}  // namespace jpeg_code

// Markers without a length field: TEM, RST0..RST7, SOI, EOI.
bool is_standalone_jpeg_marker(uint8_t code);

// SOF0..SOF15, leaving out DHT, JPG and DAC, which share the range.
bool is_jpeg_frame_header(uint8_t code);

// A marker and its segment. For a standalone marker payload is start + 2
// and payload_length 0.
struct JpegSegment {
    uint8_t code = 0;
    uint64_t start = 0;           // the 0xFF right before the code
    uint64_t payload = 0;         // after the length field
    uint64_t payload_length = 0;  // as the length field states

    uint64_t end() const { return payload + payload_length; }
    bool starts_with(const ByteReader& jpeg, const void* signature, uint64_t size) const {
        return payload_length >= size && jpeg.matches(payload, signature, size);
    }
};

// What a reader tolerates between segments.
struct JpegWalkRules {
    // 0xFF bytes repeated before a marker's code. Without it, 0xFF 0xFF is
    // a marker whose code is 0xFF.
    bool fill_bytes = true;
    // Bytes other than 0xFF where a marker should begin, stepped over as
    // the decoder does ahead of its frame header.
    bool stray_bytes = false;
};

// Why a walk stopped.
enum class JpegStop : uint8_t {
    None,       // a segment was read
    End,        // the data ends before a marker's code
    NotMarker,  // a byte other than 0xFF where a marker should begin (at out->start)
    NoLength,   // the data ends inside the length field
    BadLength,  // a length field below 2, which would count less than itself
    Truncated,  // the payload the length field states passes the data's end
};

// Reads the marker at *pos and its segment. True: *out holds a segment
// lying inside the data and *pos stands after it. False: *stop says why,
// *pos is unchanged, and *out holds as much as was read (the marker's
// start and code; with Truncated the stated length too, so that a reader
// that tolerates a cut-off segment can look at what there is).
bool next_jpeg_segment(const ByteReader& jpeg, uint64_t* pos, const JpegWalkRules& rules,
                       JpegSegment* out, JpegStop* stop);

// Whether the data starts with SOI.
bool starts_with_jpeg_soi(const ByteReader& jpeg);

// Where entropy-coded data starting at `pos` ends: the first 0xFF of the
// marker that follows it (not a stuffed 0xFF 0x00, not a restart marker),
// or the data's end. The walk goes on from there to the next segment (a
// table or scan header between the scans of a progressive file, or EOI).
uint64_t jpeg_entropy_coded_end(const ByteReader& jpeg, uint64_t pos);

// The first Exif APP1 segment ahead of the first scan, as the EXIF reader
// looks for it: marker by marker from SOI, no fill bytes, every segment
// whole. Each outcome but Found names the reason the reader gives.
enum class ExifSearch : uint8_t {
    Found,
    NotJpeg,      // no SOI, or fewer than four bytes
    BadMarker,    // a byte other than 0xFF where a marker should begin (at `at`)
    ImageEnd,     // EOI before any Exif segment
    ScanFirst,    // SOS before any Exif segment
    BadLength,    // a length field below 2
    Truncated,    // a segment passes the data's end (read `needed` bytes and ask again)
    DataEnded,    // the data ends between segments (likewise)
};

struct JpegExifSearch {
    ExifSearch outcome = ExifSearch::NotJpeg;
    JpegSegment segment;  // Found: the Exif segment
    uint64_t at = 0;      // BadMarker: where
    uint64_t needed = 0;  // how many bytes decide the search (Found: up to the segment's end)
};

JpegExifSearch find_jpeg_exif_segment(const ByteReader& jpeg);

// How many bytes from a JPEG's start to read so that its Exif segment is
// whole: within `jpeg.len` where that decides; larger where the data ends
// first (read at least that many and ask again); 0 where there is no Exif
// segment to find (every road then reads the whole file).
uint64_t jpeg_exif_head_length(const ByteReader& jpeg);
