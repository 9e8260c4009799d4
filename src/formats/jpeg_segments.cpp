#include "formats/jpeg_segments.h"

#include <cstring>

bool is_standalone_jpeg_marker(uint8_t code) {
    return code == jpeg_code::tem || (code >= jpeg_code::rst0 && code <= jpeg_code::rst7) ||
           code == jpeg_code::eoi;
}

bool is_jpeg_frame_header(uint8_t code) {
    return code >= 0xC0 && code <= 0xCF && code != jpeg_code::dht && code != 0xC8 && code != 0xCC;
}

bool starts_with_jpeg_soi(const ByteReader& jpeg) {
    constexpr uint8_t soi[2] = {0xFF, jpeg_code::soi};
    return jpeg.matches(0, soi, 2);
}

namespace {

// Finds the marker at `pos`; false with the stop reason where there is none.
bool read_marker(const ByteReader& jpeg, uint64_t pos, const JpegWalkRules& rules, JpegSegment* out,
                 JpegStop* stop) {
    uint8_t byte = 0;
    if (rules.stray_bytes) {
        while (jpeg.u8(pos, &byte) && byte != 0xFF) ++pos;
    }
    out->start = pos;
    if (!jpeg.u8(pos, &byte)) {
        *stop = JpegStop::End;
        return false;
    }
    if (byte != 0xFF) {
        *stop = JpegStop::NotMarker;
        return false;
    }
    uint8_t code = 0;
    for (;;) {
        if (!jpeg.u8(pos + 1, &code)) {
            *stop = JpegStop::End;
            return false;
        }
        if (code != 0xFF || !rules.fill_bytes) break;
        ++pos;
    }
    out->start = pos;
    out->code = code;
    return true;
}

}  // namespace

bool next_jpeg_segment(const ByteReader& jpeg, uint64_t* pos, const JpegWalkRules& rules,
                       JpegSegment* out, JpegStop* stop) {
    JpegSegment segment;
    if (!read_marker(jpeg, *pos, rules, &segment, stop)) {
        *out = segment;
        return false;
    }
    segment.payload = segment.start + 2;
    if (!is_standalone_jpeg_marker(segment.code)) {
        uint16_t length = 0;
        *stop = JpegStop::None;
        if (!jpeg.u16(ByteOrder::Big, segment.start + 2, &length)) *stop = JpegStop::NoLength;
        else if (length < 2) *stop = JpegStop::BadLength;
        segment.payload = segment.start + 4;
        segment.payload_length = length >= 2 ? uint64_t{length} - 2 : 0;
        if (*stop == JpegStop::None && !jpeg.has(segment.payload, segment.payload_length)) {
            *stop = JpegStop::Truncated;
        }
        if (*stop != JpegStop::None) {
            *out = segment;
            return false;
        }
    }
    *stop = JpegStop::None;
    *out = segment;
    *pos = segment.end();
    return true;
}

uint64_t jpeg_entropy_coded_end(const ByteReader& jpeg, uint64_t pos) {
    uint8_t byte = 0;
    while (pos < jpeg.len) {
        // The data between markers is most of a file: memchr finds the next
        // 0xFF many bytes at a time.
        const void* found = std::memchr(jpeg.data + pos, 0xFF, static_cast<size_t>(jpeg.len - pos));
        if (!found) break;
        pos = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - jpeg.data);
        uint64_t code_at = pos + 1;
        while (jpeg.u8(code_at, &byte) && byte == 0xFF) ++code_at;
        if (code_at == jpeg.len) return pos;
        const bool stuffed_or_restart = byte == 0x00 || (byte >= jpeg_code::rst0 && byte <= jpeg_code::rst7);
        if (!stuffed_or_restart) return pos;
        pos = code_at + 1;
    }
    return jpeg.len;
}

namespace {

bool is_exif_segment(const ByteReader& jpeg, const JpegSegment& segment) {
    constexpr uint8_t exif_signature[6] = {'E', 'x', 'i', 'f', 0, 0};
    // Eight bytes at least: the signature and the start of a TIFF header.
    return segment.code == jpeg_code::app1 && segment.payload_length >= 8 &&
           segment.starts_with(jpeg, exif_signature, sizeof exif_signature);
}

}  // namespace

JpegExifSearch find_jpeg_exif_segment(const ByteReader& jpeg) {
    JpegExifSearch search;
    if (jpeg.len < 4 || !starts_with_jpeg_soi(jpeg)) {
        search.outcome = ExifSearch::NotJpeg;
        search.needed = 4;
        return search;
    }
    // No fill bytes: a 0xFF there is read as a marker's code, and its
    // "length" decides, as the EXIF reader has always read it.
    const JpegWalkRules rules{false, false};
    uint64_t pos = 2;
    // A marker position needs four bytes even where the code has no length.
    while (jpeg.has(pos, 4)) {
        JpegSegment segment;
        JpegStop stop = JpegStop::None;
        const bool whole = next_jpeg_segment(jpeg, &pos, rules, &segment, &stop);
        if (stop == JpegStop::NotMarker) {
            search.outcome = ExifSearch::BadMarker;
            search.at = segment.start;
            return search;
        }
        if (segment.code == jpeg_code::eoi) {
            search.outcome = ExifSearch::ImageEnd;
            return search;
        }
        if (segment.code == jpeg_code::sos) {
            // The scan's entropy-coded data follows; an Exif segment after
            // it would not belong to this image.
            search.outcome = ExifSearch::ScanFirst;
            return search;
        }
        if (stop == JpegStop::BadLength) {
            search.outcome = ExifSearch::BadLength;
            return search;
        }
        if (!whole) {
            search.outcome = ExifSearch::Truncated;
            search.needed = segment.end();
            return search;
        }
        if (is_exif_segment(jpeg, segment)) {
            search.outcome = ExifSearch::Found;
            search.segment = segment;
            search.needed = segment.end();
            return search;
        }
    }
    search.outcome = ExifSearch::DataEnded;
    search.needed = pos + 4;
    return search;
}

uint64_t jpeg_exif_head_length(const ByteReader& jpeg) {
    const JpegExifSearch search = find_jpeg_exif_segment(jpeg);
    switch (search.outcome) {
        case ExifSearch::Found:
        case ExifSearch::NotJpeg:
        case ExifSearch::Truncated:
        case ExifSearch::DataEnded: break;
        default: return 0;
    }
    // NotJpeg decides only where there were too few bytes to tell.
    if (search.outcome == ExifSearch::NotJpeg && jpeg.len >= 4) return 0;
    return search.needed;
}
