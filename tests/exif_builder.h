// Builds Exif APP1 segments for tests, in either byte order: IFD0 with
// optional Exif, GPS and Interoperability sub-directories and IFD1 with a
// thumbnail. Values that do not fit in four bytes are placed after their
// directory; every offset is computed, so the result reads as a camera's.
//
//   fixture::Block block;
//   block.big_endian = true;
//   block.ifd0 = {fixture::ascii(0x010F, "Quorvane"), fixture::shorts(0x0112, {6})};
//   auto jpeg = fixture::insert_after_soi(fixture::skeleton_jpeg(), fixture::app1(block));
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

constexpr uint16_t TYPE_BYTE = 1;
constexpr uint16_t TYPE_ASCII = 2;
constexpr uint16_t TYPE_SHORT = 3;
constexpr uint16_t TYPE_LONG = 4;
constexpr uint16_t TYPE_RATIONAL = 5;
constexpr uint16_t TYPE_SBYTE = 6;
constexpr uint16_t TYPE_UNDEFINED = 7;
constexpr uint16_t TYPE_SSHORT = 8;
constexpr uint16_t TYPE_SLONG = 9;
constexpr uint16_t TYPE_SRATIONAL = 10;
constexpr uint16_t TYPE_FLOAT = 11;

// One IFD entry. Each number is stored in number_size(type) bytes; a
// (S)RATIONAL value is two numbers. `count` is written as given, so a test
// may make it disagree with the numbers.
struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint32_t> numbers;
};

inline unsigned number_size(uint16_t type) {
    switch (type) {
        case TYPE_SHORT: case TYPE_SSHORT: return 2;
        case TYPE_LONG: case TYPE_SLONG: case TYPE_FLOAT:
        case TYPE_RATIONAL: case TYPE_SRATIONAL: return 4;
        default: return 1;
    }
}

inline Entry entry(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint32_t> numbers) {
    return Entry{tag, type, count, std::move(numbers)};
}

// Text with its terminating NUL, as TIFF counts it.
inline Entry ascii(uint16_t tag, const std::string& text) {
    std::vector<uint32_t> chars(text.begin(), text.end());
    chars.push_back(0);
    return entry(tag, TYPE_ASCII, static_cast<uint32_t>(chars.size()), chars);
}

inline Entry shorts(uint16_t tag, std::vector<uint32_t> values) {
    const auto count = static_cast<uint32_t>(values.size());
    return entry(tag, TYPE_SHORT, count, std::move(values));
}

inline Entry longs(uint16_t tag, std::vector<uint32_t> values) {
    const auto count = static_cast<uint32_t>(values.size());
    return entry(tag, TYPE_LONG, count, std::move(values));
}

inline Entry rationals(uint16_t tag, std::vector<uint32_t> pairs) {
    const auto count = static_cast<uint32_t>(pairs.size() / 2);
    return entry(tag, TYPE_RATIONAL, count, std::move(pairs));
}

inline Entry undefined(uint16_t tag, const std::string& bytes) {
    std::vector<uint32_t> values(bytes.begin(), bytes.end());
    return entry(tag, TYPE_UNDEFINED, static_cast<uint32_t>(values.size()), values);
}

struct Block {
    bool big_endian = false;
    std::vector<Entry> ifd0, exif, gps, interop, ifd1;
    // A JPEG thumbnail, pointed at from IFD1 (JPEGInterchangeFormat and its
    // length), or, with strips, an uncompressed one (StripOffsets of
    // strip_offset_type and StripByteCounts), one strip per element.
    std::vector<uint8_t> thumbnail;
    std::vector<std::vector<uint8_t>> thumbnail_strips;
    uint16_t strip_offset_type = TYPE_LONG;
    bool ifd0_last = false;  // IFD0 after everything else, as some writers place it
};

inline void put16(std::vector<uint8_t>& out, bool big_endian, uint32_t value) {
    const auto hi = static_cast<uint8_t>(value >> 8), lo = static_cast<uint8_t>(value);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
}

inline void put32(std::vector<uint8_t>& out, bool big_endian, uint32_t value) {
    put16(out, big_endian, big_endian ? value >> 16 : value & 0xFFFF);
    put16(out, big_endian, big_endian ? value & 0xFFFF : value >> 16);
}

// The eight bytes that open TIFF data.
inline std::vector<uint8_t> tiff_header(bool big_endian, uint32_t ifd0_offset) {
    std::vector<uint8_t> out = {big_endian ? uint8_t{'M'} : uint8_t{'I'},
                                big_endian ? uint8_t{'M'} : uint8_t{'I'}};
    put16(out, big_endian, 42);
    put32(out, big_endian, ifd0_offset);
    return out;
}

inline std::vector<uint8_t> payload(const Entry& e, bool big_endian) {
    std::vector<uint8_t> out;
    for (uint32_t number : e.numbers) {
        const unsigned size = number_size(e.type);
        if (size == 4) put32(out, big_endian, number);
        else if (size == 2) put16(out, big_endian, number);
        else out.push_back(static_cast<uint8_t>(number));
    }
    return out;
}

inline uint32_t directory_size(const std::vector<Entry>& entries) {
    uint32_t size = 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    for (const Entry& e : entries) {
        const auto bytes = static_cast<uint32_t>(payload(e, false).size());
        if (bytes > 4) size += bytes;
    }
    return size;
}

// Appends a directory at out.size(), its outside values right behind it.
inline void write_directory(std::vector<uint8_t>& out, const std::vector<Entry>& entries,
                            uint32_t next_offset, bool big_endian) {
    const auto start = static_cast<uint32_t>(out.size());
    uint32_t outside = start + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    std::vector<uint8_t> values;
    put16(out, big_endian, static_cast<uint32_t>(entries.size()));
    for (const Entry& e : entries) {
        put16(out, big_endian, e.tag);
        put16(out, big_endian, e.type);
        put32(out, big_endian, e.count);
        std::vector<uint8_t> bytes = payload(e, big_endian);
        if (bytes.size() > 4) {
            put32(out, big_endian, outside);
            outside += static_cast<uint32_t>(bytes.size());
            values.insert(values.end(), bytes.begin(), bytes.end());
        } else {
            bytes.resize(4, 0);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    }
    put32(out, big_endian, next_offset);
    out.insert(out.end(), values.begin(), values.end());
}

// The TIFF data of the block: header, IFD0, Exif, Interop, GPS, IFD1 and
// the thumbnail, or IFD0 last when ifd0_last is set. Entries are sorted by
// tag (stably) as TIFF asks.
inline std::vector<uint8_t> tiff(const Block& block) {
    const bool be = block.big_endian;
    std::vector<Entry> ifd0 = block.ifd0, exif = block.exif, ifd1 = block.ifd1;
    const bool has_exif = !exif.empty() || !block.interop.empty();
    const bool has_strips = !block.thumbnail_strips.empty();
    const bool has_ifd1 = !ifd1.empty() || !block.thumbnail.empty() || has_strips;
    // Pointers get their values once the layout is known; sizes do not depend on them.
    if (has_exif) ifd0.push_back(longs(0x8769, {0}));
    if (!block.gps.empty()) ifd0.push_back(longs(0x8825, {0}));
    if (!block.interop.empty()) exif.push_back(longs(0xA005, {0}));
    if (!block.thumbnail.empty()) {
        ifd1.push_back(longs(0x0201, {0}));
        ifd1.push_back(longs(0x0202, {static_cast<uint32_t>(block.thumbnail.size())}));
    }
    std::vector<uint8_t> images = block.thumbnail;
    std::vector<uint32_t> strip_starts, strip_sizes;
    for (const auto& strip : block.thumbnail_strips) {
        strip_starts.push_back(static_cast<uint32_t>(images.size()));
        strip_sizes.push_back(static_cast<uint32_t>(strip.size()));
        images.insert(images.end(), strip.begin(), strip.end());
    }
    if (has_strips) {
        const auto count = static_cast<uint32_t>(strip_starts.size());
        ifd1.push_back(entry(0x0111, block.strip_offset_type, count, strip_starts));
        ifd1.push_back(longs(0x0117, strip_sizes));
    }
    for (auto* list : {&ifd0, &exif, &ifd1}) {
        std::stable_sort(list->begin(), list->end(),
                         [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    }

    // Sections in file order; an absent one takes no room.
    enum Section { IFD0, EXIF, INTEROP, GPS, IFD1, IMAGES, SECTIONS };
    const std::vector<Entry>* directories[] = {&ifd0, &exif, &block.interop, &block.gps, &ifd1};
    const bool present[SECTIONS] = {true, has_exif, !block.interop.empty(), !block.gps.empty(),
                                    has_ifd1, true};
    std::vector<Section> order = {EXIF, INTEROP, GPS, IFD1, IMAGES};
    order.insert(block.ifd0_last ? order.end() : order.begin(), IFD0);
    uint32_t at[SECTIONS] = {};
    uint32_t next_free = 8;
    for (Section section : order) {
        at[section] = next_free;
        if (!present[section]) continue;
        next_free += section == IMAGES ? static_cast<uint32_t>(images.size())
                                       : directory_size(*directories[section]);
    }

    auto set = [](std::vector<Entry>& list, uint16_t tag, std::vector<uint32_t> numbers) {
        for (Entry& e : list) {
            if (e.tag == tag) e.numbers = numbers;
        }
    };
    set(ifd0, 0x8769, {at[EXIF]});
    set(ifd0, 0x8825, {at[GPS]});
    set(exif, 0xA005, {at[INTEROP]});
    set(ifd1, 0x0201, {at[IMAGES]});
    for (uint32_t& start : strip_starts) start += at[IMAGES];
    set(ifd1, 0x0111, strip_starts);

    std::vector<uint8_t> out = tiff_header(be, at[IFD0]);
    for (Section section : order) {
        if (!present[section]) continue;
        if (section == IMAGES) out.insert(out.end(), images.begin(), images.end());
        else write_directory(out, *directories[section], section == IFD0 && has_ifd1 ? at[IFD1] : 0, be);
    }
    return out;
}

// An APP1 segment, marker bytes included, around the given TIFF data.
inline std::vector<uint8_t> app1(const std::vector<uint8_t>& tiff_data) {
    const auto length = static_cast<uint32_t>(2 + 6 + tiff_data.size());
    std::vector<uint8_t> out = {0xFF, 0xE1};
    put16(out, true, length);
    out.insert(out.end(), {'E', 'x', 'i', 'f', 0, 0});
    out.insert(out.end(), tiff_data.begin(), tiff_data.end());
    return out;
}

inline std::vector<uint8_t> app1(const Block& block) { return app1(tiff(block)); }

// An Exif APP1 segment whose IFD0 holds a camera's usual entries and an
// Orientation SHORT of `value`.
inline std::vector<uint8_t> orientation_app1(bool big_endian, uint16_t value) {
    Block block;
    block.big_endian = big_endian;
    block.ifd0 = {ascii(0x010F, "Quorvane"), ascii(0x0110, "Veerpix One"), shorts(0x0112, {value}),
                  rationals(0x011A, {72, 1}), rationals(0x011B, {72, 1}), shorts(0x0128, {2})};
    return app1(block);
}

// Markers only, with a few bytes standing in for the scan: enough for code
// that walks segments, not for a decoder.
inline std::vector<uint8_t> skeleton_jpeg() {
    return {0xFF, 0xD8,                                                  // SOI
            0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01,  // APP0
            0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
            0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00,  // SOS
            0x12, 0x34, 0xFF, 0x00, 0x56,                                // scan
            0xFF, 0xD9};                                                 // EOI
}

// The JPEG with `segment` placed right after its SOI marker.
inline std::vector<uint8_t> insert_after_soi(const std::vector<uint8_t>& jpeg,
                                             const std::vector<uint8_t>& segment) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + std::min<size_t>(2, jpeg.size()));
    out.insert(out.end(), segment.begin(), segment.end());
    if (jpeg.size() > 2) out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

}  // namespace fixture
