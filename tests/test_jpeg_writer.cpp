// The library's JPEG writer against stb_image_write at the settings the
// library used to call it with (RGBA in, quality 92): the same bytes for
// every picture, with every block kernel this build and CPU can run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../bench/photo.h"
#include "formats/jpeg_writer.h"
#include "stb_image_write.h"
#include "support.h"

namespace {

using support::Bytes;
using support::Image;

Bytes stb_jpeg(const Image& image) {
    Bytes out;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<Bytes*>(context);
        bytes->insert(bytes->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    };
    EXPECT_TRUE(stbi_write_jpg_to_func(append, &out, image.width, image.height, 4, image.rgba.data(), 92));
    return out;
}

Bytes our_jpeg(const Image& image, jpeg_block_kernel kernel) {
    pix_image raster{image.width, image.height, const_cast<uint8_t*>(image.rgba.data())};
    uint64_t length = 0;
    malloc_ptr<uint8_t> bytes = write_jpeg_with_kernel(raster, &length, kernel);
    if (!bytes) return {};
    return Bytes(bytes.get(), bytes.get() + length);
}

uint32_t next_random(uint32_t& state) {
    state = state * 1103515245u + 12345u;
    return state >> 8;
}

Image filled(int width, int height, uint32_t seed, uint8_t (*value)(int x, int y, int channel, uint32_t& state)) {
    Image image{width, height, Bytes(size_t(width) * height * 4)};
    uint32_t state = seed;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int channel = 0; channel < 4; ++channel) {
                image.rgba[(size_t(y) * width + x) * 4 + channel] = value(x, y, channel, state);
            }
        }
    }
    return image;
}

Image flat(int width, int height) {
    return filled(width, height, 0, [](int, int, int channel, uint32_t&) -> uint8_t {
        const uint8_t colour[4] = {200, 30, 120, 255};
        return colour[channel];
    });
}

// Full-range noise drives every coefficient to its largest categories and
// the bit stream through many 0xFF bytes.
Image noise(int width, int height) {
    return filled(width, height, 7, [](int, int, int, uint32_t& state) { return uint8_t(next_random(state)); });
}

Image gradients(int width, int height) {
    return filled(width, height, 0, [](int x, int y, int channel, uint32_t&) -> uint8_t {
        switch (channel) {
            case 0: return uint8_t(x * 5);
            case 1: return uint8_t(y * 3);
            case 2: return uint8_t((x + y) * 2);
            default: return 255;
        }
    });
}

// Alpha changes in every pixel; the writer must ignore it.
Image varying_alpha(int width, int height) {
    return filled(width, height, 3, [](int x, int y, int channel, uint32_t& state) -> uint8_t {
        return channel == 3 ? uint8_t(next_random(state)) : uint8_t(x * 17 + y * 5 + channel * 60);
    });
}

// Black and white extremes: values at the ends of every range, long zero
// runs between large coefficients (ZRL codes), and saturated colours.
Image hard_edges(int width, int height) {
    return filled(width, height, 0, [](int x, int y, int channel, uint32_t&) -> uint8_t {
        if (channel == 3) return 255;
        const bool on = ((x / 3) ^ (y / 5) ^ channel) & 1;
        return on ? 255 : 0;
    });
}

Image photo(int width, int height) { return {width, height, bench::photo_like(width, height)}; }

struct picture_kind {
    const char* label;
    Image (*make)(int width, int height);
};

constexpr picture_kind kKinds[] = {
    {"flat", flat},       {"noise", noise},         {"gradients", gradients}, {"photo-like", photo},
    {"varying alpha", varying_alpha}, {"hard edges", hard_edges},
};

struct picture_size {
    int width;
    int height;
};

// Whole blocks, one pixel, and every remainder of a block at the right and
// bottom edges.
constexpr picture_size kSizes[] = {{1, 1},   {7, 9},  {8, 8},   {9, 17},  {33, 65}, {640, 480},
                                   {1, 40},  {40, 1}, {15, 15}, {17, 8},  {8, 23},  {61, 3},
                                   {130, 98}};

TEST(JpegWriter, WritesTheBytesOfStbImageWriteWithEveryKernel) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    for (const picture_kind& kind : kKinds) {
        for (const picture_size& size : kSizes) {
            const Image image = kind.make(size.width, size.height);
            const Bytes expected = stb_jpeg(image);
            for (int k = 0; k < kernel_count; ++k) {
                SCOPED_TRACE(std::string(kind.label) + " " + std::to_string(size.width) + "x" +
                             std::to_string(size.height) + ", kernel " + kernels[k].name);
                const Bytes written = our_jpeg(image, kernels[k].kernel);
                ASSERT_EQ(written.size(), expected.size());
                const auto mismatch = std::mismatch(written.begin(), written.end(), expected.begin());
                ASSERT_TRUE(mismatch.first == written.end())
                    << "first difference at byte " << (mismatch.first - written.begin());
            }
        }
    }
}

// Every block value the kernels can meet: random pixels in each block
// position compared kernel by kernel, coefficient by coefficient.
TEST(JpegWriter, KernelsAgreeOnRandomBlocks) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    // Divisors of 1 make the rounding of every unscaled coefficient visible.
    jpeg_divisors divisors;
    for (int i = 0; i < 64; ++i) divisors.luma[i] = divisors.chroma[i] = 1.0f / (1 + i % 3);
    uint32_t state = 2024;
    uint8_t pixels[8][32];
    for (int trial = 0; trial < 2000; ++trial) {
        const int range = trial % 2 ? 256 : 4;  // small ranges give many ties at .5
        for (auto& row : pixels) {
            for (uint8_t& byte : row) byte = uint8_t(next_random(state) % range + (range == 4 ? 120 : 0));
        }
        const uint8_t* rows[8];
        for (int r = 0; r < 8; ++r) rows[r] = pixels[r];
        int16_t reference[3][64];
        kernels[0].kernel(rows, divisors, reference);
        for (int k = 1; k < kernel_count; ++k) {
            int16_t coefficients[3][64];
            kernels[k].kernel(rows, divisors, coefficients);
            ASSERT_EQ(std::memcmp(coefficients, reference, sizeof reference), 0)
                << "kernel " << kernels[k].name << ", trial " << trial;
        }
    }
}

}  // namespace
