// PNG output through the compress hook (libdeflate, zlib or the writer's
// own deflate, whichever the build found): whatever the compressor and
// level, the decoded pixels are exactly the raster's, and the library's
// writer writes the bytes stb_image_write writes with the same compressor.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formats/deflate.h"
#include "formats/image_io.h"
#include "formats/png_writer.h"
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

// Each filter wins somewhere: flat rows (none), horizontal ramps (sub),
// repeated rows (up), smooth 2-D ramps (average, Paeth), and rows whose
// estimates tie.
Image filter_mix(int width, int height) {
    Image image{width, height, support::Bytes(size_t(width) * height * 4)};
    uint32_t state = 5;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.rgba[(size_t(y) * width + x) * 4];
            state = state * 1103515245u + 12345u;
            const int kind = (y / 3) % 6;
            for (int c = 0; c < 4; ++c) {
                switch (kind) {
                    case 0: p[c] = 77; break;
                    case 1: p[c] = uint8_t(x * (c + 1)); break;
                    case 2: p[c] = uint8_t((x * 7919) >> c); break;
                    case 3: p[c] = uint8_t(x * 3 + y * 5 + c * 40); break;
                    case 4: p[c] = uint8_t((x * x + y * y) / 7 + c); break;
                    default: p[c] = uint8_t(state >> (8 + c * 3)); break;
                }
            }
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

support::Bytes stb_png(const Image& image) {
    support::Bytes bytes;
    const auto append = [](void* context, void* data, int size) {
        auto* out = static_cast<support::Bytes*>(context);
        out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    };
    stbi_write_png_to_func(append, &bytes, image.width, image.height, 4, image.rgba.data(), image.width * 4);
    return bytes;
}

support::Bytes our_png(const Image& image) {
    pix_image raster{image.width, image.height, const_cast<uint8_t*>(image.rgba.data())};
    uint64_t length = 0;
    malloc_ptr<uint8_t> png = write_png_to_memory(raster, &length);
    return png ? support::Bytes(png.get(), png.get() + length) : support::Bytes();
}

TEST(PngWriter, WritesTheBytesOfStbImageWrite) {
    const picture_case cases[] = {
        {"one pixel", support::numbered_image(1, 1, 7)},
        {"one column", ramps_with_noise(1, 40)},
        {"one row", filter_mix(333, 1)},
        {"three pixels wide", filter_mix(3, 50)},
        {"flat 70x30", flat(70, 30)},
        {"noise 257x129", noise(257, 129)},
        {"ramps 601x300", ramps_with_noise(601, 300)},
        {"filter mix 517x90", filter_mix(517, 90)},
        {"numbered 19x23", support::numbered_image(19, 23, 100)},
    };
    const int saved_level = stbi_write_png_compression_level;
    for (int level : {8, 1}) {
        stbi_write_png_compression_level = level;
        for (const picture_case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + ", writer level " + std::to_string(level));
            const support::Bytes expected = stb_png(c.image);
            ASSERT_FALSE(expected.empty());
            EXPECT_TRUE(our_png(c.image) == expected);
        }
    }
    stbi_write_png_compression_level = saved_level;
}

// The chunk CRC against the standard's check value and a bit-at-a-time
// CRC over lengths that end on every byte of the fast path's steps.
TEST(PngWriter, ChunkCrcIsTheStandardOne) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc32_update(0, check, sizeof check), 0xCBF43926u);
    support::Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + 7);
    for (size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 64, 299, 300}) {
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < length; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        EXPECT_EQ(crc32_update(0, data.data(), length), ~crc) << "length " << length;
    }
    // Continued over two parts as over the whole.
    EXPECT_EQ(crc32_update(crc32_update(0, data.data(), 100), data.data() + 100, 200), crc32_update(0, data.data(), 300));
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
