// Photos with secondary pictures after the primary one (an MPF index in
// the primary's APP2 segment, as an HDR photo's gain map has it) on the
// coefficient road: the secondary pictures are turned with the primary and
// the index points at them, or, where one cannot be turned or the index
// cannot be trusted, they are left out with the index and the road says
// so. The peers (djpeg, jpegtran, exiftool) judge the turned pictures and
// read the index where they are installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "exif_builder.h"
#include "formats/jpeg_coefficient_writer.h"
#include "formats/jpeg_coefficients.h"
#include "metadata/exif.h"
#include "pixels/transform.h"
#include "peer_tools.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;
using peer_tools::has_program;
using peer_tools::run;
using peer_tools::kPeerOptions;

// ---- the photo, made in code ------------------------------------------------

// A grey baseline JPEG (the gain map's kind): the luma of a busy 4:4:4
// picture, written alone by the coefficient writer.
Bytes grey_jpeg(int width, int height) {
    const Bytes colour = support::encode_jpeg(support::numbered_image(width, height), 95);
    CoefficientImage image;
    if (read_jpeg_coefficients(colour.data(), colour.size(), &image) != nullptr) return {};
    const CoefficientComponent& luma = image.components[0];
    CoefficientLayout layout;
    layout.width = image.width;
    layout.height = image.height;
    layout.component_count = 1;
    layout.components[0] = LayoutComponent{&luma, 1, 1, luma.padded_blocks_wide, luma.padded_blocks_high,
                                           luma.padded_blocks_wide, luma.padded_blocks_high};
    ByteSink sink;
    sink.u16(0xFFD8);
    if (append_coefficient_jpeg(image, layout, &sink) != nullptr || sink.failed) return {};
    return Bytes(sink.bytes.get(), sink.bytes.get() + sink.length);
}

Bytes app_segment(uint8_t code, const std::string& payload) {
    Bytes out = {0xFF, code};
    fixture::put16(out, true, static_cast<uint32_t>(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes xmp_segment(const std::string& packet) {
    return app_segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + packet);
}

// An HDR photo's container directory: the primary item, then the gain map
// by its length, in attributes or (the other form XMP allows) elements.
std::string container_packet(bool elements, uint64_t gain_map_length) {
    const std::string length = std::to_string(gain_map_length);
    const std::string gain_map =
        elements ? "<rdf:li rdf:parseType=\"Resource\"><Container:Item rdf:parseType=\"Resource\">"
                   "<Item:Semantic>GainMap</Item:Semantic><Item:Mime>image/jpeg</Item:Mime>"
                   "<Item:Length>" + length + "</Item:Length></Container:Item></rdf:li>"
                 : "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\" "
                   "Item:Mime=\"image/jpeg\" Item:Length=\"" + length + "\"/></rdf:li>";
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
           "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" "
           "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\">"
           "<Container:Directory><rdf:Seq>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/></rdf:li>" +
           gain_map + "</rdf:Seq></Container:Directory></rdf:Description></rdf:RDF></x:xmpmeta>";
}

struct MpEntry {
    uint32_t attribute = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
};

// The MPF segment's TIFF data: the index IFD (version, number of
// pictures, the entries after it) and an attribute IFD behind it.
constexpr uint32_t kIndexIfd = 8;
constexpr uint32_t kEntryList = kIndexIfd + 2 + 3 * 12 + 4;

Bytes mpf_segment(bool big_endian, uint32_t stated_count, const std::vector<MpEntry>& entries) {
    Bytes tiff = fixture::tiff_header(big_endian, kIndexIfd);
    const auto entry_count = static_cast<uint32_t>(entries.size());
    fixture::put16(tiff, big_endian, 3);
    fixture::put16(tiff, big_endian, 0xB000);  // MPFVersion
    fixture::put16(tiff, big_endian, fixture::TYPE_UNDEFINED);
    fixture::put32(tiff, big_endian, 4);
    tiff.insert(tiff.end(), {'0', '1', '0', '0'});
    fixture::put16(tiff, big_endian, 0xB001);  // NumberOfImages
    fixture::put16(tiff, big_endian, fixture::TYPE_LONG);
    fixture::put32(tiff, big_endian, 1);
    fixture::put32(tiff, big_endian, stated_count);
    fixture::put16(tiff, big_endian, 0xB002);  // MPEntry
    fixture::put16(tiff, big_endian, fixture::TYPE_UNDEFINED);
    fixture::put32(tiff, big_endian, 16 * entry_count);
    fixture::put32(tiff, big_endian, kEntryList);
    fixture::put32(tiff, big_endian, kEntryList + 16 * entry_count);  // the attribute IFD
    for (const MpEntry& entry : entries) {
        fixture::put32(tiff, big_endian, entry.attribute);
        fixture::put32(tiff, big_endian, entry.size);
        fixture::put32(tiff, big_endian, entry.offset);
        fixture::put32(tiff, big_endian, 0);  // no dependent pictures
    }
    fixture::put16(tiff, big_endian, 1);
    fixture::put16(tiff, big_endian, 0xB101);  // MPIndividualNum
    fixture::put16(tiff, big_endian, fixture::TYPE_LONG);
    fixture::put32(tiff, big_endian, 1);
    fixture::put32(tiff, big_endian, 1);
    fixture::put32(tiff, big_endian, 0);
    return app_segment(0xE2, std::string("MPF\0", 4) + std::string(tiff.begin(), tiff.end()));
}

struct PhotoPlan {
    bool big_endian = false;
    std::vector<Bytes> secondaries;
    bool xmp_elements = false;
    // Spoils the index before it is written: its entries and the number
    // of pictures it states.
    std::function<void(std::vector<MpEntry>&, uint32_t&)> spoil;
    Bytes trailing;  // after the last picture, listed by nothing
};

struct MpfPhoto {
    Bytes file;
    uint64_t primary_length = 0;
};

constexpr int kPrimaryWidth = 48, kPrimaryHeight = 32;
constexpr int kStoredOrientation = 6;  // the commonest phone photo

// A 4:4:4 colour primary picture tagged 6, with the container directory
// naming the first secondary picture's length and the MPF index of all of
// them, followed by the secondary pictures.
MpfPhoto mpf_photo(const PhotoPlan& plan) {
    const Bytes body = support::encode_jpeg(support::numbered_image(kPrimaryWidth, kPrimaryHeight), 95);
    const Bytes exif = fixture::orientation_app1(plan.big_endian, kStoredOrientation);
    const uint64_t first_length = plan.secondaries.empty() ? 0 : plan.secondaries[0].size();
    const Bytes xmp = xmp_segment(container_packet(plan.xmp_elements, first_length));
    const uint64_t count = plan.secondaries.size() + 1;
    // Its size does not depend on the values in it.
    const uint64_t index_size = mpf_segment(plan.big_endian, 0, std::vector<MpEntry>(count)).size();
    const uint64_t primary_length = body.size() + exif.size() + xmp.size() + index_size;
    const uint64_t tiff_start = 2 + exif.size() + xmp.size() + 8;

    std::vector<MpEntry> entries = {{0x20030000, static_cast<uint32_t>(primary_length), 0}};
    uint64_t next = primary_length;
    for (const Bytes& secondary : plan.secondaries) {
        entries.push_back({0, static_cast<uint32_t>(secondary.size()), static_cast<uint32_t>(next - tiff_start)});
        next += secondary.size();
    }
    uint32_t stated = static_cast<uint32_t>(count);
    if (plan.spoil) plan.spoil(entries, stated);

    MpfPhoto photo;
    photo.file = fixture::insert_after_soi(body, mpf_segment(plan.big_endian, stated, entries));
    photo.file = fixture::insert_after_soi(photo.file, xmp);
    photo.file = fixture::insert_after_soi(photo.file, exif);
    photo.primary_length = photo.file.size();
    for (const Bytes& secondary : plan.secondaries) photo.file.insert(photo.file.end(), secondary.begin(), secondary.end());
    photo.file.insert(photo.file.end(), plan.trailing.begin(), plan.trailing.end());
    return photo;
}

// The gain map's own segments: its XMP, kept with it, and (as the other
// pictures of a camera's MPF file have) EXIF stored as the primary's.
Bytes gain_map(int width, int height) {
    const Bytes with_xmp = fixture::insert_after_soi(
        grey_jpeg(width, height), xmp_segment("<x:xmpmeta><rdf:Description hdrgm:GainMapMax=\"2.5\"/></x:xmpmeta>"));
    return fixture::insert_after_soi(with_xmp, fixture::orientation_app1(true, kStoredOrientation));
}

int orientation_of(const Bytes& jpeg) {
    char msg[256] = {};
    return qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
}

// ---- reading a result, independently of the library -------------------------

uint32_t read32(const Bytes& bytes, uint64_t at, bool big_endian) {
    const uint32_t b0 = bytes[at], b1 = bytes[at + 1], b2 = bytes[at + 2], b3 = bytes[at + 3];
    return big_endian ? b0 << 24 | b1 << 16 | b2 << 8 | b3 : b3 << 24 | b2 << 16 | b1 << 8 | b0;
}

// A segment ahead of the first scan, found by its length fields.
struct FoundSegment {
    uint64_t start = 0;  // 0: not found
    uint64_t end = 0;
};

FoundSegment find_segment(const Bytes& jpeg, uint8_t code, const std::string& signature) {
    uint64_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const uint64_t end = at + 2 + (uint64_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
        if (end > jpeg.size()) break;
        if (jpeg[at + 1] == code && end - at - 4 >= signature.size() &&
            std::equal(signature.begin(), signature.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4))) {
            return {at, end};
        }
        at = end;
    }
    return {};
}

struct ReadIndex {
    bool found = false;
    uint64_t tiff_start = 0;
    std::vector<MpEntry> entries;
    Bytes segment;
};

// The index as the fixture lays it out (its layout is kept byte for byte).
ReadIndex read_index(const Bytes& jpeg, bool big_endian) {
    ReadIndex index;
    const FoundSegment segment = find_segment(jpeg, 0xE2, std::string("MPF\0", 4));
    if (segment.start == 0) return index;
    index.found = true;
    index.segment.assign(jpeg.begin() + static_cast<std::ptrdiff_t>(segment.start), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.end));
    index.tiff_start = segment.start + 8;
    const uint32_t count = read32(jpeg, index.tiff_start + kIndexIfd + 2 + 12 + 8, big_endian);
    for (uint32_t n = 0; n < count; ++n) {
        const uint64_t at = index.tiff_start + kEntryList + 16 * n;
        index.entries.push_back({read32(jpeg, at, big_endian), read32(jpeg, at + 4, big_endian),
                                 read32(jpeg, at + 8, big_endian)});
    }
    return index;
}

// The segment with the entries' sizes and offsets blanked: what must stay
// as it was.
Bytes without_placements(Bytes segment, size_t entry_count) {
    for (size_t n = 0; n < entry_count; ++n) {
        const size_t at = 8 + kEntryList + 16 * n + 4;
        std::fill(segment.begin() + static_cast<std::ptrdiff_t>(at), segment.begin() + static_cast<std::ptrdiff_t>(at + 8), 0);
    }
    return segment;
}

std::string xmp_text(const Bytes& jpeg) {
    const FoundSegment segment = find_segment(jpeg, 0xE1, "http://ns.adobe.com/xap/1.0/");
    if (segment.start == 0) return {};
    return std::string(jpeg.begin() + static_cast<std::ptrdiff_t>(segment.start + 4 + 29),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(segment.end));
}

bool ends_with_eoi(const Bytes& bytes, uint64_t length) {
    return length >= 2 && length <= bytes.size() && bytes[length - 2] == 0xFF && bytes[length - 1] == 0xD9;
}

Bytes slice(const Bytes& bytes, uint64_t start, uint64_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.begin() + static_cast<std::ptrdiff_t>(start + length));
}

bool contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The largest difference of one channel between two decoded pictures of
// the same sides; 256 where the sides differ.
int largest_difference(const support::Image& a, const support::Image& b) {
    if (a.width != b.width || a.height != b.height || a.rgba.empty()) return 256;
    int largest = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) largest = std::max(largest, std::abs(a.rgba[i] - b.rgba[i]));
    return largest;
}

veerpix_options options_with(uint32_t flags) {
    veerpix_options options;
    std::memset(&options, 0, sizeof options);
    options.size = sizeof options;
    options.lossless = VEERPIX_LOSSLESS_REQUIRE;
    options.flags = flags | VEERPIX_TURN_PIXELS | VEERPIX_KEEP_METADATA;
    return options;
}

// The asked change of the picture as shown, and the transform of the
// stored pixels it makes with the photo's Orientation.
Transform stored_transform(int asked) {
    return then(display_transform(kStoredOrientation), static_cast<Transform>(asked));
}

// A quarter turn clockwise of the picture as shown turns the stored pixels
// (tagged 6) by a half turn, which needs both sides whole.
constexpr int kHalfTurnOfStored = VEERPIX_TURN_270;

class MultiPicture : public support::ScratchTest {
protected:
    // The export on the photo; the result, with the road in *road.
    Bytes turned(const MpfPhoto& photo, int asked, uint32_t flags, int* road) {
        const std::string in = put("in.jpg", photo.file), out = path("out.jpg");
        veerpix_options options = options_with(flags);
        const int result = veerpix_transform(in.c_str(), out.c_str(), asked, &options, road);
        EXPECT_EQ(result, 1) << veerpix_last_error();
        return result == 1 ? support::read_bytes(out) : Bytes{};
    }
};

// Every change of the picture as shown, in both byte orders, both forms of
// the directory: the secondary picture is turned with the primary one
// (stored transform by stored transform: the eight asked changes of a
// photo tagged 6 are the eight transforms of its stored pixels), and the
// index and the directory state where and how long it now is.
TEST_F(MultiPicture, TheGainMapIsTurnedWithThePhotoAndTheIndexPointsAtIt) {
    const Bytes secondary = gain_map(24, 16);
    ASSERT_FALSE(secondary.empty());
    const support::Image secondary_pixels = support::decode_bytes(secondary);
    for (const bool big_endian : {false, true}) {
        PhotoPlan plan;
        plan.big_endian = big_endian;
        plan.xmp_elements = big_endian;
        plan.secondaries = {secondary};
        const MpfPhoto photo = mpf_photo(plan);
        const ReadIndex before = read_index(photo.file, big_endian);
        ASSERT_EQ(before.entries.size(), 2u);
        for (int asked = VEERPIX_KEEP; asked <= VEERPIX_TRANSVERSE; ++asked) {
            const Transform stored = stored_transform(asked);
            SCOPED_TRACE(std::string(big_endian ? "big-endian" : "little-endian") + ", stored transform " +
                         std::to_string(static_cast<int>(stored)));
            int road = -1;
            const Bytes result = turned(photo, asked, 0, &road);
            ASSERT_FALSE(result.empty());
            EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS);

            const ReadIndex index = read_index(result, big_endian);
            ASSERT_TRUE(index.found);
            ASSERT_EQ(index.entries.size(), 2u);
            const uint64_t primary_length = index.entries[0].size;
            EXPECT_EQ(index.entries[0].offset, 0u);
            EXPECT_TRUE(ends_with_eoi(result, primary_length));
            EXPECT_EQ(index.tiff_start + index.entries[1].offset, primary_length);
            EXPECT_EQ(primary_length + index.entries[1].size, result.size());
            EXPECT_EQ(without_placements(index.segment, 2), without_placements(before.segment, 2));

            const Bytes turned_secondary = slice(result, primary_length, result.size() - primary_length);
            const support::Image expected = support::mapped(secondary_pixels, static_cast<reference::Map>(stored));
            // The decoder's rounding differs by a level or two between a
            // block and its transpose; a wrong turn differs by far more.
            EXPECT_LE(largest_difference(support::decode_bytes(turned_secondary), expected), 3);
            EXPECT_TRUE(contains(turned_secondary, "hdrgm:GainMapMax=\"2.5\""));
            EXPECT_EQ(orientation_of(turned_secondary), 1);

            const std::string length = std::to_string(index.entries[1].size);
            const std::string stated = big_endian ? "<Item:Length>" + length + "</Item:Length>"
                                                  : "Item:Length=\"" + length + "\"";
            EXPECT_NE(xmp_text(result).find(stated), std::string::npos) << xmp_text(result);
            const support::Image shown = support::decode_bytes(slice(result, 0, primary_length));
            EXPECT_EQ(shown.width, exchanges_sides(stored) ? kPrimaryHeight : kPrimaryWidth);
        }
    }
}

// Where a secondary picture cannot be turned, or the index cannot be
// trusted, the pictures after the primary are left out with the index,
// the road says so, and what is written is the primary picture alone.
TEST_F(MultiPicture, WhatCannotBeTurnedOrTrustedIsLeftOutWithTheIndex) {
    ASSERT_EQ(stored_transform(kHalfTurnOfStored), Transform::Turn180);
    const Bytes whole = gain_map(24, 16);
    const Bytes partial = gain_map(20, 12);  // neither side a whole 8 pixels
    const Bytes unreadable = {0xFF, 0xD8, 0xFF, 0xD9};
    struct Case {
        const char* label;
        std::vector<Bytes> secondaries;
        std::function<void(std::vector<MpEntry>&, uint32_t&)> spoil;
    };
    const Case cases[] = {
        {"a partial edge the turn needs whole, no trim", {partial}, {}},
        {"a secondary picture the reader declines", {whole, unreadable}, {}},
        {"an offset past the file's end", {whole}, [](std::vector<MpEntry>& e, uint32_t&) { e[1].offset = 0x7FFFFFF0; }},
        {"a size past the file's end", {whole}, [](std::vector<MpEntry>& e, uint32_t&) { e[1].size += 1; }},
        {"an offset into the primary picture", {whole}, [](std::vector<MpEntry>& e, uint32_t&) { e[1].offset = 40; }},
        {"overlapping pictures", {whole, whole},
         [](std::vector<MpEntry>& e, uint32_t&) { e[2].offset = e[1].offset + e[1].size - 2; }},
        {"a count that disagrees with the entries", {whole}, [](std::vector<MpEntry>&, uint32_t& n) { n = 3; }},
        {"a primary picture not at offset 0", {whole}, [](std::vector<MpEntry>& e, uint32_t&) { e[0].offset = 4; }},
        {"a secondary picture at offset 0", {whole}, [](std::vector<MpEntry>& e, uint32_t&) { e[1].offset = 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        PhotoPlan plan;
        plan.secondaries = c.secondaries;
        plan.spoil = c.spoil;
        const MpfPhoto photo = mpf_photo(plan);
        int road = -1;
        const Bytes result = turned(photo, kHalfTurnOfStored, 0, &road);
        ASSERT_FALSE(result.empty());
        EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_DROPPED_PICTURES);
        EXPECT_FALSE(contains(result, std::string("MPF\0", 4)));
        EXPECT_TRUE(ends_with_eoi(result, result.size()));
        EXPECT_FALSE(contains(result, "hdrgm:GainMapMax"));  // the gain map's own segment
        const support::Image shown = support::decode_bytes(result);
        EXPECT_EQ(shown.width, kPrimaryWidth);
        EXPECT_EQ(shown.height, kPrimaryHeight);
    }
}

// With trim, a partial gain map loses its partial edge blocks as the
// primary would, and stays; several pictures follow one another, each
// where its entry says; bytes after the pictures that no index lists are
// left out, and the road says so, but the pictures stay.
TEST_F(MultiPicture, EveryCarriedPictureIsWhereItsEntrySaysTrimmedOrNot) {
    struct Sides {
        int width, height;
    };
    struct Case {
        const char* label;
        std::vector<Bytes> secondaries;
        Bytes trailing;
        int road;
        std::vector<Sides> sides;  // of the secondary pictures in the result, in entry order
    };
    const Case cases[] = {
        {"partial gain map, trimmed", {gain_map(20, 12)}, {}, VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_TRIMMED,
         {{16, 8}}},
        {"three pictures after the primary", {gain_map(24, 16), gain_map(16, 8), gain_map(8, 24)}, {},
         VEERPIX_ROAD_COEFFICIENTS, {{24, 16}, {16, 8}, {8, 24}}},
        {"unlisted bytes after the gain map", {gain_map(24, 16)}, {0x00, 0x00, 'j', 'u', 'n', 'k'},
         VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_DROPPED_PICTURES, {{24, 16}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        PhotoPlan plan;
        plan.secondaries = c.secondaries;
        plan.trailing = c.trailing;
        const MpfPhoto photo = mpf_photo(plan);
        int road = -1;
        const Bytes result = turned(photo, kHalfTurnOfStored, VEERPIX_TRIM, &road);
        ASSERT_FALSE(result.empty());
        EXPECT_EQ(road, c.road);
        const ReadIndex index = read_index(result, false);
        ASSERT_EQ(index.entries.size(), c.sides.size() + 1);
        uint64_t next = index.entries[0].size;
        EXPECT_TRUE(ends_with_eoi(result, next));
        for (size_t n = 1; n < index.entries.size(); ++n) {
            EXPECT_EQ(index.tiff_start + index.entries[n].offset, next) << "entry " << n;
            ASSERT_LE(next + index.entries[n].size, result.size()) << "entry " << n;
            const support::Image secondary = support::decode_bytes(slice(result, next, index.entries[n].size));
            EXPECT_EQ(secondary.width, c.sides[n - 1].width) << "entry " << n;
            EXPECT_EQ(secondary.height, c.sides[n - 1].height) << "entry " << n;
            next += index.entries[n].size;
        }
        EXPECT_EQ(next, result.size());
    }
}

// ---- judged by the peers -------------------------------------------------



class MultiPicturePeers : public MultiPicture {
protected:
    void SetUp() override {
        MultiPicture::SetUp();
        for (const char* tool : {"/usr/bin/djpeg", "/usr/bin/jpegtran", "/usr/bin/exiftool"}) {
            if (!has_program(tool)) GTEST_SKIP() << tool << " not found (Debian: libjpeg-turbo-progs, libimage-exiftool-perl)";
        }
    }

    Bytes decoded(const std::string& jpeg) {
        const std::string pnm = jpeg + ".pnm";
        if (!run("/usr/bin/djpeg -pnm -outfile " + pnm + " " + jpeg)) return {};
        return support::read_bytes(pnm);
    }
};

// The secondary picture of each result decodes as the peer's perfect
// lossless turn of the input's, and the peer that reads metadata finds it
// where the index says: the picture it extracts is ours, byte for byte.
TEST_F(MultiPicturePeers, TheTurnedGainMapIsThePeersAndExiftoolExtractsIt) {
    const Bytes secondary = gain_map(24, 16);
    const std::string original = put("gain_map.jpg", secondary);
    for (const bool big_endian : {false, true}) {
        PhotoPlan plan;
        plan.big_endian = big_endian;
        plan.secondaries = {secondary};
        const MpfPhoto photo = mpf_photo(plan);
        for (int asked = VEERPIX_KEEP; asked <= VEERPIX_TRANSVERSE; ++asked) {
            const Transform stored = stored_transform(asked);
            SCOPED_TRACE(std::string(big_endian ? "big-endian" : "little-endian") + ", stored transform " +
                         std::to_string(static_cast<int>(stored)));
            int road = -1;
            const Bytes result = turned(photo, asked, 0, &road);
            ASSERT_FALSE(result.empty());
            const std::string result_path = put("result.jpg", result);
            const ReadIndex index = read_index(result, big_endian);
            ASSERT_EQ(index.entries.size(), 2u);
            const Bytes ours = slice(result, index.entries[0].size, index.entries[1].size);
            const std::string ours_path = put("ours.jpg", ours);

            const std::string peer = path("peer.jpg");
            ASSERT_TRUE(run("/usr/bin/jpegtran -perfect " + std::string(kPeerOptions[static_cast<int>(stored)]) +
                            " -outfile " + peer + " " + original));
            const Bytes our_pixels = decoded(ours_path);
            ASSERT_FALSE(our_pixels.empty());
            EXPECT_EQ(our_pixels, decoded(peer));

            const std::string extracted = path("extracted.jpg");
            ASSERT_TRUE(run("/usr/bin/exiftool -q -b -MPImage2 " + result_path + " > " + extracted));
            EXPECT_EQ(support::read_bytes(extracted), ours);
            const std::string warnings = path("warnings.txt");
            ASSERT_TRUE(run("/usr/bin/exiftool -q -s3 -Warning " + result_path + " > " + warnings));
            const Bytes warning_text = support::read_bytes(warnings);
            EXPECT_TRUE(warning_text.empty()) << std::string(warning_text.begin(), warning_text.end());
        }
    }
}

}  // namespace
