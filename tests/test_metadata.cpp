// Colour profiles, resolution, EXIF and XMP: the reader's rules for damaged
// data, the decode road carrying the profile and resolution, and
// veerpix_copy_metadata. Files are inspected with the test's own walkers,
// not the library's.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "metadata/exif.h"
#include "metadata/metadata.h"
#include "reference.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;
using support::Image;

// --- Fixtures: profiles, segments, chunks -----------------------------------

void put_be32(Bytes& out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value >> 24);
    out[at + 1] = static_cast<uint8_t>(value >> 16);
    out[at + 2] = static_cast<uint8_t>(value >> 8);
    out[at + 3] = static_cast<uint8_t>(value);
}

// A profile of `size` bytes: a header stating its size, colour space and
// signature, then bytes that differ from place to place.
Bytes icc_profile(uint32_t size, const char* colour_space = "RGB ") {
    Bytes profile(size);
    for (uint32_t i = 0; i < size; ++i) profile[i] = static_cast<uint8_t>(i * 7 + i / 251);
    put_be32(profile, 0, size);
    std::memcpy(&profile[16], colour_space, 4);
    std::memcpy(&profile[36], "acsp", 4);
    return profile;
}

Bytes jpeg_segment(uint8_t code, const Bytes& payload) {
    Bytes out(payload.size() + 4);
    out[0] = 0xFF;
    out[1] = code;
    out[2] = static_cast<uint8_t>((payload.size() + 2) >> 8);
    out[3] = static_cast<uint8_t>(payload.size() + 2);
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    return out;
}

Bytes icc_segment(int number, int count, const Bytes& part) {
    Bytes payload = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0,
                     static_cast<uint8_t>(number), static_cast<uint8_t>(count)};
    payload.insert(payload.end(), part.begin(), part.end());
    return jpeg_segment(0xE2, payload);
}

// `file` with `inserted` placed at `at`.
Bytes inserted_at(const Bytes& file, size_t at, const Bytes& inserted) {
    Bytes out(file.size() + inserted.size());
    std::copy(file.begin(), file.begin() + static_cast<long>(at), out.begin());
    std::copy(inserted.begin(), inserted.end(), out.begin() + static_cast<long>(at));
    std::copy(file.begin() + static_cast<long>(at), file.end(),
              out.begin() + static_cast<long>(at + inserted.size()));
    return out;
}

// The JPEG with `segments` placed after its leading JFIF header.
Bytes after_app0(const Bytes& jpeg, const Bytes& segments) {
    return inserted_at(jpeg, 4 + (size_t{jpeg[4]} << 8 | jpeg[5]), segments);
}

using reference::png_chunk;

// The PNG with `chunks` placed right after IHDR.
Bytes after_ihdr(const Bytes& png, const Bytes& chunks) { return inserted_at(png, 33, chunks); }

// --- Independent walkers over the results ----------------------------------

struct Piece {
    std::string kind;  // JPEG: "FFE1"...; PNG: the chunk type
    Bytes data;        // JPEG: the payload after the length; PNG: the chunk data
    bool crc_ok = true;
};

std::vector<Piece> jpeg_head(const Bytes& jpeg, Bytes* scan = nullptr) {
    std::vector<Piece> pieces;
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        const uint8_t code = jpeg[pos + 1];
        if (code == 0xDA) {
            if (scan) scan->assign(jpeg.begin() + pos, jpeg.end());
            break;
        }
        const size_t length = size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
        char kind[5];
        std::snprintf(kind, sizeof kind, "FF%02X", code);
        pieces.push_back({kind, Bytes(jpeg.begin() + pos + 4, jpeg.begin() + pos + 2 + length)});
        pos += 2 + length;
    }
    return pieces;
}

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

std::vector<Piece> png_chunks(const Bytes& png) {
    std::vector<Piece> pieces;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = be32(&png[pos]);
        if (pos + 12 + length > png.size()) break;
        Piece piece{std::string(png.begin() + pos + 4, png.begin() + pos + 8),
                    Bytes(png.begin() + pos + 8, png.begin() + pos + 8 + length)};
        piece.crc_ok = be32(&png[pos + 8 + length]) == reference::crc32(&png[pos + 4], length + 4);
        pieces.push_back(piece);
        pos += 12 + length;
    }
    return pieces;
}

bool starts_with(const Bytes& data, const std::string& prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

Bytes without_prefix(const Bytes& data, size_t size) { return Bytes(data.begin() + size, data.end()); }

// The profile a JPEG holds, reassembled in segment order (as written).
Bytes jpeg_profile(const Bytes& jpeg) {
    Bytes profile;
    const std::string signature("ICC_PROFILE\0", 12);
    for (const Piece& piece : jpeg_head(jpeg)) {
        if (piece.kind == "FFE2" && starts_with(piece.data, signature)) {
            profile.insert(profile.end(), piece.data.begin() + 14, piece.data.end());
        }
    }
    return profile;
}

Bytes idat_stream(const Bytes& png) {
    Bytes stream;
    for (const Piece& piece : png_chunks(png)) {
        if (piece.kind == "IDAT") stream.insert(stream.end(), piece.data.begin(), piece.data.end());
    }
    return stream;
}

std::optional<Piece> find_piece(const std::vector<Piece>& pieces, const std::string& kind,
                                const std::string& prefix = "") {
    for (const Piece& piece : pieces) {
        if (piece.kind == kind && starts_with(piece.data, prefix)) return piece;
    }
    return std::nullopt;
}

Bytes to_bytes(const byte_block& block) { return Bytes(block.data(), block.data() + block.length); }

byte_block to_block(const Bytes& bytes) {
    byte_block block;
    block.bytes = support::heap_copy(bytes);
    block.length = bytes.size();
    return block;
}

// The file as the decode road leaves it with `profile` carried.
Bytes with_carried(const Bytes& file, img_format format, const Bytes& profile) {
    carried_metadata carried;
    carried.icc_profile = to_block(profile);
    byte_block buffer = to_block(file);
    attach_carried_metadata(&buffer.bytes, &buffer.length, format, carried);
    return to_bytes(buffer);
}

int orientation_of_jpeg(const Bytes& jpeg) {
    char msg[256] = {};
    return qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
}

carried_metadata carried_of(const Bytes& file, img_format format) {
    return read_carried_metadata(file.data(), file.size(), format);
}

// --- The profile reader's rules ---------------------------------------------

struct IccSegmentRow {
    int part;  // which third of the profile the segment carries
    int number, count;
};

struct ReassemblyCase {
    const char* label;
    std::vector<IccSegmentRow> segments;  // in file order
    bool kept;
};

TEST(IccReassembly, PartsAreJoinedByTheirNumbersAndAnyInconsistencyDropsTheProfile) {
    const Bytes profile = icc_profile(300);
    const Bytes parts[4] = {{}, Bytes(profile.begin(), profile.begin() + 100),
                            Bytes(profile.begin() + 100, profile.begin() + 200),
                            Bytes(profile.begin() + 200, profile.end())};
    const ReassemblyCase cases[] = {
        {"in order", {{1, 1, 3}, {2, 2, 3}, {3, 3, 3}}, true},
        {"out of order", {{3, 3, 3}, {1, 1, 3}, {2, 2, 3}}, true},
        {"a part missing", {{1, 1, 3}, {3, 3, 3}}, false},
        {"counts disagree", {{1, 1, 3}, {2, 2, 2}, {3, 3, 3}}, false},
        {"count larger than the parts", {{1, 1, 4}, {2, 2, 4}, {3, 3, 4}}, false},
        {"a part twice", {{1, 1, 3}, {2, 2, 3}, {2, 2, 3}, {3, 3, 3}}, false},
        {"numbered from 0", {{1, 0, 3}, {2, 1, 3}, {3, 2, 3}}, false},
        {"count 0", {{1, 1, 0}, {2, 2, 0}, {3, 3, 0}}, false},
        {"a part with no bytes of profile", {{1, 1, 3}, {0, 2, 3}, {3, 3, 3}}, false},
    };
    for (const ReassemblyCase& c : cases) {
        Bytes segments;
        for (const IccSegmentRow& row : c.segments) {
            const Bytes s = icc_segment(row.number, row.count, parts[row.part]);
            segments.insert(segments.end(), s.begin(), s.end());
        }
        const Bytes jpeg = after_app0(fixture::skeleton_jpeg(), segments);
        const Bytes found = to_bytes(carried_of(jpeg, IMG_FMT_JPEG).icc_profile);
        EXPECT_EQ(found == profile, c.kept) << c.label;
        if (!c.kept) {
            EXPECT_TRUE(found.empty()) << c.label;
        }
    }
}

TEST(IccReassembly, ProfilesWithoutASoundHeaderAreDropped) {
    struct Case {
        const char* label;
        Bytes profile;
        bool kept;
    };
    Bytes states_more = icc_profile(300);
    put_be32(states_more, 0, 301);
    Bytes absurd = icc_profile(300);
    put_be32(absurd, 0, 0xFFFFFFF0u);
    Bytes no_signature = icc_profile(300);
    no_signature[36] = 'x';
    Bytes padded = icc_profile(300);
    put_be32(padded, 0, 296);  // four bytes of padding after the stated size
    const Case cases[] = {
        {"sound", icc_profile(300), true},
        {"states more than it holds", states_more, false},
        {"states an absurd size", absurd, false},
        {"no acsp signature", no_signature, false},
        {"shorter than a header", icc_profile(100), false},
        {"padded", padded, true},
    };
    for (const Case& c : cases) {
        const Bytes jpeg = after_app0(fixture::skeleton_jpeg(), icc_segment(1, 1, c.profile));
        const Bytes found = to_bytes(carried_of(jpeg, IMG_FMT_JPEG).icc_profile);
        EXPECT_EQ(!found.empty(), c.kept) << c.label;
        if (c.kept) {
            EXPECT_TRUE(std::equal(found.begin(), found.end(), c.profile.begin())) << c.label;
        }
    }
}

TEST(IccReassembly, OnlyRgbProfilesAreCarriedOntoTheDecodersRgbPixels) {
    for (const char* space : {"GRAY", "CMYK", "Lab "}) {
        const Bytes jpeg = after_app0(fixture::skeleton_jpeg(), icc_segment(1, 1, icc_profile(200, space)));
        EXPECT_TRUE(carried_of(jpeg, IMG_FMT_JPEG).icc_profile.empty()) << space;
        // veerpix_copy_metadata decides by its output's colour space instead.
        EXPECT_FALSE(read_photo_metadata(jpeg.data(), jpeg.size(), IMG_FMT_JPEG).icc_profile.empty()) << space;
    }
}

TEST(PngProfile, ICCPRoundTripsAndDamagedChunksAreDropped) {
    const Bytes png = support::encode_png(support::numbered_image(5, 4));
    const Bytes profile = icc_profile(5000);

    const Bytes written = with_carried(png, IMG_FMT_PNG, profile);

    const std::vector<Piece> chunks = png_chunks(written);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].kind, "IHDR");
    EXPECT_EQ(chunks[1].kind, "iCCP");
    for (const Piece& chunk : chunks) EXPECT_TRUE(chunk.crc_ok) << chunk.kind;
    EXPECT_EQ(to_bytes(carried_of(written, IMG_FMT_PNG).icc_profile), profile);
    EXPECT_EQ(idat_stream(written), idat_stream(png));
    EXPECT_EQ(support::decode_bytes(written), support::decode_bytes(png));

    // The chunk as the writer made it, then broken in each way.
    const Bytes good = chunks[1].data;
    Bytes bad_zlib = good;
    bad_zlib[sizeof "ICC Profile" + 1 + 3] ^= 0x5A;  // inside the deflate stream
    Bytes truncated(good.begin(), good.end() - 20);
    Bytes no_name = good;
    no_name.erase(no_name.begin(), no_name.begin() + 11);  // the name gone, its NUL first
    Bytes bad_crc = png_chunk("iCCP", good);
    bad_crc[bad_crc.size() - 1] ^= 1;
    struct Case {
        const char* label;
        Bytes chunk;
        bool kept;
    };
    const Case cases[] = {
        {"sound", png_chunk("iCCP", good), true},
        {"broken deflate data", png_chunk("iCCP", bad_zlib), false},
        {"stream cut short", png_chunk("iCCP", truncated), false},
        {"no profile name", png_chunk("iCCP", no_name), false},
        {"wrong CRC", bad_crc, false},
    };
    for (const Case& c : cases) {
        const Bytes file = after_ihdr(png, c.chunk);
        EXPECT_EQ(to_bytes(carried_of(file, IMG_FMT_PNG).icc_profile) == profile, c.kept) << c.label;
    }
}

// --- The decode road ------------------------------------------------------

// A JFIF density of 300 dpi, set in the encoder's APP0.
Bytes with_jfif_density(Bytes jpeg, uint8_t units, uint16_t x, uint16_t y) {
    jpeg[2 + 4 + 7] = units;
    jpeg[2 + 4 + 8] = static_cast<uint8_t>(x >> 8);
    jpeg[2 + 4 + 9] = static_cast<uint8_t>(x);
    jpeg[2 + 4 + 10] = static_cast<uint8_t>(y >> 8);
    jpeg[2 + 4 + 11] = static_cast<uint8_t>(y);
    return jpeg;
}

struct JfifDensityBytes {
    int units, x, y;
};

JfifDensityBytes jfif_of(const Bytes& jpeg) {
    const std::optional<Piece> app0 = find_piece(jpeg_head(jpeg), "FFE0", std::string("JFIF\0", 5));
    if (!app0) return {-1, -1, -1};
    const Bytes& p = app0->data;
    return {p[7], p[8] << 8 | p[9], p[10] << 8 | p[11]};
}

class DecodeRoad : public support::ScratchTest {};

TEST_F(DecodeRoad, TheInputsRgbProfileReachesJpegAndPngOutputsButNotBmp) {
    const Bytes profile = icc_profile(150000);  // three APP2 segments
    Bytes parts;
    for (int number = 1; number <= 3; ++number) {
        const size_t start = (number - 1) * 65519u;
        const size_t end = std::min<size_t>(profile.size(), start + 65519);
        const Bytes s = icc_segment(number, 3, Bytes(profile.begin() + start, profile.begin() + end));
        parts.insert(parts.end(), s.begin(), s.end());
    }
    const std::string jpeg_in = put("in.jpg", after_app0(support::encode_jpeg(support::block_image(3, 2, 8)), parts));
    // Its iCCP chunk is the library's own (its reading is checked above).
    const Bytes png_source = with_carried(support::encode_png(support::numbered_image(6, 4)), IMG_FMT_PNG, profile);
    const std::string png_in = put("in.png", png_source);

    for (const std::string& in : {jpeg_in, png_in}) {
        const std::string jpeg_out = path("out.jpg"), png_out = path("out.png"), bmp_out = path("out.bmp");
        ASSERT_EQ(veerpix_fixed(in.c_str(), jpeg_out.c_str(), 90), 1) << veerpix_last_error();
        ASSERT_EQ(veerpix_flip_h(in.c_str(), png_out.c_str()), 1) << veerpix_last_error();
        ASSERT_EQ(veerpix_angle(in.c_str(), bmp_out.c_str(), 10.0f, 0, 0, 0), 1) << veerpix_last_error();

        const Bytes jpeg = support::read_bytes(jpeg_out), png = support::read_bytes(png_out);
        EXPECT_EQ(jpeg_profile(jpeg), profile) << in;
        EXPECT_EQ(to_bytes(carried_of(jpeg, IMG_FMT_JPEG).icc_profile), profile) << in;
        EXPECT_EQ(support::decode_bytes(jpeg).width, in == jpeg_in ? 16 : 4) << "still a JPEG the decoder reads";

        const std::vector<Piece> chunks = png_chunks(png);
        ASSERT_GE(chunks.size(), 2u);
        EXPECT_EQ(chunks[1].kind, "iCCP") << in;
        for (const Piece& chunk : chunks) EXPECT_TRUE(chunk.crc_ok) << chunk.kind;
        EXPECT_EQ(to_bytes(carried_of(png, IMG_FMT_PNG).icc_profile), profile) << in;

        const Bytes bmp = support::read_bytes(bmp_out);
        EXPECT_EQ(bmp.size(), 122 + size_t(support::decode_bytes(bmp).width) * support::decode_bytes(bmp).height * 4)
            << "nothing added to the BMP";
    }
}

TEST_F(DecodeRoad, ThreeHundredDpiStaysThreeHundredDpiThroughPngBmpAndBack) {
    const Bytes source = with_jfif_density(support::encode_jpeg(support::block_image(2, 2, 8)), 1, 300, 300);
    const std::string in = put("in.jpg", source);
    const std::string png = path("a.png"), back = path("b.jpg"), bmp = path("c.bmp"), again = path("d.jpg");
    ASSERT_EQ(veerpix_flip_h(in.c_str(), png.c_str()), 1) << veerpix_last_error();
    ASSERT_EQ(veerpix_flip_h(png.c_str(), back.c_str()), 1) << veerpix_last_error();
    ASSERT_EQ(veerpix_flip_v(back.c_str(), bmp.c_str()), 1) << veerpix_last_error();
    ASSERT_EQ(veerpix_flip_v(bmp.c_str(), again.c_str()), 1) << veerpix_last_error();

    const std::optional<Piece> phys = find_piece(png_chunks(support::read_bytes(png)), "pHYs");
    ASSERT_TRUE(phys);
    EXPECT_EQ(be32(&phys->data[0]), 11811u);  // 300 / 0.0254, rounded
    EXPECT_EQ(be32(&phys->data[4]), 11811u);
    EXPECT_EQ(phys->data[8], 1) << "per metre";
    const JfifDensityBytes dpi = jfif_of(support::read_bytes(back));
    EXPECT_EQ(dpi.units, 1);
    EXPECT_EQ(dpi.x, 300);
    EXPECT_EQ(dpi.y, 300);
    const Bytes bitmap = support::read_bytes(bmp);
    EXPECT_EQ(bitmap[38] | bitmap[39] << 8, 11811);  // biXPelsPerMeter
    EXPECT_EQ(bitmap[42] | bitmap[43] << 8, 11811);
    const JfifDensityBytes final_dpi = jfif_of(support::read_bytes(again));
    EXPECT_EQ(final_dpi.units, 1);
    EXPECT_EQ(final_dpi.x, 300);

    // Dots per centimetre stay as they are in JPEG.
    const std::string cm = put("cm.jpg", with_jfif_density(source, 2, 118, 236));
    const std::string cm_out = path("cm-out.jpg");
    ASSERT_EQ(veerpix_fixed(cm.c_str(), cm_out.c_str(), 90), 1);
    const JfifDensityBytes per_cm = jfif_of(support::read_bytes(cm_out));
    EXPECT_EQ(per_cm.units, 2);
    EXPECT_EQ(per_cm.x, 118);
    EXPECT_EQ(per_cm.y, 236);
}

TEST_F(DecodeRoad, AnInputWithoutProfileOrResolutionGetsNone) {
    const std::string in = put("in.png", support::encode_png(support::numbered_image(4, 3)));
    const std::string jpeg_out = path("out.jpg"), png_out = path("out.png");
    ASSERT_EQ(veerpix_fixed(in.c_str(), jpeg_out.c_str(), 90), 1);
    ASSERT_EQ(veerpix_fixed(in.c_str(), png_out.c_str(), 90), 1);
    const Bytes jpeg = support::read_bytes(jpeg_out);
    EXPECT_TRUE(jpeg_profile(jpeg).empty());
    EXPECT_EQ(jfif_of(jpeg).units, 0);
    for (const Piece& chunk : png_chunks(support::read_bytes(png_out))) {
        EXPECT_TRUE(chunk.kind == "IHDR" || chunk.kind == "IDAT" || chunk.kind == "IEND") << chunk.kind;
    }
}

// --- veerpix_copy_metadata -------------------------------------------------

constexpr uint16_t kTagMake = 0x010F;
constexpr uint16_t kTagOrientation = 0x0112;

fixture::Block camera_block(bool big_endian, std::vector<uint32_t> orientation = {6}) {
    fixture::Block block;
    block.big_endian = big_endian;
    block.ifd0 = {fixture::ascii(kTagMake, "Quorvane"), fixture::ascii(0x0110, "Veerpix One"),
                  fixture::rationals(0x011A, {300, 1}), fixture::rationals(0x011B, {300, 1})};
    if (!orientation.empty()) block.ifd0.push_back(fixture::shorts(kTagOrientation, orientation));
    block.exif = {fixture::ascii(0x9003, "2024:05:06 07:08:09"), fixture::longs(0xA002, {16})};
    block.gps = {fixture::ascii(0x0001, "N"), fixture::rationals(0x0002, {52, 1, 31, 1, 1234, 100})};
    block.thumbnail = support::encode_jpeg(support::numbered_image(4, 4), 50);
    return block;
}

struct TiffLayout {
    bool big_endian;
    uint32_t ifd0;
    uint16_t entries;
};

uint16_t tiff16(const Bytes& t, size_t at, bool be) {
    return be ? static_cast<uint16_t>(t[at] << 8 | t[at + 1]) : static_cast<uint16_t>(t[at + 1] << 8 | t[at]);
}

uint32_t tiff32(const Bytes& t, size_t at, bool be) {
    return be ? uint32_t{tiff16(t, at, be)} << 16 | tiff16(t, at + 2, be)
              : uint32_t{tiff16(t, at + 2, be)} << 16 | tiff16(t, at, be);
}

TiffLayout layout_of(const Bytes& tiff) {
    const bool be = tiff[0] == 'M';
    const uint32_t ifd0 = tiff32(tiff, 4, be);
    return {be, ifd0, tiff16(tiff, ifd0, be)};
}

// Where IFD0's Orientation value and next-IFD offset lie, or 0.
size_t orientation_value_at(const Bytes& tiff) {
    const TiffLayout l = layout_of(tiff);
    for (size_t i = 0; i < l.entries; ++i) {
        const size_t entry = l.ifd0 + 2 + 12 * i;
        if (tiff16(tiff, entry, l.big_endian) == kTagOrientation) return entry + 8;
    }
    return 0;
}

size_t next_ifd_at(const Bytes& tiff) {
    const TiffLayout l = layout_of(tiff);
    return l.ifd0 + 2 + 12 * size_t{l.entries};
}

// The source's TIFF data as an upright copy must read: Orientation 1, no
// IFD1, every other byte as it was.
Bytes expected_upright(Bytes tiff) {
    const TiffLayout l = layout_of(tiff);
    if (const size_t value = orientation_value_at(tiff)) {
        tiff[value] = l.big_endian ? 0 : 1;
        tiff[value + 1] = l.big_endian ? 1 : 0;
    }
    std::fill_n(tiff.begin() + static_cast<long>(next_ifd_at(tiff)), 4, 0);
    return tiff;
}

const std::string kExifPrefix("Exif\0\0", 6);
const std::string kXmpPrefix("http://ns.adobe.com/xap/1.0/\0", 29);

const std::string kXmp =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<rdf:Description rdf:about='' xmlns:tiff='http://ns.adobe.com/tiff/1.0/' tiff:Orientation=\"6\" "
    "tiff:Make='Quorvane'/><rdf:Description><tiff:Orientation>8</tiff:Orientation>"
    "<tiff:OrientationNote>7</tiff:OrientationNote></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";

Bytes upright_xmp() {
    std::string xmp = kXmp;
    xmp.replace(xmp.find("\"6\""), 3, "\"1\"");
    xmp.replace(xmp.find(">8<"), 3, ">1<");
    return Bytes(xmp.begin(), xmp.end());
}

Bytes xmp_segment(const std::string& xmp) {
    Bytes payload(kXmpPrefix.begin(), kXmpPrefix.end());
    payload.insert(payload.end(), xmp.begin(), xmp.end());
    return jpeg_segment(0xE1, payload);
}

Bytes xmp_chunk(const std::string& xmp) {
    Bytes data = {'X', 'M', 'L', ':', 'c', 'o', 'm', '.', 'a', 'd', 'o', 'b', 'e', '.', 'x', 'm', 'p', 0, 0, 0, 0, 0};
    data.insert(data.end(), xmp.begin(), xmp.end());
    return png_chunk("iTXt", data);
}

// A camera's photo: EXIF (Orientation 6, a thumbnail), XMP and a profile.
Bytes tagged_photo(bool big_endian, const Bytes& profile) {
    Bytes jpeg = with_jfif_density(support::encode_jpeg(support::block_image(3, 2, 8)), 1, 240, 240);
    Bytes segments = fixture::app1(camera_block(big_endian));
    const Bytes xmp = xmp_segment(kXmp), icc = icc_segment(1, 1, profile);
    segments.insert(segments.end(), xmp.begin(), xmp.end());
    segments.insert(segments.end(), icc.begin(), icc.end());
    return after_app0(jpeg, segments);
}

class CopyMetadata : public support::ScratchTest {};

TEST_F(CopyMetadata, JpegIntoJpegAndPngInBothByteOrders) {
    const Bytes profile = icc_profile(700);
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian EXIF" : "little-endian EXIF");
        const Bytes photo = tagged_photo(big_endian, profile);
        const Bytes source_tiff = fixture::tiff(camera_block(big_endian));
        const std::string in = put("in.jpg", photo);
        const std::string jpeg_out = path("upright.jpg"), png_out = path("upright.png");
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), jpeg_out.c_str()), 1) << veerpix_last_error();
        ASSERT_EQ(veerpix_flip_h(in.c_str(), png_out.c_str()), 1) << veerpix_last_error();
        const Bytes jpeg_before = support::read_bytes(jpeg_out), png_before = support::read_bytes(png_out);

        ASSERT_EQ(veerpix_copy_metadata(in.c_str(), jpeg_out.c_str()), 1) << veerpix_last_error();
        EXPECT_STREQ(veerpix_last_error(), "");
        ASSERT_EQ(veerpix_copy_metadata(in.c_str(), png_out.c_str()), 1) << veerpix_last_error();

        const Bytes jpeg = support::read_bytes(jpeg_out);
        Bytes scan_before, scan_after;
        jpeg_head(jpeg_before, &scan_before);
        const std::vector<Piece> head = jpeg_head(jpeg, &scan_after);
        EXPECT_EQ(scan_after, scan_before) << "compressed picture kept byte for byte";
        ASSERT_GE(head.size(), 4u);
        EXPECT_EQ(head[0].kind, "FFE0");
        EXPECT_EQ(head[1].kind, "FFE1");
        EXPECT_TRUE(starts_with(head[1].data, kExifPrefix));
        EXPECT_EQ(without_prefix(head[1].data, 6), expected_upright(source_tiff));
        EXPECT_EQ(orientation_of_jpeg(jpeg), 1);
        EXPECT_EQ(head[2].kind, "FFE1");
        EXPECT_EQ(without_prefix(head[2].data, 29), upright_xmp());
        EXPECT_EQ(jpeg_profile(jpeg), profile);
        EXPECT_EQ(jfif_of(jpeg).x, 240);
        EXPECT_EQ(support::decode_bytes(jpeg), support::decode_bytes(jpeg_before));

        const Bytes png = support::read_bytes(png_out);
        const std::vector<Piece> chunks = png_chunks(png);
        for (const Piece& chunk : chunks) EXPECT_TRUE(chunk.crc_ok) << chunk.kind;
        const std::optional<Piece> exif = find_piece(chunks, "eXIf");
        ASSERT_TRUE(exif);
        EXPECT_EQ(exif->data, expected_upright(source_tiff)) << "TIFF data without the Exif prefix";
        const std::optional<Piece> xmp = find_piece(chunks, "iTXt", "XML:com.adobe.xmp");
        ASSERT_TRUE(xmp);
        EXPECT_EQ(without_prefix(xmp->data, 22), upright_xmp());
        EXPECT_EQ(to_bytes(carried_of(png, IMG_FMT_PNG).icc_profile), profile);
        EXPECT_EQ(idat_stream(png), idat_stream(png_before));
    }
}

TEST_F(CopyMetadata, PngSourceIntoJpegAndBack) {
    const Bytes profile = icc_profile(400);
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian EXIF" : "little-endian EXIF");
        const Bytes source_tiff = fixture::tiff(camera_block(big_endian, {3}));
        Bytes chunks = png_chunk("eXIf", source_tiff);
        const Bytes xmp = xmp_chunk(kXmp);
        chunks.insert(chunks.end(), xmp.begin(), xmp.end());
        const std::string in = put("in.png", after_ihdr(support::encode_png(support::numbered_image(5, 3)), chunks));
        const std::string out = put("out.jpg", support::encode_jpeg(support::block_image(2, 2, 8)));
        ASSERT_EQ(veerpix_copy_metadata(in.c_str(), out.c_str()), 1) << veerpix_last_error();
        const Bytes jpeg = support::read_bytes(out);
        const std::optional<Piece> exif = find_piece(jpeg_head(jpeg), "FFE1", kExifPrefix);
        ASSERT_TRUE(exif);
        EXPECT_EQ(without_prefix(exif->data, 6), expected_upright(source_tiff));
        const std::optional<Piece> packet = find_piece(jpeg_head(jpeg), "FFE1", kXmpPrefix);
        ASSERT_TRUE(packet);
        EXPECT_EQ(without_prefix(packet->data, 29), upright_xmp());

        // And the JPEG's metadata back into a PNG: the same TIFF data.
        const std::string png_out = put("again.png", support::encode_png(support::numbered_image(2, 2)));
        ASSERT_EQ(veerpix_copy_metadata(out.c_str(), png_out.c_str()), 1) << veerpix_last_error();
        const std::optional<Piece> again = find_piece(png_chunks(support::read_bytes(png_out)), "eXIf");
        ASSERT_TRUE(again);
        EXPECT_EQ(again->data, expected_upright(source_tiff));
    }
}

TEST_F(CopyMetadata, ExifWithoutOrientationStaysWithoutAndAnOutputsOwnMetadataIsReplaced) {
    fixture::Block block = camera_block(false, {});
    Bytes source = support::encode_jpeg(support::block_image(2, 2, 8));
    source = after_app0(source, fixture::app1(block));
    const std::string in = put("in.jpg", source);
    // The output has EXIF, XMP and a profile of its own.
    Bytes own = fixture::app1(camera_block(true, {8}));
    const Bytes own_xmp = xmp_segment(kXmp), own_icc = icc_segment(1, 1, icc_profile(200));
    own.insert(own.end(), own_xmp.begin(), own_xmp.end());
    own.insert(own.end(), own_icc.begin(), own_icc.end());
    const std::string out = put("out.jpg", after_app0(support::encode_jpeg(support::numbered_image(3, 3)), own));

    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), out.c_str()), 1) << veerpix_last_error();
    const std::vector<Piece> head = jpeg_head(support::read_bytes(out));
    int app1_count = 0;
    for (const Piece& piece : head) app1_count += piece.kind == "FFE1";
    EXPECT_EQ(app1_count, 1) << "the source's EXIF alone";
    EXPECT_FALSE(find_piece(head, "FFE2")) << "the source has no profile";
    const std::optional<Piece> exif = find_piece(head, "FFE1", kExifPrefix);
    ASSERT_TRUE(exif);
    const Bytes tiff = without_prefix(exif->data, 6);
    EXPECT_EQ(orientation_value_at(tiff), 0u) << "no Orientation added";
    EXPECT_EQ(tiff, expected_upright(fixture::tiff(block)));
}

// Readers differ in which of two Orientation entries they take and whether
// they honour one that is not SHORT: every entry of IFD0 must read 1 on a
// re-encoded result, or a reader turns the upright picture again. Each
// upright entry is what the block would hold had it been written upright;
// nothing else moves.
TEST_F(CopyMetadata, EveryOrientationEntryOfIfd0ReadsOne) {
    using fixture::longs;
    using fixture::shorts;
    const fixture::Entry byte_six = fixture::entry(kTagOrientation, fixture::TYPE_BYTE, 1, {6});
    struct Case {
        const char* label;
        std::vector<fixture::Entry> entries, upright;
    };
    const Case cases[] = {
        {"LONG", {longs(kTagOrientation, {6})}, {longs(kTagOrientation, {1})}},
        {"LONG then SHORT", {longs(kTagOrientation, {6}), shorts(kTagOrientation, {6})},
         {longs(kTagOrientation, {1}), shorts(kTagOrientation, {1})}},
        {"SHORT twice", {shorts(kTagOrientation, {6}), shorts(kTagOrientation, {8})},
         {shorts(kTagOrientation, {1}), shorts(kTagOrientation, {1})}},
        {"SHORT then LONG", {shorts(kTagOrientation, {3}), longs(kTagOrientation, {3})},
         {shorts(kTagOrientation, {1}), longs(kTagOrientation, {1})}},
        {"BYTE becomes SHORT", {byte_six}, {shorts(kTagOrientation, {1})}},
    };
    for (const Case& c : cases) {
        for (const bool big_endian : {false, true}) {
            const std::string label = std::string(c.label) + (big_endian ? ", big-endian" : ", little-endian");
            fixture::Block block = camera_block(big_endian, {});
            fixture::Block upright = block;
            block.ifd0.insert(block.ifd0.end(), c.entries.begin(), c.entries.end());
            upright.ifd0.insert(upright.ifd0.end(), c.upright.begin(), c.upright.end());
            Bytes expected = fixture::tiff(upright);
            std::fill_n(expected.begin() + static_cast<long>(next_ifd_at(expected)), 4, 0);

            const std::string in = put("in.jpg", after_app0(support::encode_jpeg(support::block_image(2, 2, 8)),
                                                            fixture::app1(block)));
            const std::string jpeg_out = put("out.jpg", support::encode_jpeg(support::numbered_image(2, 2)));
            const std::string png_out = put("out.png", support::encode_png(support::numbered_image(2, 2)));
            ASSERT_EQ(veerpix_copy_metadata(in.c_str(), jpeg_out.c_str()), 1) << label << veerpix_last_error();
            ASSERT_EQ(veerpix_copy_metadata(in.c_str(), png_out.c_str()), 1) << label << veerpix_last_error();

            const Bytes jpeg = support::read_bytes(jpeg_out);
            const std::optional<Piece> app1 = find_piece(jpeg_head(jpeg), "FFE1", kExifPrefix);
            const std::optional<Piece> exif = find_piece(png_chunks(support::read_bytes(png_out)), "eXIf");
            ASSERT_TRUE(app1 && exif) << label;
            EXPECT_EQ(without_prefix(app1->data, 6), expected) << label;
            EXPECT_EQ(exif->data, expected) << label;
            // The library's own reading of its result: upright, a copy.
            const std::string again = path("again.jpg");
            ASSERT_EQ(veerpix_auto_orient(jpeg_out.c_str(), again.c_str()), 1) << label;
            EXPECT_EQ(support::read_bytes(again), jpeg) << label;
        }
    }
}

TEST_F(CopyMetadata, AnOutputHoldingTheSourcesOwnPictureIsLeftAlone) {
    const Bytes photo = tagged_photo(false, icc_profile(300));
    const std::string in = put("in.jpg", photo);
    const std::string turned = path("turned.jpg"), copied = path("copied.jpg"), retagged_copy = path("r.jpg");
    // A lossless turn: only the Orientation value differs from the source.
    ASSERT_EQ(veerpix_fixed(in.c_str(), turned.c_str(), 180), 1);
    const Bytes turned_before = support::read_bytes(turned);
    ASSERT_EQ(orientation_of_jpeg(turned_before), 8);
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), turned.c_str()), 1) << veerpix_last_error();
    EXPECT_EQ(support::read_bytes(turned), turned_before) << "Orientation 8 must stay";

    // A byte copy, and a PNG copied as it is.
    const std::string png = put("in.png", after_ihdr(support::encode_png(support::numbered_image(3, 3)),
                                                     png_chunk("eXIf", fixture::tiff(camera_block(false)))));
    const std::string png_copy = put("copy.png", support::read_bytes(png));
    for (const auto& [source, output] : {std::pair{in, copied}, std::pair{png, png_copy}}) {
        support::write_bytes(output, support::read_bytes(source));
        ASSERT_EQ(veerpix_copy_metadata(source.c_str(), output.c_str()), 1) << veerpix_last_error();
        EXPECT_EQ(support::read_bytes(output), support::read_bytes(source)) << output;
    }

    // The same picture with other metadata segments is still the source's.
    Bytes stripped = support::encode_jpeg(support::block_image(3, 2, 8));
    stripped = with_jfif_density(stripped, 1, 240, 240);
    support::write_bytes(retagged_copy, stripped);
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), retagged_copy.c_str()), 1);
    EXPECT_EQ(support::read_bytes(retagged_copy), stripped);
}

TEST_F(CopyMetadata, RefusalsNameTheCauseAndLeaveTheOutputUntouched) {
    const std::string jpeg = put("in.jpg", tagged_photo(false, icc_profile(300)));
    const std::string bmp = put("in.bmp", support::encode_bmp(support::numbered_image(2, 2)));
    const std::string gif = put("in.gif", {'G', 'I', 'F', '8', '9', 'a', 0, 0});
    const Bytes output_bytes = support::encode_jpeg(support::numbered_image(4, 4));
    const std::string out = put("out.jpg", output_bytes);
    Bytes cut(output_bytes.begin(), output_bytes.begin() + 40);  // stops inside its head
    const std::string truncated = put("cut.jpg", cut);
    const std::string missing = path("missing.jpg");
    struct Case {
        std::string source, output, message;
    };
    const Case cases[] = {
        {bmp, out, "cannot copy metadata from BMP: " + bmp},
        {jpeg, bmp, "cannot copy metadata into BMP: " + bmp},
        {missing, out, "cannot read input file: " + missing},
        {jpeg, missing, "cannot read output file: " + missing},
        {gif, out, "unsupported input format: " + gif},
        {jpeg, gif, "unsupported output format: " + gif},
        {jpeg, truncated, "cannot parse output file: " + truncated},
    };
    for (const Case& c : cases) {
        const Bytes before = support::read_bytes(c.output);
        EXPECT_EQ(veerpix_copy_metadata(c.source.c_str(), c.output.c_str()), 0) << c.message;
        EXPECT_EQ(veerpix_last_error(), c.message);
        EXPECT_EQ(support::read_bytes(c.output), before) << c.message;
    }
    EXPECT_EQ(veerpix_copy_metadata(nullptr, out.c_str()), 0);
    EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
    EXPECT_EQ(veerpix_copy_metadata(jpeg.c_str(), path("no/such/folder.jpg").c_str()), 0);
    EXPECT_EQ(support::read_bytes(out), output_bytes);
    EXPECT_EQ(listing().size(), 5u) << "no temporary file left";
}

TEST_F(CopyMetadata, ExifTooLargeForAJpegSegmentGoesIntoPngsOnly) {
    fixture::Block block = camera_block(false);
    block.exif.push_back(fixture::undefined(0x927C, std::string(70000, 'm')));  // a long MakerNote
    const Bytes tiff = fixture::tiff(block);
    const std::string in = put("in.png", after_ihdr(support::encode_png(support::numbered_image(3, 3)),
                                                    png_chunk("eXIf", tiff)));
    const Bytes jpeg_before = support::encode_jpeg(support::numbered_image(3, 3));
    const std::string jpeg_out = put("out.jpg", jpeg_before);
    const std::string png_out = put("out.png", support::encode_png(support::numbered_image(2, 2)));
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), jpeg_out.c_str()), 1) << veerpix_last_error();
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), png_out.c_str()), 1) << veerpix_last_error();
    EXPECT_EQ(support::read_bytes(jpeg_out), jpeg_before) << "no segment can hold it";
    const std::optional<Piece> exif = find_piece(png_chunks(support::read_bytes(png_out)), "eXIf");
    ASSERT_TRUE(exif);
    EXPECT_EQ(exif->data, expected_upright(tiff));
}

TEST_F(CopyMetadata, AProfileOfAnotherColourSpaceThanTheOutputsIsLeftOut) {
    const std::string in = put("in.jpg", after_app0(support::encode_jpeg(support::block_image(2, 2, 8)),
                                                    icc_segment(1, 1, icc_profile(300, "GRAY"))));
    const std::string out = put("out.jpg", support::encode_jpeg(support::numbered_image(3, 3)));
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), out.c_str()), 1);
    EXPECT_TRUE(jpeg_profile(support::read_bytes(out)).empty()) << "an RGB picture";
}

// --- The XMP patch on its own -----------------------------------------------

TEST(XmpUpright, EveryOrientationValueReadsOneAndNothingElseChanges) {
    struct Case {
        const char* label;
        std::string before, after;
    };
    const Case cases[] = {
        {"attribute", "<d tiff:Orientation=\"6\"/>", "<d tiff:Orientation=\"1\"/>"},
        {"attribute, single quotes and spaces", "<d tiff:Orientation = '8' x='2'/>", "<d tiff:Orientation = '1' x='2'/>"},
        {"element", "<tiff:Orientation>3</tiff:Orientation>", "<tiff:Orientation>1</tiff:Orientation>"},
        {"both", "<d tiff:Orientation='5'><tiff:Orientation>7</tiff:Orientation></d>",
         "<d tiff:Orientation='1'><tiff:Orientation>1</tiff:Orientation></d>"},
        {"another name that begins alike", "<d tiff:OrientationX='6'/>", "<d tiff:OrientationX='6'/>"},
        {"no value", "<d tiff:Orientation", "<d tiff:Orientation"},
        {"unclosed quote", "<d tiff:Orientation='6", "<d tiff:Orientation='6"},
        {"none", "<x:xmpmeta/>", "<x:xmpmeta/>"},
    };
    for (const Case& c : cases) {
        byte_block xmp = to_block(Bytes(c.before.begin(), c.before.end()));
        make_xmp_upright(&xmp);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(xmp.data()), xmp.length), c.after) << c.label;
    }
}

}  // namespace
