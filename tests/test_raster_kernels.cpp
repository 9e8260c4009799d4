// The pixel-moving routines against the straightforward destination-driven
// loops they replace: every destination pixel fetched from the source
// pixel it maps to, one at a time. Sizes cover one-pixel rows and columns,
// odd sides, and sides that are not multiples of the 4x4 blocks or of the
// tiles (256 columns by 64 rows), so every edge strip of the fast loops is
// reached.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pixels/raster.h"
#include "reference.h"
#include "veerpix.h"

namespace {

struct raster {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// Every pixel a different, scrambled word, so a pixel moved to a wrong
// place, or bytes swapped inside a pixel, cannot go unnoticed.
raster scrambled(int32_t width, int32_t height) {
    raster image{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
    uint32_t state = 0x9E3779B9u ^ uint32_t(width * 7919 + height);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        image.pixels[i] = uint8_t(state >> 24);
    }
    return image;
}

// The one-pixel-at-a-time loop of the reference.
raster reference_result(const raster& source, reference::Map map) {
    raster out;
    out.width = int32_t(reference::result_width(map, source.width, source.height));
    out.height = int32_t(reference::result_height(map, source.width, source.height));
    out.pixels.resize(size_t(out.width) * size_t(out.height) * 4);
    reference::move_cells(map, source.pixels.data(), source.width, source.height, out.pixels.data());
    return out;
}

using routine = int (*)(const pix_image*, pix_image*);

raster run(const raster& source, routine fast) {
    pix_image input{source.width, source.height, const_cast<uint8_t*>(source.pixels.data())};
    pix_image output{};
    if (!fast(&input, &output)) {
        ADD_FAILURE() << veerpix_last_error();
        return {};
    }
    pixel_owner owner(output.pixels);
    const size_t bytes = size_t(output.width) * size_t(output.height) * 4;
    return raster{output.width, output.height, std::vector<uint8_t>(output.pixels, output.pixels + bytes)};
}

struct kernel_case {
    const char* label;
    routine fast;
    reference::Map map;
};

const kernel_case kKernels[] = {
    {"turn 90", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 90, r); }, reference::Map::Turn90},
    {"turn 180", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 180, r); }, reference::Map::Turn180},
    {"turn 270", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 270, r); }, reference::Map::Turn270},
    {"mirror left to right", [](const pix_image* s, pix_image* r) { return pix_flip(s, 0, r); },
     reference::Map::MirrorLeftRight},
    {"mirror top to bottom", [](const pix_image* s, pix_image* r) { return pix_flip(s, 1, r); },
     reference::Map::MirrorTopBottom},
    {"transpose", pix_transpose, reference::Map::Transpose},
    {"transverse", pix_transverse, reference::Map::Transverse},
};

struct side_pair {
    int32_t width, height;
};

const side_pair kSizes[] = {
    {1, 1},   {1, 2},   {2, 1},   {1, 37},  {37, 1},  {2, 2},   {3, 5},   {4, 4},
    {5, 3},   {7, 9},   {8, 8},   {31, 33}, {32, 32}, {33, 31}, {64, 65}, {65, 64},
    {97, 3},  {3, 97},  {129, 67}, {100, 100}, {4, 130}, {130, 4},
    {257, 65}, {65, 257}, {300, 129}, {513, 70},
};

TEST(RasterKernels, MatchTheOnePixelAtATimeLoopsOnEverySize) {
    for (const kernel_case& kernel : kKernels) {
        for (const side_pair& size : kSizes) {
            SCOPED_TRACE(std::string(kernel.label) + " of " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
            const raster source = scrambled(size.width, size.height);
            const raster expected = reference_result(source, kernel.map);
            const raster actual = run(source, kernel.fast);
            ASSERT_EQ(actual.width, expected.width);
            ASSERT_EQ(actual.height, expected.height);
            EXPECT_TRUE(actual.pixels == expected.pixels);
        }
    }
}

// The rows of a view, fetched in bands of any height from any first row,
// are the rows of the transformed raster: one row at a time, bands that
// end inside the 4x4 blocks and the tiles' 64 rows, and the whole picture.
TEST(RasterKernels, ViewRowsAreTheRowsOfTheTransformedRaster) {
    const struct {
        Transform transform;
        reference::Map map;
    } transforms[] = {
        {Transform::Identity, reference::Map::Identity},
        {Transform::Turn90, reference::Map::Turn90},
        {Transform::Turn180, reference::Map::Turn180},
        {Transform::Turn270, reference::Map::Turn270},
        {Transform::MirrorLeftRight, reference::Map::MirrorLeftRight},
        {Transform::MirrorTopBottom, reference::Map::MirrorTopBottom},
        {Transform::Transpose, reference::Map::Transpose},
        {Transform::Transverse, reference::Map::Transverse},
    };
    const side_pair sizes[] = {{1, 1}, {1, 37}, {37, 1}, {7, 9}, {65, 257}, {300, 129}};
    for (const auto& transform : transforms) {
        for (const side_pair& size : sizes) {
            const raster source = scrambled(size.width, size.height);
            const raster expected = reference_result(source, transform.map);
            const pix_view view = pix_view_of(
                pix_image{source.width, source.height, const_cast<uint8_t*>(source.pixels.data())},
                transform.transform);
            ASSERT_EQ(view.width, expected.width);
            ASSERT_EQ(view.height, expected.height);
            const size_t row_bytes = size_t(view.width) * 4;
            for (int64_t band : {int64_t{1}, int64_t{5}, kViewBandRows, int64_t{70}, int64_t{view.height}}) {
                SCOPED_TRACE(std::string(reference::name(transform.map)) + " of " + std::to_string(size.width) +
                             "x" + std::to_string(size.height) + " in bands of " + std::to_string(band));
                std::vector<uint8_t> scratch(size_t(band) * row_bytes);
                std::vector<const uint8_t*> rows(static_cast<size_t>(band));
                for (int64_t first = 0; first < view.height; first += band) {
                    const int64_t count = std::min<int64_t>(band, view.height - first);
                    pix_view_rows(view, first, count, scratch.data(), rows.data());
                    for (int64_t i = 0; i < count; ++i) {
                        ASSERT_EQ(std::memcmp(rows[size_t(i)], expected.pixels.data() + size_t(first + i) * row_bytes,
                                              row_bytes),
                                  0)
                            << "row " << first + i;
                    }
                }
            }
        }
    }
}

// A source whose rows do not start on any particular alignment: the fast
// loops must not assume aligned rows.
TEST(RasterKernels, SourceAtAnOddAddressGivesTheSameBytes) {
    const raster source = scrambled(45, 38);
    std::vector<uint8_t> shifted(source.pixels.size() + 3);
    std::memcpy(shifted.data() + 3, source.pixels.data(), source.pixels.size());
    for (const kernel_case& kernel : kKernels) {
        SCOPED_TRACE(kernel.label);
        pix_image input{source.width, source.height, shifted.data() + 3};
        pix_image output{};
        ASSERT_EQ(kernel.fast(&input, &output), 1);
        pixel_owner owner(output.pixels);
        const raster expected = reference_result(source, kernel.map);
        EXPECT_EQ(std::memcmp(output.pixels, expected.pixels.data(), expected.pixels.size()), 0);
    }
}

}  // namespace
