// The model of the eight whole-pixel transforms against the tests' own
// pixel maps (reference.h): what each transform does, the composition and
// inverse tables, the display transform of each Orientation value, and the
// one raster entry point that takes a transform.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pixels/raster.h"
#include "reference.h"
#include "pixels/transform.h"

namespace {

using reference::Labels;

Labels labels(int width, int height) {
    Labels out{width, height, {}};
    for (int i = 0; i < width * height; ++i) out.cells.push_back(0x11000000u + static_cast<uint32_t>(i) * 0x010203u);
    return out;
}

// Each transform with the reference's map of what it should do.
struct Expected {
    Transform transform;
    reference::Map map;
};

const Expected kExpected[] = {
    {Transform::Identity, reference::Map::Identity},
    {Transform::Turn90, reference::Map::Turn90},
    {Transform::Turn180, reference::Map::Turn180},
    {Transform::Turn270, reference::Map::Turn270},
    {Transform::MirrorLeftRight, reference::Map::MirrorLeftRight},
    {Transform::MirrorTopBottom, reference::Map::MirrorTopBottom},
    {Transform::Transpose, reference::Map::Transpose},
    {Transform::Transverse, reference::Map::Transverse},
};

const Expected& expected(Transform transform) {
    for (const Expected& e : kExpected) {
        if (e.transform == transform) return e;
    }
    ADD_FAILURE() << "no map for " << static_cast<int>(transform);
    return kExpected[0];
}

Labels apply(reference::Map map, const Labels& source) { return reference::moved(map, source); }
Labels apply(Transform transform, const Labels& source) { return apply(expected(transform).map, source); }

const Labels kSource = labels(3, 2);

TEST(TransformModel, EachTransformMovesPixelsAsItsMapSays) {
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(reference::name(e.map));
        EXPECT_EQ(exchanges_sides(e.transform), reference::exchanges_sides(e.map));
        // The table's map read as a pixel map gives the expected result.
        const TransformMap& map = transform_map(e.transform);
        Labels from_table{map.exchanges_sides ? kSource.height : kSource.width,
                          map.exchanges_sides ? kSource.width : kSource.height, {}};
        for (int y = 0; y < from_table.height; ++y) {
            for (int x = 0; x < from_table.width; ++x) {
                int u = map.exchanges_sides ? y : x, v = map.exchanges_sides ? x : y;
                if (map.columns_reversed) u = kSource.width - 1 - u;
                if (map.rows_reversed) v = kSource.height - 1 - v;
                from_table.cells.push_back(kSource.at(u, v));
            }
        }
        EXPECT_EQ(from_table, apply(e.transform, kSource));
    }
}

TEST(TransformModel, CompositionAndInverseFollowFromThePixelMaps) {
    for (const Expected& first : kExpected) {
        EXPECT_EQ(apply(inverse(first.transform), apply(first.transform, kSource)), kSource) << reference::name(first.map);
        for (const Expected& second : kExpected) {
            EXPECT_EQ(apply(then(first.transform, second.transform), kSource),
                      apply(second.transform, apply(first.transform, kSource)))
                << reference::name(first.map) << ", then " << reference::name(second.map);
        }
    }
}

TEST(TransformModel, DisplayTransformsShowEachOrientationUpright) {
    // Where the stored row 0 and column 0 of each value belong on screen:
    // the corner of the upright picture where the stored top-left pixel lands,
    // and where the stored top-right one lands, on a 3 x 2 stored raster.
    struct Corner {
        int x, y;
    };
    const struct {
        int orientation;
        Corner top_left, top_right;  // in the upright picture
    } cases[] = {
        {1, {0, 0}, {2, 0}}, {2, {2, 0}, {0, 0}}, {3, {2, 1}, {0, 1}}, {4, {0, 1}, {2, 1}},
        {5, {0, 0}, {0, 2}}, {6, {1, 0}, {1, 2}}, {7, {1, 2}, {1, 0}}, {8, {0, 2}, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        const Labels upright = apply(display_transform(c.orientation), kSource);
        EXPECT_EQ(upright.at(c.top_left.x, c.top_left.y), kSource.at(0, 0));
        EXPECT_EQ(upright.at(c.top_right.x, c.top_right.y), kSource.at(2, 0));
        EXPECT_EQ(orientation_displayed_by(display_transform(c.orientation)), c.orientation);
        EXPECT_EQ(upright, apply(reference::display_map(c.orientation), kSource));
    }
    for (int none : {0, 9, -1, 65535}) EXPECT_EQ(display_transform(none), Transform::Identity) << none;
}

TEST(TransformModel, TheRasterEntryPointDoesEachTransform) {
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(reference::name(e.map));
        pix_image source{kSource.width, kSource.height,
                         reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(kSource.cells.data()))};
        pix_image result{};
        ASSERT_EQ(pix_transform(&source, e.transform, &result), 1);
        pixel_owner owner(result.pixels);
        Labels moved{result.width, result.height, std::vector<uint32_t>(static_cast<size_t>(result.width) * result.height)};
        std::memcpy(moved.cells.data(), result.pixels, moved.cells.size() * 4);
        EXPECT_EQ(moved, apply(e.transform, kSource));
    }
}

}  // namespace
