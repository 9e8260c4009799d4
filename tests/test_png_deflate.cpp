// PNG output through the compress hook (libdeflate, zlib or the writer's
// own deflate, whichever the build found): whatever the compressor and
// level, the decoded pixels are exactly the raster's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "image_io.h"
#include "stb_image_write.h"
#include "support.h"

namespace {

using support::Image;

// Pictures that drive a compressor down its different roads: long runs
// (far matches), noise it cannot shrink (stored or literal-only blocks),
// smooth ramps (short matches after filtering), and a mixture of them in
// one stream larger than any one block or window.
Image flat(int width, int height) {
    Image image{width, height, support::Bytes(size_t(width) * height * 4, 0)};
    for (size_t i = 0; i < image.rgba.size(); i += 4) {
        image.rgba[i] = 40;
        image.rgba[i + 1] = 200;
        image.rgba[i + 2] = 90;
        image.rgba[i + 3] = 255;
    }
    return image;
}

Image noise(int width, int height) {
    Image image{width, height, support::Bytes(size_t(width) * height * 4)};
    uint32_t state = 12345;
    for (uint8_t& byte : image.rgba) {
        state = state * 1103515245u + 12345u;
        byte = uint8_t(state >> 23);
    }
    return image;
}

Image ramps_with_noise(int width, int height) {
    Image image{width, height, support::Bytes(size_t(width) * height * 4)};
    uint32_t state = 99;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.rgba[(size_t(y) * width + x) * 4];
            state = state * 1103515245u + 12345u;
            const int grain = int(state >> 29);  // 0..7
            p[0] = uint8_t(x + grain);
            p[1] = uint8_t(y * 3);
            p[2] = uint8_t((x ^ y) & 0xF0);
            p[3] = uint8_t(y < height / 2 ? 255 : x);
        }
    }
    return image;
}

struct picture_case {
    const char* label;
    Image image;
};

class PngDeflate : public support::ScratchTest {};

TEST_F(PngDeflate, DecodedPixelsAreTheRastersAtEveryLevel) {
    const picture_case cases[] = {
        {"one pixel", support::numbered_image(1, 1, 7)},
        {"flat 700x300", flat(700, 300)},
        {"noise 257x129", noise(257, 129)},
        {"ramps 600x300", ramps_with_noise(600, 300)},
        {"rows of 36 KB", ramps_with_noise(9000, 3)},
    };
    const int saved_level = stbi_write_png_compression_level;
    for (int level : {8, 1, 5, 12}) {  // 8 is the writer's default
        stbi_write_png_compression_level = level;
        for (const picture_case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + ", writer level " + std::to_string(level));
            pix_image raster{c.image.width, c.image.height, const_cast<uint8_t*>(c.image.rgba.data())};
            const std::string file = path("out.png");
            ASSERT_EQ(encode_image(file.c_str(), &raster, IMG_FMT_PNG), 1);
            EXPECT_TRUE(support::decode_file(file) == c.image);
        }
    }
    stbi_write_png_compression_level = saved_level;
}

// The point of the compressor: a picture with room to shrink shrinks.
TEST_F(PngDeflate, CompressibleRasterShrinks) {
    const Image image = flat(700, 300);
    pix_image raster{image.width, image.height, const_cast<uint8_t*>(image.rgba.data())};
    const std::string file = path("flat.png");
    ASSERT_EQ(encode_image(file.c_str(), &raster, IMG_FMT_PNG), 1);
    EXPECT_LT(support::read_bytes(file).size(), image.rgba.size() / 100);
}

}  // namespace
