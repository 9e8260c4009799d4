// The pixel-moving raster routines, checked against the tests' own pixel
// maps (reference.h).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pixels/raster.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Image;

struct Result {
    int ok = 0;
    Image image;
};

Result run(const Image& source_image, const std::function<int(const pix_image*, pix_image*)>& routine) {
    pix_image source{source_image.width, source_image.height, const_cast<uint8_t*>(source_image.rgba.data())};
    pix_image result{};
    Result out;
    out.ok = routine(&source, &result);
    if (!out.ok) return out;
    out.image.width = result.width;
    out.image.height = result.height;
    out.image.rgba.assign(result.pixels, result.pixels + static_cast<size_t>(result.width) * result.height * 4);
    std::free(result.pixels);
    return out;
}

Image turned(const Image& image, int degrees) {
    return run(image, [degrees](const pix_image* s, pix_image* r) { return pix_fixed(s, degrees, r); }).image;
}

using reference::Map;
using support::mapped;

// Letters as pixels: the worked example's rows "abc" / "def".
Image letters(const char* rows[], int height) {
    int width = static_cast<int>(std::strlen(rows[0]));
    Image image{width, height, support::Bytes(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.rgba[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(rows[y][x]);
            p[1] = 1;
            p[2] = 2;
            p[3] = static_cast<uint8_t>(rows[y][x] + 100);  // alpha travels with the pixel
        }
    }
    return image;
}

TEST(QuarterTurn, WorkedExample) {
    const char* source_rows[] = {"abc", "def"};
    const char* rows90[] = {"cf", "be", "ad"};
    const char* rows180[] = {"fed", "cba"};
    const char* rows270[] = {"da", "eb", "fc"};
    Image source = letters(source_rows, 2);
    EXPECT_EQ(turned(source, 90), letters(rows90, 3));
    EXPECT_EQ(turned(source, 180), letters(rows180, 2));
    EXPECT_EQ(turned(source, 270), letters(rows270, 3));
}

TEST(QuarterTurn, MatchesTheMapOnOddSizesAndComesBackAfterAFullTurn) {
    for (auto [w, h] : {std::pair{1, 1}, {7, 1}, {1, 5}, {13, 9}, {64, 3}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        Image source = support::numbered_image(w, h, 17);
        Image once = turned(source, 90);
        EXPECT_EQ(once, mapped(source, Map::Turn90));
        EXPECT_EQ(turned(turned(turned(once, 90), 90), 90), source);
        EXPECT_EQ(turned(turned(source, 180), 180), source);
        EXPECT_EQ(turned(source, 270), turned(turned(source, 180), 90));
    }
}

TEST(QuarterTurn, RowBecomesColumnWithItsRightmostPixelOnTop) {
    Image row = support::numbered_image(6, 1);
    Image column = turned(row, 90);
    ASSERT_EQ(column.width, 1);
    ASSERT_EQ(column.height, 6);
    EXPECT_EQ(column.pixel(0, 0), row.pixel(5, 0));
    EXPECT_EQ(column.pixel(0, 5), row.pixel(0, 0));
}

struct MirrorCase {
    const char* label;
    std::function<int(const pix_image*, pix_image*)> routine;
    Map map;
};

TEST(Mirrors, MatchTheirMapsAndUndoThemselves) {
    const MirrorCase cases[] = {
        {"horizontal", [](const pix_image* s, pix_image* r) { return pix_flip(s, 0, r); }, Map::MirrorLeftRight},
        {"vertical", [](const pix_image* s, pix_image* r) { return pix_flip(s, 1, r); }, Map::MirrorTopBottom},
        {"vertical, any non-zero mode", [](const pix_image* s, pix_image* r) { return pix_flip(s, -7, r); },
         Map::MirrorTopBottom},
        {"transpose", pix_transpose, Map::Transpose},
        {"transverse", pix_transverse, Map::Transverse},
    };
    for (const MirrorCase& c : cases) {
        for (auto [w, h] : {std::pair{1, 1}, {1, 6}, {6, 1}, {4, 3}, {17, 5}}) {
            SCOPED_TRACE(std::string(c.label) + " " + std::to_string(w) + "x" + std::to_string(h));
            Image source = support::numbered_image(w, h, 40);
            Result once = run(source, c.routine);
            ASSERT_EQ(once.ok, 1);
            EXPECT_EQ(once.image, mapped(source, c.map));
            EXPECT_EQ(run(once.image, c.routine).image, source);
        }
    }
}

TEST(Mirrors, OnePixelWideOrHighIsUnchangedByTheMatchingMirror) {
    Image column = support::numbered_image(1, 5);
    Image row = support::numbered_image(5, 1);
    EXPECT_EQ(run(column, [](const pix_image* s, pix_image* r) { return pix_flip(s, 0, r); }).image, column);
    EXPECT_EQ(run(row, [](const pix_image* s, pix_image* r) { return pix_flip(s, 1, r); }).image, row);
}

TEST(RasterBytes, SaysWhenASizeCannotBeHeld) {
    EXPECT_EQ(raster_bytes(3, 2), 24u);
    EXPECT_EQ(raster_bytes(0, 5), 0u);
    EXPECT_FALSE(raster_bytes(-1, 5));
    EXPECT_FALSE(raster_bytes(5, -1));
    EXPECT_EQ(raster_bytes(INT32_MAX, INT32_MAX), static_cast<size_t>(INT32_MAX) * INT32_MAX * 4);
    EXPECT_FALSE(raster_bytes(int64_t{1} << 40, int64_t{1} << 30));
}

TEST(RasterRoutines, RefuseAnUnallocatableResultWithOutOfMemory) {
    // Claims far more than any allocator gives; no pixel is read.
    pix_image huge{INT32_MAX, INT32_MAX, nullptr};
    pix_image result{1, 1, reinterpret_cast<uint8_t*>(&huge)};
    EXPECT_EQ(pix_fixed(&huge, 90, &result), 0);
    EXPECT_STREQ(veerpix_last_error(), "out of memory");
    EXPECT_EQ(result.width, 1) << "left untouched";
    EXPECT_EQ(pix_flip(&huge, 0, &result), 0);
    EXPECT_EQ(result.pixels, reinterpret_cast<uint8_t*>(&huge));
}

// Every routine leaves its result as it was when it fails, as the header
// promises: a caller's record is never half filled.
TEST(RasterRoutines, AFailedRoutineLeavesItsResultUntouched) {
    const pix_image huge{INT32_MAX, INT32_MAX, nullptr};
    const struct {
        const char* label;
        int (*call)(const pix_image*, pix_image*);
    } routines[] = {
        {"quarter turn", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 90, r); }},
        {"half turn", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 180, r); }},
        {"three quarters", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 270, r); }},
        {"mirror left-right", [](const pix_image* s, pix_image* r) { return pix_flip(s, 0, r); }},
        {"mirror top-bottom", [](const pix_image* s, pix_image* r) { return pix_flip(s, 1, r); }},
        {"transpose", pix_transpose},
        {"transverse", pix_transverse},
    };
    for (const auto& routine : routines) {
        uint8_t marker = 0;
        pix_image result{3, 5, &marker};
        EXPECT_EQ(routine.call(&huge, &result), 0) << routine.label;
        EXPECT_EQ(result.width, 3) << routine.label;
        EXPECT_EQ(result.height, 5) << routine.label;
        EXPECT_EQ(result.pixels, &marker) << routine.label;
    }
}

}  // namespace
