// The library's JPEG writer against stb_image_write (RGBA in): the same
// bytes for every picture at every quality, with every block kernel this
// build and CPU can run.
#include <gtest/gtest.h>

#include <algorithm>
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

Bytes stb_jpeg(const Image& image, int quality) {
    Bytes out;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<Bytes*>(context);
        bytes->insert(bytes->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    };
    EXPECT_TRUE(stbi_write_jpg_to_func(append, &out, image.width, image.height, 4, image.rgba.data(), quality));
    return out;
}

Bytes our_jpeg(const Image& image, int quality, const named_jpeg_kernel& kernel) {
    pix_image raster{image.width, image.height, const_cast<uint8_t*>(image.rgba.data())};
    uint64_t length = 0;
    malloc_ptr<uint8_t> bytes = write_jpeg_with_kernel(raster, &length, quality, kernel);
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

::testing::AssertionResult same_bytes(const Bytes& written, const Bytes& expected) {
    const size_t common = std::min(written.size(), expected.size());
    const auto mismatch = std::mismatch(written.begin(), written.begin() + common, expected.begin());
    if (mismatch.first == written.begin() + common && written.size() == expected.size()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << written.size() << " bytes against " << expected.size()
                                         << ", first difference at byte " << (mismatch.first - written.begin());
}

void expect_bytes_of_stb(const Image& image, const std::string& label, int quality) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    const Bytes expected = stb_jpeg(image, quality);
    for (int k = 0; k < kernel_count; ++k) {
        ASSERT_TRUE(same_bytes(our_jpeg(image, quality, kernels[k]), expected))
            << label << " " << image.width << "x" << image.height << ", quality " << quality << ", kernel "
            << kernels[k].name;
    }
}

TEST(JpegWriter, WritesTheBytesOfStbImageWriteWithEveryKernel) {
    for (const picture_kind& kind : kKinds) {
        for (const picture_size& size : kSizes) {
            expect_bytes_of_stb(kind.make(size.width, size.height), kind.label, 92);
        }
    }
}

// Each quality scales both tables; at 90 and below the chroma is averaged
// over 2x2 pixels in 16x16 squares, whose edges need their own sizes: one
// pixel, remainders of a square at either side of a block, whole squares.
// 1 takes the largest divisors, 100 divisors of 1 (the largest
// coefficients); 49 and 50 meet where the scaling changes its rule.
TEST(JpegWriter, WritesTheBytesOfStbImageWriteAtEveryQuality) {
    constexpr int kQualities[] = {1, 2, 10, 25, 49, 50, 51, 75, 89, 90, 91, 92, 95, 99, 100};
    constexpr picture_size kSquareSizes[] = {{1, 1},  {16, 16}, {17, 15}, {7, 33},
                                             {24, 9}, {40, 1},  {130, 98}};
    for (int quality : kQualities) {
        for (const picture_kind& kind : kKinds) {
            for (const picture_size& size : kSquareSizes) {
                expect_bytes_of_stb(kind.make(size.width, size.height), kind.label, quality);
            }
        }
    }
}

// The writer reads any int as the reference does: 0 as its default (90,
// averaged chroma), numbers outside 1..100 clamped after the choice of
// the chroma sampling, so that 101 is 100 and -5 is 1 with averaged chroma.
TEST(JpegWriter, ReadsQualitiesOutsideTheRangeAsStbImageWriteDoes) {
    const Image image = photo(33, 17);
    for (int quality : {0, -1, -5, 101, 1000}) expect_bytes_of_stb(image, "photo-like", quality);
}

// Every block value the kernels can meet: random pixels in each block
// position compared kernel by kernel, coefficient by coefficient, with
// chroma kept whole and averaged.
TEST(JpegWriter, KernelsAgreeOnRandomBlocks) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    // Divisors of 1 make the rounding of every unscaled coefficient visible.
    jpeg_divisors divisors;
    for (int i = 0; i < 64; ++i) divisors.luma[i] = divisors.chroma[i] = 1.0f / (1 + i % 3);
    uint32_t state = 2024;
    uint8_t pixels[16][64];
    for (int trial = 0; trial < 2000; ++trial) {
        const int range = trial % 2 ? 256 : 4;  // small ranges give many ties at .5
        // The generator's top bits: its low ones repeat every 2^16 values.
        for (auto& row : pixels) {
            for (uint8_t& byte : row) byte = uint8_t((next_random(state) >> 16) % range + (range == 4 ? 120 : 0));
        }
        const uint8_t* rows[16];
        for (int r = 0; r < 16; ++r) rows[r] = pixels[r];
        int16_t reference[3][64], reference_subsampled[6][64];
        kernels[0].block(rows, divisors, reference);
        kernels[0].subsampled(rows, divisors, reference_subsampled);
        for (int k = 1; k < kernel_count; ++k) {
            int16_t coefficients[3][64], subsampled[6][64];
            kernels[k].block(rows, divisors, coefficients);
            kernels[k].subsampled(rows, divisors, subsampled);
            ASSERT_EQ(std::memcmp(coefficients, reference, sizeof reference), 0)
                << "kernel " << kernels[k].name << ", trial " << trial;
            ASSERT_EQ(std::memcmp(subsampled, reference_subsampled, sizeof reference_subsampled), 0)
                << "kernel " << kernels[k].name << " averaging the chroma, trial " << trial;
        }
    }
}

// The averaged chroma summed in the reference's own order, checked where
// the last bits of a float show: random 16x16 squares, divisors of 1, the
// chroma of each kernel against a reference that averages the whole
// square's planes as the reference writer does (its expression, its
// layout) and shares only the conversion and the DCT, which the byte
// tables above hold.
TEST(JpegWriter, AveragedChromaIsSummedInTheReferenceOrder) {
    named_jpeg_kernel kernels[3];
    const int kernel_count = available_jpeg_kernels(kernels);
    jpeg_divisors divisors;
    for (int i = 0; i < 64; ++i) divisors.luma[i] = divisors.chroma[i] = 1.0f;
    uint32_t state = 91;
    uint8_t pixels[16][64];
    for (int trial = 0; trial < 4000; ++trial) {
        // The generator's top bits: its low ones repeat every 2^16 values.
        for (auto& row : pixels) {
            for (uint8_t& byte : row) byte = uint8_t(next_random(state) >> 16);
        }
        float y[256], u[256], v[256];
        for (int i = 0; i < 256; ++i) {
            const uint8_t* pixel = pixels[i / 16] + i % 16 * 4;
            ycbcr_from_rgb<scalar_lanes>(pixel[0], pixel[1], pixel[2], y[i], u[i], v[i]);
        }
        int16_t expected[2][64];
        for (int plane = 0; plane < 2; ++plane) {
            const float* full = plane == 0 ? u : v;
            float averaged[64];
            for (int row = 0, i = 0; row < 8; ++row) {
                for (int column = 0; column < 8; ++column, ++i) {
                    const int j = row * 32 + column * 2;
                    averaged[i] = (full[j + 0] + full[j + 1] + full[j + 16] + full[j + 17]) * 0.25f;
                }
            }
            for (int row = 0; row < 64; row += 8) forward_dct_8<scalar_lanes>(averaged + row);
            float* p = averaged;
            for (int column = 0; column < 8; ++column) {
                forward_dct_8<scalar_lanes>(p[column], p[column + 8], p[column + 16], p[column + 24],
                                            p[column + 32], p[column + 40], p[column + 48], p[column + 56]);
            }
            for (int i = 0; i < 64; ++i) {
                expected[plane][i] = int16_t(int(p[i] < 0 ? p[i] - 0.5f : p[i] + 0.5f));
            }
        }
        const uint8_t* rows[16];
        for (int r = 0; r < 16; ++r) rows[r] = pixels[r];
        for (int k = 0; k < kernel_count; ++k) {
            int16_t coefficients[6][64];
            kernels[k].subsampled(rows, divisors, coefficients);
            ASSERT_EQ(std::memcmp(coefficients[4], expected, sizeof expected), 0)
                << "kernel " << kernels[k].name << ", trial " << trial;
        }
    }
}

}  // namespace
