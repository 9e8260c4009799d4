// The five file operations end to end, through real files.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "metadata/exif.h"
#include "exif_builder.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;
using support::Image;

using reference::Map;
using support::mapped;
using support::shown;

bool has_app1(const Bytes& jpeg) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xE1) return true;
    }
    return false;
}

Bytes tagged_jpeg(const Image& image, bool big_endian, uint16_t orientation) {
    return fixture::insert_after_soi(support::encode_jpeg(image), fixture::orientation_app1(big_endian, orientation));
}

int orientation_of(const Bytes& jpeg) {
    char msg[256] = {};
    return qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
}

class Operations : public support::ScratchTest {};

// ---- quarter turns -------------------------------------------------------

TEST_F(Operations, QuarterTurnOfEachFormatIntoEachFormat) {
    Image source = support::numbered_image(5, 3);
    const struct {
        const char* name;
        Bytes bytes;
    } inputs[] = {{"in.png", support::encode_png(source)}, {"in.bmp", support::encode_bmp(source)}};
    for (const auto& input : inputs) {
        std::string in = put(input.name, input.bytes);
        for (const char* out_name : {"out.png", "out.BMP", "out"}) {
            SCOPED_TRACE(std::string(input.name) + " -> " + out_name);
            std::string out = path(out_name);
            ASSERT_EQ(veerpix_fixed(in.c_str(), out.c_str(), 90), 1) << veerpix_last_error();
            EXPECT_STREQ(veerpix_last_error(), "");
            EXPECT_EQ(support::decode_file(out), mapped(source, Map::Turn90));
            std::filesystem::remove(out);
        }
        std::string jpeg_out = path("out.jpg");
        ASSERT_EQ(veerpix_fixed(in.c_str(), jpeg_out.c_str(), 270), 1);
        Bytes jpeg = support::read_bytes(jpeg_out);
        EXPECT_EQ(jpeg[0], 0xFF);
        EXPECT_EQ(jpeg[1], 0xD8);
        EXPECT_FALSE(has_app1(jpeg));
        Image decoded = support::decode_bytes(jpeg);
        EXPECT_EQ(decoded.width, 3);
        EXPECT_EQ(decoded.height, 5);
    }
}

TEST_F(Operations, ReencodedOutputsAreRgbaAndCarryNoExif) {
    // An RGB JPEG in: PNG out is RGBA (colour type 6), BMP out 32 bits.
    std::string in = put("in.jpg", tagged_jpeg(support::block_image(3, 2, 8), false, 1));
    std::string png = path("out.png"), bmp = path("out.bmp");
    ASSERT_EQ(veerpix_fixed(in.c_str(), png.c_str(), 180), 1);
    ASSERT_EQ(veerpix_fixed(in.c_str(), bmp.c_str(), 180), 1);
    Bytes png_bytes = support::read_bytes(png), bmp_bytes = support::read_bytes(bmp);
    ASSERT_GT(png_bytes.size(), 26u);
    EXPECT_EQ(png_bytes[25], 6) << "PNG colour type RGBA";
    ASSERT_GT(bmp_bytes.size(), 29u);
    EXPECT_EQ(bmp_bytes[28], 32) << "BMP bits per pixel";
    Image decoded = support::decode_bytes(png_bytes);
    for (size_t i = 3; i < decoded.rgba.size(); i += 4) ASSERT_EQ(decoded.rgba[i], 255);
}

TEST_F(Operations, FourQuarterTurnsOfAPngGiveBackItsPixels) {
    Image source = support::numbered_image(7, 4, 9);
    std::string file = put("in.png", support::encode_png(source));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(veerpix_fixed(file.c_str(), file.c_str(), 90), 1);
    EXPECT_EQ(support::decode_file(file), source);
}

TEST_F(Operations, AnglesAreNormalisedAndTheCallersValueIsReported) {
    Image source = support::numbered_image(4, 3);
    std::string in = put("in.png", support::encode_png(source));
    const struct {
        int degrees;
        Map map;
    } accepted[] = {{90, Map::Turn90},    {450, Map::Turn90},   {810, Map::Turn90},   {-270, Map::Turn90},
                    {180, Map::Turn180},  {-180, Map::Turn180}, {900, Map::Turn180},  {270, Map::Turn270},
                    {-90, Map::Turn270},  {-450, Map::Turn270}};
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.degrees);
        std::string out = path("out.png");
        ASSERT_EQ(veerpix_fixed(in.c_str(), out.c_str(), c.degrees), 1);
        EXPECT_EQ(support::decode_file(out), mapped(source, c.map));
    }
    for (int degrees : {0, 360, -360, 720, 45, -45, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(degrees);
        EXPECT_EQ(veerpix_fixed(in.c_str(), path("refused.png").c_str(), degrees), 0);
        EXPECT_EQ(veerpix_last_error(), "degrees must be 90, 180 or 270 (got " + std::to_string(degrees) + ")");
        EXPECT_FALSE(std::filesystem::exists(path("refused.png")));
    }
}

TEST_F(Operations, ChecksComeInOrderNullThenAngleThenFile) {
    EXPECT_EQ(veerpix_fixed(nullptr, "out.png", 45), 0);
    EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
    EXPECT_EQ(veerpix_fixed(path("missing.png").c_str(), path("out.png").c_str(), 45), 0);
    EXPECT_STREQ(veerpix_last_error(), "degrees must be 90, 180 or 270 (got 45)");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float angle : {nan, inf, -inf}) {
        EXPECT_EQ(veerpix_angle(nullptr, "out.png", angle, 0, 0, 0), 0);
        EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
        EXPECT_EQ(veerpix_angle(path("missing.png").c_str(), path("out.png").c_str(), angle, 0, 0, 0), 0);
        EXPECT_STREQ(veerpix_last_error(), "angle must be a finite number");
    }
}

TEST_F(Operations, OutputIntoAMissingFolderFailsWithThePath) {
    std::string in = put("in.png", support::encode_png(support::numbered_image(2, 2)));
    std::string out = path("missing/out.png");
    EXPECT_EQ(veerpix_fixed(in.c_str(), out.c_str(), 90), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + out);
}

// ---- mirrors -------------------------------------------------------------

TEST_F(Operations, MirrorsMapPixelsAndTwiceGiveBackTheDecodedImage) {
    Image source = support::numbered_image(5, 4, 30);
    std::string in = put("in.png", support::encode_png(source));
    const struct {
        const char* label;
        int (*mirror)(const char*, const char*);
        Map map;
    } cases[] = {{"flip_h", veerpix_flip_h, Map::MirrorLeftRight}, {"flip_v", veerpix_flip_v, Map::MirrorTopBottom}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string once = path("once.png"), twice = path("twice.png");
        ASSERT_EQ(c.mirror(in.c_str(), once.c_str()), 1);
        EXPECT_EQ(support::decode_file(once), mapped(source, c.map));
        ASSERT_EQ(c.mirror(once.c_str(), twice.c_str()), 1);
        EXPECT_EQ(support::decode_file(twice), source);
    }
}

// ---- automatic orientation ------------------------------------------------

TEST_F(Operations, AutoOrientUndoesEachOrientationInBothByteOrders) {
    Image stored_image = support::numbered_image(4, 2);
    for (bool big_endian : {false, true}) {
        for (uint16_t orientation = 2; orientation <= 8; ++orientation) {
            SCOPED_TRACE(std::to_string(orientation) + (big_endian ? " MM" : " II"));
            Bytes jpeg = tagged_jpeg(stored_image, big_endian, orientation);
            Image stored = support::decode_bytes(jpeg);  // the pixels as stored, JPEG noise included
            std::string in = put("in.jpg", jpeg), out = path("out.png");
            ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1) << veerpix_last_error();
            EXPECT_EQ(support::decode_file(out), shown(stored, orientation));

            std::string jpeg_out = path("out.jpeg");
            ASSERT_EQ(veerpix_auto_orient(in.c_str(), jpeg_out.c_str()), 1);
            Bytes reencoded = support::read_bytes(jpeg_out);
            EXPECT_FALSE(has_app1(reencoded)) << "no EXIF in the upright file";
            // Running it again copies: nothing says the pixels are turned now.
            std::string again = path("again.jpg");
            ASSERT_EQ(veerpix_auto_orient(jpeg_out.c_str(), again.c_str()), 1);
            EXPECT_EQ(support::read_bytes(again), reencoded);
        }
    }
}

TEST_F(Operations, AutoOrientWithoutAKnownExtensionWritesJpeg) {
    std::string in = put("in.png.jpg", tagged_jpeg(support::block_image(2, 1, 8), false, 6));
    std::string out = path("upright");
    ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1);
    Bytes bytes = support::read_bytes(out);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    Image decoded = support::decode_bytes(bytes);
    EXPECT_EQ(decoded.width, 8);
    EXPECT_EQ(decoded.height, 16);
}

TEST_F(Operations, AutoOrientCopiesWhatNeedsNoChangeByteForByte) {
    Image image = support::numbered_image(4, 2);
    const struct {
        const char* label;
        Bytes bytes;
        const char* out_name;
    } cases[] = {
        {"orientation 1", tagged_jpeg(image, false, 1), "out.jpg"},
        {"orientation 0", tagged_jpeg(image, true, 0), "out.jpg"},
        {"orientation 9", tagged_jpeg(image, false, 9), "out.jpg"},
        {"no exif", support::encode_jpeg(image), "out.jpg"},
        {"orientation 1 to tif", tagged_jpeg(image, false, 1), "out.tif"},
        {"no exif, no extension", support::encode_jpeg(image), "out"},
        {"png", support::encode_png(image), "out.png"},
        {"png to tif", support::encode_png(image), "out.tif"},
        {"bmp", support::encode_bmp(image), "out.bmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string in = put("in", c.bytes), out = path(c.out_name);
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1);
        EXPECT_STREQ(veerpix_last_error(), "");
        EXPECT_EQ(support::read_bytes(out), c.bytes);
        std::filesystem::remove(out);
        // In place: the file is read whole before it is replaced.
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), in.c_str()), 1);
        EXPECT_EQ(support::read_bytes(in), c.bytes);
    }
}

// Upright already, but asked into another format: decoded and encoded
// into that one, the pixels as they were.
TEST_F(Operations, AutoOrientWritesTheAskedFormat) {
    const Image image = support::numbered_image(5, 3, 60);
    const Image opaque = support::numbered_image(5, 3);
    const struct {
        const char* label;
        Bytes bytes;
        const char* out_name;
        uint8_t first_byte;  // of the asked format
    } cases[] = {
        {"orientation 1 to png", tagged_jpeg(opaque, false, 1), "out.png", 0x89},
        {"untagged jpeg to bmp", support::encode_jpeg(opaque), "out.BMP", 'B'},
        {"png to jpg", support::encode_png(image), "out.jpg", 0xFF},
        {"png to bmp", support::encode_png(image), "out.bmp", 'B'},
        {"bmp to png", support::encode_bmp(image), "out.png", 0x89},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string in = put("in", c.bytes), out = path(c.out_name);
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1) << veerpix_last_error();
        EXPECT_STREQ(veerpix_last_error(), "");
        const Bytes written = support::read_bytes(out);
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written[0], c.first_byte);
        EXPECT_FALSE(has_app1(written));
        const Image decoded = support::decode_bytes(written);
        if (c.first_byte == 0xFF) {  // JPEG noise: the sides only
            EXPECT_EQ(decoded.width, image.width);
            EXPECT_EQ(decoded.height, image.height);
        } else {
            EXPECT_EQ(decoded, support::decode_bytes(c.bytes));
        }
        std::filesystem::remove(out);
    }
}

TEST_F(Operations, AutoOrientOfWhatOnlyLooksLikeAJpegIntoPngFailsToDecode) {
    const Bytes looks_like_jpeg[] = {
        {0xFF, 0xD8, 0xFF, 0xD9},
        fixture::insert_after_soi({0xFF, 0xD8, 0xFF, 0xD9}, fixture::orientation_app1(true, 1)),
    };
    for (const Bytes& bytes : looks_like_jpeg) {
        std::string in = put("fake.jpg", bytes), out = path("out.png");
        EXPECT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 0);
        std::string message = veerpix_last_error();
        EXPECT_EQ(message.rfind("cannot decode image: " + in + " (", 0), 0u) << message;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(Operations, AutoOrientOfAnUndecodableTaggedJpegNeverOpensTheOutput) {
    Bytes broken = fixture::insert_after_soi({0xFF, 0xD8, 0xFF, 0xD9}, fixture::orientation_app1(false, 6));
    std::string in = put("broken.jpg", broken), out = path("out.jpg");
    EXPECT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 0);
    std::string message = veerpix_last_error();
    EXPECT_EQ(message.rfind("cannot decode image: " + in + " (", 0), 0u) << message;
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(listing(), std::vector<std::string>{"broken.jpg"});
}

// ---- the lossless path -----------------------------------------------------

struct LosslessCase {
    const char* label;
    std::function<int(const char*, const char*)> call;
    int from_1;  // the new value for a file tagged 1
};

const LosslessCase kLosslessCases[] = {
    {"rotate 90", [](const char* i, const char* o) { return veerpix_fixed(i, o, 90); }, 8},
    {"rotate 180", [](const char* i, const char* o) { return veerpix_fixed(i, o, 180); }, 3},
    {"rotate 270", [](const char* i, const char* o) { return veerpix_fixed(i, o, 270); }, 6},
    {"rotate -90", [](const char* i, const char* o) { return veerpix_fixed(i, o, -90); }, 6},
    {"flip_h", veerpix_flip_h, 2},
    {"flip_v", veerpix_flip_v, 4},
};

size_t differing_bytes(const Bytes& a, const Bytes& b) {
    size_t count = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) count += a[i] != b[i];
    return count;
}

TEST_F(Operations, LosslessPathChangesOnlyTheOrientationValue) {
    Image image = support::block_image(3, 2, 8);
    for (bool big_endian : {false, true}) {
        Bytes input = tagged_jpeg(image, big_endian, 1);
        std::string in = put("in.jpg", input);
        for (const LosslessCase& c : kLosslessCases) {
            for (const char* out_name : {"out.jpg", "out.JPEG", "out", "out.tif"}) {
                SCOPED_TRACE(std::string(c.label) + " -> " + out_name + (big_endian ? " MM" : " II"));
                std::string out = path(out_name);
                ASSERT_EQ(c.call(in.c_str(), out.c_str()), 1) << veerpix_last_error();
                EXPECT_STREQ(veerpix_last_error(), "");
                Bytes output = support::read_bytes(out);
                ASSERT_EQ(output.size(), input.size());
                EXPECT_EQ(differing_bytes(output, input), 1u) << "one byte of the two-byte value";
                EXPECT_EQ(orientation_of(output), c.from_1);
                std::filesystem::remove(out);
            }
        }
    }
}

TEST_F(Operations, LosslessPathComposesWithTheStoredValue) {
    Image image = support::block_image(2, 2, 8);
    struct Case {
        uint16_t stored;
        int degrees;
        int expected;
    } cases[] = {{6, 90, 1}, {1, -90, 6}, {8, 270, 1}, {3, 180, 1}, {5, 90, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.stored) + " by " + std::to_string(c.degrees));
        std::string in = put("in.jpg", tagged_jpeg(image, true, c.stored)), out = path("out.jpg");
        ASSERT_EQ(veerpix_fixed(in.c_str(), out.c_str(), c.degrees), 1);
        EXPECT_EQ(orientation_of(support::read_bytes(out)), c.expected);
    }
}

TEST_F(Operations, FourTurnsOrTwoEqualMirrorsGiveBackTheFile) {
    Bytes input = tagged_jpeg(support::block_image(2, 3, 8), false, 7);
    const struct {
        const char* label;
        std::function<int(const char*)> step;
        int times;
    } cases[] = {
        {"four turns of 90", [](const char* f) { return veerpix_fixed(f, f, 90); }, 4},
        {"two horizontal mirrors", [](const char* f) { return veerpix_flip_h(f, f); }, 2},
        {"two vertical mirrors", [](const char* f) { return veerpix_flip_v(f, f); }, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string file = put("photo.jpg", input);  // output path names the input
        for (int i = 0; i < c.times; ++i) ASSERT_EQ(c.step(file.c_str()), 1);
        EXPECT_EQ(support::read_bytes(file), input);
    }
}

struct ShownChange {
    const char* label;
    std::function<int(const char*, const char*)> call;
    Map map;  // on the picture as shown
};

const ShownChange kShownChanges[] = {
    {"rotate 90", [](const char* i, const char* o) { return veerpix_fixed(i, o, 90); }, Map::Turn90},
    {"rotate 180", [](const char* i, const char* o) { return veerpix_fixed(i, o, 180); }, Map::Turn180},
    {"rotate -90", [](const char* i, const char* o) { return veerpix_fixed(i, o, -90); }, Map::Turn270},
    {"flip_h", veerpix_flip_h, Map::MirrorLeftRight},
    {"flip_v", veerpix_flip_v, Map::MirrorTopBottom},
};

// Both roads give the same picture: the decode road's PNG, pixel for pixel,
// is the lossless road's JPEG as a viewer shows it. Both decode the same
// compressed data with the same decoder, so no JPEG noise stands between.
TEST_F(Operations, DecodeRoadShowsWhatTheLosslessRoadShows) {
    const Image image = support::numbered_image(5, 3);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const bool big_endian = orientation % 2 == 0;
        const Bytes input = tagged_jpeg(image, big_endian, static_cast<uint16_t>(orientation));
        const Image stored = support::decode_bytes(input);
        std::string in = put("in.jpg", input);
        for (const ShownChange& c : kShownChanges) {
            SCOPED_TRACE(std::string(c.label) + " of orientation " + std::to_string(orientation));
            std::string png = path("out.png"), jpeg = path("out.jpg");
            ASSERT_EQ(c.call(in.c_str(), png.c_str()), 1) << veerpix_last_error();
            ASSERT_EQ(c.call(in.c_str(), jpeg.c_str()), 1) << veerpix_last_error();
            const Bytes retagged = support::read_bytes(jpeg);
            ASSERT_EQ(retagged.size(), input.size()) << "the lossless road";
            const Image decode_road = support::decode_file(png);
            EXPECT_EQ(decode_road, shown(support::decode_bytes(retagged), orientation_of(retagged)));
            EXPECT_EQ(decode_road, mapped(shown(stored, orientation), c.map));
        }
    }
}

TEST_F(Operations, UntaggedJpegsTakeThePixelRoad) {
    Image image = support::block_image(3, 2, 8);
    // JPEGs without a usable value: decoded, turned, re-encoded without EXIF.
    const struct {
        const char* label;
        Bytes bytes;
    } untagged[] = {{"no exif", support::encode_jpeg(image)},
                    {"orientation 0", tagged_jpeg(image, false, 0)},
                    {"orientation 9", tagged_jpeg(image, true, 9)}};
    for (const auto& c : untagged) {
        SCOPED_TRACE(c.label);
        std::string file = put("untagged.jpg", c.bytes), out = path("turned.jpg");
        ASSERT_EQ(veerpix_fixed(file.c_str(), out.c_str(), 90), 1);
        EXPECT_STREQ(veerpix_last_error(), "");
        Bytes output = support::read_bytes(out);
        EXPECT_FALSE(has_app1(output));
        Image decoded = support::decode_bytes(output);
        EXPECT_EQ(decoded.width, image.height);
        EXPECT_EQ(decoded.height, image.width);
        // Into PNG the stored pixels are turned as they are.
        std::string png = path("turned.png");
        ASSERT_EQ(veerpix_fixed(file.c_str(), png.c_str(), 90), 1);
        EXPECT_EQ(support::decode_file(png), mapped(support::decode_bytes(c.bytes), Map::Turn90));
    }
}

TEST_F(Operations, OrientationThatIsNotShortFirstIsRefusedWithoutOutput) {
    fixture::Block block;
    block.ifd0 = {fixture::longs(0x0112, {6}), fixture::shorts(0x0112, {6})};
    std::string in = put("in.jpg", fixture::insert_after_soi(support::encode_jpeg(support::block_image(1, 1, 8)),
                                                             fixture::app1(block)));
    std::string out = path("out.jpg");
    EXPECT_EQ(veerpix_flip_h(in.c_str(), out.c_str()), 0);
    EXPECT_STREQ(veerpix_last_error(), "exif rewrite: Orientation not SHORT");
    EXPECT_FALSE(std::filesystem::exists(out));
}

// A compact camera writes IFD0's Orientation twice, both SHORT 1: a quarter
// turn that changed only the first would leave readers that take the second
// showing the picture unturned.
TEST_F(Operations, LosslessTurnWritesEveryShortOrientationEntry) {
    const auto tagged = [](uint32_t value) {
        fixture::Block block;
        block.ifd0 = {fixture::ascii(0x010F, "Quorvane"), fixture::shorts(0x0112, {value}),
                      fixture::shorts(0x0112, {value})};
        return fixture::insert_after_soi(support::encode_jpeg(support::block_image(2, 2, 8)), fixture::app1(block));
    };
    const std::string in = put("in.jpg", tagged(1)), out = path("out.jpg");
    ASSERT_EQ(veerpix_fixed(in.c_str(), out.c_str(), 90), 1) << veerpix_last_error();
    EXPECT_EQ(support::read_bytes(out), tagged(8));
}

TEST_F(Operations, LosslessWriteIntoAMissingFolderFails) {
    std::string in = put("in.jpg", tagged_jpeg(support::block_image(1, 1, 8), false, 1));
    std::string out = path("missing/out.jpg");
    EXPECT_EQ(veerpix_fixed(in.c_str(), out.c_str(), 90), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + out);
}

// ---- free-angle rotation ---------------------------------------------------

TEST_F(Operations, AngleTurnsOntoTheClampedBackground) {
    Image source = support::numbered_image(10, 10, 40);
    std::string in = put("in.png", support::encode_png(source)), out = path("out.png");
    ASSERT_EQ(veerpix_angle(in.c_str(), out.c_str(), 45.0f, 300, -5, 128), 1) << veerpix_last_error();
    Image turned = support::decode_file(out);
    ASSERT_EQ(turned.width, 16);
    ASSERT_EQ(turned.height, 16);
    const uint32_t background = 0xFF0080FF;
    EXPECT_EQ(turned.pixel(0, 0), background);
    EXPECT_EQ(turned.pixel(15, 0), background);
    EXPECT_EQ(turned.pixel(0, 15), background);
    EXPECT_EQ(turned.pixel(15, 15), background);
}

TEST_F(Operations, AngleOfZeroKeepsThePixelsAndAlwaysReencodes) {
    Image source = support::numbered_image(6, 5, 20);
    std::string in = put("in.png", support::encode_png(source)), out = path("out.png");
    for (float angle : {0.0f, 360.0f, -360.0f, 720.0f}) {
        ASSERT_EQ(veerpix_angle(in.c_str(), out.c_str(), angle, 0, 0, 0), 1);
        EXPECT_EQ(support::decode_file(out), source) << angle;
    }
    // A tagged JPEG is re-encoded even at 90: no tag path, no tag kept.
    std::string jpeg = put("in.jpg", tagged_jpeg(support::block_image(2, 2, 8), false, 1));
    ASSERT_EQ(veerpix_angle(jpeg.c_str(), path("out.jpg").c_str(), 90.0f, 0, 0, 0), 1);
    EXPECT_FALSE(has_app1(support::read_bytes(path("out.jpg"))));
}

TEST_F(Operations, AngleTurnsTheUprightPictureOfATaggedJpeg) {
    const Image image = support::numbered_image(7, 4);
    for (uint16_t orientation : {1, 3, 6, 7}) {
        SCOPED_TRACE(orientation);
        std::string in = put("in.jpg", tagged_jpeg(image, orientation == 6, orientation));
        std::string upright = path("upright.png"), direct = path("direct.png"), via = path("via.png");
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), upright.c_str()), 1) << veerpix_last_error();
        ASSERT_EQ(veerpix_angle(in.c_str(), direct.c_str(), 30.0f, 9, 8, 7), 1) << veerpix_last_error();
        ASSERT_EQ(veerpix_angle(upright.c_str(), via.c_str(), 30.0f, 9, 8, 7), 1);
        const Image turned = support::decode_file(direct);
        EXPECT_EQ(turned, support::decode_file(via));
        ASSERT_GT(turned.width, 0);
    }
}

}  // namespace
