// veerpix_transform: its options record, its roads and what it reports,
// and the operations that are faces over it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "exif_builder.h"
#include "metadata/exif.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;
using support::Image;

Bytes tagged_jpeg(const Image& image, uint16_t orientation) {
    return fixture::insert_after_soi(support::encode_jpeg(image), fixture::orientation_app1(false, orientation));
}

int orientation_of(const Bytes& jpeg) {
    char msg[256] = {};
    return qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
}

veerpix_options defaults() {
    veerpix_options options;
    std::memset(&options, 0, sizeof options);
    options.size = sizeof options;
    return options;
}

int largest_channel_difference(const Image& a, const Image& b) {
    int largest = 0;
    for (size_t i = 0; i < a.rgba.size() && i < b.rgba.size(); ++i) {
        largest = std::max(largest, std::abs(int{a.rgba[i]} - int{b.rgba[i]}));
    }
    return largest;
}

class TransformExport : public support::ScratchTest {
protected:
    // A refused call: 0, its message, no road, and no output made.
    void expect_refused(int transform, const void* options, const std::string& message) {
        const std::string in = put("in.png", support::encode_png(support::numbered_image(3, 2)));
        const std::string out = path("refused.png");
        int road = -1;
        EXPECT_EQ(veerpix_transform(in.c_str(), out.c_str(), transform,
                                    static_cast<const veerpix_options*>(options), &road),
                  0);
        EXPECT_EQ(veerpix_last_error(), message);
        EXPECT_EQ(road, VEERPIX_ROAD_NONE);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
};

// ---- the options record ----------------------------------------------------

// A record as a caller of another version lays it out: `size` bytes, the
// first four the size itself.
struct RawRecord {
    alignas(8) unsigned char bytes[8192] = {};
    explicit RawRecord(uint32_t size) { std::memcpy(bytes, &size, sizeof size); }
};

TEST_F(TransformExport, RecordsOfAnUnknownSizeAreRefused) {
    for (uint32_t size : {0u, 4u, 31u, 4097u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        RawRecord record(size);
        expect_refused(VEERPIX_TURN_90, record.bytes,
                       "options record has an unknown size (" + std::to_string(size) + " bytes)");
    }
}

TEST_F(TransformExport, ALargerRecordOfALaterVersionIsReadWhereItsNewFieldsAreZero) {
    const std::string in = put("in.png", support::encode_png(support::numbered_image(3, 2)));
    const std::string expected = path("expected.png"), out = path("out.png");
    ASSERT_EQ(veerpix_fixed(in.c_str(), expected.c_str(), 90), 1);
    for (uint32_t size : {uint32_t{sizeof(veerpix_options)}, uint32_t{sizeof(veerpix_options) + 8}, 4096u}) {
        SCOPED_TRACE(size);
        RawRecord record(size);
        int road = VEERPIX_ROAD_NONE;
        ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), VEERPIX_TURN_90,
                                    reinterpret_cast<const veerpix_options*>(record.bytes), &road),
                  1)
            << veerpix_last_error();
        EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
        EXPECT_EQ(support::read_bytes(out), support::read_bytes(expected));
    }
    for (uint32_t at : {uint32_t{sizeof(veerpix_options)}, 4095u}) {
        SCOPED_TRACE(at);
        RawRecord record(4096);
        record.bytes[at] = 1;
        expect_refused(VEERPIX_TURN_90, record.bytes,
                       "options record sets options this library does not know (byte " + std::to_string(at) + ")");
    }
}

TEST_F(TransformExport, FieldsAndTransformsOutOfRangeAreRefusedBeforeTheFilesAreRead) {
    struct Case {
        const char* label;
        int transform;
        std::function<void(veerpix_options*)> change;
        std::string message;
    };
    const Case cases[] = {
        {"transform -1", -1, [](veerpix_options*) {}, "unknown transform (-1)"},
        {"transform 10", 10, [](veerpix_options*) {}, "unknown transform (10)"},
        {"the flag after trim", VEERPIX_TURN_90, [](veerpix_options* o) { o->flags = VEERPIX_TRIM | 0x8u; },
         "unknown options flags (0x8)"},
        {"an unknown flag", VEERPIX_TURN_90, [](veerpix_options* o) { o->flags = VEERPIX_KEEP_METADATA | 0x80000000u; },
         "unknown options flags (0x80000000)"},
        {"quality 101", VEERPIX_TURN_90, [](veerpix_options* o) { o->jpeg_quality = 101; },
         "JPEG quality must be 1..100 (got 101)"},
        {"quality -1", VEERPIX_TURN_90, [](veerpix_options* o) { o->jpeg_quality = -1; },
         "JPEG quality must be 1..100 (got -1)"},
        {"lossless after require", VEERPIX_TURN_90, [](veerpix_options* o) { o->lossless = VEERPIX_LOSSLESS_REQUIRE + 1; },
         "unknown lossless choice (3)"},
        {"lossless negative", VEERPIX_TURN_90, [](veerpix_options* o) { o->lossless = -1; },
         "unknown lossless choice (-1)"},
        // Trim acts on the coefficient road alone, which lossless off never takes.
        {"trim with lossless off", VEERPIX_TURN_90, [](veerpix_options* o) { o->flags = VEERPIX_TRIM; },
         "trim needs a lossless choice (lossless is off)"},
        {"trim with lossless off, auto-orient", VEERPIX_AUTO_ORIENT,
         [](veerpix_options* o) { o->flags = VEERPIX_TRIM | VEERPIX_KEEP_METADATA; },
         "trim needs a lossless choice (lossless is off)"},
        {"angle NaN", VEERPIX_ANGLE,
         [](veerpix_options* o) { o->angle = std::numeric_limits<float>::quiet_NaN(); },
         "angle must be a finite number"},
        {"angle infinite", VEERPIX_ANGLE,
         [](veerpix_options* o) { o->angle = std::numeric_limits<float>::infinity(); },
         "angle must be a finite number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        veerpix_options options = defaults();
        c.change(&options);
        expect_refused(c.transform, &options, c.message);
    }
    // The null paths come first, as for every operation; the road is
    // optional.
    veerpix_options options = defaults();
    EXPECT_EQ(veerpix_transform(nullptr, "x.png", 99, &options, nullptr), 0);
    EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
}

// ---- roads -------------------------------------------------------------------

// Each road, the value it reports, and the operation whose bytes it gives.
TEST_F(TransformExport, EachRoadIsReportedAndGivesTheOperationsBytes) {
    const Image image = support::block_image(3, 2, 8);
    const std::string png = put("in.png", support::encode_png(image));
    const std::string tagged = put("tagged.jpg", tagged_jpeg(image, 6));
    const std::string upright = put("upright.jpg", tagged_jpeg(image, 1));
    const std::string plain = put("plain.jpg", support::encode_jpeg(image));
    using Operation = std::function<int(const char*, const char*)>;
    const Operation none;
    struct Case {
        const char* label;
        std::string input;
        const char* output_name;
        int transform;
        uint32_t flags;
        int road;
        Operation same_as;  // the operation with the same result; none: the input's bytes
    };
    const Case cases[] = {
        {"keep a PNG", png, "o.png", VEERPIX_KEEP, 0, VEERPIX_ROAD_COPY, none},
        {"auto-orient a PNG", png, "o.png", VEERPIX_AUTO_ORIENT, 0, VEERPIX_ROAD_COPY, none},
        {"keep a tagged JPEG", tagged, "o.jpg", VEERPIX_KEEP, 0, VEERPIX_ROAD_COPY, none},
        {"auto-orient an upright JPEG", upright, "o.jpg", VEERPIX_AUTO_ORIENT, 0, VEERPIX_ROAD_COPY, none},
        {"turn a tagged JPEG", tagged, "o.jpg", VEERPIX_TURN_90, 0, VEERPIX_ROAD_TAG,
         [](const char* i, const char* o) { return veerpix_fixed(i, o, 90); }},
        {"mirror a tagged JPEG", tagged, "o.jpg", VEERPIX_MIRROR_TOP_BOTTOM, 0, VEERPIX_ROAD_TAG, veerpix_flip_v},
        {"turn a JPEG without a tag", plain, "o.jpg", VEERPIX_TURN_180, 0, VEERPIX_ROAD_REENCODE,
         [](const char* i, const char* o) { return veerpix_fixed(i, o, 180); }},
        {"turn a tagged JPEG into a PNG", tagged, "o.png", VEERPIX_TURN_270, 0, VEERPIX_ROAD_REENCODE,
         [](const char* i, const char* o) { return veerpix_fixed(i, o, -90); }},
        {"mirror a PNG", png, "o.bmp", VEERPIX_MIRROR_LEFT_RIGHT, 0, VEERPIX_ROAD_REENCODE, veerpix_flip_h},
        {"auto-orient a tagged JPEG", tagged, "o.jpg", VEERPIX_AUTO_ORIENT, 0, VEERPIX_ROAD_REENCODE,
         veerpix_auto_orient},
        {"keep a tagged JPEG, pixels turned", tagged, "o.jpg", VEERPIX_KEEP, VEERPIX_TURN_PIXELS,
         VEERPIX_ROAD_REENCODE, veerpix_auto_orient},
        {"keep a tagged JPEG as a PNG", tagged, "o.png", VEERPIX_KEEP, 0, VEERPIX_ROAD_REENCODE,
         veerpix_auto_orient},
        {"keep a PNG as a JPEG", png, "o.jpg", VEERPIX_KEEP, 0, VEERPIX_ROAD_REENCODE, veerpix_auto_orient},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string out = path(c.output_name), expected = path(std::string("expected-") + c.output_name);
        veerpix_options options = defaults();
        options.flags = c.flags;
        int road = VEERPIX_ROAD_NONE;
        ASSERT_EQ(veerpix_transform(c.input.c_str(), out.c_str(), c.transform, &options, &road), 1)
            << veerpix_last_error();
        EXPECT_STREQ(veerpix_last_error(), "");
        EXPECT_EQ(road, c.road);
        if (c.same_as) {
            ASSERT_EQ(c.same_as(c.input.c_str(), expected.c_str()), 1) << veerpix_last_error();
            EXPECT_EQ(support::read_bytes(out), support::read_bytes(expected));
        } else {
            EXPECT_EQ(support::read_bytes(out), support::read_bytes(c.input));
        }
    }
}

// Turning the pixels where the tag could have been rewritten: a JPEG tagged
// 6 shows its stored pixels turned clockwise, so a quarter turn back shows
// the stored pixels, now without a tag.
TEST_F(TransformExport, TurnPixelsDecodesWhereATagRewriteCould) {
    const Image image = support::block_image(3, 2, 8);
    const std::string in = put("in.jpg", tagged_jpeg(image, 6));
    const std::string out = path("out.jpg");
    veerpix_options options = defaults();
    options.flags = VEERPIX_TURN_PIXELS;
    int road = VEERPIX_ROAD_NONE;
    ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), VEERPIX_TURN_90, &options, &road), 1)
        << veerpix_last_error();
    EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
    const Bytes result = support::read_bytes(out);
    EXPECT_EQ(orientation_of(result), 0);
    const Image decoded = support::decode_bytes(result);
    ASSERT_EQ(decoded.width, image.width);
    ASSERT_EQ(decoded.height, image.height);
    EXPECT_LE(largest_channel_difference(decoded, image), 12) << "the stored pixels, through JPEG twice";
}

// The diagonal mirrors exist only here: pixel maps on a PNG, and the tag
// they compose to on a JPEG tagged 1 (transpose shows as 5, transverse as 7).
TEST_F(TransformExport, DiagonalMirrorsMoveThePixelsOrComposeTheTag) {
    const Image image = support::numbered_image(3, 2);
    const std::string png = put("in.png", support::encode_png(image));
    const std::string jpeg = put("in.jpg", tagged_jpeg(support::block_image(3, 2, 8), 1));
    struct Case {
        int transform;
        reference::Map map;
        int tag_from_1;
    };
    for (const Case& c : {Case{VEERPIX_TRANSPOSE, reference::Map::Transpose, 5},
                          Case{VEERPIX_TRANSVERSE, reference::Map::Transverse, 7}}) {
        SCOPED_TRACE(c.transform);
        const std::string png_out = path("out.png"), jpeg_out = path("out.jpg");
        int road = VEERPIX_ROAD_NONE;
        ASSERT_EQ(veerpix_transform(png.c_str(), png_out.c_str(), c.transform, nullptr, &road), 1)
            << veerpix_last_error();
        EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
        EXPECT_EQ(support::decode_file(png_out), support::mapped(image, c.map));
        ASSERT_EQ(veerpix_transform(jpeg.c_str(), jpeg_out.c_str(), c.transform, nullptr, &road), 1)
            << veerpix_last_error();
        EXPECT_EQ(road, VEERPIX_ROAD_TAG);
        EXPECT_EQ(orientation_of(support::read_bytes(jpeg_out)), c.tag_from_1);
    }
}

TEST_F(TransformExport, AnAngleComesFromTheOptions) {
    const std::string in = put("in.png", support::encode_png(support::numbered_image(5, 3)));
    const std::string out = path("out.png"), expected = path("expected.png");
    veerpix_options options = defaults();
    options.angle = 30.0f;
    options.background[0] = 300;  // clamped as veerpix_angle clamps
    options.background[1] = 20;
    options.background[2] = -4;
    int road = VEERPIX_ROAD_NONE;
    ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), VEERPIX_ANGLE, &options, &road), 1)
        << veerpix_last_error();
    EXPECT_EQ(road, VEERPIX_ROAD_REENCODE);
    ASSERT_EQ(veerpix_angle(in.c_str(), expected.c_str(), 30.0f, 300, 20, -4), 1);
    EXPECT_EQ(support::read_bytes(out), support::read_bytes(expected));
    EXPECT_EQ(support::decode_file(out).pixel(0, 0), 0xFF1400FFu) << "a corner of the clamped background";
}

TEST_F(TransformExport, AFailedCallReportsNoRoad) {
    int road = VEERPIX_ROAD_COPY;
    EXPECT_EQ(veerpix_transform(path("missing.png").c_str(), path("out.png").c_str(), VEERPIX_TURN_90, nullptr,
                                &road),
              0);
    EXPECT_EQ(veerpix_last_error(), "cannot read input file: " + path("missing.png"));
    EXPECT_EQ(road, VEERPIX_ROAD_NONE);
}

// ---- JPEG quality --------------------------------------------------------------

// A re-encoded JPEG is the codec's own file of the turned picture at the
// asked quality; 0 is 92, the operations' quality.
TEST_F(TransformExport, JpegQualityReachesTheEncoder) {
    const Image image = support::numbered_image(19, 11);
    const std::string in = put("in.png", support::encode_png(image));
    const Image turned = support::mapped(image, reference::Map::Turn90);
    for (int quality : {1, 50, 92, 100}) {
        SCOPED_TRACE(quality);
        const std::string out = path("out.jpg");
        veerpix_options options = defaults();
        options.jpeg_quality = quality;
        ASSERT_EQ(veerpix_transform(in.c_str(), out.c_str(), VEERPIX_TURN_90, &options, nullptr), 1)
            << veerpix_last_error();
        EXPECT_EQ(support::read_bytes(out), support::encode_jpeg(turned, quality));
    }
    const std::string by_default = path("default.jpg"), fixed = path("fixed.jpg");
    ASSERT_EQ(veerpix_transform(in.c_str(), by_default.c_str(), VEERPIX_TURN_90, nullptr, nullptr), 1);
    ASSERT_EQ(veerpix_fixed(in.c_str(), fixed.c_str(), 90), 1);
    EXPECT_EQ(support::read_bytes(by_default), support::read_bytes(fixed));
    EXPECT_EQ(support::read_bytes(by_default), support::encode_jpeg(turned, 92));
}

}  // namespace
