// Header checks in front of the image decoder.
//
// The JPEG segment walk is read with the decoder's own rules: segments by
// their length fields, entropy-coded data skipped to the next marker that
// is neither a stuffed 0xFF 0x00 nor a restart marker, so the guard sees
// every table definition and scan header that the decoder acts on, in the
// same order. Where the file goes where the decoder refuses to follow (an
// unknown marker, a second frame header, a truncated segment), the walk
// stops and leaves the refusal to the decoder.
#include "formats/decode_guard.h"

#include "formats/jpeg_segments.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char* kSamplingRatio = "JPEG sampling factors are not whole ratios";
constexpr const char* kHuffmanTooLarge = "JPEG Huffman table holds more than 256 codes";
constexpr const char* kHuffmanUndefined = "JPEG scan uses an undefined Huffman table";
constexpr const char* kQuantUndefined = "JPEG scan uses an undefined quantization table";
constexpr const char* kTooLarge = "too large";
constexpr const char* kNoPixels = "BMP image has no pixels";
constexpr const char* kTruncated = "BMP pixel data truncated";

// Reads the bytes front to back; every read says whether the bytes were
// there.
struct FileReader {
    const uint8_t* bytes;
    uint64_t length;
    uint64_t pos = 0;

    bool u8(uint8_t* out) {
        if (pos == length) return false;
        *out = bytes[pos++];
        return true;
    }

    // The decoder reads a byte past the end of the file as zero and goes on.
    uint8_t u8_or_zero() {
        uint8_t byte = 0;
        return u8(&byte) ? byte : 0;
    }

    bool u16be(uint16_t* out) {
        uint8_t hi = 0, lo = 0;
        if (!u8(&hi) || !u8(&lo)) return false;
        *out = static_cast<uint16_t>(hi << 8 | lo);
        return true;
    }

    bool u16le(uint16_t* out) {
        uint8_t lo = 0, hi = 0;
        if (!u8(&lo) || !u8(&hi)) return false;
        *out = static_cast<uint16_t>(hi << 8 | lo);
        return true;
    }

    bool u32le(uint32_t* out) {
        uint16_t lo = 0, hi = 0;
        if (!u16le(&lo) || !u16le(&hi)) return false;
        *out = uint32_t{hi} << 16 | lo;
        return true;
    }

    bool u32be(uint32_t* out) {
        uint16_t hi = 0, lo = 0;
        if (!u16be(&hi) || !u16be(&lo)) return false;
        *out = uint32_t{hi} << 16 | lo;
        return true;
    }

    bool matches(const char* expected, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            uint8_t byte = 0;
            if (!u8(&byte) || byte != static_cast<uint8_t>(expected[i])) return false;
        }
        return true;
    }

    // Past the end, the reader stays at the end.
    bool skip(uint64_t count) {
        if (count > length - pos) {
            pos = length;
            return false;
        }
        pos += count;
        return true;
    }
};

// A segment's payload, read only inside its length field; bytes the field
// promises but the file lacks read as zero, as the decoder reads them.
struct SegmentReader {
    FileReader& file;
    uint64_t remaining;

    bool u8(uint8_t* out) {
        if (remaining < 1) return false;
        --remaining;
        *out = file.u8_or_zero();
        return true;
    }

    bool skip(uint64_t count) {
        if (remaining < count) return false;
        remaining -= count;
        return file.skip(count);
    }
};

struct FrameComponent {
    uint8_t id;
    uint8_t quant_table;
};

struct JpegState {
    bool dc_defined[4] = {};
    bool ac_defined[4] = {};
    bool quant_defined[4] = {};
    bool frame_seen = false;
    bool progressive = false;
    int component_count = 0;
    FrameComponent components[4] = {};
};

enum class Step { Next, Stop, Refuse };

struct Outcome {
    Step step;
    const char* reason;
};

constexpr Outcome kNext{Step::Next, nullptr};
constexpr Outcome kStop{Step::Stop, nullptr};

Outcome refuse(const char* reason) { return {Step::Refuse, reason}; }

// The decoder sizes its planes by sampling ratios it takes as whole
// numbers; a component whose factors do not divide the largest gets planes
// smaller than the resampler walks.
Outcome check_frame(SegmentReader& segment, JpegState* state) {
    uint8_t precision = 0, count = 0;
    if (!segment.u8(&precision) || !segment.skip(4) || !segment.u8(&count)) return kStop;
    if (count != 1 && count != 3 && count != 4) return kStop;
    uint8_t sampling[4] = {};
    int h_max = 1, v_max = 1;
    for (int i = 0; i < count; ++i) {
        uint8_t id = 0, quant = 0;
        if (!segment.u8(&id) || !segment.u8(&sampling[i]) || !segment.u8(&quant)) return kStop;
        const int h = sampling[i] >> 4, v = sampling[i] & 15;
        // The decoder refuses factors outside 1..4 and tables above 3 itself.
        if (h < 1 || h > 4 || v < 1 || v > 4 || quant > 3) return kStop;
        if (h > h_max) h_max = h;
        if (v > v_max) v_max = v;
        state->components[i] = {id, quant};
    }
    for (int i = 0; i < count; ++i) {
        if (h_max % (sampling[i] >> 4) != 0 || v_max % (sampling[i] & 15) != 0) {
            return refuse(kSamplingRatio);
        }
    }
    state->frame_seen = true;
    state->component_count = count;
    return kNext;
}

// The decoder copies a table's codes into 257 places and its values into
// 256 without checking their number against them. It reads each table's
// counts wherever they lie, also past the segment's end or the file's, so
// the walk reads them the same way.
Outcome check_huffman_tables(SegmentReader& segment, JpegState* state) {
    FileReader& file = segment.file;
    int64_t remaining = static_cast<int64_t>(segment.remaining);
    segment.remaining = 0;
    while (remaining > 0) {
        const uint8_t kind = file.u8_or_zero();
        const int table_class = kind >> 4, table = kind & 15;
        if (table_class > 1 || table > 3) return kStop;
        uint64_t code_count = 0;
        for (int length = 0; length < 16; ++length) code_count += file.u8_or_zero();
        if (code_count > 256) return refuse(kHuffmanTooLarge);
        if (!file.skip(code_count)) return kStop;
        remaining -= static_cast<int64_t>(17 + code_count);
        (table_class == 0 ? state->dc_defined : state->ac_defined)[table] = true;
    }
    // Tables that run past the segment end the decoder's reading.
    return remaining == 0 ? kNext : kStop;
}

Outcome note_quant_tables(SegmentReader& segment, JpegState* state) {
    while (segment.remaining > 0) {
        uint8_t kind = 0;
        if (!segment.u8(&kind)) return kStop;
        const int precision = kind >> 4, table = kind & 15;
        if (precision > 1 || table > 3) return kStop;
        if (!segment.skip(precision == 0 ? 64 : 128)) return kStop;
        state->quant_defined[table] = true;
    }
    return kNext;
}

// The decoder keeps its tables in memory it never clears: a scan that uses
// a table no segment defined decodes with whatever the memory held, and
// Huffman codes looked up there index past the tables.
Outcome check_scan(SegmentReader& segment, const JpegState& state) {
    if (!state.frame_seen) return kStop;
    uint8_t count = 0;
    if (!segment.u8(&count) || count < 1 || count > state.component_count) return kStop;
    uint8_t quant_tables[4] = {}, tables[4] = {};
    for (int i = 0; i < count; ++i) {
        uint8_t id = 0;
        if (!segment.u8(&id) || !segment.u8(&tables[i])) return kStop;
        int which = 0;
        while (which < state.component_count && state.components[which].id != id) ++which;
        if (which == state.component_count) return kStop;
        quant_tables[i] = state.components[which].quant_table;
    }
    uint8_t spectral_start = 0, spectral_end = 0, approximation = 0;
    if (!segment.u8(&spectral_start) || !segment.u8(&spectral_end) || !segment.u8(&approximation)) {
        return kStop;
    }
    // Which tables the decoder reads: a baseline scan both; a progressive
    // one the DC table in a first DC pass, the AC table in any AC pass.
    const bool uses_dc = !state.progressive || (spectral_start == 0 && (approximation >> 4) == 0);
    const bool uses_ac = !state.progressive || spectral_start > 0;
    for (int i = 0; i < count; ++i) {
        const int dc = tables[i] >> 4, ac = tables[i] & 15;
        if (dc > 3 || ac > 3) return kStop;
        if ((uses_dc && !state.dc_defined[dc]) || (uses_ac && !state.ac_defined[ac])) {
            return refuse(kHuffmanUndefined);
        }
        if (!state.quant_defined[quant_tables[i]]) return refuse(kQuantUndefined);
    }
    return kNext;
}

bool is_frame(uint8_t code) { return code == 0xC0 || code == 0xC1 || code == 0xC2; }

// One marker segment, read by the decoder's rules. A segment cut off by
// the file's end is still looked into, its missing bytes read as zero, and
// then ends the walk.
Outcome check_segment(const uint8_t* bytes, uint64_t length, const JpegSegment& segment, bool whole,
                      JpegState* state) {
    FileReader file{bytes, length, segment.payload};
    SegmentReader reader{file, segment.payload_length};
    const uint8_t code = segment.code;
    Outcome outcome = kNext;
    if (is_frame(code)) {
        // A second frame header is refused by the decoder.
        if (state->frame_seen) return kStop;
        state->progressive = code == 0xC2;
        outcome = check_frame(reader, state);
    } else if (code == jpeg_code::dht) {
        outcome = check_huffman_tables(reader, state);
    } else if (code == jpeg_code::dqt) {
        outcome = note_quant_tables(reader, state);
    } else if (code == jpeg_code::sos) {
        outcome = check_scan(reader, *state);
    } else if (!((code >= jpeg_code::app0 && code <= jpeg_code::app15) || code == jpeg_code::com ||
                 code == jpeg_code::dri || code == jpeg_code::dnl)) {
        return kStop;  // markers the decoder does not know
    }
    if (outcome.step != Step::Next) return outcome;
    return whole ? kNext : kStop;
}

// The walk follows the decoder: the first marker right behind SOI; fill
// bytes before every marker; stray bytes between segments only before the
// frame header (after it they end the decoder's reading); after a scan's
// header, its entropy-coded data up to the next marker.
const char* check_jpeg(const uint8_t* bytes, uint64_t length) {
    const ByteReader jpeg{bytes, length};
    JpegState state;
    uint64_t pos = 2;
    for (bool first = true;; first = false) {
        const JpegWalkRules rules{true, !first && !state.frame_seen};
        JpegSegment segment;
        JpegStop stop = JpegStop::None;
        const bool whole = next_jpeg_segment(jpeg, &pos, rules, &segment, &stop);
        if (stop != JpegStop::None && stop != JpegStop::Truncated) break;
        if (segment.code == jpeg_code::eoi) break;
        const Outcome outcome = check_segment(bytes, length, segment, whole, &state);
        if (outcome.step == Step::Refuse) return outcome.reason;
        if (outcome.step == Step::Stop) break;
        if (segment.code == jpeg_code::sos) pos = jpeg_entropy_coded_end(jpeg, pos);
    }
    return nullptr;
}

// A 16-bit grey PNG is widened to four channels of two bytes in a buffer
// the decoder sizes in 32-bit arithmetic: from 2^29 pixels on the size
// wraps and the widening writes far past it. (Other 16-bit PNGs of that
// many pixels the decoder refuses itself.) The file stands after the
// signature's first two bytes; the decoder wants IHDR as the first chunk.
const char* check_png(FileReader& file) {
    uint32_t header_length = 0, width = 0, height = 0;
    uint8_t bit_depth = 0;
    if (!file.skip(6) || !file.u32be(&header_length) || !file.matches("IHDR", 4) ||
        !file.u32be(&width) || !file.u32be(&height) || !file.u8(&bit_depth)) {
        return nullptr;
    }
    const bool size_wraps = uint64_t{width} * height >= uint64_t{1} << 29;
    return bit_depth == 16 && size_wraps ? kTooLarge : nullptr;
}

// The decoder takes a BMP of width or height 0 for a picture and hands
// back an empty raster as a success. It also pads missing rows instead of
// refusing a truncated file, reading on one call per row past the end: a
// file of a few hundred bytes claiming tens of millions of pixels then
// takes a minute and an output of hundreds of megabytes. Uncompressed
// pixel data must be there, but for the last row's padding, which some
// writers leave out. The file stands after "BM".
const char* check_bmp(FileReader& file, uint64_t file_size) {
    uint32_t data_offset = 0, header_size = 0, width = 0, height = 0, compression = 0;
    uint16_t planes = 0, bits_per_pixel = 0;
    if (!file.skip(8) || !file.u32le(&data_offset) || !file.u32le(&header_size)) return nullptr;
    bool read = false;
    if (header_size == 12) {
        // The oldest header holds both sides in 16 bits.
        uint16_t short_width = 0, short_height = 0;
        read = file.u16le(&short_width) && file.u16le(&short_height) && file.u16le(&planes) &&
               file.u16le(&bits_per_pixel);
        width = short_width;
        height = short_height;
    } else {
        read = file.u32le(&width) && file.u32le(&height) && file.u16le(&planes) &&
               file.u16le(&bits_per_pixel) && file.u32le(&compression);
    }
    if (!read) return nullptr;
    if (width == 0 || height == 0) return kNoPixels;

    constexpr uint32_t kUncompressed = 0, kBitFields = 3;
    if ((compression != kUncompressed && compression != kBitFields) || bits_per_pixel == 0) {
        return nullptr;  // the decoder refuses or handles these itself
    }
    // A negative height marks rows stored top-down.
    const int64_t signed_height = static_cast<int32_t>(height);
    const uint64_t rows = static_cast<uint64_t>(signed_height < 0 ? -signed_height : signed_height);
    // A picture too large to decode is refused as such, by its size alone.
    if (uint64_t{width} * rows > INT32_MAX / 4) return nullptr;
    const uint64_t row_bits = uint64_t{width} * bits_per_pixel;
    const uint64_t stride = (row_bits + 31) / 32 * 4;
    const uint64_t pixels_start = std::max<uint64_t>(data_offset, 14 + uint64_t{header_size});
    const uint64_t needed = pixels_start + stride * (rows - 1) + (row_bits + 7) / 8;
    return needed > file_size ? kTruncated : nullptr;
}

}  // namespace

const char* decode_guard_check(const uint8_t* bytes, uint64_t length) {
    FileReader reader{bytes, length};
    uint8_t first = 0, second = 0;
    if (!reader.u8(&first) || !reader.u8(&second)) return nullptr;
    if (first == 0xFF && second == 0xD8) return check_jpeg(bytes, length);
    if (first == 0x89 && second == 'P') return check_png(reader);
    if (first == 'B' && second == 'M') return check_bmp(reader, length);
    return nullptr;
}
