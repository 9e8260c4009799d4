// veerpix_transform's coefficient road: which calls take it, what the
// result shows (judged by the peer where its tools are installed), what
// the file keeps, and the refusals of the lossless-only choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "../bench/photo.h"
#include "exif_builder.h"
#include "metadata/exif.h"
#include "metadata/metadata.h"
#include "metadata/tiff.h"
#include "pixels/transform.h"
#include "peer_tools.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;
using peer_tools::has_program;
using peer_tools::run;
using peer_tools::kPeerOptions;
using peer_tools::textured_ppm;

veerpix_options lossless_options(int lossless, uint32_t flags = 0) {
    veerpix_options options;
    std::memset(&options, 0, sizeof options);
    options.size = sizeof options;
    options.lossless = lossless;
    options.flags = flags;
    return options;
}

int orientation_of(const Bytes& jpeg) {
    char msg[256] = {};
    return qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

Bytes segment(uint8_t code, const std::string& payload) {
    const std::string head = {'\xFF', static_cast<char>(code), static_cast<char>((payload.size() + 2) >> 8),
                              static_cast<char>(payload.size() + 2)};
    const std::string whole = head + payload;
    return Bytes(whole.begin(), whole.end());
}

// An Exif IFD entry's number, or -1 where the entry is missing.
int64_t exif_ifd_value(const Bytes& jpeg, uint16_t tag) {
    const photo_metadata metadata = read_photo_metadata(jpeg.data(), jpeg.size(), IMG_FMT_JPEG);
    TiffData tiff{};
    if (open_tiff(ByteReader{metadata.exif.data(), metadata.exif.length}, &tiff) != TiffFault::None) return -1;
    const uint64_t pointer = find_ifd0_entry(tiff, 0x8769, 0);
    uint32_t directory = 0;
    uint16_t count = 0;
    if (!pointer || !tiff.bytes.u32(tiff.order, pointer + 8, &directory) ||
        !tiff.bytes.u16(tiff.order, directory, &count)) {
        return -1;
    }
    for (uint16_t index = 0; index < count; ++index) {
        const uint64_t at = tiff_entry_position(directory, index);
        const TiffEntry entry = read_tiff_entry(tiff, at);
        if (entry.tag != tag) continue;
        uint32_t value32 = 0;
        uint16_t value16 = 0;
        if (entry.type == TIFF_TYPE_LONG && tiff.bytes.u32(tiff.order, at + 8, &value32)) return value32;
        if (entry.type == TIFF_TYPE_SHORT && tiff.bytes.u16(tiff.order, at + 8, &value16)) return value16;
    }
    return -1;
}

// IFD0's link to IFD1 (the thumbnail's directory); -1 where unreadable.
int64_t ifd1_link(const Bytes& jpeg) {
    const photo_metadata metadata = read_photo_metadata(jpeg.data(), jpeg.size(), IMG_FMT_JPEG);
    TiffData tiff{};
    if (open_tiff(ByteReader{metadata.exif.data(), metadata.exif.length}, &tiff) != TiffFault::None) return -1;
    uint32_t link = 0;
    if (!tiff.bytes.u32(tiff.order, tiff_entry_position(tiff.ifd0, tiff.entry_count), &link)) return -1;
    return link;
}

class LosslessExport : public support::ScratchTest {
protected:
    // A 4:4:4 baseline JPEG (MCU 8) from the bundled encoder.
    Bytes plain_jpeg(int width, int height) {
        return support::encode_jpeg(support::numbered_image(width, height), 95);
    }

    int call(const std::string& in, const std::string& out, int transform, const veerpix_options& options,
             int* road) {
        return veerpix_transform(in.c_str(), out.c_str(), transform, &options, road);
    }
};

// ---- which road -------------------------------------------------------------

TEST_F(LosslessExport, TheCoefficientRoadTakesOnlyWhatWouldBeReEncoded) {
    const Bytes untagged = plain_jpeg(32, 16);
    const Bytes tagged6 = fixture::insert_after_soi(untagged, fixture::orientation_app1(false, 6));
    struct Case {
        const char* label;
        const Bytes* input;
        const char* output_name;
        int transform;
        int lossless;
        uint32_t flags;
        int road;
    };
    const Case cases[] = {
        {"untagged turn, prefer", &untagged, "o.jpg", VEERPIX_TURN_90, VEERPIX_LOSSLESS_PREFER, 0,
         VEERPIX_ROAD_COEFFICIENTS},
        {"untagged mirror, require", &untagged, "o.jpg", VEERPIX_MIRROR_LEFT_RIGHT, VEERPIX_LOSSLESS_REQUIRE, 0,
         VEERPIX_ROAD_COEFFICIENTS},
        {"untagged turn, off", &untagged, "o.jpg", VEERPIX_TURN_90, VEERPIX_LOSSLESS_OFF, 0, VEERPIX_ROAD_REENCODE},
        {"untagged keep, prefer: a copy", &untagged, "o.jpg", VEERPIX_KEEP, VEERPIX_LOSSLESS_PREFER, 0,
         VEERPIX_ROAD_COPY},
        {"tagged turn keeps the tag road", &tagged6, "o.jpg", VEERPIX_TURN_90, VEERPIX_LOSSLESS_REQUIRE, 0,
         VEERPIX_ROAD_TAG},
        {"tagged turn in its pixels", &tagged6, "o.jpg", VEERPIX_TURN_90, VEERPIX_LOSSLESS_PREFER,
         VEERPIX_TURN_PIXELS, VEERPIX_ROAD_COEFFICIENTS},
        {"tagged auto-orient", &tagged6, "o.jpg", VEERPIX_AUTO_ORIENT, VEERPIX_LOSSLESS_PREFER, 0,
         VEERPIX_ROAD_COEFFICIENTS},
        {"tagged auto-orient, off", &tagged6, "o.jpg", VEERPIX_AUTO_ORIENT, VEERPIX_LOSSLESS_OFF, 0,
         VEERPIX_ROAD_REENCODE},
        {"into a PNG, prefer", &untagged, "o.png", VEERPIX_TURN_90, VEERPIX_LOSSLESS_PREFER, 0,
         VEERPIX_ROAD_REENCODE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string in = put("in.jpg", *c.input);
        const std::string out = path(c.output_name);
        int road = -1;
        ASSERT_EQ(call(in, out, c.transform, lossless_options(c.lossless, c.flags), &road), 1) << veerpix_last_error();
        EXPECT_EQ(road, c.road);
        std::remove(out.c_str());
    }
}

// The nine exports never take the coefficient road.
TEST_F(LosslessExport, TheFixedOperationsKeepTheirRoads) {
    const std::string in = put("in.jpg", plain_jpeg(32, 16));
    const std::string ours = path("ours.jpg"), expected = path("expected.jpg");
    ASSERT_EQ(veerpix_fixed(in.c_str(), ours.c_str(), 90), 1);
    int road = -1;
    ASSERT_EQ(call(in, expected, VEERPIX_TURN_90, lossless_options(VEERPIX_LOSSLESS_OFF), &road), 1);
    EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
    EXPECT_EQ(support::read_bytes(ours), support::read_bytes(expected));
}

// ---- refusals and trim ------------------------------------------------------

TEST_F(LosslessExport, RequiredLosslessFailsWithTheReasonAndLeavesTheOutput) {
    const std::string in = put("in.jpg", plain_jpeg(67, 45));
    const std::string png = put("in.png", support::encode_png(support::numbered_image(8, 8)));
    struct Case {
        const char* label;
        std::string input;
        const char* output_name;
        int transform;
        std::string message;
    };
    const std::string jpeg_out = path("out.jpg"), png_out = path("out.png");
    const Case cases[] = {
        {"partial width", in, "out.jpg", VEERPIX_MIRROR_LEFT_RIGHT,
         "lossless turn needs a width that is a multiple of 8 (got 67); use trim"},
        {"partial height", in, "out.jpg", VEERPIX_MIRROR_TOP_BOTTOM,
         "lossless turn needs a height that is a multiple of 8 (got 45); use trim"},
        {"a PNG input", png, "out.jpg", VEERPIX_TURN_90, "lossless turn needs a JPEG input and a JPEG output: " + jpeg_out},
        {"a PNG output", in, "out.png", VEERPIX_TURN_90, "lossless turn needs a JPEG input and a JPEG output: " + png_out},
        {"any angle", in, "out.jpg", VEERPIX_ANGLE, "lossless turn cannot turn by any angle"},
    };
    const Bytes before = {'o', 'l', 'd'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string out = put(c.output_name, before);
        veerpix_options options = lossless_options(VEERPIX_LOSSLESS_REQUIRE);
        options.angle = 10;
        int road = -1;
        EXPECT_EQ(call(c.input, out, c.transform, options, &road), 0);
        EXPECT_EQ(veerpix_last_error(), c.message);
        EXPECT_EQ(road, VEERPIX_ROAD_NONE);
        EXPECT_EQ(support::read_bytes(out), before);
    }
}

TEST_F(LosslessExport, PartialEdgesAreReEncodedWhenPreferredAndTrimmedWhenAsked) {
    const std::string in = put("in.jpg", plain_jpeg(67, 45));
    const std::string out = path("out.jpg");
    int road = -1;
    ASSERT_EQ(call(in, out, VEERPIX_TURN_90, lossless_options(VEERPIX_LOSSLESS_PREFER), &road), 1);
    EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
    const support::Image reencoded = support::decode_file(out);
    EXPECT_EQ(reencoded.width, 45);
    EXPECT_EQ(reencoded.height, 67);

    // A quarter turn counter-clockwise carries the right edge to the top.
    ASSERT_EQ(call(in, out, VEERPIX_TURN_90, lossless_options(VEERPIX_LOSSLESS_REQUIRE, VEERPIX_TRIM), &road), 1)
        << veerpix_last_error();
    EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_TRIMMED);
    const support::Image trimmed = support::decode_file(out);
    EXPECT_EQ(trimmed.width, 45);
    EXPECT_EQ(trimmed.height, 64);

    // Trim changes nothing where the needed side is whole.
    ASSERT_EQ(call(in, out, VEERPIX_TRANSPOSE, lossless_options(VEERPIX_LOSSLESS_REQUIRE, VEERPIX_TRIM), &road), 1);
    EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS);
}

// ---- what the file keeps ----------------------------------------------------

TEST_F(LosslessExport, SegmentsAreKeptButOrientationSidesAndMultiPictureData) {
    fixture::Block block;
    block.big_endian = true;
    block.ifd0 = {fixture::ascii(0x010F, "Quorvane"), fixture::shorts(0x0112, {6})};
    block.exif = {fixture::shorts(0xA002, {40}), fixture::longs(0xA003, {16})};
    block.ifd1 = {fixture::shorts(0x0103, {6})};
    block.thumbnail = {0xFF, 0xD8, 0xFF, 0xD9};
    const Bytes icc = segment(0xE2, std::string("ICC_PROFILE\0\1\1", 14) + std::string(40, '\x5A'));
    const Bytes xmp = segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                                        "<x:xmpmeta><rdf:Description tiff:Orientation=\"6\"/></x:xmpmeta>");
    const Bytes mpf = segment(0xE2, std::string("MPF\0MM\0\x2A", 8));
    const Bytes comment = segment(0xFE, "kept as it was");
    Bytes jpeg = plain_jpeg(40, 16);
    for (const Bytes* piece : {&mpf, &comment, &xmp, &icc}) jpeg = fixture::insert_after_soi(jpeg, *piece);
    jpeg = fixture::insert_after_soi(jpeg, fixture::app1(block));
    const Bytes secondary = plain_jpeg(8, 8);
    Bytes with_secondary = jpeg;
    with_secondary.insert(with_secondary.end(), secondary.begin(), secondary.end());

    struct Case {
        const char* label;
        const Bytes* input;
        int road;
        bool mpf_kept;  // it describes nothing that was dropped
    };
    const Case cases[] = {
        {"one picture", &jpeg, VEERPIX_ROAD_COEFFICIENTS, true},
        {"with a secondary picture", &with_secondary,
         VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_DROPPED_PICTURES, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string in = put("in.jpg", *c.input);
        const std::string out = path("out.jpg");
        int road = -1;
        ASSERT_EQ(call(in, out, VEERPIX_AUTO_ORIENT,
                       lossless_options(VEERPIX_LOSSLESS_REQUIRE, VEERPIX_KEEP_METADATA), &road),
                  1)
            << veerpix_last_error();
        EXPECT_EQ(road, c.road);
        const Bytes result = support::read_bytes(out);
        const support::Image shown = support::decode_bytes(result);
        EXPECT_EQ(shown.width, 16);
        EXPECT_EQ(shown.height, 40);
        EXPECT_EQ(orientation_of(result), 1);
        EXPECT_EQ(exif_ifd_value(result, 0xA002), 16);
        EXPECT_EQ(exif_ifd_value(result, 0xA003), 40);
        EXPECT_EQ(ifd1_link(result), 0);
        EXPECT_TRUE(contains(result, icc));
        EXPECT_TRUE(contains(result, comment));
        const std::string text(result.begin(), result.end());
        EXPECT_NE(text.find("tiff:Orientation=\"1\""), std::string::npos);
        EXPECT_EQ(contains(result, mpf), c.mpf_kept);
        EXPECT_FALSE(contains(result, secondary));
        // Nothing after the picture's end.
        ASSERT_GE(result.size(), 2u);
        EXPECT_EQ(result[result.size() - 2], 0xFF);
        EXPECT_EQ(result[result.size() - 1], 0xD9);
    }

    // Without keeping metadata, as on the decode road (the command line's
    // --strip): no EXIF or XMP, the profile and the rest as they were.
    const std::string in = put("in.jpg", jpeg), out = path("stripped.jpg");
    int road = -1;
    ASSERT_EQ(call(in, out, VEERPIX_AUTO_ORIENT, lossless_options(VEERPIX_LOSSLESS_REQUIRE), &road), 1)
        << veerpix_last_error();
    EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS);
    const Bytes stripped = support::read_bytes(out);
    EXPECT_EQ(orientation_of(stripped), 0);
    const std::string text(stripped.begin(), stripped.end());
    EXPECT_EQ(text.find("Exif"), std::string::npos);
    EXPECT_EQ(text.find("tiff:Orientation"), std::string::npos);
    EXPECT_TRUE(contains(stripped, icc));
    EXPECT_TRUE(contains(stripped, comment));
    EXPECT_EQ(support::decode_bytes(stripped).width, 16);
}

// ---- judged by the peer -----------------------------------------------------


std::string missing_peers() {
    std::string missing;
    for (const char* tool : {"/usr/bin/cjpeg", "/usr/bin/djpeg", "/usr/bin/jpegtran"}) {
        if (!has_program(tool)) missing += std::string(missing.empty() ? "" : ", ") + tool;
    }
    return missing.empty() ? missing : missing + " not found (Debian: libjpeg-turbo-progs)";
}



class LosslessPeers : public support::ScratchTest {
protected:
    void SetUp() override {
        support::ScratchTest::SetUp();
        const std::string missing = missing_peers();
        if (!missing.empty()) GTEST_SKIP() << missing;
    }

    std::string make_input(int width, int height) {
        const std::string ppm = put("in.ppm", textured_ppm(width, height));
        const std::string jpeg = path("base.jpg");
        if (!run("/usr/bin/cjpeg -quality 90 -sample 2x2 -outfile " + jpeg + " " + ppm)) return {};
        return jpeg;
    }

    Bytes decoded(const std::string& jpeg) {
        const std::string pnm = jpeg + ".pnm";
        if (!run("/usr/bin/djpeg -pnm -outfile " + pnm + " " + jpeg)) return {};
        return support::read_bytes(pnm);
    }

    // The peer's result of `net` on the untagged input, decoded; empty where
    // the peer cannot do it perfectly.
    Bytes peer_decoded(const std::string& input, Transform net) {
        const std::string peer = path("peer.jpg");
        if (!run("/usr/bin/jpegtran -perfect " + std::string(kPeerOptions[static_cast<int>(net)]) + " -outfile " +
                 peer + " " + input + " 2>/dev/null")) {
            return {};
        }
        return decoded(peer);
    }
};

// Every transform of the picture as shown, for every Orientation value:
// the result decodes as the peer's lossless result of the composed
// transform of the stored picture.
TEST_F(LosslessPeers, EveryTransformOfEveryOrientationDecodesAsThePeersComposedTurn) {
    const std::string base = make_input(48, 32);
    ASSERT_FALSE(base.empty());
    const Bytes base_bytes = support::read_bytes(base);
    for (int orientation = 0; orientation <= 8; ++orientation) {
        const Bytes input = orientation == 0 ? base_bytes
                                             : fixture::insert_after_soi(base_bytes,
                                                                         fixture::orientation_app1(orientation % 2, orientation));
        const std::string in = put("in.jpg", input);
        for (int asked = VEERPIX_KEEP; asked <= VEERPIX_AUTO_ORIENT; ++asked) {
            const std::string label = "orientation " + std::to_string(orientation) + " transform " + std::to_string(asked);
            const Transform change = asked == VEERPIX_AUTO_ORIENT ? Transform::Identity : static_cast<Transform>(asked);
            const Transform net = then(display_transform(orientation), change);
            const std::string out = path("out.jpg");
            veerpix_options options =
                lossless_options(VEERPIX_LOSSLESS_REQUIRE, VEERPIX_TURN_PIXELS | VEERPIX_KEEP_METADATA);
            int road = -1;
            ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), asked, &options, &road), 1)
                << label << ": " << veerpix_last_error();
            const bool copied = net == Transform::Identity && change == Transform::Identity;
            EXPECT_EQ(road, copied ? VEERPIX_ROAD_COPY : VEERPIX_ROAD_COEFFICIENTS) << label;
            const Bytes ours = decoded(out);
            ASSERT_FALSE(ours.empty()) << label;
            EXPECT_EQ(ours, peer_decoded(base, net)) << label;
            if (!copied) {
                EXPECT_EQ(orientation_of(support::read_bytes(out)), orientation == 0 ? 0 : 1) << label;
            }
        }
    }
}

// ---- phone photos, judged by the peer ----------------------------------------

// A decoded picture as djpeg gives it: the PNM header (its sides) and a
// digest of the whole stream, so that 12 MP results are compared without
// holding them.
struct DecodedDigest {
    std::string header;
    uint64_t digest = 0;
    bool operator==(const DecodedDigest& other) const { return header == other.header && digest == other.digest; }
};

std::ostream& operator<<(std::ostream& out, const DecodedDigest& decoded) {
    return out << '"' << decoded.header << "\" digest " << std::hex << decoded.digest << std::dec;
}

// Empty header where djpeg refuses the file. Read back in pieces: the
// whole decoded photo is never held.
DecodedDigest decoded_digest(const std::string& jpeg) {
    DecodedDigest decoded;
    const std::string pnm = jpeg + ".pnm";
    if (!run("/usr/bin/djpeg -pnm -outfile " + pnm + " " + jpeg + " 2>/dev/null")) return decoded;
    std::FILE* file = std::fopen(pnm.c_str(), "rb");
    if (!file) return decoded;
    uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
    std::vector<unsigned char> chunk(1 << 16);
    bool in_header = true;
    int header_lines = 0;
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            hash = (hash ^ chunk[i]) * 0x100000001B3u;
            if (!in_header) continue;
            if (chunk[i] == '\n' && ++header_lines == 3) in_header = false;  // "P6", sides, maximum
            decoded.header += static_cast<char>(chunk[i] == '\n' ? ' ' : chunk[i]);
        }
    }
    std::fclose(file);
    std::remove(pnm.c_str());
    decoded.digest = hash;
    return decoded;
}

// The PNM header djpeg writes for a colour picture of these sides.
std::string pnm_header(int width, int height) {
    return "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255 ";
}

// A photo as a phone stores it: photo-like content (gradients, hard edges,
// noise), 4:2:0, so its MCU is 16 x 16.
struct PhoneSize {
    const char* label;
    int width, height;
    // The Orientation values whose auto-orient is lossless without trim:
    // 1 is a copy, and the others where every side their transform
    // carries to the left or top is a whole number of MCUs.
    const char* lossless_orientations;
    const char* partial_refusal;  // the lossless-only refusal of the others
};

void PrintTo(const PhoneSize& size, std::ostream* out) { *out << size.label; }

// 3000 and 1080 end in half an MCU row: the mirror top to bottom, the half
// turn, the quarter turn clockwise and the transverse carry it to the top
// or the left.
const PhoneSize kPhoneSizes[] = {
    {"4032x3024", 4032, 3024, "12345678", ""},
    {"4000x3000", 4000, 3000, "1258", "lossless turn needs a height that is a multiple of 16 (got 3000); use trim"},
    {"1920x1080", 1920, 1080, "1258", "lossless turn needs a height that is a multiple of 16 (got 1080); use trim"},
};

class LosslessPhonePeers : public LosslessPeers, public ::testing::WithParamInterface<PhoneSize> {
protected:
    std::string make_photo(int width, int height) {
        const std::vector<uint8_t> rgba = bench::photo_like(width, height);
        const std::string header = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
        Bytes ppm(header.begin(), header.end());
        const size_t pixels_start = ppm.size();
        ppm.resize(pixels_start + rgba.size() / 4 * 3);
        for (size_t from = 0, to = pixels_start; from < rgba.size(); from += 4, to += 3) {
            std::memcpy(&ppm[to], &rgba[from], 3);
        }
        const std::string ppm_path = put("photo.ppm", ppm);
        const std::string jpeg = path("photo.jpg");
        const bool made = run("/usr/bin/cjpeg -quality 92 -sample 2x2 -outfile " + jpeg + " " + ppm_path);
        std::remove(ppm_path.c_str());
        return made ? jpeg : std::string();
    }

    // The peer's lossless result of `net` on the untagged photo, decoded;
    // empty where the peer declines ("-perfect" on a partial side).
    DecodedDigest peer_digest(const std::string& photo, const char* mode, Transform net) {
        const std::string peer = path("peer.jpg");
        if (!run("/usr/bin/jpegtran " + std::string(mode) + " " + kPeerOptions[static_cast<int>(net)] + " -outfile " +
                 peer + " " + photo + " 2>/dev/null")) {
            return {};
        }
        return decoded_digest(peer);
    }
};

// Auto-orient of each Orientation value with each lossless choice:
// lossless where the sides allow, decoding exactly as the peer's lossless
// result; else re-encoded when preferred, refused with the side and the
// MCU (the output left as it was) when required, and trimmed as the
// peer's -trim when trim is asked.
TEST_P(LosslessPhonePeers, AutoOrientOfEachOrientationTakesTheRoadTheOptionsAsk) {
    const PhoneSize& size = GetParam();
    const std::string photo = make_photo(size.width, size.height);
    ASSERT_FALSE(photo.empty());
    const Bytes photo_bytes = support::read_bytes(photo);
    const Bytes old_bytes = {'o', 'l', 'd'};
    int lossless_count = 0;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const std::string label = std::string(size.label) + " orientation " + std::to_string(orientation);
        const bool big_endian = orientation % 2 == 1;
        const std::string in =
            put("in.jpg", fixture::insert_after_soi(photo_bytes, fixture::orientation_app1(big_endian, orientation)));
        const Transform net = display_transform(orientation);
        const bool copied = orientation == 1;
        const bool lossless = std::strchr(size.lossless_orientations, '0' + orientation) != nullptr;
        const bool sides_exchange = exchanges_sides(net);
        const int shown_width = sides_exchange ? size.height : size.width;
        const int shown_height = sides_exchange ? size.width : size.height;

        // Preferred: the road the sides allow.
        const DecodedDigest perfect = copied ? DecodedDigest{} : peer_digest(photo, "-perfect", net);
        if (!copied) {
            EXPECT_EQ(!perfect.header.empty(), lossless) << label << ": the peer's -perfect disagrees with the table";
        }
        const std::string preferred = path("preferred.jpg");
        veerpix_options options = lossless_options(VEERPIX_LOSSLESS_PREFER);
        int road = -1;
        ASSERT_EQ(veerpix_transform(in.c_str(), preferred.c_str(), VEERPIX_AUTO_ORIENT, &options, &road), 1)
            << label << ": " << veerpix_last_error();
        const int expected_road = copied     ? VEERPIX_ROAD_COPY
                                  : lossless ? VEERPIX_ROAD_COEFFICIENTS
                                             : VEERPIX_ROAD_REENCODE;
        EXPECT_EQ(road, expected_road) << label;
        const Bytes preferred_bytes = support::read_bytes(preferred);
        if (copied) {
            EXPECT_TRUE(preferred_bytes == support::read_bytes(in)) << label << ": not a copy";
        } else if (lossless) {
            EXPECT_EQ(decoded_digest(preferred), perfect) << label;
            EXPECT_EQ(orientation_of(preferred_bytes), 0) << label;  // no EXIF kept without the flag
            ++lossless_count;
        } else {
            EXPECT_EQ(decoded_digest(preferred).header, pnm_header(shown_width, shown_height)) << label;
        }

        // Required: the same result where lossless, else refused.
        const std::string required = put("required.jpg", old_bytes);
        options = lossless_options(VEERPIX_LOSSLESS_REQUIRE);
        road = -1;
        const int required_result =
            veerpix_transform(in.c_str(), required.c_str(), VEERPIX_AUTO_ORIENT, &options, &road);
        if (lossless) {
            ASSERT_EQ(required_result, 1) << label << ": " << veerpix_last_error();
            EXPECT_EQ(road, expected_road) << label;
            EXPECT_TRUE(support::read_bytes(required) == preferred_bytes) << label << ": differs from the preferred";
        } else {
            EXPECT_EQ(required_result, 0) << label;
            EXPECT_EQ(veerpix_last_error(), std::string(size.partial_refusal)) << label;
            EXPECT_EQ(road, VEERPIX_ROAD_NONE) << label;
            EXPECT_TRUE(support::read_bytes(required) == old_bytes) << label << ": the output was touched";
        }

        // Preferred with trim: lossless everywhere; trimmed where a partial
        // side stood in the way, and then as the peer's -trim.
        const std::string trimmed = path("trimmed.jpg");
        options = lossless_options(VEERPIX_LOSSLESS_PREFER, VEERPIX_TRIM);
        road = -1;
        ASSERT_EQ(veerpix_transform(in.c_str(), trimmed.c_str(), VEERPIX_AUTO_ORIENT, &options, &road), 1)
            << label << ": " << veerpix_last_error();
        if (lossless) {
            EXPECT_EQ(road, expected_road) << label;
            EXPECT_TRUE(support::read_bytes(trimmed) == preferred_bytes) << label << ": trim changed a whole side";
        } else {
            EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS | VEERPIX_ROAD_TRIMMED) << label;
            const DecodedDigest ours = decoded_digest(trimmed);
            EXPECT_EQ(ours, peer_digest(photo, "-trim", net)) << label;
            // Less than one MCU row is lost, and only on the partial side
            // (the height, for every size here).
            const int trimmed_height = size.height / 16 * 16;
            EXPECT_EQ(ours.header, sides_exchange ? pnm_header(trimmed_height, size.width)
                                                  : pnm_header(size.width, trimmed_height))
                << label;
        }
    }
    std::printf("%s 4:2:0: %d of 7 turned Orientation values lossless without trim\n", size.label,
                lossless_count);
}

INSTANTIATE_TEST_SUITE_P(PhoneSizes, LosslessPhonePeers, ::testing::ValuesIn(kPhoneSizes),
                         [](const ::testing::TestParamInfo<PhoneSize>& info) {
                             return "size_" + std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

// exiftool's reading of a file, one "[group] tag : value" line each, the
// file system's own lines left out.
std::vector<std::string> exiftool_lines(const std::string& file) {
    const std::string listing = file + ".tags";
    if (!run("/usr/bin/exiftool -G1 -a -s " + file + " > " + listing)) return {};
    const Bytes bytes = support::read_bytes(listing);
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : bytes) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (line.rfind("[System]", 0) != 0 && line.rfind("[ExifTool]", 0) != 0) lines.push_back(line);
        line.clear();
    }
    return lines;
}

// The peer that reads metadata finds every tag of the input in the result
// but the Orientation (1) and the sides, which follow the turn.
TEST_F(LosslessPeers, ExiftoolReadsEveryTagButOrientationAndTheExchangedSides) {
    if (!has_program("/usr/bin/exiftool")) GTEST_SKIP() << "/usr/bin/exiftool not found (Debian: libimage-exiftool-perl)";
    const std::string in = make_input(48, 32);
    ASSERT_FALSE(in.empty());
    ASSERT_TRUE(run("/usr/bin/exiftool -q -overwrite_original -Orientation#=6 -Make=Quorvane -Model=One "
                    "-ExifImageWidth=48 -ExifImageHeight=32 '-DateTimeOriginal=2020:01:02 03:04:05' "
                    "-XMP-dc:Title=hello -XMP-tiff:Orientation#=6 " + in));
    const std::string out = path("out.jpg");
    veerpix_options options = lossless_options(VEERPIX_LOSSLESS_REQUIRE, VEERPIX_KEEP_METADATA);
    int road = -1;
    ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), VEERPIX_AUTO_ORIENT, &options, &road), 1)
        << veerpix_last_error();
    EXPECT_EQ(road, VEERPIX_ROAD_COEFFICIENTS);
    const std::vector<std::string> before = exiftool_lines(in), after = exiftool_lines(out);
    ASSERT_FALSE(before.empty());
    const std::string changed[] = {"[File]          ImageWidth", "[File]          ImageHeight",
                                   "[IFD0]          Orientation", "[ExifIFD]       ExifImageWidth",
                                   "[ExifIFD]       ExifImageHeight", "[XMP-tiff]      Orientation",
                                   "[Composite]     ImageSize"};
    auto unchanged = [&](const std::vector<std::string>& lines) {
        std::vector<std::string> kept;
        for (const std::string& line : lines) {
            bool listed = false;
            for (const std::string& prefix : changed) listed = listed || line.rfind(prefix + " ", 0) == 0;
            if (!listed) kept.push_back(line);
        }
        return kept;
    };
    EXPECT_EQ(unchanged(after), unchanged(before));
    auto line_of = [](const std::vector<std::string>& lines, const std::string& prefix) {
        for (const std::string& line : lines) {
            if (line.rfind(prefix + " ", 0) == 0) return line.substr(line.find(": ") + 2);
        }
        return std::string();
    };
    EXPECT_EQ(line_of(after, "[IFD0]          Orientation"), "Horizontal (normal)");
    EXPECT_EQ(line_of(after, "[XMP-tiff]      Orientation"), "Horizontal (normal)");
    EXPECT_EQ(line_of(after, "[ExifIFD]       ExifImageWidth"), "32");
    EXPECT_EQ(line_of(after, "[ExifIFD]       ExifImageHeight"), "48");
    EXPECT_EQ(line_of(after, "[Composite]     ImageSize"), "32x48");
}

}  // namespace
