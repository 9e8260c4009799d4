// Photo metadata of JPEG, PNG and BMP files held in memory.
//
// Every byte is read through ByteReader, which knows where its buffer ends.
// JPEG segments ahead of the first scan and PNG chunks are walked by their
// length fields, and a segment or chunk is looked into only once it is
// known to lie inside the data. Writers rebuild only the file's head (JPEG
// segments ahead of the scan, PNG chunks ahead of the first IDAT): the
// compressed picture is copied as it stands.
#include "metadata/metadata.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "formats/jpeg_segments.h"
#include "formats/deflate.h"
#include "metadata/multi_picture.h"
#include "metadata/tiff.h"

namespace {

void put16(uint8_t* at, ByteOrder order, uint16_t value) { ByteWriter{at, 2}.put16(order, 0, value); }

void put32(uint8_t* at, ByteOrder order, uint32_t value) { ByteWriter{at, 4}.put32(order, 0, value); }

malloc_ptr<uint8_t> allocate(uint64_t size) {
    void* block = size <= SIZE_MAX ? std::malloc(static_cast<size_t>(size ? size : 1)) : nullptr;
    if (!block) throw std::bad_alloc();
    return malloc_ptr<uint8_t>(static_cast<uint8_t*>(block));
}

byte_block copy_block(const uint8_t* data, uint64_t length) {
    byte_block block{allocate(length), length};
    if (length) std::memcpy(block.bytes.get(), data, static_cast<size_t>(length));
    return block;
}

// A malloc'd buffer that grows as bytes are appended.
class ByteBuilder {
public:
    void append(const void* data, uint64_t size) {
        if (size == 0) return;
        reserve(length_ + size);
        std::memcpy(bytes_.get() + length_, data, static_cast<size_t>(size));
        length_ += size;
    }
    void append(const char* text) { append(text, std::strlen(text) + 1); }  // with its NUL
    void byte(uint8_t value) { append(&value, 1); }
    void u16(uint16_t value) {
        uint8_t out[2];
        put16(out, ByteOrder::Big, value);
        append(out, 2);
    }
    void u32(uint32_t value) {
        uint8_t out[4];
        put32(out, ByteOrder::Big, value);
        append(out, 4);
    }
    void reserve(uint64_t capacity) {
        if (capacity <= capacity_) return;
        const uint64_t grown = std::max(capacity, capacity_ * 2);
        void* moved = grown <= SIZE_MAX ? std::realloc(bytes_.get(), static_cast<size_t>(grown)) : nullptr;
        if (!moved) throw std::bad_alloc();
        bytes_.release();
        bytes_.reset(static_cast<uint8_t*>(moved));
        capacity_ = grown;
    }
    uint64_t size() const { return length_; }
    uint8_t* data() { return bytes_.get(); }
    byte_block take() {
        byte_block block{std::move(bytes_), length_};
        length_ = capacity_ = 0;
        return block;
    }

private:
    malloc_ptr<uint8_t> bytes_;
    uint64_t length_ = 0;
    uint64_t capacity_ = 0;
};

struct Range {
    uint64_t start = 0;
    uint64_t end = 0;
};

// --- ICC profiles ---------------------------------------------------------

constexpr uint64_t kIccHeaderBytes = 128;

// The profile's own length when its header is sound (the signature "acsp",
// a stated size that the data holds); 0 otherwise. Bytes past the stated
// size are padding.
uint64_t sound_profile_length(const uint8_t* profile, uint64_t length) {
    const ByteReader reader{profile, length};
    uint32_t stated = 0;
    if (!reader.u32(ByteOrder::Big, 0, &stated) || !reader.matches(36, "acsp", 4)) return 0;
    if (stated < kIccHeaderBytes + 4 || stated > length || stated > kMaxIccProfileBytes) return 0;
    return stated;
}

byte_block sound_profile(const uint8_t* profile, uint64_t length) {
    const uint64_t sound = sound_profile_length(profile, length);
    return sound ? copy_block(profile, sound) : byte_block{};
}

enum class ColourSpace { Unknown, Grey, Rgb, Cmyk };

ColourSpace profile_colour_space(const byte_block& profile) {
    const ByteReader reader{profile.data(), profile.length};
    if (reader.matches(16, "RGB ", 4)) return ColourSpace::Rgb;
    if (reader.matches(16, "GRAY", 4)) return ColourSpace::Grey;
    if (reader.matches(16, "CMYK", 4)) return ColourSpace::Cmyk;
    return ColourSpace::Unknown;
}

// A zlib stream inflated, at most `limit` bytes of it; empty where it
// does not inflate.
byte_block inflate_bounded(const uint8_t* stream, uint64_t length, uint64_t limit) {
    byte_block inflated;
    switch (inflate_zlib(stream, length, limit, &inflated.bytes, &inflated.length)) {
        case Inflated::whole: return inflated;
        case Inflated::broken: return {};
        case Inflated::out_of_memory: break;
    }
    throw std::bad_alloc();
}

// --- JPEG -------------------------------------------------------------------

constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;
constexpr uint64_t kMaxSegmentPayload = 65533;  // a 16-bit length that counts itself

const char kJfifSignature[] = "JFIF";                           // 5 bytes with the NUL
const char kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
const char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";     // 29 with the NUL
const char kXmpExtensionSignature[] = "http://ns.adobe.com/xmp/extension/";
const char kIccSignature[] = "ICC_PROFILE";                      // 12 with the NUL
constexpr uint64_t kIccSegmentHeader = sizeof kIccSignature + 2;  // signature, seq, count
constexpr uint64_t kIccBytesPerSegment = kMaxSegmentPayload - kIccSegmentHeader;  // 65519

// Walks the segments ahead of the first scan, calling visit for each; the
// position of the SOS marker, or 0 when the structure breaks before it.
template <typename Visit>
uint64_t walk_jpeg_head(const ByteReader& jpeg, Visit visit) {
    if (!starts_with_jpeg_soi(jpeg)) return 0;
    uint64_t pos = 2;
    JpegSegment segment;
    JpegStop stop = JpegStop::None;
    for (;;) {
        const bool whole = next_jpeg_segment(jpeg, &pos, JpegWalkRules{}, &segment, &stop);
        // The scan's header need not be whole: what matters is where it starts.
        if (segment.code == jpeg_code::sos) return segment.start;
        if (!whole || segment.code == jpeg_code::soi || segment.code == jpeg_code::eoi) return 0;
        if (!is_standalone_jpeg_marker(segment.code)) visit(segment);
    }
}

bool is_jfif(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == kApp0 && segment.payload_length >= 12 &&
           segment.starts_with(jpeg, kJfifSignature, sizeof kJfifSignature);
}

bool is_exif(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == kApp1 && segment.starts_with(jpeg, kExifSignature, sizeof kExifSignature);
}

bool is_xmp(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == kApp1 && segment.starts_with(jpeg, kXmpSignature, sizeof kXmpSignature);
}

bool is_xmp_extension(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == kApp1 &&
           segment.starts_with(jpeg, kXmpExtensionSignature, sizeof kXmpExtensionSignature);
}

bool is_icc(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == kApp2 && segment.starts_with(jpeg, kIccSignature, sizeof kIccSignature);
}

// The parts of a profile spread over APP2 segments, each numbered 1..count.
// Any inconsistency (a part missing or given twice, counts that disagree,
// a number out of range) drops the whole profile.
struct IccParts {
    std::array<Range, 256> parts{};
    std::array<bool, 256> seen{};
    int count = 0;
    bool broken = false;

    void add(const ByteReader& jpeg, const JpegSegment& segment) {
        if (segment.payload_length < kIccSegmentHeader) {
            broken = true;
            return;
        }
        const uint8_t number = jpeg.data[segment.payload + sizeof kIccSignature];
        const uint8_t total = jpeg.data[segment.payload + sizeof kIccSignature + 1];
        if (total == 0 || number == 0 || number > total || (count != 0 && total != count) ||
            seen[number]) {
            broken = true;
            return;
        }
        count = total;
        seen[number] = true;
        parts[number] = Range{segment.payload + kIccSegmentHeader, segment.end()};
    }

    byte_block assemble(const ByteReader& jpeg) const {
        if (broken || count == 0) return {};
        uint64_t total = 0;
        for (int number = 1; number <= count; ++number) {
            if (!seen[number]) return {};
            total += parts[number].end - parts[number].start;
        }
        if (total < kIccHeaderBytes || total > kMaxIccProfileBytes) return {};
        ByteBuilder profile;
        profile.reserve(total);
        for (int number = 1; number <= count; ++number) {
            profile.append(jpeg.data + parts[number].start, parts[number].end - parts[number].start);
        }
        const byte_block whole = profile.take();
        return sound_profile(whole.data(), whole.length);
    }
};

image_resolution jfif_resolution(const ByteReader& jpeg, const JpegSegment& app0) {
    uint8_t units = 0;
    uint16_t x = 0, y = 0;
    jpeg.u8(app0.payload + 7, &units);
    jpeg.u16(ByteOrder::Big, app0.payload + 8, &x);
    jpeg.u16(ByteOrder::Big, app0.payload + 10, &y);
    if ((units != 1 && units != 2) || x == 0 || y == 0) return {};
    return {units == 1 ? resolution_unit::per_inch : resolution_unit::per_centimetre, x, y};
}

photo_metadata read_jpeg(const ByteReader& jpeg, bool with_exif_and_xmp) {
    photo_metadata found;
    IccParts icc;
    bool seen_jfif = false;
    walk_jpeg_head(jpeg, [&](const JpegSegment& segment) {
        if (is_icc(jpeg, segment)) {
            icc.add(jpeg, segment);
        } else if (is_jfif(jpeg, segment) && !seen_jfif) {
            seen_jfif = true;
            found.resolution = jfif_resolution(jpeg, segment);
        } else if (with_exif_and_xmp && is_exif(jpeg, segment) && found.exif.empty()) {
            const uint64_t tiff = segment.payload + sizeof kExifSignature;
            found.exif = copy_block(jpeg.data + tiff, segment.end() - tiff);
        } else if (with_exif_and_xmp && is_xmp(jpeg, segment) && found.xmp.empty()) {
            const uint64_t packet = segment.payload + sizeof kXmpSignature;
            found.xmp = copy_block(jpeg.data + packet, segment.end() - packet);
        }
    });
    found.icc_profile = icc.assemble(jpeg);
    return found;
}

// --- PNG --------------------------------------------------------------------

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const char kXmpKeyword[] = "XML:com.adobe.xmp";
const char kProfileName[] = "ICC Profile";

struct PngChunk {
    uint64_t start;  // its length field
    uint32_t length;

    uint64_t type() const { return start + 4; }
    uint64_t data() const { return start + 8; }
    uint64_t end() const { return data() + length + 4; }
    bool is(const ByteReader& png, const char* name) const { return png.matches(type(), name, 4); }
    bool crc_matches(const ByteReader& png) const {
        uint32_t stored = 0;
        png.u32(ByteOrder::Big, data() + length, &stored);
        return stored == crc32_update(0, png.data + type(), uint64_t{length} + 4);
    }
};

// Walks the chunks, calling visit for each, up to IEND; false when the
// structure breaks first.
template <typename Visit>
bool walk_png(const ByteReader& png, Visit visit) {
    if (!png.matches(0, kPngSignature, sizeof kPngSignature)) return false;
    for (uint64_t pos = sizeof kPngSignature;;) {
        uint32_t length = 0;
        if (!png.u32(ByteOrder::Big, pos, &length) || length > 0x7FFFFFFFu ||
            !png.has(pos + 8, uint64_t{length} + 4)) {
            return false;
        }
        const PngChunk chunk{pos, length};
        visit(chunk);
        if (chunk.is(png, "IEND")) return true;
        pos = chunk.end();
    }
}

// The end of a NUL-terminated field starting at `pos` within `end`, or 0.
uint64_t field_end(const ByteReader& png, uint64_t pos, uint64_t end) {
    for (uint64_t at = pos; at < end; ++at) {
        if (png.data[at] == 0) return at + 1;
    }
    return 0;
}

byte_block png_profile(const ByteReader& png, const PngChunk& chunk) {
    const uint64_t end = chunk.data() + chunk.length;
    const uint64_t name_end = field_end(png, chunk.data(), std::min(end, chunk.data() + 80));
    // The method byte follows the name inside the chunk, or there is no
    // stream: a name whose NUL ends the chunk leaves none.
    uint8_t method = 1;
    if (name_end <= chunk.data() + 1 || name_end >= end || !png.u8(name_end, &method) || method != 0) {
        return {};
    }
    const byte_block inflated =
        inflate_bounded(png.data + name_end + 1, end - name_end - 1, kMaxIccProfileBytes);
    return inflated.empty() ? byte_block{} : sound_profile(inflated.data(), inflated.length);
}

image_resolution png_resolution(const ByteReader& png, const PngChunk& chunk) {
    uint32_t x = 0, y = 0;
    uint8_t unit = 0;
    if (chunk.length != 9) return {};
    png.u32(ByteOrder::Big, chunk.data(), &x);
    png.u32(ByteOrder::Big, chunk.data() + 4, &y);
    png.u8(chunk.data() + 8, &unit);
    if (unit != 1 || x == 0 || y == 0 || x > INT32_MAX || y > INT32_MAX) return {};
    return {resolution_unit::per_metre, x, y};
}

bool is_tiff_header(const ByteReader& reader, uint64_t pos) {
    return reader.matches(pos, "II*\0", 4) || reader.matches(pos, "MM\0*", 4);
}

byte_block png_exif(const ByteReader& png, const PngChunk& chunk) {
    uint64_t tiff = chunk.data();
    // Some writers keep JPEG's prefix in the chunk.
    if (chunk.length >= 6 && png.matches(tiff, kExifSignature, 6)) tiff += 6;
    if (!is_tiff_header(png, tiff)) return {};
    return copy_block(png.data + tiff, chunk.data() + chunk.length - tiff);
}

bool is_xmp_chunk(const ByteReader& png, const PngChunk& chunk) {
    return chunk.is(png, "iTXt") && chunk.length >= sizeof kXmpKeyword &&
           png.matches(chunk.data(), kXmpKeyword, sizeof kXmpKeyword);
}

byte_block png_xmp(const ByteReader& png, const PngChunk& chunk) {
    const uint64_t end = chunk.data() + chunk.length;
    const uint64_t flags = chunk.data() + sizeof kXmpKeyword;
    uint8_t compressed = 0, method = 0;
    if (!png.u8(flags, &compressed) || !png.u8(flags + 1, &method)) return {};
    const uint64_t language_end = field_end(png, flags + 2, end);
    const uint64_t text = language_end ? field_end(png, language_end, end) : 0;
    if (text == 0) return {};
    if (compressed == 0) return copy_block(png.data + text, end - text);
    if (compressed != 1 || method != 0) return {};
    return inflate_bounded(png.data + text, end - text, kMaxIccProfileBytes);
}

photo_metadata read_png(const ByteReader& png, bool with_exif_and_xmp) {
    photo_metadata found;
    bool seen_profile = false, seen_resolution = false;
    walk_png(png, [&](const PngChunk& chunk) {
        const bool profile = chunk.is(png, "iCCP") && !seen_profile;
        const bool resolution = chunk.is(png, "pHYs") && !seen_resolution;
        const bool exif = with_exif_and_xmp && chunk.is(png, "eXIf") && found.exif.empty();
        const bool xmp = with_exif_and_xmp && is_xmp_chunk(png, chunk) && found.xmp.empty();
        if (!(profile || resolution || exif || xmp) || !chunk.crc_matches(png)) return;
        if (profile) {
            seen_profile = true;
            found.icc_profile = png_profile(png, chunk);
        } else if (resolution) {
            seen_resolution = true;
            found.resolution = png_resolution(png, chunk);
        } else if (exif) {
            found.exif = png_exif(png, chunk);
        } else {
            found.xmp = png_xmp(png, chunk);
        }
    });
    return found;
}

// --- BMP --------------------------------------------------------------------

// Offsets in the file: the info header's size, then its pixels per metre.
constexpr uint64_t kBmpHeaderSize = 14;
constexpr uint64_t kBmpXPelsPerMeter = 38;
constexpr uint64_t kBmpYPelsPerMeter = 42;

bool bmp_has_resolution_field(const ByteReader& bmp) {
    uint32_t header_size = 0;
    return bmp.u32(ByteOrder::Little, kBmpHeaderSize, &header_size) && header_size >= 40 &&
           bmp.has(kBmpYPelsPerMeter, 4);
}

image_resolution bmp_resolution(const ByteReader& bmp) {
    uint32_t x = 0, y = 0;
    if (!bmp_has_resolution_field(bmp)) return {};
    bmp.u32(ByteOrder::Little, kBmpXPelsPerMeter, &x);
    bmp.u32(ByteOrder::Little, kBmpYPelsPerMeter, &y);
    // Signed in the file: a negative density means nothing.
    if (x == 0 || y == 0 || x > INT32_MAX || y > INT32_MAX) return {};
    return {resolution_unit::per_metre, x, y};
}

// --- Resolution in each format's terms ------------------------------------

struct JfifDensity {
    uint8_t units = 0;  // JFIF's 0: an aspect ratio only
    uint16_t x = 1;
    uint16_t y = 1;
};

JfifDensity jfif_density(const image_resolution& resolution) {
    uint64_t x = resolution.x, y = resolution.y;
    uint8_t units = 1;
    switch (resolution.unit) {
        case resolution_unit::none: return {};
        case resolution_unit::per_inch: break;
        case resolution_unit::per_centimetre: units = 2; break;
        case resolution_unit::per_metre:
            // As dots per inch, rounded: 11811 per metre is 300 dpi.
            x = (x * 254 + 5000) / 10000;
            y = (y * 254 + 5000) / 10000;
            break;
    }
    if (x == 0 || y == 0 || x > 65535 || y > 65535) return {};
    return {units, static_cast<uint16_t>(x), static_cast<uint16_t>(y)};
}

// Pixels per metre, as PNG and BMP store them; false where there are none.
bool pixels_per_metre(const image_resolution& resolution, uint32_t* x_out, uint32_t* y_out) {
    uint64_t x = resolution.x, y = resolution.y;
    switch (resolution.unit) {
        case resolution_unit::none: return false;
        case resolution_unit::per_inch:
            x = (x * 10000 + 127) / 254;
            y = (y * 10000 + 127) / 254;
            break;
        case resolution_unit::per_centimetre:
            x *= 100;
            y *= 100;
            break;
        case resolution_unit::per_metre: break;
    }
    if (x == 0 || y == 0 || x > INT32_MAX || y > INT32_MAX) return false;
    *x_out = static_cast<uint32_t>(x);
    *y_out = static_cast<uint32_t>(y);
    return true;
}

// --- Writing JPEG segments and PNG chunks ----------------------------------

void append_segment(ByteBuilder* out, uint8_t code, const void* signature, uint64_t signature_size,
                    const uint8_t* data, uint64_t length) {
    out->byte(0xFF);
    out->byte(code);
    out->u16(static_cast<uint16_t>(2 + signature_size + length));
    out->append(signature, signature_size);
    out->append(data, length);
}

void append_icc_segments(ByteBuilder* out, const byte_block& profile) {
    const uint64_t count = (profile.length + kIccBytesPerSegment - 1) / kIccBytesPerSegment;
    for (uint64_t number = 1; number <= count; ++number) {
        const uint64_t offset = (number - 1) * kIccBytesPerSegment;
        const uint64_t part = std::min(kIccBytesPerSegment, profile.length - offset);
        out->byte(0xFF);
        out->byte(kApp2);
        out->u16(static_cast<uint16_t>(2 + kIccSegmentHeader + part));
        out->append(kIccSignature, sizeof kIccSignature);
        out->byte(static_cast<uint8_t>(number));
        out->byte(static_cast<uint8_t>(count));
        out->append(profile.data() + offset, part);
    }
}

void append_chunk(ByteBuilder* out, const char* type, const uint8_t* data, uint64_t length) {
    out->u32(static_cast<uint32_t>(length));
    const uint64_t crc_start = out->size();
    out->append(type, 4);
    out->append(data, length);
    out->u32(crc32_update(0, out->data() + crc_start, length + 4));
}

// An iCCP chunk, or nothing when the profile is too large to compress: the
// picture is still right without it. Memory running out is reported as
// everywhere else.
void append_iccp_chunk(ByteBuilder* out, const byte_block& profile) {
    malloc_ptr<uint8_t> compressed;
    uint64_t compressed_length = 0;
    switch (deflate_zlib(profile.data(), profile.length, &compressed, &compressed_length)) {
        case Deflated::whole: break;
        case Deflated::too_large: return;
        case Deflated::out_of_memory: throw std::bad_alloc();
    }
    ByteBuilder data;
    data.append(kProfileName);
    data.byte(0);  // deflate
    data.append(compressed.get(), compressed_length);
    append_chunk(out, "iCCP", data.data(), data.size());
}

void append_phys_chunk(ByteBuilder* out, const image_resolution& resolution) {
    uint32_t x = 0, y = 0;
    if (!pixels_per_metre(resolution, &x, &y)) return;
    uint8_t data[9];
    put32(data, ByteOrder::Big, x);
    put32(data + 4, ByteOrder::Big, y);
    data[8] = 1;  // metre
    append_chunk(out, "pHYs", data, sizeof data);
}

void append_xmp_chunk(ByteBuilder* out, const byte_block& xmp) {
    ByteBuilder data;
    data.append(kXmpKeyword);
    data.byte(0);  // uncompressed, as XMP asks, so that tools can find the packet
    data.byte(0);
    data.byte(0);  // no language tag
    data.byte(0);  // no translated keyword
    data.append(xmp.data(), xmp.length);
    append_chunk(out, "iTXt", data.data(), data.size());
}

void patch_jfif_density(uint8_t* payload, const JfifDensity& density) {
    payload[7] = density.units;
    put16(payload + 8, ByteOrder::Big, density.x);
    put16(payload + 10, ByteOrder::Big, density.y);
}

// Where new segments go: after SOI and the JFIF header with its extensions.
struct JpegHead {
    uint64_t sos = 0;
    uint64_t insert_at = 2;
    uint64_t jfif_payload = 0;  // 0: none among the leading APP0 segments
    int components = 0;         // from the frame header; 0 when there is none
    std::vector<Range> metadata_segments;  // EXIF, XMP and ICC segments
};

JpegHead read_jpeg_head(const ByteReader& jpeg) {
    JpegHead head;
    bool leading = true;
    head.sos = walk_jpeg_head(jpeg, [&](const JpegSegment& segment) {
        leading = leading && segment.code == kApp0 && segment.start == head.insert_at;
        if (leading) {
            if (is_jfif(jpeg, segment) && head.jfif_payload == 0) head.jfif_payload = segment.payload;
            head.insert_at = segment.end();
        }
        if (is_jpeg_frame_header(segment.code) && head.components == 0 && segment.payload_length >= 6) {
            head.components = jpeg.data[segment.payload + 5];
        }
        if (is_exif(jpeg, segment) || is_xmp(jpeg, segment) || is_xmp_extension(jpeg, segment) ||
            is_icc(jpeg, segment)) {
            head.metadata_segments.push_back(Range{segment.start, segment.end()});
        }
    });
    return head;
}

ColourSpace jpeg_colour_space(int components) {
    switch (components) {
        case 1: return ColourSpace::Grey;
        case 3: return ColourSpace::Rgb;
        case 4: return ColourSpace::Cmyk;
        default: return ColourSpace::Unknown;
    }
}

ColourSpace png_colour_space(uint8_t colour_type) {
    return colour_type == 0 || colour_type == 4 ? ColourSpace::Grey : ColourSpace::Rgb;
}

bool profile_fits(const byte_block& profile, ColourSpace picture) {
    return !profile.empty() && picture != ColourSpace::Unknown && profile_colour_space(profile) == picture;
}

// `head`'s bytes from `from` to `to`, leaving out the removed ranges.
void append_without(ByteBuilder* out, const uint8_t* data, uint64_t from, uint64_t to,
                    const std::vector<Range>& removed) {
    for (const Range& range : removed) {
        if (range.end <= from || range.start >= to) continue;
        out->append(data + from, range.start - from);
        from = range.end;
    }
    out->append(data + from, to - from);
}

// Grows the buffer in place and opens a gap at `at` for `block`.
void insert_block(malloc_ptr<uint8_t>* bytes, uint64_t* length, uint64_t at, const byte_block& block) {
    if (block.empty()) return;
    const uint64_t grown_length = *length + block.length;
    void* grown = grown_length <= SIZE_MAX ? std::realloc(bytes->get(), static_cast<size_t>(grown_length))
                                           : nullptr;
    if (!grown) throw std::bad_alloc();
    bytes->release();
    bytes->reset(static_cast<uint8_t*>(grown));
    uint8_t* data = bytes->get();
    std::memmove(data + at + block.length, data + at, static_cast<size_t>(*length - at));
    std::memcpy(data + at, block.data(), static_cast<size_t>(block.length));
    *length = grown_length;
}

struct PngLayout {
    PngChunk header{0, 0};
    bool has_header = false;
    std::vector<PngChunk> image_data;
};

bool read_png_layout(const ByteReader& png, PngLayout* layout) {
    return walk_png(png, [&](const PngChunk& chunk) {
               if (chunk.start == sizeof kPngSignature && chunk.is(png, "IHDR") && chunk.length == 13) {
                   layout->header = chunk;
                   layout->has_header = true;
               }
               if (chunk.is(png, "IDAT")) layout->image_data.push_back(chunk);
           }) &&
           layout->has_header;
}

}  // namespace

carried_metadata read_carried_metadata(const uint8_t* bytes, uint64_t length, img_format format) {
    const ByteReader reader{bytes, length};
    photo_metadata found;
    if (format == IMG_FMT_JPEG) found = read_jpeg(reader, false);
    else if (format == IMG_FMT_PNG) found = read_png(reader, false);
    else if (format == IMG_FMT_BMP) found.resolution = bmp_resolution(reader);
    carried_metadata carried;
    // The decoder gives RGB whatever the file held: a grey or CMYK profile
    // would describe other numbers.
    if (profile_colour_space(found.icc_profile) == ColourSpace::Rgb) {
        carried.icc_profile = std::move(found.icc_profile);
    }
    carried.resolution = found.resolution;
    return carried;
}

photo_metadata read_photo_metadata(const uint8_t* bytes, uint64_t length, img_format format) {
    const ByteReader reader{bytes, length};
    if (format == IMG_FMT_JPEG) return read_jpeg(reader, true);
    if (format == IMG_FMT_PNG) return read_png(reader, true);
    return {};
}

void attach_carried_metadata(malloc_ptr<uint8_t>* bytes, uint64_t* length, img_format format,
                             const carried_metadata& carried) {
    const ByteReader reader{bytes->get(), *length};
    if (format == IMG_FMT_BMP) {
        uint32_t x = 0, y = 0;
        if (!bmp_has_resolution_field(reader) || !pixels_per_metre(carried.resolution, &x, &y)) return;
        put32(bytes->get() + kBmpXPelsPerMeter, ByteOrder::Little, x);
        put32(bytes->get() + kBmpYPelsPerMeter, ByteOrder::Little, y);
        return;
    }
    ByteBuilder block;
    uint64_t insert_at = 0;
    if (format == IMG_FMT_JPEG) {
        const JpegHead head = read_jpeg_head(reader);
        if (head.sos == 0) return;
        if (head.jfif_payload && carried.resolution.unit != resolution_unit::none) {
            patch_jfif_density(bytes->get() + head.jfif_payload, jfif_density(carried.resolution));
        }
        if (!carried.icc_profile.empty()) append_icc_segments(&block, carried.icc_profile);
        insert_at = head.insert_at;
    } else if (format == IMG_FMT_PNG) {
        PngLayout layout;
        if (!read_png_layout(reader, &layout)) return;
        if (!carried.icc_profile.empty()) append_iccp_chunk(&block, carried.icc_profile);
        append_phys_chunk(&block, carried.resolution);
        insert_at = layout.header.end();
    } else {
        return;
    }
    insert_block(bytes, length, insert_at, block.take());
}

// Readers differ in which of two Orientation entries they take, and some
// honour one that is not SHORT: every entry of IFD0 is made to read 1, in
// place, so that nothing moves. An entry of another type or count than
// SHORT or LONG 1 becomes SHORT 1 (its old value's bytes stay, unused).
void make_exif_upright(byte_block* exif) {
    TiffData tiff{};
    if (open_tiff(ByteReader{exif->data(), exif->length}, &tiff) != TiffFault::None) {
        *exif = byte_block{};  // not TIFF data that any reader would take
        return;
    }
    const ByteWriter writer{exif->bytes.get(), exif->length};
    for (uint64_t at = find_ifd0_entry(tiff, TIFF_TAG_ORIENTATION, 0); at != 0;
         at = find_ifd0_entry(tiff, TIFF_TAG_ORIENTATION, at)) {
        const TiffEntry entry = read_tiff_entry(tiff, at);
        if (entry.type == TIFF_TYPE_LONG && entry.count == 1) {
            writer.put32(tiff.order, at + 8, 1);
            continue;
        }
        if (entry.type != TIFF_TYPE_SHORT || entry.count != 1) {
            writer.put16(tiff.order, at + 2, TIFF_TYPE_SHORT);
            writer.put32(tiff.order, at + 4, 1);
            writer.put16(tiff.order, at + 10, 0);
        }
        writer.put16(tiff.order, at + 8, 1);
    }
    // IFD1 describes the thumbnail, which shows the picture as it was
    // stored: unlinked, it is no longer found (its bytes stay unused).
    const uint64_t next_ifd = tiff_entry_position(tiff.ifd0, tiff.entry_count);
    if (tiff.bytes.has(next_ifd, 4)) writer.put32(tiff.order, next_ifd, 0);
}

namespace {

bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

uint64_t skip_spaces(const ByteReader& text, uint64_t pos) {
    while (pos < text.len && is_space(text.data[pos])) ++pos;
    return pos;
}

// Where the value of the XMP property named at `name` lies: the text
// between the quotes of an attribute (tiff:Orientation="6") or the content
// of an element (<tiff:Orientation>6</tiff:Orientation>). Empty otherwise.
Range property_value(const ByteReader& text, uint64_t name, uint64_t after) {
    const uint8_t before = name > 0 ? text.data[name - 1] : 0;
    if (before == '<' && after < text.len && text.data[after] == '>') {
        const uint8_t* close = static_cast<const uint8_t*>(
            std::memchr(text.data + after + 1, '<', static_cast<size_t>(text.len - after - 1)));
        if (!close) return {};
        return Range{after + 1, static_cast<uint64_t>(close - text.data)};
    }
    if (!is_space(before)) return {};
    uint64_t pos = skip_spaces(text, after);
    if (pos >= text.len || text.data[pos] != '=') return {};
    pos = skip_spaces(text, pos + 1);
    if (pos >= text.len || (text.data[pos] != '"' && text.data[pos] != '\'')) return {};
    const uint8_t* close = static_cast<const uint8_t*>(
        std::memchr(text.data + pos + 1, text.data[pos], static_cast<size_t>(text.len - pos - 1)));
    if (!close) return {};
    return Range{pos + 1, static_cast<uint64_t>(close - text.data)};
}

// Every non-empty value of the property `name`, attribute or element,
// replaced by what `replace` makes of its text; the packet is left as it
// is where the property is not found.
template <typename Replace>
void replace_property_values(byte_block* xmp, const char* name, Replace replace) {
    const uint64_t name_length = std::strlen(name);
    const ByteReader text{xmp->data(), xmp->length};
    ByteBuilder out;
    uint64_t copied = 0;
    for (uint64_t pos = 0; text.has(pos, name_length); ++pos) {
        if (!text.matches(pos, name, name_length)) continue;
        const Range value = property_value(text, pos, pos + name_length);
        if (value.end <= value.start) continue;
        const std::string replacement =
            replace(std::string(reinterpret_cast<const char*>(text.data + value.start), value.end - value.start));
        out.append(text.data + copied, value.start - copied);
        out.append(replacement.data(), replacement.size());
        copied = value.end;
        pos = value.end;
    }
    if (copied == 0) return;
    out.append(text.data + copied, text.len - copied);
    *xmp = out.take();
}

// A decimal number of up to 19 digits; false for anything else.
bool decimal_value(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = number;
    return true;
}

// A container directory (as HDR photos with a gain map carry) lists the
// pictures after the primary one by their lengths, in the order of the
// file: each Item:Length that stated the next following picture's input
// length now states its length as written. Others are left as they are.
void set_xmp_item_lengths(byte_block* xmp, const std::vector<following_picture>& following) {
    size_t next = 0;
    replace_property_values(xmp, "Item:Length", [&](const std::string& value) {
        uint64_t stated = 0;
        if (next >= following.size() || !decimal_value(value, &stated) ||
            stated != following[next].input_length) {
            return value;
        }
        return std::to_string(following[next++].length);
    });
}

}  // namespace

void make_xmp_upright(byte_block* xmp) {
    replace_property_values(xmp, "tiff:Orientation", [](const std::string&) { return std::string("1"); });
}

namespace {

// The IDAT payloads of two files as one stream each, split where they may.
bool same_idat_stream(const ByteReader& a, const std::vector<PngChunk>& a_chunks, const ByteReader& b,
                      const std::vector<PngChunk>& b_chunks) {
    size_t ai = 0, bi = 0;
    uint64_t a_at = 0, b_at = 0;
    while (true) {
        while (ai < a_chunks.size() && a_at == a_chunks[ai].length) ++ai, a_at = 0;
        while (bi < b_chunks.size() && b_at == b_chunks[bi].length) ++bi, b_at = 0;
        if (ai == a_chunks.size() || bi == b_chunks.size()) {
            return ai == a_chunks.size() && bi == b_chunks.size();
        }
        const uint64_t step = std::min(a_chunks[ai].length - a_at, b_chunks[bi].length - b_at);
        if (std::memcmp(a.data + a_chunks[ai].data() + a_at, b.data + b_chunks[bi].data() + b_at,
                        static_cast<size_t>(step)) != 0) {
            return false;
        }
        a_at += step;
        b_at += step;
    }
}

Range jpeg_frame_header(const ByteReader& jpeg) {
    Range frame;
    walk_jpeg_head(jpeg, [&](const JpegSegment& segment) {
        if (is_jpeg_frame_header(segment.code) && frame.end == 0) frame = Range{segment.start, segment.end()};
    });
    return frame;
}

bool same_range_bytes(const ByteReader& a, Range a_range, const ByteReader& b, Range b_range) {
    const uint64_t size = a_range.end - a_range.start;
    return size == b_range.end - b_range.start &&
           std::memcmp(a.data + a_range.start, b.data + b_range.start, static_cast<size_t>(size)) == 0;
}

bool replace_in_jpeg(const ByteReader& jpeg, const photo_metadata& metadata, byte_block* result) {
    const JpegHead head = read_jpeg_head(jpeg);
    if (head.sos == 0) return false;
    ByteBuilder block;
    // One segment each; what does not fit one is left out.
    if (!metadata.exif.empty() && metadata.exif.length <= kMaxSegmentPayload - sizeof kExifSignature) {
        append_segment(&block, kApp1, kExifSignature, sizeof kExifSignature, metadata.exif.data(),
                       metadata.exif.length);
    }
    if (!metadata.xmp.empty() && metadata.xmp.length <= kMaxSegmentPayload - sizeof kXmpSignature) {
        append_segment(&block, kApp1, kXmpSignature, sizeof kXmpSignature, metadata.xmp.data(),
                       metadata.xmp.length);
    }
    if (profile_fits(metadata.icc_profile, jpeg_colour_space(head.components))) {
        append_icc_segments(&block, metadata.icc_profile);
    }
    ByteBuilder out;
    out.reserve(jpeg.len + block.size());
    out.append(jpeg.data, head.insert_at);
    if (head.jfif_payload) patch_jfif_density(out.data() + head.jfif_payload, jfif_density(metadata.resolution));
    out.append(block.data(), block.size());
    append_without(&out, jpeg.data, head.insert_at, jpeg.len, head.metadata_segments);
    *result = out.take();
    return true;
}

bool replace_in_png(const ByteReader& png, const photo_metadata& metadata, byte_block* result) {
    PngLayout layout;
    if (!read_png_layout(png, &layout)) return false;
    const ColourSpace picture = png_colour_space(png.data[layout.header.data() + 9]);
    const bool with_profile = profile_fits(metadata.icc_profile, picture);
    std::vector<Range> removed;
    walk_png(png, [&](const PngChunk& chunk) {
        // sRGB and a profile contradict each other; without a profile the
        // picture keeps the sRGB it states.
        if (chunk.is(png, "iCCP") || chunk.is(png, "pHYs") || chunk.is(png, "eXIf") ||
            is_xmp_chunk(png, chunk) || (with_profile && chunk.is(png, "sRGB"))) {
            removed.push_back(Range{chunk.start, chunk.end()});
        }
    });
    ByteBuilder block;
    if (with_profile) append_iccp_chunk(&block, metadata.icc_profile);
    append_phys_chunk(&block, metadata.resolution);
    if (!metadata.exif.empty() && metadata.exif.length <= 0x7FFFFFFFu) {
        append_chunk(&block, "eXIf", metadata.exif.data(), metadata.exif.length);
    }
    if (!metadata.xmp.empty() && metadata.xmp.length <= 0x7FFFFFFFu - 64) append_xmp_chunk(&block, metadata.xmp);

    const uint64_t insert_at = layout.header.end();
    ByteBuilder out;
    out.reserve(png.len + block.size());
    out.append(png.data, insert_at);
    out.append(block.data(), block.size());
    append_without(&out, png.data, insert_at, png.len, removed);
    *result = out.take();
    return true;
}

}  // namespace

bool same_image_data(const uint8_t* source, uint64_t source_length, img_format source_format,
                     const uint8_t* output, uint64_t output_length, img_format output_format) {
    if (source_format != output_format) return false;
    const ByteReader a{source, source_length}, b{output, output_length};
    if (source_format == IMG_FMT_JPEG) {
        const uint64_t a_scan = walk_jpeg_head(a, [](const JpegSegment&) {});
        const uint64_t b_scan = walk_jpeg_head(b, [](const JpegSegment&) {});
        const Range a_frame = jpeg_frame_header(a), b_frame = jpeg_frame_header(b);
        return a_scan != 0 && b_scan != 0 && a_frame.end != 0 && b_frame.end != 0 &&
               same_range_bytes(a, a_frame, b, b_frame) &&
               same_range_bytes(a, Range{a_scan, a.len}, b, Range{b_scan, b.len});
    }
    if (source_format == IMG_FMT_PNG) {
        PngLayout a_layout, b_layout;
        if (!read_png_layout(a, &a_layout) || !read_png_layout(b, &b_layout)) return false;
        const auto ihdr = [](const PngChunk& chunk) { return Range{chunk.data(), chunk.data() + 13}; };
        return same_range_bytes(a, ihdr(a_layout.header), b, ihdr(b_layout.header)) &&
               same_idat_stream(a, a_layout.image_data, b, b_layout.image_data);
    }
    return false;
}

jpeg_picture locate_jpeg_picture(const uint8_t* head, uint64_t length) {
    const ByteReader jpeg{head, length};
    const uint64_t scan = walk_jpeg_head(jpeg, [](const JpegSegment&) {});
    const Range frame = jpeg_frame_header(jpeg);
    if (scan == 0 || frame.end == 0) return {};
    return jpeg_picture{scan, frame.start, frame.end};
}

bool replace_photo_metadata(const uint8_t* output, uint64_t length, img_format format,
                            const photo_metadata& metadata, byte_block* result) {
    const ByteReader reader{output, length};
    if (format == IMG_FMT_JPEG) return replace_in_jpeg(reader, metadata, result);
    if (format == IMG_FMT_PNG) return replace_in_png(reader, metadata, result);
    return false;
}

// --- A JPEG turned in its coefficients --------------------------------------

namespace {

constexpr uint16_t kExifIfdPointer = 0x8769;
constexpr uint16_t kPixelXDimension = 0xA002;
constexpr uint16_t kPixelYDimension = 0xA003;

// The Exif IFD's sides, where its entries hold one SHORT or LONG each; a
// value too large for a SHORT entry is left as it was rather than cut.
void set_exif_pixel_dimensions(byte_block* exif, uint32_t width, uint32_t height) {
    TiffData tiff{};
    if (open_tiff(ByteReader{exif->data(), exif->length}, &tiff) != TiffFault::None) return;
    const uint64_t pointer_entry = find_ifd0_entry(tiff, kExifIfdPointer, 0);
    uint32_t directory = 0;
    if (pointer_entry == 0 || !tiff.bytes.u32(tiff.order, pointer_entry + 8, &directory)) return;
    uint16_t entry_count = 0;
    if (!tiff.bytes.u16(tiff.order, directory, &entry_count) ||
        !tiff.bytes.has(directory + 2, TIFF_ENTRY_SIZE * entry_count)) {
        return;
    }
    const ByteWriter writer{exif->bytes.get(), exif->length};
    for (uint64_t index = 0; index < entry_count; ++index) {
        const uint64_t at = tiff_entry_position(directory, index);
        const TiffEntry entry = read_tiff_entry(tiff, at);
        if ((entry.tag != kPixelXDimension && entry.tag != kPixelYDimension) || entry.count != 1) continue;
        const uint32_t side = entry.tag == kPixelXDimension ? width : height;
        if (entry.type == TIFF_TYPE_LONG) writer.put32(tiff.order, at + 8, side);
        if (entry.type == TIFF_TYPE_SHORT && side <= 0xFFFF) {
            writer.put16(tiff.order, at + 8, static_cast<uint16_t>(side));
        }
    }
}

void append_upright_exif(ByteBuilder* out, const ByteReader& jpeg, const JpegSegment& segment,
                         const upright_jpeg_result& sides) {
    const uint64_t tiff_start = segment.payload + sizeof kExifSignature;
    byte_block exif = copy_block(jpeg.data + tiff_start, segment.end() - tiff_start);
    make_exif_upright(&exif);
    set_exif_pixel_dimensions(&exif, sides.width, sides.height);
    append_segment(out, kApp1, kExifSignature, sizeof kExifSignature, exif.data(), exif.length);
}

// A packet that grows past one segment is left out rather than cut.
void append_upright_xmp(ByteBuilder* out, const ByteReader& jpeg, const JpegSegment& segment,
                        const upright_jpeg_result& sides) {
    const uint64_t text_start = segment.payload + sizeof kXmpSignature;
    byte_block xmp = copy_block(jpeg.data + text_start, segment.end() - text_start);
    make_xmp_upright(&xmp);
    if (sides.multi_picture == multi_picture_segment::rewrite) set_xmp_item_lengths(&xmp, sides.following);
    if (xmp.length > kMaxSegmentPayload - sizeof kXmpSignature) return;
    append_segment(out, kApp1, kXmpSignature, sizeof kXmpSignature, xmp.data(), xmp.length);
}

// The following pictures after the primary picture (`out` up to its EOI),
// the index at `tiff_start` in `out` set to where they are written.
bool append_following_pictures(ByteBuilder* out, uint64_t tiff_start, uint64_t tiff_length,
                               const std::vector<following_picture>& following) {
    std::vector<placed_picture> placed;
    for (const following_picture& picture : following) placed.push_back(placed_picture{picture.entry, picture.length});
    if (tiff_start == 0 ||
        !place_multi_pictures(out->data() + tiff_start, tiff_length, tiff_start, out->size(), placed)) {
        return false;
    }
    for (const following_picture& picture : following) out->append(picture.bytes, picture.length);
    return true;
}

}  // namespace

bool make_jpeg_segments_upright(const uint8_t* bytes, uint64_t length, const upright_jpeg_result& sides,
                                byte_block* result) {
    const ByteReader jpeg{bytes, length};
    if (!starts_with_jpeg_soi(jpeg)) return false;
    ByteBuilder out;
    out.append(bytes, 2);
    uint64_t pos = 2;
    uint64_t index_start = 0, index_length = 0;  // the MPF segment's TIFF data in `out`
    for (;;) {
        JpegSegment segment;
        JpegStop stop = JpegStop::None;
        const uint64_t segment_start = pos;
        if (!next_jpeg_segment(jpeg, &pos, JpegWalkRules{}, &segment, &stop)) return false;
        if (is_jpeg_frame_header(segment.code) || segment.code == jpeg_code::sos) {
            out.append(bytes + segment_start, length - segment_start);
            break;
        }
        if (is_exif(jpeg, segment)) {
            if (sides.keep_exif_and_xmp) append_upright_exif(&out, jpeg, segment, sides);
        } else if (is_xmp(jpeg, segment)) {
            if (sides.keep_exif_and_xmp) append_upright_xmp(&out, jpeg, segment, sides);
        } else if (is_mpf_segment(jpeg, segment)) {
            if (sides.multi_picture == multi_picture_segment::drop) continue;
            if (index_start == 0) {
                index_start = out.size() + (mpf_tiff_start(segment) - segment_start);
                index_length = segment.end() - mpf_tiff_start(segment);
            }
            out.append(bytes + segment_start, pos - segment_start);
        } else {
            out.append(bytes + segment_start, pos - segment_start);
        }
    }
    if (sides.multi_picture == multi_picture_segment::rewrite &&
        !append_following_pictures(&out, index_start, index_length, sides.following)) {
        return false;
    }
    *result = out.take();
    return true;
}
