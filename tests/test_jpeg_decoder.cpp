// The decode road's own JPEG decoder against the codec, its judge: for
// every kind of file (samplings, grey, RGB, CMYK, YCCK, progressive,
// restart intervals) and every size (1x1, odd sides, whole MCUs, a few
// hundred pixels) it takes, its RGBA bytes equal the codec's; files it
// declines (arithmetic coding, damaged data) decode_image hands to the
// codec, with the codec's result. Inputs are made by cjpeg from a PPM
// written here and by ImageMagick for four components; skipped, saying
// why, where those are missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>

#include "formats/image_io.h"
#include "formats/jpeg_decoder.h"
#include "formats/jpeg_pixels.h"
#include "peer_tools.h"
#include "support.h"

namespace {

using support::Bytes;
using peer_tools::has_program;
using peer_tools::run;


// A kind of file: how it is made, and how the Adobe segment of a
// four-component file is then set (-1: left as made).
struct Kind {
    const char* label;
    const char* cjpeg_options;  // null: four components by ImageMagick
    int adobe_transform;
    bool declined;  // the decoder hands these to the codec
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.label; }

const Kind kKinds[] = {
    {"444", "-sample 1x1 -quality 90", -1, false},
    {"422", "-sample 2x1", -1, false},
    {"420", "-sample 2x2", -1, false},
    {"440", "-sample 1x2", -1, false},
    {"411", "-sample 4x1", -1, false},
    {"310", "-sample 3x1", -1, false},  // the codec's nearest-sample upsampler
    {"420_q100", "-sample 2x2 -quality 100", -1, false},
    {"420_q5", "-sample 2x2 -quality 5", -1, false},  // large steps: clamps in the IDCT
    {"grey", "-grayscale", -1, false},
    {"rgb", "-rgb", -1, false},
    {"progressive_420", "-sample 2x2 -progressive", -1, false},
    {"progressive_444", "-sample 1x1 -progressive", -1, false},
    {"progressive_grey", "-grayscale -progressive", -1, false},
    {"restart_rows", "-sample 2x2 -restart 1", -1, false},
    {"restart_blocks", "-sample 2x1 -restart 3B", -1, false},
    {"progressive_restart", "-sample 2x2 -progressive -restart 2B", -1, false},
    {"cmyk", nullptr, 0, false},
    {"ycck", nullptr, 2, false},
    {"four_ycbcr", nullptr, 1, false},  // the codec ignores the fourth channel
    {"arithmetic", "-sample 2x2 -arithmetic", -1, true},
};

struct Size {
    int width, height;
};
const Size kSizes[] = {{1, 1}, {2, 3}, {7, 5}, {16, 16}, {17, 9}, {33, 31}, {64, 48}, {131, 67}, {301, 203}};

// Sets the transform byte of the file's Adobe segment.
void set_adobe_transform(Bytes* jpeg, int transform) {
    static const uint8_t adobe[] = {0xFF, 0xEE};
    for (size_t at = 2; at + 16 < jpeg->size(); ++at) {
        if (std::equal(adobe, adobe + 2, jpeg->begin() + static_cast<std::ptrdiff_t>(at)) &&
            std::memcmp(jpeg->data() + at + 4, "Adobe", 5) == 0) {
            (*jpeg)[at + 15] = static_cast<uint8_t>(transform);
            return;
        }
    }
    FAIL() << "no Adobe segment";
}

class JpegDecoderKinds : public support::ScratchTest, public ::testing::WithParamInterface<Kind> {
protected:
    // The file of this kind at this size; empty where a tool is missing.
    Bytes make(Size size) {
        const Kind& kind = GetParam();
        const std::string ppm = path("in.ppm"), jpeg = path("out.jpg");
        support::write_bytes(ppm, peer_tools::textured_ppm(size.width, size.height, true));
        std::string command = kind.cjpeg_options
                                  ? "/usr/bin/cjpeg " + std::string(kind.cjpeg_options) + " -outfile " + jpeg + " " + ppm
                                  : "convert " + ppm + " -colorspace CMYK -quality 90 " + jpeg;
        if (!run(command + " 2>/dev/null")) return {};
        Bytes bytes = support::read_bytes(jpeg);
        if (kind.adobe_transform >= 0) set_adobe_transform(&bytes, kind.adobe_transform);
        return bytes;
    }
};

// The decoder's bytes where it takes the file, and decode_image's always,
// equal the codec's.
TEST_P(JpegDecoderKinds, GiveTheCodecsPixelsAtEverySize) {
    const Kind& kind = GetParam();
    if (!has_program("/usr/bin/cjpeg")) GTEST_SKIP() << "/usr/bin/cjpeg not found (Debian: libjpeg-turbo-progs)";
    if (!kind.cjpeg_options && std::system("convert -version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ImageMagick's convert not found";
    }
    for (const Size size : kSizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const Bytes jpeg = make(size);
        ASSERT_FALSE(jpeg.empty());
        const support::Image codec = support::decode_bytes(jpeg);
        // The codec takes every kind but arithmetic coding.
        ASSERT_EQ(codec.width, kind.declined ? 0 : size.width);
        const char* declined = jpeg_decoder_declines(jpeg.data(), jpeg.size());
        EXPECT_EQ(declined != nullptr, kind.declined) << (declined ? declined : "taken");
        uint32_t width = 0, height = 0;
        const malloc_ptr<uint8_t> ours = decode_jpeg_rgba(jpeg.data(), jpeg.size(), &width, &height);
        if (ours) {
            ASSERT_EQ(width, uint32_t(codec.width));
            ASSERT_EQ(height, uint32_t(codec.height));
            EXPECT_EQ(std::memcmp(ours.get(), codec.rgba.data(), codec.rgba.size()), 0);
        }
        pix_image raster{};
        const int decoded = decode_image(jpeg.data(), jpeg.size(), "in.jpg", &raster);
        const malloc_ptr<uint8_t> owner(raster.pixels);
        ASSERT_EQ(decoded == 1, !codec.rgba.empty());
        if (decoded) {
            EXPECT_EQ(std::memcmp(raster.pixels, codec.rgba.data(), codec.rgba.size()), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, JpegDecoderKinds, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.label); });

// The decoder's result where it takes the file, and decode_image's always,
// are the codec's: the same pixels, or a failure.
void expect_the_codecs_result(const Bytes& jpeg) {
    const support::Image codec = support::decode_bytes(jpeg);
    uint32_t width = 0, height = 0;
    const malloc_ptr<uint8_t> ours = decode_jpeg_rgba(jpeg.data(), jpeg.size(), &width, &height);
    if (ours) {
        ASSERT_FALSE(codec.rgba.empty()) << "taken where the codec fails";
        ASSERT_EQ(width, uint32_t(codec.width));
        ASSERT_EQ(height, uint32_t(codec.height));
        EXPECT_EQ(std::memcmp(ours.get(), codec.rgba.data(), codec.rgba.size()), 0);
    }
    pix_image raster{};
    const int decoded = decode_image(jpeg.data(), jpeg.size(), "in.jpg", &raster);
    const malloc_ptr<uint8_t> owner(raster.pixels);
    ASSERT_EQ(decoded == 1, !codec.rgba.empty());
    if (decoded) {
        EXPECT_EQ(std::memcmp(raster.pixels, codec.rgba.data(), codec.rgba.size()), 0);
    }
}

// Damaged files: cut short, a byte changed in the scan, the closing marker
// lost. Where the decoder cannot be sure of the codec's reading it
// declines, and decode_image gives exactly the codec's result: the same
// pixels, or a failure.
TEST(JpegDecoderDamage, EndsAsTheCodecEnds) {
    support::Image picture = support::numbered_image(61, 45);
    const Bytes whole = support::encode_jpeg(picture, 90);
    struct Damage {
        const char* label;
        Bytes bytes;
    };
    std::vector<Damage> damages;
    for (size_t cut : {whole.size() - 1, whole.size() - 2, whole.size() - 40, whole.size() / 2, size_t{700}}) {
        damages.push_back({"cut", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut))});
    }
    for (size_t at : {whole.size() / 2, whole.size() - 20}) {
        Bytes changed = whole;
        changed[at] ^= 0x5A;
        damages.push_back({"changed", changed});
    }
    Bytes junk = whole;
    junk.insert(junk.end() - 2, {0x00, 0x12, 0xFF, 0x00, 0x34});
    damages.push_back({"bytes before EOI", junk});
    for (const Damage& damage : damages) {
        SCOPED_TRACE(std::string(damage.label) + " " + std::to_string(damage.bytes.size()));
        expect_the_codecs_result(damage.bytes);
    }
    // The whole file is taken, so the damaged ones above were tried.
    EXPECT_EQ(jpeg_decoder_declines(whole.data(), whole.size()), nullptr);
}

// Noise at quality 100: long codes and values past the reader's combined
// lookup, and a stuffed 0xFF 0x00 every few hundred bytes, so at every
// place relative to the eight bytes a refill loads; restart markers after
// odd numbers of MCUs. Whole, each file decodes to the codec's pixels by
// our decoder; cut at every byte around each of the first stuffed pairs
// and restart markers (a refill running into the end of the data, a cut
// between 0xFF and its 0x00 or its marker code), each gives the codec's
// result.
class JpegDecoderScanBytes : public support::ScratchTest {};

TEST_F(JpegDecoderScanBytes, StuffingRestartsAndCutsGiveTheCodecsResult) {
    if (!has_program("/usr/bin/cjpeg")) GTEST_SKIP() << "/usr/bin/cjpeg not found (Debian: libjpeg-turbo-progs)";
    struct Case {
        const char* label;
        const char* cjpeg_options;
        int width, height;
    };
    const Case cases[] = {
        {"420", "-sample 2x2", 83, 61},
        {"444 restart every MCU", "-sample 1x1 -restart 1B", 45, 37},
        {"420 restart every 3 MCUs", "-sample 2x2 -restart 3B", 71, 53},
        {"422 restart every 5 MCUs", "-sample 2x1 -restart 5B", 99, 20},
        {"grey restart every 7 blocks", "-grayscale -restart 7B", 77, 45},
    };
    const std::string ppm = path("noise.ppm"), jpeg_path = path("noise.jpg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string header = "P6 " + std::to_string(c.width) + " " + std::to_string(c.height) + " 255\n";
        Bytes noise(header.begin(), header.end());
        uint32_t seed = 2024;
        for (int i = 0; i < c.width * c.height * 3; ++i) {
            seed = seed * 1103515245u + 12345u;
            noise.push_back(static_cast<uint8_t>(seed >> 23));
        }
        support::write_bytes(ppm, noise);
        ASSERT_TRUE(run("/usr/bin/cjpeg -quality 100 " + std::string(c.cjpeg_options) + " -outfile " + jpeg_path + " " +
                        ppm));
        const Bytes whole = support::read_bytes(jpeg_path);
        ASSERT_EQ(jpeg_decoder_declines(whole.data(), whole.size()), nullptr);
        expect_the_codecs_result(whole);
        // The scan data starts after the last segment header before it;
        // 0xFF 0xDA is not found inside the data, where 0xFF is stuffed.
        size_t scan_start = 0;
        for (size_t at = 2; at + 1 < whole.size() && !scan_start; ++at) {
            if (whole[at] == 0xFF && whole[at + 1] == 0xDA) scan_start = at + 2 + (whole[at + 2] << 8 | whole[at + 3]);
        }
        ASSERT_NE(scan_start, 0u);
        int places = 0;
        for (size_t at = scan_start; at + 1 < whole.size() - 2 && places < 12; ++at) {
            if (whole[at] != 0xFF) continue;
            ++places;
            for (size_t cut = at - 9; cut <= at + 10; ++cut) {
                SCOPED_TRACE("cut at " + std::to_string(cut) + " near the 0xFF at " + std::to_string(at));
                expect_the_codecs_result(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
            }
        }
        EXPECT_EQ(places, 12) << "too few 0xFF bytes in the scan to try";
    }
}

// A block of DC alone is filled with one sample instead of transformed:
// for every dequantised DC value, in every kernel set, that sample must be
// what the full transform gives. Steps of 0 past the DC make blocks whose
// AC coefficients are sent (so the full transform runs: single, and as an
// AVX2 pair) but dequantise to zero, the same input as the DC alone.
TEST(JpegDecoderKernels, BlocksOfDcAloneGiveTheFullTransformsSamples) {
    PixelKernels kernels[3];
    const int count = available_pixel_kernels(kernels);
    uint16_t steps[64] = {1};
    // DC alone; a pair transformed in full; one more transformed in full.
    constexpr uint32_t kBlocks = 4;
    std::vector<int16_t> coefficients(kBlocks * 64, 1);
    const size_t stride = kBlocks * 8;
    std::vector<uint8_t> samples(stride * 8);
    for (int k = 0; k < count; ++k) {
        for (int32_t dc = -32768; dc <= 32767; ++dc) {
            for (uint32_t block = 0; block < kBlocks; ++block) coefficients[block * 64] = static_cast<int16_t>(dc);
            std::fill(coefficients.begin() + 1, coefficients.begin() + 64, int16_t{0});
            std::fill(samples.begin(), samples.end(), uint8_t{0x5A});
            kernels[k].idct_row(coefficients.data(), kBlocks, steps, samples.data(), stride);
            // Every sample of all four blocks: the second block's first.
            for (size_t i = 0; i < samples.size(); ++i) {
                ASSERT_EQ(samples[i], samples[8]) << kernels[k].name << " DC " << dc << " sample " << i;
            }
        }
    }
}

// Every kernel set gives the plain loops' samples: the IDCT on ordinary
// blocks and on coefficients large enough for the codec's 16-bit sums to
// wrap and its first pass to saturate, rows of 1 to 5 blocks (pairs and a
// single one for AVX2); the upsampling by two both ways on rows of every
// length up to 70; the colour conversion on every value of each channel,
// rows of every length up to 40.
TEST(JpegDecoderKernels, AgreeWithThePlainLoops) {
    PixelKernels kernels[3];
    const int count = available_pixel_kernels(kernels);
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int trial = 0; trial < 2000; ++trial) {
        const uint32_t blocks = 1 + trial % 5;
        std::vector<int16_t> coefficients(blocks * 64);
        uint16_t steps[64];
        const int magnitude = trial % 4 == 0 ? 32767 : trial % 4 == 1 ? 2047 : 255;
        for (int16_t& c : coefficients) {
            c = static_cast<int16_t>(static_cast<int>(next() % (2 * magnitude + 1)) - magnitude);
            if (trial % 3 == 0 && next() % 4) c = 0;
        }
        for (uint16_t& step : steps) step = static_cast<uint16_t>(trial % 5 == 0 ? next() : 1 + next() % 64);
        const size_t stride = blocks * 8 + 3;
        std::vector<uint8_t> expected(stride * 8), samples(stride * 8);
        kernels[0].idct_row(coefficients.data(), blocks, steps, expected.data(), stride);
        for (int k = 1; k < count; ++k) {
            std::fill(samples.begin(), samples.end(), uint8_t{0});
            kernels[k].idct_row(coefficients.data(), blocks, steps, samples.data(), stride);
            for (size_t row = 0; row < 8; ++row) {
                ASSERT_EQ(std::memcmp(&samples[row * stride], &expected[row * stride], blocks * 8), 0)
                    << kernels[k].name << " trial " << trial;
            }
        }
    }
    // Upsampling by two both ways: rows of every length to past two
    // AVX2 steps, samples over the whole range (the sums reach 4088).
    for (int width = 1; width <= 70; ++width) {
        std::vector<uint8_t> near_row(width), far_row(width), expected(width * 2), samples(width * 2);
        for (int trial = 0; trial < 20; ++trial) {
            for (int i = 0; i < width; ++i) {
                near_row[i] = static_cast<uint8_t>(trial % 4 == 0 ? 255 : next());
                far_row[i] = static_cast<uint8_t>(trial % 4 == 0 ? 255 - (i % 2) * 255 : next());
            }
            kernels[0].upsample_both_row(expected.data(), near_row.data(), far_row.data(), width);
            for (int k = 1; k < count; ++k) {
                std::fill(samples.begin(), samples.end(), uint8_t{0});
                kernels[k].upsample_both_row(samples.data(), near_row.data(), far_row.data(), width);
                ASSERT_EQ(samples, expected) << kernels[k].name << " width " << width << " trial " << trial;
            }
        }
    }
    for (uint32_t width = 1; width <= 40; ++width) {
        std::vector<uint8_t> y(width), cb(width), cr(width), expected(width * 4), rgba(width * 4);
        for (int value = 0; value < 256; value += 3) {
            for (uint32_t i = 0; i < width; ++i) {
                y[i] = static_cast<uint8_t>(value + i * 7);
                cb[i] = static_cast<uint8_t>(value * 3 + i * 13);
                cr[i] = static_cast<uint8_t>(255 - value + i * 29);
            }
            kernels[0].ycbcr_row(expected.data(), y.data(), cb.data(), cr.data(), width);
            for (int k = 1; k < count; ++k) {
                kernels[k].ycbcr_row(rgba.data(), y.data(), cb.data(), cr.data(), width);
                ASSERT_EQ(rgba, expected) << kernels[k].name << " width " << width << " value " << value;
            }
        }
    }
}

}  // namespace
