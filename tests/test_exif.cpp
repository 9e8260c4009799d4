// The EXIF module: the Orientation reader on hand-built byte sequences, the
// composition table against the rule it comes from, and the rewriter, whose
// removals and insertions are checked by walking every directory before and
// after with a small walker of the tests' own.
#include "metadata/exif.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace fixture;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A marker segment: 0xFF, the code, a big-endian length, the payload.
Bytes segment(uint8_t code, const Bytes& payload) {
    Bytes out = {0xFF, code};
    put16(out, true, static_cast<uint32_t>(payload.size() + 2));
    return cat({out, payload});
}

const Bytes SOI = {0xFF, 0xD8};
const Bytes EOI = {0xFF, 0xD9};
const Bytes EXIF_SIGNATURE = {'E', 'x', 'i', 'f', 0, 0};

Bytes app0() { return segment(0xE0, cat({text("JFIF"), {0, 1, 1, 0, 0, 1, 0, 1, 0, 0}})); }

Bytes scan() { return cat({segment(0xDA, {1, 1, 0, 0, 0x3F, 0}), {0x12, 0xFF, 0x00, 0x34}, EOI}); }

// IFD0 at 8: the entry count, then `table` (entries and whatever follows).
Bytes raw_tiff(bool big_endian, uint16_t entry_count, const Bytes& table) {
    Bytes out = tiff_header(big_endian, 8);
    put16(out, big_endian, entry_count);
    return cat({out, table});
}

Bytes raw_entry(bool big_endian, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Bytes out;
    put16(out, big_endian, tag);
    put16(out, big_endian, type);
    put32(out, big_endian, count);
    if (type == TYPE_SHORT) {
        put16(out, big_endian, value);
        put16(out, big_endian, 0);
    } else {
        put32(out, big_endian, value);
    }
    return out;
}

Bytes with_ifd0(bool big_endian, std::vector<Entry> entries) {
    Block block;
    block.big_endian = big_endian;
    block.ifd0 = std::move(entries);
    return app1(block);
}

struct ReadCall {
    int value;
    std::string msg;
};

ReadCall read_orientation(const Bytes& data) {
    char msg[256] = {};
    const int value = qv_exif_parse_orientation(data.data(), data.size(), msg, sizeof msg);
    return {value, msg};
}

// ---------------------------------------------------------------------------
// Reader

struct ReaderCase {
    const char* label;
    Bytes data;
    int value;
    std::string msg;  // "" where the reader must leave the buffer alone
};

std::vector<ReaderCase> reader_cases() {
    const Bytes exif6 = orientation_app1(false, 6);
    const Bytes exif3_be = orientation_app1(true, 3);
    const Bytes tiff6 = Bytes(exif6.begin() + 10, exif6.end());
    auto with_tiff_byte = [&](size_t pos, uint8_t byte) {
        Bytes tiff = tiff6;
        tiff[pos] = byte;
        return cat({SOI, app1(tiff), scan()});
    };
    const Bytes one_entry_be = raw_entry(true, 0x0112, TYPE_SHORT, 1, 3);
    Bytes magic43 = tiff6;
    magic43[2] = 43;
    Bytes magic_swapped = tiff6;
    magic_swapped[2] = 0;
    magic_swapped[3] = 42;

    std::vector<Entry> nine = {shorts(0x0100, {1}), shorts(0x0101, {1}), shorts(0x0102, {8}),
                               shorts(0x0103, {6}), shorts(0x0106, {2}), ascii(0x010E, "photo"),
                               ascii(0x010F, "Quorvane"), ascii(0x0110, "One"), shorts(0x0112, {5})};
    Block orientation_in_ifd1;
    orientation_in_ifd1.ifd0 = {ascii(0x010F, "Quorvane")};
    orientation_in_ifd1.ifd1 = {shorts(0x0112, {6})};

    return {
        // The marker walk.
        {"empty data", {}, 0, "not a JPEG file"},
        {"three bytes FF D8 FF", {0xFF, 0xD8, 0xFF}, 0, "not a JPEG file"},
        {"PNG signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 0, "not a JPEG file"},
        {"SOI, EOI only", cat({SOI, EOI}), 0, "no EXIF segment found"},
        {"APP0 then EOI", cat({SOI, app0(), EOI, {0, 0}}), 0, "no EXIF segment found"},
        {"only a marker's two bytes left", cat({SOI, app0(), {0xFF, 0xE1}}), 0, "no EXIF segment found"},
        {"EOI before the Exif segment", cat({SOI, EOI, exif6}), 0, "no EXIF segment found"},
        {"SOS before the Exif segment", cat({SOI, app0(), scan(), exif6}), 0,
         "no EXIF segment before image data"},
        {"no Exif segment before the scan", cat({SOI, app0(), scan()}), 0,
         "no EXIF segment before image data"},
        {"no 0xFF after SOI", cat({SOI, {0x00, 0xE1, 0x00, 0x10}}), 0, "bad JPEG marker at 2"},
        {"no 0xFF after APP0", cat({SOI, app0(), {0x12, 0x34, 0x56, 0x78}, exif6}), 0,
         "bad JPEG marker at 20"},
        {"fill byte 0xFF before APP1 taken as a code", cat({SOI, {0xFF}, exif6}), 0,
         "truncated JPEG segment"},
        {"length field 0", cat({SOI, {0xFF, 0xE0, 0x00, 0x00}, exif6}), 0, "truncated JPEG segment"},
        {"length field 1", cat({SOI, {0xFF, 0xE0, 0x00, 0x01}, exif6}), 0, "truncated JPEG segment"},
        {"length field 2: empty segment stepped over", cat({SOI, {0xFF, 0xE0, 0x00, 0x02}, exif6}), 6,
         ""},
        {"segment past the end", cat({SOI, {0xFF, 0xE0, 0x00, 0x20, 1, 2, 3, 4}}), 0,
         "truncated JPEG segment"},
        {"Exif segment one byte short", cat({SOI, Bytes(exif6.begin(), exif6.end() - 1)}), 0,
         "truncated JPEG segment"},
        {"TEM and RST stepped over", cat({SOI, {0xFF, 0x01, 0xFF, 0xD0, 0xFF, 0xD7}, exif6, scan()}),
         6, ""},
        {"XMP APP1 before Exif",
         cat({SOI, segment(0xE1, text(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 34))), exif6}),
         6, ""},
        {"APP1 of length 9 with the signature is not Exif",
         cat({SOI, segment(0xE1, cat({EXIF_SIGNATURE, {0x49}})), exif3_be}), 3, ""},
        {"lower-case signature", cat({SOI, segment(0xE1, cat({text("exif"), {0, 0}, tiff6})), scan()}),
         0, "no EXIF segment before image data"},
        {"Exif in APP2", cat({SOI, segment(0xE2, cat({EXIF_SIGNATURE, tiff6})), scan()}), 0,
         "no EXIF segment before image data"},
        {"first of two Exif segments has no Orientation",
         cat({SOI, with_ifd0(false, {ascii(0x010F, "Quorvane")}), exif6}), 0, ""},
        {"first of two Exif segments wins", cat({SOI, exif3_be, exif6}), 3, ""},

        // The TIFF header.
        {"L = 10", cat({SOI, segment(0xE1, cat({EXIF_SIGNATURE, {0x49, 0x49}}))}), 0,
         "truncated EXIF"},
        {"L = 15", cat({SOI, segment(0xE1, cat({EXIF_SIGNATURE, Bytes(tiff6.begin(), tiff6.begin() + 7)}))}),
         0, "truncated EXIF"},
        {"byte order XX", with_tiff_byte(0, 'X'), 0, "bad EXIF byte order"},
        {"byte order IM is little-endian", with_tiff_byte(1, 'M'), 6, ""},
        {"byte order MI is big-endian",
         [&] {
             Bytes tiff(exif3_be.begin() + 10, exif3_be.end());
             tiff[1] = 'I';
             return cat({SOI, app1(tiff)});
         }(),
         3, ""},
        {"magic 43", cat({SOI, app1(magic43)}), 0, "bad EXIF TIFF magic"},
        {"magic in the other byte order", cat({SOI, app1(magic_swapped)}), 0, "bad EXIF TIFF magic"},

        // IFD0's bounds.
        {"IFD0 offset 7", cat({SOI, app1(cat({tiff_header(true, 7), {0, 0, 0, 0}}))}), 0,
         "bad IFD offset"},
        {"IFD0 offset 2^31 + 8", cat({SOI, app1(cat({tiff_header(true, 0x80000008u), {0, 0}}))}), 0,
         "bad IFD offset"},
        {"IFD0 count not inside the TIFF data", cat({SOI, app1(cat({tiff_header(false, 9), {0, 0}}))}),
         0, "bad IFD offset"},
        {"IFD0 count as the last two bytes, 0", cat({SOI, app1(cat({tiff_header(false, 8), {0, 0}}))}),
         0, ""},
        {"two entries where one and the next offset fit",
         cat({SOI, app1(raw_tiff(true, 2, cat({one_entry_be, {0, 0, 0, 0}})))}), 0, "truncated IFD"},
        {"entry table ending exactly at the end", cat({SOI, app1(raw_tiff(true, 1, one_entry_be))}), 3,
         ""},

        // The entry search.
        {"Orientation as the ninth entry", cat({SOI, with_ifd0(true, nine)}), 5, ""},
        {"LONG Orientation, then SHORT",
         cat({SOI, with_ifd0(false, {longs(0x0112, {6}), shorts(0x0112, {3})})}), 3, ""},
        {"two SHORT Orientations", cat({SOI, with_ifd0(false, {shorts(0x0112, {5}), shorts(0x0112, {3})})}),
         5, ""},
        {"SHORT of count 2", cat({SOI, with_ifd0(true, {shorts(0x0112, {7, 1})})}), 7, ""},
        {"no Orientation entry", cat({SOI, with_ifd0(false, {ascii(0x010F, "Quorvane")})}), 0, ""},
        {"empty IFD0", cat({SOI, with_ifd0(true, {})}), 0, ""},
        {"Orientation in IFD1 only", cat({SOI, app1(orientation_in_ifd1)}), 0, ""},

        // Values, both byte orders.
        {"little-endian 6", cat({SOI, orientation_app1(false, 6), scan()}), 6, ""},
        {"big-endian 6", cat({SOI, orientation_app1(true, 6), scan()}), 6, ""},
        {"little-endian 0x1234", cat({SOI, orientation_app1(false, 0x1234)}), 0x1234, ""},
        {"big-endian 0x1234", cat({SOI, orientation_app1(true, 0x1234)}), 0x1234, ""},
        {"stored 0", cat({SOI, orientation_app1(false, 0)}), 0, ""},
        {"stored 9", cat({SOI, orientation_app1(true, 9)}), 9, ""},
        {"stored 65535", cat({SOI, orientation_app1(false, 65535)}), 65535, ""},
    };
}

TEST(ExifReader, CasesTable) {
    for (const ReaderCase& c : reader_cases()) {
        // Exactly sized copies, so that the sanitizer sees any read past the end.
        const ReadCall call = read_orientation(c.data);
        EXPECT_EQ(call.value, c.value) << c.label;
        EXPECT_EQ(call.msg, c.msg) << c.label;
    }
}

TEST(ExifReader, MessageIsCutToTheBuffer) {
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    char msg[8];
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(qv_exif_parse_orientation(png.data(), png.size(), msg, 5), 0);
    EXPECT_EQ(std::string(msg, 5), std::string("not ", 5));
    EXPECT_EQ(std::string(msg + 5, 3), "###");

    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(qv_exif_parse_orientation(png.data(), png.size(), msg, 0), 0);
    EXPECT_EQ(std::string(msg, sizeof msg), std::string(sizeof msg, '#'));
}

// ---------------------------------------------------------------------------
// Composition, derived from the display transforms.

using reference::Labels;
using reference::Map;

Labels apply(Map map, const Labels& src) { return reference::moved(map, src); }

// D(v): what turns the stored pixels of orientation v upright.
Map display_transform(int orientation) { return reference::display_map(orientation); }

Map operation(int op) {
    const Map maps[] = {Map::Identity, Map::Turn90, Map::Turn180, Map::Turn270, Map::MirrorLeftRight,
                        Map::MirrorTopBottom};
    return maps[op];
}

TEST(ExifCompose, EveryCellFollowsFromTheDisplayTransforms) {
    const Labels stored{2, 3, {1, 2, 3, 4, 5, 6}};
    // The one check that the maps mean what their names say: a counter-
    // clockwise turn makes the top row the left column, read from the bottom up.
    const Labels turned = apply(Map::Turn90, stored);
    ASSERT_EQ(turned.width, 3);
    EXPECT_EQ(turned.at(0, 1), 1u);
    EXPECT_EQ(turned.at(0, 0), 2u);

    for (int op = ORIENT_OP_IDENTITY; op <= ORIENT_OP_FLIP_V; ++op) {
        for (int v = 1; v <= 8; ++v) {
            // The new value shows the unchanged pixels as the old picture with op applied.
            const Labels wanted = apply(operation(op), apply(display_transform(v), stored));
            int expected = 0;
            for (int w = 1; w <= 8; ++w) {
                if (apply(display_transform(w), stored) == wanted) expected = w;
            }
            ASSERT_NE(expected, 0);
            EXPECT_EQ(qv_exif_compose_orientation(op, v), expected) << "op " << op << " orientation " << v;
        }
    }
}

TEST(ExifCompose, OutOfRangeGivesZero) {
    for (int v = -1; v <= 9; ++v) {
        for (int op : {-1, 6, 1 << 30, -(1 << 30)}) EXPECT_EQ(qv_exif_compose_orientation(op, v), 0) << op;
    }
    for (int op = 0; op <= 5; ++op) {
        for (int v : {0, -1, 9, 1 << 30}) EXPECT_EQ(qv_exif_compose_orientation(op, v), 0) << v;
    }
}

// ---------------------------------------------------------------------------
// The tests' own EXIF walker: every directory, every tag, values resolved.

struct Tag {
    std::string directory;
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    Bytes value;  // inline: the 4-byte field; else the values; pointers: the data pointed at
    size_t field_at = 0;  // where the value field lies in the TIFF data; not compared
    bool operator==(const Tag& o) const {
        return directory == o.directory && tag == o.tag && type == o.type && count == o.count &&
               value == o.value;
    }
};

std::ostream& operator<<(std::ostream& out, const Tag& t) {
    out << t.directory << " 0x" << std::hex << t.tag << std::dec << " type " << t.type << " count "
        << t.count << " [";
    for (uint8_t b : t.value) out << ' ' << int{b};
    return out << " ]";
}

struct ExifContents {
    std::vector<Tag> tags;  // directory by directory, as reached breadth first
    Bytes tiff;
    Bytes rest;             // the bytes after the Exif segment
    size_t tiff_start = 0;  // in the JPEG
};

uint64_t walker_type_size(uint16_t type) {
    const uint64_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < 13 ? sizes[type] : 0;
}

ExifContents read_exif(const Bytes& jpeg) {
    ExifContents out;
    size_t pos = 2;
    size_t length = 0;
    for (;;) {
        if (pos + 10 > jpeg.size()) throw std::out_of_range("no Exif segment");
        length = size_t{jpeg.at(pos + 2)} << 8 | jpeg.at(pos + 3);
        if (jpeg.at(pos + 1) == 0xE1 && Bytes(jpeg.begin() + pos + 4, jpeg.begin() + pos + 10) == EXIF_SIGNATURE) break;
        pos += 2 + length;
    }
    if (pos + 2 + length > jpeg.size()) throw std::out_of_range("Exif segment past the end");
    out.tiff_start = pos + 10;
    out.tiff = Bytes(jpeg.begin() + pos + 10, jpeg.begin() + pos + 2 + length);
    out.rest = Bytes(jpeg.begin() + pos + 2 + length, jpeg.end());
    const Bytes& tiff = out.tiff;
    const bool big = tiff.at(0) == 'M';
    auto number = [&](size_t at, size_t size) {
        uint32_t value = 0;
        for (size_t i = 0; i < size; ++i) {
            const uint32_t byte = tiff.at(at + (big ? i : size - 1 - i));
            value = value << 8 | byte;
        }
        return value;
    };
    auto slice = [&](size_t at, size_t size) {
        if (at + size > tiff.size()) throw std::out_of_range("value past the TIFF data");
        return Bytes(tiff.begin() + at, tiff.begin() + at + size);
    };

    std::deque<std::pair<std::string, size_t>> directories = {{"IFD0", number(4, 4)}};
    while (!directories.empty()) {
        const std::string name = directories.front().first;
        const size_t offset = directories.front().second;
        directories.pop_front();
        const size_t count = number(offset, 2);
        auto field = [&](size_t i) { return offset + 2 + 12 * i + 8; };
        auto find = [&](uint16_t tag) {
            for (size_t i = 0; i < count; ++i) {
                if (number(offset + 2 + 12 * i, 2) == tag) return i;
            }
            throw std::out_of_range("tag missing");
        };
        for (size_t i = 0; i < count; ++i) {
            const size_t at = offset + 2 + 12 * i;
            Tag t{name, static_cast<uint16_t>(number(at, 2)), static_cast<uint16_t>(number(at + 2, 2)),
                  number(at + 4, 4), {}, field(i)};
            const uint64_t size = walker_type_size(t.type) * t.count;
            t.value = size > 4 ? slice(number(field(i), 4), size) : slice(field(i), 4);
            if (t.tag == 0x8769) directories.emplace_back("Exif", number(field(i), 4));
            if (t.tag == 0x8825) directories.emplace_back("GPS", number(field(i), 4));
            if (t.tag == 0xA005) directories.emplace_back("Interop", number(field(i), 4));
            if (t.tag == 0x8769 || t.tag == 0x8825 || t.tag == 0xA005) t.value.clear();
            if (t.tag == 0x0201) t.value = slice(number(field(i), 4), number(field(find(0x0202)), 4));
            if (t.tag == 0x0111) {
                // Each strip's bytes, in order, instead of the offsets.
                const size_t unit = walker_type_size(t.type);
                const size_t offsets_at = size > 4 ? number(field(i), 4) : field(i);
                const size_t sizes_at = 4 * t.count > 4 ? number(field(find(0x0117)), 4) : field(find(0x0117));
                t.value.clear();
                for (size_t s = 0; s < t.count; ++s) {
                    const Bytes strip = slice(number(offsets_at + unit * s, unit), number(sizes_at + 4 * s, 4));
                    t.value.insert(t.value.end(), strip.begin(), strip.end());
                }
            }
            out.tags.push_back(t);
        }
        if (name == "IFD0" && offset + 2 + 12 * count + 4 <= tiff.size()) {
            const uint32_t next = number(offset + 2 + 12 * count, 4);
            if (next != 0) directories.emplace_back("IFD1", next);
        }
    }
    return out;
}

int count_in(const ExifContents& contents, const std::string& directory) {
    int n = 0;
    for (const Tag& t : contents.tags) n += t.directory == directory;
    return n;
}

// A camera's block: out-of-line text, rationals and signed rationals in IFD0
// and the Exif directory, Interop, GPS, and IFD1 with a JPEG thumbnail.
// ImageWidth and RecommendedExposureIndex hold plain numbers that would pass
// for offsets into the block.
Block camera_block(bool big_endian, bool with_orientation) {
    Block block;
    block.big_endian = big_endian;
    block.ifd0 = {longs(0x0100, {160}), ascii(0x010F, "Quorvane"), ascii(0x0110, "Veerpix Test Rig"),
                  rationals(0x011A, {72, 1}), rationals(0x011B, {72, 1}), shorts(0x0128, {2}),
                  ascii(0x0131, "veerpix tests 1.0"), ascii(0x0132, "2026:12:10 11:00:00"),
                  shorts(0x0213, {1})};
    if (with_orientation) block.ifd0.push_back(shorts(0x0112, {6}));
    block.exif = {rationals(0x829A, {1, 250}), rationals(0x829D, {28, 10}), shorts(0x8827, {100}),
                  shorts(0x8830, {2}), longs(0x8832, {200}), undefined(0x9000, "0232"),
                  ascii(0x9003, "2026:12:10 10:59:58"),
                  entry(0x9204, TYPE_SRATIONAL, 1, {0xFFFFFFFFu, 3}),
                  undefined(0x9101, std::string("\1\2\3\0", 4)),
                  undefined(0x9286, std::string("ASCII\0\0\0turned", 14)), undefined(0xA000, "0100"),
                  shorts(0xA001, {1}),
                  longs(0xA002, {4}), longs(0xA003, {2}), undefined(0xA300, "\x03")};
    block.interop = {ascii(0x0001, "R98"), undefined(0x0002, "0100")};
    block.gps = {entry(0x0000, TYPE_BYTE, 4, {2, 3, 0, 0}), ascii(0x0001, "N"),
                 rationals(0x0002, {52, 1, 31, 1, 1234, 100}), ascii(0x0003, "E"),
                 rationals(0x0004, {13, 1, 24, 1, 5678, 100}), entry(0x0005, TYPE_BYTE, 1, {0}),
                 rationals(0x0006, {345, 10}), ascii(0x0012, "WGS-84")};
    block.ifd1 = {shorts(0x0103, {6}), rationals(0x011A, {72, 1}), rationals(0x011B, {72, 1}),
                  shorts(0x0128, {2})};
    block.thumbnail = skeleton_jpeg();
    return block;
}

// One entry of every type, inline and out of line, with private tags. The
// inline ones hold 100, which reads as an offset past the change point in a
// little-endian block; only the out-of-line ones hold offsets.
Block typed_block(bool big_endian, bool with_orientation) {
    Block block;
    block.big_endian = big_endian;
    if (with_orientation) block.ifd0.push_back(shorts(0x0112, {3}));
    const std::vector<Entry> typed = {
        entry(0xC000, TYPE_BYTE, 4, {100, 0, 0, 0}), entry(0xC001, TYPE_SBYTE, 4, {100, 0, 0, 0}),
        entry(0xC002, TYPE_UNDEFINED, 1, {100}), entry(0xC003, TYPE_SSHORT, 2, {100, 0}),
        entry(0xC004, TYPE_SLONG, 1, {100}), entry(0xC005, TYPE_FLOAT, 1, {100}),
        entry(0xC006, TYPE_SHORT, 2, {100, 0}), entry(0xC007, TYPE_LONG, 1, {100}),
        entry(0xC008, 99, 1, {100}),  // a type TIFF does not know: never an offset
        entry(0xC010, TYPE_BYTE, 5, {1, 2, 3, 4, 5}), ascii(0xC011, "out of line"),
        entry(0xC012, TYPE_SBYTE, 5, {1, 2, 3, 4, 5}), entry(0xC013, TYPE_UNDEFINED, 5, {1, 2, 3, 4, 5}),
        entry(0xC014, TYPE_SSHORT, 3, {1, 2, 3}), entry(0xC015, TYPE_SLONG, 2, {1, 2}),
        entry(0xC016, TYPE_FLOAT, 2, {1, 2}), entry(0xC017, TYPE_RATIONAL, 1, {1, 2}),
        entry(0xC018, TYPE_SRATIONAL, 1, {1, 2}), entry(0xC019, 12, 1, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}),
        entry(0xC01A, TYPE_SHORT, 3, {1, 2, 3}), entry(0xC01B, TYPE_LONG, 2, {1, 2})};
    block.ifd0.insert(block.ifd0.end(), typed.begin(), typed.end());
    block.ifd1 = {shorts(0x0103, {1})};
    block.thumbnail_strips = {{1, 2, 3}, {4, 5, 6, 7}, {8}};
    return block;
}

Block strips_block(bool big_endian, bool with_orientation, uint16_t offset_type, size_t strips) {
    Block block;
    block.big_endian = big_endian;
    block.ifd0 = {ascii(0x010F, "Quorvane")};
    if (with_orientation) block.ifd0.push_back(shorts(0x0112, {8}));
    block.ifd1 = {shorts(0x0103, {1})};
    for (size_t i = 0; i < strips; ++i) block.thumbnail_strips.push_back(Bytes(5 + i, static_cast<uint8_t>(i + 1)));
    block.strip_offset_type = offset_type;
    return block;
}

Block small_block(bool big_endian, std::vector<Entry> ifd0, bool thumbnail) {
    Block block;
    block.big_endian = big_endian;
    block.ifd0 = std::move(ifd0);
    if (thumbnail) {
        block.ifd1 = {shorts(0x0103, {6})};
        block.thumbnail = skeleton_jpeg();
    }
    return block;
}

Bytes jpeg_with(const Block& block) { return insert_after_soi(skeleton_jpeg(), app1(block)); }

struct RewriteCall {
    int result;
    uint64_t out_len;
    std::string msg;
    Bytes data;  // the whole buffer, room included
};

constexpr uint64_t UNWRITTEN = 0xDEADBEEF;

// `room` extra bytes of 0xEE after the data; insertions need 12.
RewriteCall rewrite(const Bytes& input, int value, size_t room = 0) {
    Bytes data = input;
    data.resize(input.size() + room, 0xEE);
    uint64_t out_len = UNWRITTEN;
    char msg[256] = {};
    const int result = qv_exif_rewrite_orientation(data.data(), input.size(), value, &out_len, msg, sizeof msg);
    return {result, out_len, msg, data};
}

Bytes head(const RewriteCall& call) {
    return Bytes(call.data.begin(), call.data.begin() + static_cast<std::ptrdiff_t>(call.out_len));
}

// ---------------------------------------------------------------------------
// Rewriter: setting the value

const Tag& find_tag(const ExifContents& contents, const std::string& directory, uint16_t tag) {
    for (const Tag& t : contents.tags) {
        if (t.directory == directory && t.tag == tag) return t;
    }
    throw std::out_of_range("tag missing");
}

// Where IFD0's first Orientation value field lies in the JPEG.
size_t orientation_field(const Bytes& jpeg) {
    const ExifContents contents = read_exif(jpeg);
    return contents.tiff_start + find_tag(contents, "IFD0", 0x0112).field_at;
}

TEST(ExifRewrite, SetChangesOnlyTheTwoValueBytes) {
    struct Case {
        const char* label;
        bool big_endian;
        int value;
        Bytes stored;
    };
    const Case cases[] = {
        {"little-endian 3", false, 3, {0x03, 0x00}}, {"big-endian 3", true, 3, {0x00, 0x03}},
        {"little-endian 258", false, 258, {0x02, 0x01}}, {"big-endian 258", true, 258, {0x01, 0x02}},
        {"-1", false, -1, {0xFF, 0xFF}}, {"65536 stores 0, no removal", true, 65536, {0x00, 0x00}},
    };
    for (const Case& c : cases) {
        const Bytes jpeg = insert_after_soi(skeleton_jpeg(), orientation_app1(c.big_endian, 6));
        const RewriteCall call = rewrite(jpeg, c.value);
        Bytes expected = jpeg;
        const size_t field = orientation_field(jpeg);
        expected[field] = c.stored[0];
        expected[field + 1] = c.stored[1];
        EXPECT_EQ(call.result, 1) << c.label;
        EXPECT_EQ(call.out_len, jpeg.size()) << c.label;
        EXPECT_EQ(call.data, expected) << c.label;
        EXPECT_EQ(call.msg, "") << c.label;
    }
}

TEST(ExifRewrite, SetOnCountTwoChangesTheFirstValueOnly) {
    const Bytes jpeg = jpeg_with(small_block(false, {shorts(0x0112, {6, 4})}, false));
    const RewriteCall call = rewrite(jpeg, 3);
    Bytes expected = jpeg;
    expected[orientation_field(jpeg)] = 3;
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.data, expected);
}

// Some cameras write IFD0's Orientation twice, both SHORT; readers differ in
// which they take, so every SHORT entry gets the new value. The expected
// data is the block built with the new values.
TEST(ExifRewrite, SetWritesEveryShortOrientationEntry) {
    struct Case {
        const char* label;
        std::vector<Entry> before, after;
    };
    const Case cases[] = {
        {"two SHORT entries, both 1", {shorts(0x0112, {1}), shorts(0x0112, {1})},
         {shorts(0x0112, {8}), shorts(0x0112, {8})}},
        {"SHORT, LONG, SHORT: the LONG one is not ours to change",
         {shorts(0x0112, {1}), longs(0x0112, {1}), shorts(0x0112, {6})},
         {shorts(0x0112, {8}), longs(0x0112, {1}), shorts(0x0112, {8})}},
    };
    for (const Case& c : cases) {
        for (const bool big_endian : {false, true}) {
            const Bytes jpeg = jpeg_with(small_block(big_endian, c.before, true));
            const RewriteCall call = rewrite(jpeg, 8);
            EXPECT_EQ(call.result, 1) << c.label;
            EXPECT_EQ(call.data, jpeg_with(small_block(big_endian, c.after, true))) << c.label;
        }
    }
}

// A rewrite to `value` that leaves the data as it was, with the message `msg`.
struct RewriteCase {
    const char* label;
    Bytes data;
    int value;
    std::string msg;
};

TEST(ExifRewrite, NothingToChangeLeavesTheDataAlone) {
    const RewriteCase cases[] = {
        {"no Exif segment", skeleton_jpeg(), 3, "no EXIF segment before image data"},
        {"not a JPEG", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 3, "not a JPEG file"},
        {"removal without an entry", jpeg_with(small_block(true, {ascii(0x010F, "Quorvane")}, true)), 0, ""},
        {"removal from an empty IFD0", jpeg_with(small_block(false, {}, false)), 0, ""},
    };
    for (const RewriteCase& c : cases) {
        const RewriteCall call = rewrite(c.data, c.value);
        EXPECT_EQ(call.result, 1) << c.label;
        EXPECT_EQ(call.out_len, c.data.size()) << c.label;
        EXPECT_EQ(call.data, c.data) << c.label;
        EXPECT_EQ(call.msg, c.msg) << c.label;
    }
}

// A chain of `length` empty IFDs after an IFD0 holding Orientation.
Bytes long_chain(size_t length) {
    Bytes tiff = tiff_header(false, 8);
    put16(tiff, false, 1);
    tiff = cat({tiff, raw_entry(false, 0x0112, TYPE_SHORT, 1, 6)});
    for (size_t i = 0; i < length; ++i) {
        put32(tiff, false, static_cast<uint32_t>(tiff.size() + 4));  // the previous IFD's next offset
        put16(tiff, false, 0);
    }
    put32(tiff, false, 0);
    return cat({SOI, app1(tiff), scan()});
}

// An APP1 segment of exactly `length` (field value) whose IFD0 lacks Orientation.
Bytes segment_of_length(uint32_t length) {
    Block block = small_block(true, {ascii(0x010F, "Quorvane"), undefined(0xC000, std::string(100, 'x'))}, false);
    const size_t base = app1(block).size() - 2;
    block.ifd0[1] = undefined(0xC000, std::string(100 + length - base, 'x'));
    return insert_after_soi(skeleton_jpeg(), app1(block));
}

TEST(ExifRewrite, RefusalsChangeNoByte) {
    const Bytes tiff6 = [] {
        const Bytes seg = orientation_app1(false, 6);
        return Bytes(seg.begin() + 10, seg.end());
    }();
    auto damaged = [&](size_t pos, uint8_t byte) {
        Bytes tiff = tiff6;
        tiff[pos] = byte;
        return cat({SOI, app1(tiff), scan()});
    };
    const RewriteCase cases[] = {
        {"TIFF data of 7 bytes", cat({SOI, app1(Bytes(tiff6.begin(), tiff6.begin() + 7))}), 3,
         "truncated EXIF"},
        {"byte order", damaged(0, 'X'), 3, "bad EXIF byte order"},
        {"magic", damaged(2, 0x2B), 0, "bad EXIF TIFF magic"},
        {"IFD0 offset 7", damaged(4, 7), 3, "bad IFD offset"},
        {"IFD0 count past the end", damaged(9, 0x40), 0, "truncated IFD"},
        {"LONG Orientation before a SHORT one",
         jpeg_with(small_block(true, {longs(0x0112, {6}), shorts(0x0112, {3})}, false)), 3,
         "Orientation not SHORT"},
        {"insertion would pass the 65535 limit", segment_of_length(65524), 6,
         "EXIF segment too long to insert Orientation"},
        {"too many IFDs to adjust", long_chain(40), 0, "too many EXIF directories to adjust"},
    };
    for (const RewriteCase& c : cases) {
        const RewriteCall call = rewrite(c.data, c.value, 12);
        Bytes expected = c.data;
        expected.resize(c.data.size() + 12, 0xEE);
        EXPECT_EQ(call.result, 0) << c.label;
        EXPECT_EQ(call.out_len, UNWRITTEN) << c.label;
        EXPECT_EQ(call.msg, c.msg) << c.label;
        EXPECT_EQ(call.data, expected) << c.label;
    }
}

// ---------------------------------------------------------------------------
// Rewriter: removal and insertion, checked by walking the whole block

struct BlockCase {
    std::string label;
    Block block;
};

std::vector<BlockCase> block_cases(bool with_orientation) {
    std::vector<BlockCase> cases;
    for (bool big : {false, true}) {
        const char* order = big ? " (MM)" : " (II)";
        auto add = [&](const std::string& label, Block block) {
            cases.push_back({label + order, std::move(block)});
        };
        Block ifd0_last = camera_block(big, with_orientation);
        ifd0_last.ifd0_last = true;
        add("camera block", camera_block(big, with_orientation));
        add("camera block, IFD0 last", ifd0_last);
        add("every entry type", typed_block(big, with_orientation));
        add("LONG strip offsets out of line", strips_block(big, with_orientation, TYPE_LONG, 3));
        add("one LONG strip offset", strips_block(big, with_orientation, TYPE_LONG, 1));
        add("two SHORT strip offsets inline", strips_block(big, with_orientation, TYPE_SHORT, 2));
        add("three SHORT strip offsets out of line", strips_block(big, with_orientation, TYPE_SHORT, 3));
        std::vector<Entry> ifd0 = {ascii(0x010F, "Quorvane"), ascii(0x0110, "Veerpix One")};
        if (with_orientation) ifd0.push_back(shorts(0x0112, {5}));
        add("Orientation last in IFD0", small_block(big, ifd0, true));
        add("Orientation alone in IFD0", small_block(big, with_orientation ? std::vector<Entry>{shorts(0x0112, {7})}
                                                                            : std::vector<Entry>{}, true));
        add("Orientation alone, no IFD1", small_block(big, with_orientation ? std::vector<Entry>{shorts(0x0112, {2})}
                                                                             : std::vector<Entry>{}, false));
    }
    return cases;
}

TEST(ExifRewrite, RemovalKeepsEveryOtherTag) {
    for (const BlockCase& c : block_cases(true)) {
        const Bytes jpeg = jpeg_with(c.block);
        const ExifContents before = read_exif(jpeg);
        const RewriteCall call = rewrite(jpeg, 0);
        ASSERT_EQ(call.result, 1) << c.label << ": " << call.msg;
        ASSERT_EQ(call.out_len, jpeg.size() - 12) << c.label;
        const Bytes out = head(call);
        const ExifContents after = read_exif(out);

        std::vector<Tag> expected = before.tags;
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            if (it->directory == "IFD0" && it->tag == 0x0112) {
                expected.erase(it);
                break;
            }
        }
        EXPECT_EQ(after.tags, expected) << c.label;
        // The segment's length field moved with it: what follows is intact.
        EXPECT_EQ(after.tiff.size(), before.tiff.size() - 12) << c.label;
        EXPECT_EQ(after.rest, before.rest) << c.label;
        EXPECT_EQ(read_orientation(out).value, 0) << c.label;
        EXPECT_EQ(read_orientation(out).msg, "") << c.label;
    }
}

TEST(ExifRewrite, InsertionKeepsEveryOtherTag) {
    for (const BlockCase& c : block_cases(false)) {
        const Bytes jpeg = jpeg_with(c.block);
        const ExifContents before = read_exif(jpeg);
        const bool big = c.block.big_endian;
        const RewriteCall call = rewrite(jpeg, 6, 12);
        ASSERT_EQ(call.result, 1) << c.label << ": " << call.msg;
        ASSERT_EQ(call.out_len, jpeg.size() + 12) << c.label;
        const Bytes out = head(call);
        const ExifContents after = read_exif(out);

        // The new entry follows IFD0's old entries, with these very bytes.
        const Bytes new_entry = big ? Bytes{0x01, 0x12, 0x00, 0x03, 0, 0, 0, 1, 0x00, 0x06, 0, 0}
                                    : Bytes{0x12, 0x01, 0x03, 0x00, 1, 0, 0, 0, 0x06, 0x00, 0, 0};
        std::vector<Tag> expected = before.tags;
        const Tag orientation{"IFD0", 0x0112, TYPE_SHORT, 1, Bytes(new_entry.begin() + 8, new_entry.end())};
        const int ifd0_entries = count_in(before, "IFD0");
        expected.insert(expected.begin() + ifd0_entries, orientation);
        EXPECT_EQ(after.tags, expected) << c.label;
        const size_t ifd0 = c.block.ifd0_last ? 0 : 8;
        if (ifd0 != 0) {
            const size_t at = ifd0 + 2 + 12 * static_cast<size_t>(ifd0_entries);
            EXPECT_EQ(Bytes(after.tiff.begin() + at, after.tiff.begin() + at + 12), new_entry) << c.label;
        }
        EXPECT_EQ(after.tiff.size(), before.tiff.size() + 12) << c.label;
        EXPECT_EQ(after.rest, before.rest) << c.label;
        EXPECT_EQ(read_orientation(out).value, 6) << c.label;
    }
}

TEST(ExifRewrite, CameraBlockWalkSeesEveryDirectory) {
    // Guards the comparisons above against a walker that sees too little.
    const ExifContents contents = read_exif(jpeg_with(camera_block(true, true)));
    EXPECT_EQ(count_in(contents, "IFD0"), 12);
    EXPECT_EQ(count_in(contents, "Exif"), 16);
    EXPECT_EQ(count_in(contents, "Interop"), 2);
    EXPECT_EQ(count_in(contents, "GPS"), 8);
    EXPECT_EQ(count_in(contents, "IFD1"), 6);
}

TEST(ExifRewrite, InsertionUpToTheSegmentLimit) {
    const Bytes jpeg = segment_of_length(65523);
    const ExifContents before = read_exif(jpeg);
    const RewriteCall call = rewrite(jpeg, 8, 12);
    ASSERT_EQ(call.result, 1) << call.msg;
    const Bytes out = head(call);
    EXPECT_EQ(out[4], 0xFF);  // the length field, 65535
    EXPECT_EQ(out[5], 0xFF);
    EXPECT_EQ(read_exif(out).rest, before.rest);
    EXPECT_EQ(read_orientation(out).value, 8);
}

TEST(ExifRewrite, DamagedPointersAreNeitherFollowedTwiceNorTrusted) {
    Block block = camera_block(false, true);
    // A maker note shaped like a directory: one entry whose value field
    // would pass for an offset.
    block.exif.push_back(entry(0x927C, TYPE_UNDEFINED, 18,
                               {1, 0, 0x01, 0x00, 0x02, 0x00, 8, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0}));
    const Bytes jpeg = jpeg_with(block);
    const ExifContents contents = read_exif(jpeg);
    auto put_at = [&](Bytes& data, size_t tiff_pos, uint32_t value) {
        for (size_t i = 0; i < 4; ++i) {
            data[contents.tiff_start + tiff_pos + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    auto u32_at = [&](const Bytes& data, size_t tiff_pos) {
        uint32_t value = 0;
        for (size_t i = 4; i-- > 0;) value = value << 8 | data[contents.tiff_start + tiff_pos + i];
        return value;
    };
    const Tag& exif_pointer = find_tag(contents, "IFD0", 0x8769);
    const Tag& gps_pointer = find_tag(contents, "IFD0", 0x8825);
    const size_t exif_next = u32_at(jpeg, exif_pointer.field_at) + 2 + 12 * count_in(contents, "Exif");
    const size_t ifd1_next = u32_at(jpeg, 8 + 2 + 12 * 12) + 2 + 12 * count_in(contents, "IFD1");
    const size_t maker_note = u32_at(jpeg, find_tag(contents, "Exif", 0x927C).field_at);

    struct Case {
        const char* label;
        Bytes data;
    };
    Case cases[] = {{"GPS pointing at the Exif directory", jpeg},
                    {"IFD1 chained back to IFD0", jpeg},
                    {"Exif directory chained to the maker note", jpeg}};
    put_at(cases[0].data, gps_pointer.field_at, u32_at(jpeg, exif_pointer.field_at));
    put_at(cases[1].data, ifd1_next, 8);
    put_at(cases[2].data, exif_next, static_cast<uint32_t>(maker_note));
    for (const Case& c : cases) {
        const ExifContents before = read_exif(c.data);
        const RewriteCall call = rewrite(c.data, 0);
        ASSERT_EQ(call.result, 1) << c.label << ": " << call.msg;
        std::vector<Tag> expected = before.tags;
        expected.erase(expected.begin() + 3);  // Orientation, IFD0's fourth entry
        EXPECT_EQ(read_exif(head(call)).tags, expected) << c.label;
    }

    Bytes wild = jpeg;  // a pointer far past the block is kept as it is
    put_at(wild, exif_pointer.field_at, 0x7FFF0000u);
    const RewriteCall call = rewrite(wild, 0);
    ASSERT_EQ(call.result, 1) << call.msg;
    EXPECT_EQ(u32_at(call.data, exif_pointer.field_at - 12), 0x7FFF0000u);
    EXPECT_EQ(call.out_len, wild.size() - 12);
}

}  // namespace
