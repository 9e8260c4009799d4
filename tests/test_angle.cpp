// Free-angle rotation of rasters held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "pixels/raster.h"
#include "reference.h"
#include "veerpix.h"

namespace {

struct test_raster {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;

    const uint8_t* at(int32_t x, int32_t y) const {
        return pixels.data() + (int64_t{y} * width + x) * 4;
    }
    uint32_t word(int32_t x, int32_t y) const {
        uint32_t value;
        std::memcpy(&value, at(x, y), 4);
        return value;
    }
};

// Red and green differ at every pixel of rasters up to 16x16, and alpha
// varies, so a misplaced or half-blended pixel shows.
test_raster patterned(int32_t width, int32_t height) {
    test_raster raster{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = raster.pixels.data() + (int64_t{y} * width + x) * 4;
            pixel[0] = uint8_t(x * 16 + y);
            pixel[1] = uint8_t(255 - (y * 16 + x));
            pixel[2] = uint8_t((x * 7 + y * 13) * 3);
            pixel[3] = uint8_t(40 + (x * 5 + y * 11) % 200);
        }
    }
    return raster;
}

test_raster uniform(int32_t width, int32_t height, const uint8_t rgba[4]) {
    test_raster raster{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
    for (size_t i = 0; i < raster.pixels.size(); i += 4) std::memcpy(&raster.pixels[i], rgba, 4);
    return raster;
}

pix_image view(const test_raster& raster) {
    return pix_image{raster.width, raster.height, const_cast<uint8_t*>(raster.pixels.data())};
}

// Copies the result out and frees it, so a failed assertion leaks nothing.
test_raster turn(const test_raster& source, float degrees, int red = 0, int green = 0,
                 int blue = 0) {
    const pix_image input = view(source);
    pix_image output{};
    if (!pix_angle(&input, degrees, red, green, blue, &output)) {
        ADD_FAILURE() << "pix_angle failed: " << veerpix_last_error();
        return {};
    }
    pixel_owner owner(output.pixels);
    const size_t bytes = size_t(output.width) * size_t(output.height) * 4;
    return test_raster{output.width, output.height,
                       std::vector<uint8_t>(output.pixels, output.pixels + bytes)};
}

std::string label(int32_t width, int32_t height, float degrees) {
    std::ostringstream text;
    text << width << "x" << height << " at " << degrees;
    return text.str();
}

// --- canvas size ------------------------------------------------------------

TEST(AngleCanvas, SizeHoldsTheTurnedPicture) {
    struct size_case {
        int32_t width, height;
        float degrees;
        int32_t expected_width, expected_height;
    };
    const size_case cases[] = {
        {10, 10, 45, 16, 16}, {2, 2, 30, 4, 4}, {100, 50, 30, 112, 94},   {3, 2, 90, 3, 4},
        {5, 2, 90, 3, 6},     {5, 3, 1, 7, 5},  {640, 480, 90, 480, 640}, {641, 480, 90, 481, 642},
        {4, 2, 90, 2, 4},     {1, 1, 45, 3, 3},
    };
    for (const auto& c : cases) {
        const test_raster out = turn(patterned(c.width, c.height), c.degrees);
        EXPECT_EQ(out.width, c.expected_width) << label(c.width, c.height, c.degrees);
        EXPECT_EQ(out.height, c.expected_height) << label(c.width, c.height, c.degrees);
    }
}

// --- turns that land on the pixel grid --------------------------------------

struct source_position {
    int32_t x, y;
};

reference::Map quarter_turn(int degrees) {
    switch (degrees) {
        case 90: return reference::Map::Turn90;
        case 180: return reference::Map::Turn180;
        default: return reference::Map::Turn270;
    }
}

void expect_quarter_turn(const test_raster& source, int degrees) {
    const test_raster out = turn(source, float(degrees));
    const std::string where = label(source.width, source.height, float(degrees));
    const bool sideways = degrees != 180;
    ASSERT_EQ(out.width, sideways ? source.height : source.width) << where;
    ASSERT_EQ(out.height, sideways ? source.width : source.height) << where;
    for (int32_t y = 0; y < out.height; ++y) {
        for (int32_t x = 0; x < out.width; ++x) {
            const reference::Position from =
                reference::source_of(quarter_turn(degrees), x, y, source.width, source.height);
            ASSERT_EQ(out.word(x, y), source.word(int32_t(from.x), int32_t(from.y)))
                << where << ", pixel " << x << "," << y;
        }
    }
}

TEST(AngleGridTurns, WholeTurnsKeepSizeAndPixels) {
    const test_raster source = patterned(7, 4);
    for (float degrees : {0.0f, 360.0f, -360.0f, 720.0f}) {
        const test_raster out = turn(source, degrees);
        EXPECT_EQ(out.width, source.width) << degrees;
        EXPECT_EQ(out.height, source.height) << degrees;
        EXPECT_EQ(out.pixels, source.pixels) << degrees;
    }
}

TEST(AngleGridTurns, HalfTurnMatchesPixelMapForEverySize) {
    for (int32_t height = 1; height <= 9; ++height) {
        for (int32_t width = 1; width <= 9; ++width) {
            expect_quarter_turn(patterned(width, height), 180);
        }
    }
}

TEST(AngleGridTurns, QuarterTurnsMatchPixelMapWhenSidesDifferByEvenAmount) {
    const int32_t sizes[][2] = {{4, 2}, {5, 3}, {6, 6}, {2, 8}, {1, 3}, {7, 1}, {1, 1}, {9, 5}};
    for (const auto& size : sizes) {
        const test_raster source = patterned(size[0], size[1]);
        for (int degrees : {90, 180, 270}) expect_quarter_turn(source, degrees);
    }
}

TEST(AngleGridTurns, AnglesEqualModuloFullTurn) {
    const test_raster source = patterned(5, 2);
    struct pair_case {
        float degrees, same_as;
    };
    for (const auto& c : {pair_case{-90, 270}, pair_case{450, 90}, pair_case{-270, 90},
                          pair_case{-330, 30}, pair_case{390.5f, 30.5f}}) {
        const test_raster a = turn(source, c.degrees);
        const test_raster b = turn(source, c.same_as);
        EXPECT_EQ(a.width, b.width) << c.degrees;
        EXPECT_EQ(a.height, b.height) << c.degrees;
        EXPECT_EQ(a.pixels, b.pixels) << c.degrees << " vs " << c.same_as;
    }
}

// When W - H is odd, a quarter turn puts every sample exactly between source
// pixels: each result pixel is the rounded mean of the (up to) four nearest,
// with positions past an edge taking the edge pixel.
TEST(AngleGridTurns, OddQuarterTurnAveragesNearestPixels) {
    const int32_t sizes[][2] = {{3, 2}, {2, 5}, {1, 2}, {1, 4}, {4, 1}, {6, 3}};
    for (const auto& size : sizes) {
        const test_raster source = patterned(size[0], size[1]);
        const test_raster out = turn(source, 90);
        const std::string where = label(source.width, source.height, 90);
        ASSERT_EQ(out.width, source.height + 1) << where;
        ASSERT_EQ(out.height, source.width + 1) << where;
        auto clamp_x = [&](int32_t x) { return std::clamp(x, 0, source.width - 1); };
        auto clamp_y = [&](int32_t y) { return std::clamp(y, 0, source.height - 1); };
        for (int32_t y = 0; y < out.height; ++y) {
            for (int32_t x = 0; x < out.width; ++x) {
                // Result (x, y) samples the source at (W - 0.5 - y, x - 0.5).
                const int32_t left = clamp_x(source.width - 1 - y),
                              right = clamp_x(source.width - y);
                const int32_t upper = clamp_y(x - 1), lower = clamp_y(x);
                for (int channel = 0; channel < 4; ++channel) {
                    const int sum =
                        source.at(left, upper)[channel] + source.at(right, upper)[channel] +
                        source.at(left, lower)[channel] + source.at(right, lower)[channel];
                    ASSERT_EQ(out.at(x, y)[channel], (sum + 2) / 4)
                        << where << ", pixel " << x << "," << y << " channel " << channel;
                }
            }
        }
    }
}

// --- background and sampling ------------------------------------------------

TEST(AngleSampling, AlphaIsInterpolatedFromTheSource) {
    test_raster source = patterned(3, 2);
    const uint8_t alphas[] = {0, 40, 80, 120, 160, 200};
    for (int i = 0; i < 6; ++i) source.pixels[size_t(i) * 4 + 3] = alphas[i];
    const test_raster out = turn(source, 90);
    ASSERT_EQ(out.width, 3);
    ASSERT_EQ(out.height, 4);
    const uint8_t expected[] = {80, 140, 200, 60, 120, 180, 20, 80, 140, 0, 60, 120};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(out.pixels[size_t(i) * 4 + 3], expected[i]) << "pixel " << i % 3 << "," << i / 3;
    }
}

TEST(AngleSampling, BackgroundIsClampedAndOpaque) {
    struct colour_case {
        int red, green, blue;
        uint8_t expected[3];
    };
    const colour_case cases[] = {
        {300, -5, 128, {255, 0, 128}},
        {-1, 256, 0, {0, 255, 0}},
        {std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), 255, {0, 255, 255}},
        {12, 34, 56, {12, 34, 56}},
    };
    const test_raster source = patterned(10, 10);
    for (const auto& c : cases) {
        const test_raster out = turn(source, 45, c.red, c.green, c.blue);
        ASSERT_EQ(out.width, 16);
        ASSERT_EQ(out.height, 16);
        const uint8_t expected[4] = {c.expected[0], c.expected[1], c.expected[2], 255};
        uint32_t expected_word;
        std::memcpy(&expected_word, expected, 4);
        for (const auto& corner : {source_position{0, 0}, source_position{15, 0},
                                   source_position{15, 15}, source_position{0, 15}}) {
            EXPECT_EQ(out.word(corner.x, corner.y), expected_word)
                << c.red << "," << c.green << "," << c.blue << " corner " << corner.x << ","
                << corner.y;
        }
    }
}

TEST(AngleSampling, PixelIsWhollyBackgroundOrWhollySampled) {
    const uint8_t colour[4] = {10, 200, 30, 77};
    const uint8_t background[4] = {250, 5, 90, 255};
    uint32_t colour_word, background_word;
    std::memcpy(&colour_word, colour, 4);
    std::memcpy(&background_word, background, 4);
    for (float degrees : {1.0f, 30.0f, 45.0f, 89.999f, 123.4f, 200.0f, -17.0f}) {
        const test_raster source = uniform(9, 6, colour);
        const test_raster out = turn(source, degrees, background[0], background[1], background[2]);
        int sampled = 0, filled = 0;
        for (int32_t y = 0; y < out.height; ++y) {
            for (int32_t x = 0; x < out.width; ++x) {
                const uint32_t word = out.word(x, y);
                if (word == colour_word) {
                    ++sampled;
                } else {
                    ASSERT_EQ(word, background_word) << degrees << ", pixel " << x << "," << y;
                    ++filled;
                }
            }
        }
        // The turned picture keeps roughly its area, and the canvas grows.
        EXPECT_NEAR(sampled, 9 * 6, 12) << degrees;
        EXPECT_GT(filled, 0) << degrees;
    }
}

TEST(AngleSampling, SmallTurnFramesPictureWithBackground) {
    const test_raster source = patterned(5, 3);
    const test_raster out = turn(source, 1, 1, 2, 3);
    ASSERT_EQ(out.width, 7);
    ASSERT_EQ(out.height, 5);
    const uint8_t background[4] = {1, 2, 3, 255};
    for (int32_t y = 0; y < out.height; ++y) {
        for (int32_t x = 0; x < out.width; ++x) {
            const bool ring = x == 0 || y == 0 || x == out.width - 1 || y == out.height - 1;
            if (ring) {
                EXPECT_EQ(std::memcmp(out.at(x, y), background, 4), 0) << x << "," << y;
                continue;
            }
            // One degree moves a sample by under 0.05 pixel here.
            for (int channel = 0; channel < 4; ++channel) {
                EXPECT_NEAR(out.at(x, y)[channel], source.at(x - 1, y - 1)[channel], 12)
                    << x << "," << y << " channel " << channel;
            }
        }
    }
}

// The turn is about the centre: an odd square's centre pixel stays put.
TEST(AngleSampling, CentreOfOddSquareStays) {
    const test_raster source = patterned(5, 5);
    for (float degrees : {13.0f, 45.0f, 100.0f, -123.4f, 271.5f}) {
        const test_raster out = turn(source, degrees);
        ASSERT_EQ(out.width % 2, 1) << degrees;
        ASSERT_EQ(out.width, out.height) << degrees;
        EXPECT_EQ(out.word(out.width / 2, out.height / 2), source.word(2, 2)) << degrees;
    }
}

// One-pixel-wide and -high sources have no second column or row; the
// sanitizer build shows that no read leaves the raster.
TEST(AngleSampling, ThinSourcesStayWithinTheirValues) {
    const int32_t sizes[][2] = {{1, 1}, {1, 2}, {1, 7}, {2, 1}, {7, 1}, {1, 64}, {64, 1}};
    for (const auto& size : sizes) {
        const test_raster source = patterned(size[0], size[1]);
        uint8_t low[4] = {255, 255, 255, 255}, high[4] = {0, 0, 0, 0};
        for (size_t i = 0; i < source.pixels.size(); ++i) {
            low[i % 4] = std::min(low[i % 4], source.pixels[i]);
            high[i % 4] = std::max(high[i % 4], source.pixels[i]);
        }
        for (float degrees : {0.0f, 17.0f, 45.0f, 90.0f, 135.0f, 180.0f, 233.3f, 270.0f, -10.0f}) {
            const std::string where = label(size[0], size[1], degrees);
            // Patterned alphas stay below 255, so only background is opaque.
            const test_raster out = turn(source, degrees, 0, 0, 0);
            int sampled = 0;
            for (int32_t y = 0; y < out.height; ++y) {
                for (int32_t x = 0; x < out.width; ++x) {
                    const uint8_t* pixel = out.at(x, y);
                    if (pixel[3] == 255) continue;
                    ++sampled;
                    for (int channel = 0; channel < 4; ++channel) {
                        ASSERT_GE(pixel[channel], low[channel]) << where << " " << x << "," << y;
                        ASSERT_LE(pixel[channel], high[channel]) << where << " " << x << "," << y;
                    }
                }
            }
            EXPECT_GT(sampled, 0) << where;
        }
    }
}

// --- reference ------------------------------------------------------------

// The plain loop of reference.h, which the library's row spans, hoisted
// terms and packed blending must reproduce bit for bit.
test_raster reference_turn(const test_raster& source, float degrees, int red, int green, int blue) {
    const reference::AngleCanvas canvas = reference::angle_canvas(source.width, source.height, degrees);
    test_raster out{canvas.width, canvas.height, std::vector<uint8_t>(size_t(canvas.width) * canvas.height * 4)};
    reference::angle_pixels(source.pixels.data(), source.width, source.height, canvas, red, green, blue,
                            out.pixels.data());
    return out;
}

TEST(AngleReference, LibraryMatchesPlainLoopBitForBit) {
    const int32_t sizes[][2] = {{1, 1},   {1, 9},   {9, 1},    {2, 3},   {3, 2},  {7, 5},
                                {13, 8},  {16, 9},  {31, 17},  {64, 1},  {1, 64}, {45, 45},
                                {57, 23}, {23, 57}, {101, 37}, {37, 101}};
    std::vector<float> angles = {0.001f,   89.999f, -123.4f, 1e6f,    1,        7.5f,   200.25f,
                                 359.999f, -0.001f, 1e-30f,  -1e-30f, 33.3333f, -720.5f};
    for (float degrees = -360; degrees <= 360; degrees += 13.7f) angles.push_back(degrees);
    // Multiples of 15 degrees snap their sines and cosines to values such as
    // 0.5, which put samples exactly on the inside bounds: there any
    // reordering of the per-pixel sums changes bytes.
    for (int step = 0; step < 24; ++step) angles.push_back(15.0f * step);
    for (const auto& size : sizes) {
        const test_raster source = patterned(size[0], size[1]);
        for (float degrees : angles) {
            const test_raster expected = reference_turn(source, degrees, 17, 300, -4);
            const test_raster out = turn(source, degrees, 17, 300, -4);
            const std::string where = label(size[0], size[1], degrees);
            ASSERT_EQ(out.width, expected.width) << where;
            ASSERT_EQ(out.height, expected.height) << where;
            ASSERT_TRUE(out.pixels == expected.pixels) << where;
        }
    }
}

// --- refusals ---------------------------------------------------------------

TEST(AngleRefusals, NonFiniteAngle) {
    const test_raster source = patterned(3, 3);
    const pix_image input = view(source);
    for (float degrees :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()}) {
        veerpix_init();
        pix_image output{7, 7, nullptr};
        EXPECT_EQ(pix_angle(&input, degrees, 0, 0, 0, &output), 0) << degrees;
        EXPECT_STREQ(veerpix_last_error(), "angle must be a finite number") << degrees;
        EXPECT_EQ(output.pixels, nullptr) << degrees;
    }
}

// The sources claim sizes they do not have (null pixels): the canvas must be
// refused from the geometry alone, before any pixel is read or allocated.
TEST(AngleRefusals, CanvasThatCannotBeHeld) {
    const int32_t most = std::numeric_limits<int32_t>::max();
    struct huge_case {
        int32_t width, height;
        float degrees;
        const char* why;
    };
    const huge_case cases[] = {
        {1 << 30, 1 << 30, 45, "bytes past any allocation"},
        {most, most, 45, "box edge past int32"},
        {2, most, 90, "canvas width past int32"},
        {most, 2, 90, "canvas height past int32"},
    };
    for (const auto& c : cases) {
        veerpix_init();
        const pix_image input{c.width, c.height, nullptr};
        pix_image output{};
        EXPECT_EQ(pix_angle(&input, c.degrees, 0, 0, 0, &output), 0) << c.why;
        EXPECT_STREQ(veerpix_last_error(), "out of memory") << c.why;
        EXPECT_EQ(output.pixels, nullptr) << c.why;
    }
}

// A source without pixels covers nothing: the canvas is all background and
// nothing is read through the null pointer.
TEST(AngleRefusals, EmptySourceGivesBackgroundOnly) {
    const int32_t sizes[][2] = {{0, 5}, {5, 0}, {0, 0}};
    for (const auto& size : sizes) {
        for (float degrees : {0.0f, 30.0f, 90.0f}) {
            const pix_image input{size[0], size[1], nullptr};
            pix_image output{};
            ASSERT_EQ(pix_angle(&input, degrees, 9, 8, 7, &output), 1)
                << label(size[0], size[1], degrees);
            pixel_owner owner(output.pixels);
            for (int64_t i = 0; i < int64_t{output.width} * output.height; ++i) {
                const uint8_t expected[4] = {9, 8, 7, 255};
                ASSERT_EQ(std::memcmp(output.pixels + i * 4, expected, 4), 0)
                    << label(size[0], size[1], degrees) << " pixel " << i;
            }
        }
    }
}

}  // namespace
