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

#include "formats/deflate.h"
#include "formats/jpeg_segments.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

// The fields of a BMP's headers that the checks and the mend read.
struct BmpHeader {
    uint32_t data_offset = 0;
    uint32_t header_size = 0;
    uint32_t width = 0;
    int64_t height = 0;  // negative: rows stored top-down
    uint16_t planes = 0;
    uint16_t bits_per_pixel = 0;
    uint32_t compression = 0;

    static constexpr uint64_t kFileHeaderSize = 14;
    static constexpr uint32_t kCoreHeaderSize = 12;  // the oldest kind, OS/2 1.x
    static constexpr uint32_t kUncompressed = 0;
    static constexpr uint32_t kBitFields = 3;

    bool core() const { return header_size == kCoreHeaderSize; }
    uint64_t header_end() const { return kFileHeaderSize + header_size; }
    uint64_t rows() const { return static_cast<uint64_t>(height < 0 ? -height : height); }
    uint64_t row_bits() const { return uint64_t{width} * bits_per_pixel; }
    uint64_t stride() const { return (row_bits() + 31) / 32 * 4; }
    // 1, 4 and 8 bits index a palette of up to 2^bits entries.
    uint32_t palette_capacity() const { return bits_per_pixel <= 8 ? 1u << bits_per_pixel : 0; }
    uint32_t palette_entry_size() const { return core() ? 3 : 4; }

    // Where the pixel rows start. A core header's file that gives no offset
    // past its headers has its rows right behind a whole palette, where the
    // common viewers read them.
    uint64_t pixels_start() const {
        if (core() && data_offset <= header_end()) {
            return header_end() + uint64_t{palette_capacity()} * palette_entry_size();
        }
        return std::max<uint64_t>(data_offset, header_end());
    }
};

// The file stands after "BM".
bool read_bmp_header(FileReader& file, BmpHeader* header) {
    if (!file.skip(8) || !file.u32le(&header->data_offset) || !file.u32le(&header->header_size)) {
        return false;
    }
    if (header->core()) {
        // Both sides in 16 bits, unsigned: rows are always stored bottom-up.
        uint16_t width = 0, height = 0;
        if (!file.u16le(&width) || !file.u16le(&height)) return false;
        header->width = width;
        header->height = height;
        return file.u16le(&header->planes) && file.u16le(&header->bits_per_pixel);
    }
    uint32_t height = 0;
    if (!file.u32le(&header->width) || !file.u32le(&height)) return false;
    header->height = static_cast<int32_t>(height);
    return file.u16le(&header->planes) && file.u16le(&header->bits_per_pixel) &&
           file.u32le(&header->compression);
}

// The decoder takes a BMP of width or height 0 for a picture and hands
// back an empty raster as a success. It also pads missing rows instead of
// refusing a truncated file, reading on one call per row past the end: a
// file of a few hundred bytes claiming tens of millions of pixels then
// takes a minute and an output of hundreds of megabytes. Uncompressed
// pixel data must be there, but for the last row's padding, which some
// writers leave out. The file stands after "BM".
const char* check_bmp(FileReader& file, uint64_t file_size) {
    BmpHeader header;
    if (!read_bmp_header(file, &header)) return nullptr;
    if (header.width == 0 || header.height == 0) return kNoPixels;

    if ((header.compression != BmpHeader::kUncompressed &&
         header.compression != BmpHeader::kBitFields) ||
        header.bits_per_pixel == 0) {
        return nullptr;  // the decoder refuses or handles these itself
    }
    // A picture too large to decode is refused as such, by its size alone.
    if (uint64_t{header.width} * header.rows() > INT32_MAX / 4) return nullptr;
    const uint64_t needed =
        header.pixels_start() + header.stride() * (header.rows() - 1) + (header.row_bits() + 7) / 8;
    return needed > file_size ? kTruncated : nullptr;
}

// How many palette entries the decoder reads from a BMP with a newer
// header: as many as fit between the headers and the pixel offset (it
// ignores the colour count field); more than 256 it refuses.
int64_t decoder_palette_entries(const BmpHeader& header) {
    return (int64_t{header.data_offset} - static_cast<int64_t>(header.header_end())) / 4;
}

// The BMPs the decoder reads wrongly, and how many palette entries of the
// file the mended copy keeps; -1 for files it reads right (or refuses).
//  - Core headers (OS/2 1.x): the decoder counts four palette entries too
//    few, reads no palette at all at 1 bit, and refuses pixels that lie
//    anywhere but right behind the header at 24 bits.
//  - Newer headers with fewer palette entries than the pixels can index:
//    an index past them reads the decoder's palette array where the file
//    wrote nothing.
int64_t entries_to_mend(const BmpHeader& header, uint64_t file_size) {
    if (header.planes != 1) return -1;
    const uint16_t bits = header.bits_per_pixel;
    if (header.core()) {
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return -1;
        const uint64_t palette_room = header.pixels_start() - header.header_end();
        const uint64_t in_file = std::min(file_size, header.pixels_start()) - header.header_end();
        return static_cast<int64_t>(std::min<uint64_t>({header.palette_capacity(), palette_room / 3, in_file / 3}));
    }
    if (bits != 1 && bits != 4 && bits != 8) return -1;
    if (header.compression != BmpHeader::kUncompressed || header.data_offset > INT32_MAX) return -1;
    const int64_t entries = decoder_palette_entries(header);
    const bool short_palette = entries > 0 && entries < int64_t{header.palette_capacity()};
    return short_palette ? entries : -1;
}

void put_u16le(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32le(uint8_t* at, uint32_t value) {
    put_u16le(at, value & 0xFFFF);
    put_u16le(at + 2, value >> 16);
}

void put_u32be(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// The same picture with the 40-byte header the decoder reads right: the
// file's palette entries followed by opaque black up to the whole palette
// (the colour the common viewers show for an index past the palette), and
// the pixel rows copied as they are. Bytes the file lacks (the last row's
// padding) are zero.
bool write_mended_bmp(const uint8_t* bytes, uint64_t length, const BmpHeader& header,
                      int64_t kept_entries, MendedFile* mended) {
    constexpr uint64_t kInfoHeaderSize = 40;
    const uint64_t palette_start = BmpHeader::kFileHeaderSize + kInfoHeaderSize;
    const uint64_t pixels_start = palette_start + uint64_t{header.palette_capacity()} * 4;
    const uint64_t pixel_bytes = header.stride() * header.rows();
    const uint64_t mended_length = pixels_start + pixel_bytes;
    // The decoder takes an int length; the guard's size check keeps real
    // pictures far below it.
    if (mended_length > INT32_MAX) return true;
    malloc_ptr<uint8_t> out(static_cast<uint8_t*>(std::calloc(1, mended_length)));
    if (!out) return false;
    uint8_t* at = out.get();
    at[0] = 'B';
    at[1] = 'M';
    put_u32le(at + 2, static_cast<uint32_t>(mended_length));
    put_u32le(at + 10, static_cast<uint32_t>(pixels_start));
    put_u32le(at + 14, kInfoHeaderSize);
    put_u32le(at + 18, header.width);
    put_u32le(at + 22, static_cast<uint32_t>(static_cast<int32_t>(header.height)));
    put_u16le(at + 26, 1);
    put_u16le(at + 28, header.bits_per_pixel);
    // Compression, sizes, resolution and colour counts stay zero.
    const uint32_t entry_size = header.palette_entry_size();
    for (int64_t i = 0; i < kept_entries; ++i) {
        std::memcpy(at + palette_start + 4 * i, bytes + header.header_end() + entry_size * i, 3);
    }
    const uint64_t source_start = header.pixels_start();
    if (source_start < length) {
        std::memcpy(at + pixels_start, bytes + source_start, std::min(pixel_bytes, length - source_start));
    }
    mended->bytes = std::move(out);
    mended->length = mended_length;
    return true;
}

bool mend_bmp(const uint8_t* bytes, uint64_t length, MendedFile* mended) {
    FileReader reader{bytes, length, 2};
    BmpHeader header;
    if (!read_bmp_header(reader, &header) || header.width == 0 || header.height == 0) return true;
    const int64_t kept_entries = entries_to_mend(header, length);
    if (kept_entries < 0) return true;
    return write_mended_bmp(bytes, length, header, kept_entries, mended);
}

// A copy of `bytes` with [cut_start, cut_end) replaced by `insert`.
bool spliced_copy(const uint8_t* bytes, uint64_t length, uint64_t cut_start, uint64_t cut_end,
                  const uint8_t* insert, uint64_t insert_length, MendedFile* mended) {
    const uint64_t mended_length = length - (cut_end - cut_start) + insert_length;
    malloc_ptr<uint8_t> out(static_cast<uint8_t*>(std::malloc(mended_length)));
    if (!out) return false;
    std::memcpy(out.get(), bytes, cut_start);
    std::memcpy(out.get() + cut_start, insert, insert_length);
    std::memcpy(out.get() + cut_start + insert_length, bytes + cut_end, length - cut_end);
    mended->bytes = std::move(out);
    mended->length = mended_length;
    return true;
}

// The chunks of a paletted PNG that the mend needs, found before its image
// data.
struct PngPalette {
    uint8_t bit_depth = 0;
    uint8_t colour_type = 0;
    uint64_t chunk_start = 0;  // the PLTE chunk's length field; 0: none seen
    uint32_t data_length = 0;
    uint32_t transparency_length = 0;
};

// Walks the chunks by their length fields up to the first IDAT; false where
// they do not lie inside the file.
bool find_png_palette(const uint8_t* bytes, uint64_t length, PngPalette* found) {
    constexpr uint64_t kSignatureSize = 8;
    if (length < kSignatureSize) return false;
    FileReader file{bytes, length, kSignatureSize};
    for (;;) {
        const uint64_t chunk_start = file.pos;
        uint32_t data_length = 0;
        char type[4] = {};
        if (!file.u32be(&data_length)) return false;
        for (char& letter : type) {
            uint8_t byte = 0;
            if (!file.u8(&byte)) return false;
            letter = static_cast<char>(byte);
        }
        const uint64_t data_start = file.pos;
        if (!file.skip(uint64_t{data_length} + 4)) return false;
        if (std::memcmp(type, "IDAT", 4) == 0) return true;
        if (std::memcmp(type, "IHDR", 4) == 0 && data_length == 13) {
            found->bit_depth = bytes[data_start + 8];
            found->colour_type = bytes[data_start + 9];
        } else if (std::memcmp(type, "PLTE", 4) == 0) {
            found->chunk_start = chunk_start;
            found->data_length = data_length;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            found->transparency_length = data_length;
        }
    }
}

// The decoder keeps a paletted PNG's colours in an array of 256 it never
// clears: a pixel indexing past the PLTE chunk's entries gets whatever the
// stack held there. The mended copy's PLTE has an entry for every index
// the bit depth allows, the missing ones opaque black.
bool mend_png(const uint8_t* bytes, uint64_t length, MendedFile* mended) {
    constexpr uint8_t kIndexed = 3;
    PngPalette palette;
    if (!find_png_palette(bytes, length, &palette) || palette.colour_type != kIndexed) return true;
    const uint8_t bits = palette.bit_depth;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return true;
    const uint32_t entries = palette.data_length / 3;
    const uint32_t capacity = 1u << bits;
    // Broken palettes and a tRNS longer than the palette the decoder
    // refuses itself.
    const bool sound = palette.chunk_start != 0 && entries * 3 == palette.data_length && entries > 0 &&
                       palette.transparency_length <= entries;
    if (!sound || entries >= capacity) return true;

    uint8_t chunk[12 + 3 * 256] = {};
    const uint32_t data_length = 3 * capacity;
    put_u32be(chunk, data_length);
    std::memcpy(chunk + 4, "PLTE", 4);
    std::memcpy(chunk + 8, bytes + palette.chunk_start + 8, palette.data_length);
    put_u32be(chunk + 8 + data_length, crc32_update(0, chunk + 4, 4 + data_length));
    const uint64_t chunk_end = palette.chunk_start + 12 + palette.data_length;
    return spliced_copy(bytes, length, palette.chunk_start, chunk_end, chunk, 12 + data_length, mended);
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

bool decode_guard_mend(const uint8_t* bytes, uint64_t length, MendedFile* mended) {
    *mended = MendedFile{};
    if (length >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return mend_bmp(bytes, length, mended);
    if (length >= 2 && bytes[0] == 0x89 && bytes[1] == 'P') return mend_png(bytes, length, mended);
    return true;
}
