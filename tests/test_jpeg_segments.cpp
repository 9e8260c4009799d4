// The JPEG segment walk: what each call reads, where it stops and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "formats/jpeg_segments.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A segment with a length field and `size` payload bytes of value 0x11.
Bytes segment(uint8_t code, uint16_t size) {
    Bytes out(size + 4u, 0x11);
    out[0] = 0xFF;
    out[1] = code;
    out[2] = static_cast<uint8_t>((size + 2) >> 8);
    out[3] = static_cast<uint8_t>(size + 2);
    return out;
}

const Bytes SOI = {0xFF, 0xD8};
const Bytes EOI = {0xFF, 0xD9};

struct Seen {
    uint8_t code;
    uint64_t start;
    uint64_t payload_length;
};

bool operator==(const Seen& a, const Seen& b) {
    return a.code == b.code && a.start == b.start && a.payload_length == b.payload_length;
}

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << "{0x" << std::hex << int{seen.code} << std::dec << " at " << seen.start << ", "
               << seen.payload_length << "}";
}

struct Walked {
    std::vector<Seen> segments;
    JpegStop stop = JpegStop::None;
    Seen last{};  // what the failed call left in its record
};

// Every segment from just after SOI until the walk stops.
Walked walk(const Bytes& bytes, JpegWalkRules rules) {
    const ByteReader jpeg{bytes.data(), bytes.size()};
    Walked walked;
    uint64_t pos = 2;
    JpegSegment segment;
    while (next_jpeg_segment(jpeg, &pos, rules, &segment, &walked.stop)) {
        walked.segments.push_back({segment.code, segment.start, segment.payload_length});
        EXPECT_EQ(pos, segment.end());
    }
    walked.last = {segment.code, segment.start, segment.payload_length};
    return walked;
}

constexpr JpegWalkRules kTolerant{true, false};
constexpr JpegWalkRules kStrict{false, false};
constexpr JpegWalkRules kStray{true, true};

struct WalkCase {
    const char* label;
    Bytes bytes;
    JpegWalkRules rules;
    std::vector<Seen> segments;
    JpegStop stop;
    Seen last;
};

TEST(JpegSegments, WalksAndStops) {
    const std::vector<WalkCase> cases = {
        {"segments, standalone markers, end of data", cat({SOI, segment(0xE0, 3), {0xFF, 0x01, 0xFF, 0xD3}, segment(0xDB, 0)}),
         kTolerant, {{0xE0, 2, 3}, {0x01, 9, 0}, {0xD3, 11, 0}, {0xDB, 13, 0}}, JpegStop::End, {0, 17, 0}},
        {"fill bytes before a marker", cat({SOI, {0xFF, 0xFF, 0xFF}, segment(0xE1, 1), EOI}), kTolerant,
         {{0xE1, 5, 1}, {0xD9, 10, 0}}, JpegStop::End, {0, 12, 0}},
        {"without fill bytes 0xFF is a code", cat({SOI, {0xFF}, segment(0xE1, 1)}), kStrict, {},
         JpegStop::Truncated, {0xFF, 2, 0xE100 - 2}},
        {"only fill bytes left", cat({SOI, {0xFF, 0xFF}}), kTolerant, {}, JpegStop::End, {0, 2, 0}},
        {"a byte where a marker should be", cat({SOI, segment(0xE0, 0), {0x12}, EOI}), kTolerant,
         {{0xE0, 2, 0}}, JpegStop::NotMarker, {0, 6, 0}},
        {"stray bytes stepped over", cat({SOI, segment(0xE0, 0), {0x12, 0x34}, EOI}), kStray,
         {{0xE0, 2, 0}, {0xD9, 8, 0}}, JpegStop::End, {0, 10, 0}},
        {"length field cut off", cat({SOI, {0xFF, 0xC4, 0x00}}), kTolerant, {}, JpegStop::NoLength,
         {0xC4, 2, 0}},
        {"length field 1", cat({SOI, {0xFF, 0xC4, 0x00, 0x01}, EOI}), kTolerant, {}, JpegStop::BadLength,
         {0xC4, 2, 0}},
        {"length field 2: an empty segment", cat({SOI, {0xFF, 0xFE, 0x00, 0x02}, EOI}), kTolerant,
         {{0xFE, 2, 0}, {0xD9, 6, 0}}, JpegStop::End, {0, 8, 0}},
        {"payload one byte short", cat({SOI, {0xFF, 0xDB, 0x00, 0x07, 1, 2, 3, 4}}), kTolerant, {}, JpegStop::Truncated, {0xDB, 2, 5}},
    };
    for (const WalkCase& c : cases) {
        const Walked walked = walk(c.bytes, c.rules);
        EXPECT_EQ(walked.segments, c.segments) << c.label;
        EXPECT_EQ(walked.stop, c.stop) << c.label;
        EXPECT_EQ(walked.last, c.last) << c.label;
    }
}

TEST(JpegSegments, EntropyCodedDataEndsAtTheNextRealMarker) {
    struct Case {
        const char* label;
        Bytes bytes;
        uint64_t end;
    };
    const std::vector<Case> cases = {
        {"plain bytes to a marker", {1, 2, 3, 0xFF, 0xC4}, 3},
        {"stuffed 0xFF 0x00 and restart markers", {0xFF, 0x00, 7, 0xFF, 0xD0, 8, 0xFF, 0xD7, 0xFF, 0xD9}, 8},
        {"fill bytes before the marker", {5, 0xFF, 0xFF, 0xFF, 0xDA}, 1},
        {"fill bytes before a stuffed zero", {0xFF, 0xFF, 0x00, 0xFF, 0xDD}, 3},
        {"no marker", {1, 0xFF, 0x00, 2}, 4},
        {"0xFF as the last bytes", {1, 0xFF, 0xFF}, 1},
        {"empty", {}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jpeg_entropy_coded_end(ByteReader{c.bytes.data(), c.bytes.size()}, 0), c.end) << c.label;
    }
}

// A progressive file's tables between its scans: the walk goes on from the
// end of each scan's data to the next table and scan header.
TEST(JpegSegments, WalksBetweenTheScansOfAProgressiveFile) {
    const Bytes scan_data = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD1, 0x56};
    const Bytes file = cat({SOI, segment(0xDB, 65), segment(0xC2, 9), segment(0xC4, 20), segment(0xDA, 8),
                            scan_data, segment(0xC4, 30), {0xFF}, segment(0xDA, 8), scan_data, EOI});
    const ByteReader jpeg{file.data(), file.size()};
    std::vector<uint8_t> codes;
    uint64_t pos = 2;
    JpegSegment segment;
    JpegStop stop = JpegStop::None;
    while (next_jpeg_segment(jpeg, &pos, JpegWalkRules{}, &segment, &stop)) {
        codes.push_back(segment.code);
        if (segment.code == jpeg_code::sos) pos = jpeg_entropy_coded_end(jpeg, pos);
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{0xDB, 0xC2, 0xC4, 0xDA, 0xC4, 0xDA, 0xD9}));
    EXPECT_EQ(stop, JpegStop::End);
    EXPECT_EQ(segment.start, file.size());
}

TEST(JpegSegments, MarkerKinds) {
    for (int code = 0; code < 256; ++code) {
        const bool standalone = code == 0x01 || (code >= 0xD0 && code <= 0xD9);
        EXPECT_EQ(is_standalone_jpeg_marker(static_cast<uint8_t>(code)), standalone) << code;
    }
    const std::vector<uint8_t> frames = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7,
                                         0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF};
    for (int code = 0; code < 256; ++code) {
        const bool listed = std::find(frames.begin(), frames.end(), code) != frames.end();
        EXPECT_EQ(is_jpeg_frame_header(static_cast<uint8_t>(code)), listed) << code;
    }
}

// How far read_head reads: to the end of the Exif segment, more where the
// data ends first, nothing more where there is no Exif segment.
TEST(JpegSegments, ExifHeadLength) {
    const Bytes exif = {0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
    struct Case {
        const char* label;
        Bytes bytes;
        uint64_t length;
    };
    const std::vector<Case> cases = {
        {"Exif after APP0", cat({SOI, segment(0xE0, 4), exif, segment(0xDB, 3)}), 10 + exif.size()},
        {"Exif cut off", cat({SOI, Bytes(exif.begin(), exif.end() - 3)}), 2 + exif.size()},
        {"data ends between segments", cat({SOI, segment(0xE0, 4)}), 14},
        {"fewer than four bytes", {0xFF, 0xD8, 0xFF}, 4},
        {"not a JPEG", {0x89, 'P', 'N', 'G'}, 0},
        {"scan first", cat({SOI, segment(0xDA, 4), exif}), 0},
        {"EOI first", cat({SOI, EOI, exif}), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jpeg_exif_head_length(ByteReader{c.bytes.data(), c.bytes.size()}), c.length) << c.label;
    }
}

}  // namespace
