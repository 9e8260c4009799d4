// The writers reading a raster through a whole-pixel transform (the decode
// road's one raster) against the same writers on the transformed raster,
// made by the tests' own one-pixel-at-a-time loops (the road's two
// rasters): the same bytes for all eight transforms, for sides that end
// inside a block, a square and a fetched band of rows, and for every JPEG
// kernel at the qualities where its squares change. The BMP writer, new
// with the views, is held against stb_image_write's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "formats/bmp_writer.h"
#include "formats/image_io.h"
#include "formats/jpeg_writer.h"
#include "formats/png_writer.h"
#include "support.h"

namespace {

using support::Bytes;
using support::Image;

struct transform_case {
    const char* label;
    Transform transform;
    reference::Map map;
};

constexpr transform_case kTransforms[] = {
    {"identity", Transform::Identity, reference::Map::Identity},
    {"turn 90", Transform::Turn90, reference::Map::Turn90},
    {"turn 180", Transform::Turn180, reference::Map::Turn180},
    {"turn 270", Transform::Turn270, reference::Map::Turn270},
    {"mirror left to right", Transform::MirrorLeftRight, reference::Map::MirrorLeftRight},
    {"mirror top to bottom", Transform::MirrorTopBottom, reference::Map::MirrorTopBottom},
    {"transpose", Transform::Transpose, reference::Map::Transpose},
    {"transverse", Transform::Transverse, reference::Map::Transverse},
};

struct picture_size {
    int width;
    int height;
};

// One pixel, one row, one column, sides that end inside an 8x8 block, a
// 16x16 square and a band of 16 fetched rows on either side of a turn,
// and one turned side past a tile of the gather (256 pixels).
constexpr picture_size kSizes[] = {{1, 1},  {1, 23}, {23, 1},  {7, 13},  {17, 9},
                                   {13, 7}, {9, 17}, {33, 18}, {18, 33}, {50, 290}};

// Every pixel its own scrambled word, alpha included: a pixel read from a
// wrong place, or a row from a wrong band, changes the file.
Image scrambled(int width, int height) {
    Image image{width, height, Bytes(size_t(width) * size_t(height) * 4)};
    uint32_t state = 0x2545F491u ^ uint32_t(width * 131 + height);
    for (uint8_t& byte : image.rgba) {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
    }
    return image;
}

pix_image raster_of(const Image& image) {
    return {image.width, image.height, const_cast<uint8_t*>(image.rgba.data())};
}

// The file a writer makes, called as write(&length); empty where it fails.
template <typename Write>
Bytes written_by(Write write) {
    uint64_t length = 0;
    const malloc_ptr<uint8_t> bytes = write(&length);
    return bytes ? Bytes(bytes.get(), bytes.get() + length) : Bytes();
}

Bytes bytes_of(const Encoded& encoded) {
    return encoded.bytes ? Bytes(encoded.bytes.get(), encoded.bytes.get() + encoded.length) : Bytes();
}

::testing::AssertionResult same_bytes(const Bytes& written, const Bytes& expected) {
    if (expected.empty()) return ::testing::AssertionFailure() << "no expected bytes";
    const size_t common = std::min(written.size(), expected.size());
    const auto mismatch = std::mismatch(written.begin(), written.begin() + common, expected.begin());
    if (mismatch.first == written.begin() + common && written.size() == expected.size()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << written.size() << " bytes against " << expected.size()
                                         << ", first difference at byte " << (mismatch.first - written.begin());
}

std::string label_of(const transform_case& transform, const picture_size& size) {
    return std::string(transform.label) + " of " + std::to_string(size.width) + "x" + std::to_string(size.height);
}

// 90 and below average the chroma over 16x16 squares, above keep it whole
// in 8x8 blocks; 100 has divisors of 1, the largest coefficients.
TEST(WriterViews, JpegOfAViewIsTheJpegOfTheTransformedRasterWithEveryKernel) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    for (const transform_case& transform : kTransforms) {
        for (const picture_size& size : kSizes) {
            const Image source = scrambled(size.width, size.height);
            const Image moved = support::mapped(source, transform.map);
            const pix_view view = pix_view_of(raster_of(source), transform.transform);
            for (int quality : {50, 90, 91, 92, 100}) {
                for (int k = 0; k < kernel_count; ++k) {
                    const Bytes expected = written_by([&](uint64_t* length) {
                        return write_jpeg_with_kernel(raster_of(moved), length, quality, kernels[k]);
                    });
                    const Bytes written = written_by(
                        [&](uint64_t* length) { return write_jpeg_with_kernel(view, length, quality, kernels[k]); });
                    ASSERT_TRUE(same_bytes(written, expected))
                        << label_of(transform, size) << ", quality " << quality << ", kernel " << kernels[k].name;
                }
            }
        }
    }
}

// Given the owner of the view's pixels, the writer lets them go before it
// compresses: nothing it writes may come from them after that (the
// sanitizer build sees any read of the freed block).
TEST(WriterViews, PngOfAViewIsThePngOfTheTransformedRaster) {
    for (const transform_case& transform : kTransforms) {
        for (const picture_size& size : kSizes) {
            const Image source = scrambled(size.width, size.height);
            const Image moved = support::mapped(source, transform.map);
            const Bytes expected =
                written_by([&](uint64_t* length) { return write_png_to_memory(raster_of(moved), length); });
            const Bytes written = written_by([&](uint64_t* length) {
                return write_png_to_memory(pix_view_of(raster_of(source), transform.transform), length);
            });
            ASSERT_TRUE(same_bytes(written, expected)) << label_of(transform, size);

            pixel_owner owned = support::heap_copy(source.rgba);
            const pix_image owned_raster{source.width, source.height, owned.get()};
            const Bytes released = written_by([&](uint64_t* length) {
                return write_png_to_memory(pix_view_of(owned_raster, transform.transform), length, &owned);
            });
            ASSERT_TRUE(same_bytes(released, expected)) << label_of(transform, size) << ", its pixels released";
            EXPECT_EQ(owned, nullptr) << label_of(transform, size);
        }
    }
}

// The reference writes BMPs bottom row first: a view must land each of its
// rows at the right place from the end.
TEST(WriterViews, BmpOfAViewIsStbImageWritesBmpOfTheTransformedRaster) {
    for (const transform_case& transform : kTransforms) {
        for (const picture_size& size : kSizes) {
            const Image source = scrambled(size.width, size.height);
            const Bytes expected = support::encode_bmp(support::mapped(source, transform.map));
            const Bytes written = written_by([&](uint64_t* length) {
                return write_bmp_to_memory(pix_view_of(raster_of(source), transform.transform), length);
            });
            ASSERT_TRUE(same_bytes(written, expected)) << label_of(transform, size);
        }
    }
}

// The encoder's entry: each format's writer gets the view, and a view the
// writer cannot take is refused as the raster it shows would be.
TEST(WriterViews, EncodeViewWritesEachFormatOfTheTransformedRaster) {
    const Image source = scrambled(21, 11);
    for (const transform_case& transform : kTransforms) {
        const Image moved = support::mapped(source, transform.map);
        const pix_image moved_raster = raster_of(moved);
        for (img_format format : {IMG_FMT_JPEG, IMG_FMT_PNG, IMG_FMT_BMP}) {
            const Encoded expected = encode_raster(&moved_raster, format, 77);
            const Encoded written = encode_view(pix_view_of(raster_of(source), transform.transform), format, 77);
            ASSERT_TRUE(same_bytes(bytes_of(written), bytes_of(expected)))
                << transform.label << ", format " << format;
        }
    }
    // A column the PNG writer takes, whose quarter turn is a row wider
    // than it takes: refused by the sides it shows, before a pixel is read.
    const pix_image column{1, 5000000, nullptr};
    ASSERT_TRUE(encoder_accepts(column.width, column.height, IMG_FMT_PNG));
    EXPECT_EQ(encode_view(pix_view_of(column, Transform::Turn90), IMG_FMT_PNG).bytes, nullptr);
}

}  // namespace
