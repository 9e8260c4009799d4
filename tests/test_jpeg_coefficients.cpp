// The coefficient road in process: the transforms' algebra holds on the
// coefficients (one transform after another equals their composition),
// partial edges decline or trim as the options say, the file's head is
// kept, and what the reader cannot take it declines with its reason. The
// peer's judgement of the results is in test_jpeg_lossless_peers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/jpeg_coefficients.h"
#include "formats/jpeg_lossless.h"
#include "support.h"

namespace {

using support::Bytes;

Bytes result_bytes(const JpegLosslessResult& result) {
    return Bytes(result.bytes.get(), result.bytes.get() + result.length);
}

// The transform's result, or an empty vector with the reason printed.
Bytes transformed(const Bytes& input, Transform transform, bool trim = false) {
    JpegLosslessOptions options;
    options.trim = trim;
    JpegLosslessResult result;
    const char* failure = jpeg_lossless_transform(input.data(), input.size(), transform, options, &result);
    EXPECT_EQ(failure, nullptr) << "transform " << static_cast<int>(transform) << ": " << failure;
    return failure ? Bytes{} : result_bytes(result);
}

// Each component's coefficients over the picture's own blocks.
struct Coefficients {
    uint32_t width = 0, height = 0;
    std::vector<std::vector<int16_t>> components;
    bool operator==(const Coefficients& other) const {
        return width == other.width && height == other.height && components == other.components;
    }
};

Coefficients coefficients_of(const Bytes& jpeg) {
    CoefficientImage image;
    const char* failure = read_jpeg_coefficients(jpeg.data(), jpeg.size(), &image);
    EXPECT_EQ(failure, nullptr) << failure;
    Coefficients out{image.width, image.height, {}};
    for (int c = 0; c < image.component_count; ++c) {
        const CoefficientComponent& component = image.components[c];
        std::vector<int16_t> values;
        for (uint32_t row = 0; row < component.blocks_high; ++row) {
            for (uint32_t column = 0; column < component.blocks_wide; ++column) {
                const int16_t* block = component.block(column, row);
                values.insert(values.end(), block, block + 64);
            }
        }
        out.components.push_back(std::move(values));
    }
    return out;
}

// A busy 4:4:4 baseline JPEG (the bundled writer subsamples at 90 and below).
Bytes busy_jpeg(int width, int height) {
    return support::encode_jpeg(support::numbered_image(width, height), 95);
}

uint64_t find_marker(const Bytes& jpeg, uint8_t code) {
    for (uint64_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
    }
    return 0;
}

TEST(CoefficientTransforms, OneTransformAfterAnotherEqualsTheirComposition) {
    const Bytes input = busy_jpeg(48, 32);
    for (int first = 0; first < kTransformCount; ++first) {
        const Bytes once = transformed(input, static_cast<Transform>(first));
        ASSERT_FALSE(once.empty());
        for (int second = 0; second < kTransformCount; ++second) {
            const Transform composed = then(static_cast<Transform>(first), static_cast<Transform>(second));
            EXPECT_EQ(coefficients_of(transformed(once, static_cast<Transform>(second))),
                      coefficients_of(transformed(input, composed)))
                << "transform " << first << " then " << second;
        }
    }
}

TEST(CoefficientTransforms, TheIdentityKeepsEveryCoefficientAndTheSidesFollowTheTransform) {
    const Bytes input = busy_jpeg(48, 32);
    EXPECT_EQ(coefficients_of(transformed(input, Transform::Identity)), coefficients_of(input));
    for (int t = 0; t < kTransformCount; ++t) {
        const Coefficients result = coefficients_of(transformed(input, static_cast<Transform>(t)));
        const bool exchanged = exchanges_sides(static_cast<Transform>(t));
        EXPECT_EQ(result.width, exchanged ? 32u : 48u) << t;
        EXPECT_EQ(result.height, exchanged ? 48u : 32u) << t;
    }
}

// 67 x 45 with 8 x 8 MCUs: three columns and five rows of partial blocks.
TEST(CoefficientTransforms, PartialEdgesDeclineOrAreTrimmedWhereTheTransformNeedsThem) {
    const Bytes input = busy_jpeg(67, 45);
    struct Case {
        Transform transform;
        const char* declined;  // without trim
        uint32_t trimmed_width, trimmed_height;
    };
    const Case cases[] = {
        {Transform::Identity, nullptr, 67, 45},
        {Transform::Transpose, nullptr, 45, 67},
        {Transform::MirrorLeftRight, kJpegPartialWidth, 64, 45},
        {Transform::MirrorTopBottom, kJpegPartialHeight, 67, 40},
        {Transform::Turn90, kJpegPartialWidth, 45, 64},
        {Transform::Turn270, kJpegPartialHeight, 40, 67},
        {Transform::Turn180, kJpegPartialWidth, 64, 40},
        {Transform::Transverse, kJpegPartialWidth, 40, 64},
    };
    for (const Case& c : cases) {
        const int label = static_cast<int>(c.transform);
        JpegLosslessResult result;
        const char* failure = jpeg_lossless_transform(input.data(), input.size(), c.transform, {}, &result);
        EXPECT_STREQ(failure, c.declined) << label;
        EXPECT_EQ(result.bytes == nullptr, c.declined != nullptr) << label;

        JpegLosslessOptions trim;
        trim.trim = true;
        ASSERT_EQ(jpeg_lossless_transform(input.data(), input.size(), c.transform, trim, &result), nullptr) << label;
        EXPECT_EQ(result.width, c.trimmed_width) << label;
        EXPECT_EQ(result.height, c.trimmed_height) << label;
        const Coefficients read = coefficients_of(result_bytes(result));
        EXPECT_EQ(read.width, c.trimmed_width) << label;
        EXPECT_EQ(read.height, c.trimmed_height) << label;
    }
}

TEST(CoefficientTransforms, NothingIsLeftToTrimOfAPictureNarrowerThanOneMcu) {
    const Bytes input = busy_jpeg(7, 20);
    JpegLosslessOptions trim;
    trim.trim = true;
    JpegLosslessResult result;
    EXPECT_NE(jpeg_lossless_transform(input.data(), input.size(), Transform::MirrorLeftRight, trim, &result), nullptr);
    EXPECT_EQ(result.bytes, nullptr);
}

// The segments in front of the frame that are not tables (APPn, COM) come
// out byte for byte and in order, right behind SOI.
TEST(CoefficientTransforms, TheHeadBeforeTheFrameIsKeptByteForByte) {
    const Bytes plain = busy_jpeg(16, 16);
    const uint8_t app1[] = {0xFF, 0xE1, 0x00, 0x0A, 'E', 'x', 'i', 'f', 0, 0, 0xAB, 0xCD};
    const uint8_t comment[] = {0xFF, 0xFE, 0x00, 0x05, 'h', 'i', '!'};
    Bytes input(plain.begin(), plain.begin() + 2);
    input.insert(input.end(), std::begin(app1), std::end(app1));
    input.insert(input.end(), std::begin(comment), std::end(comment));
    input.insert(input.end(), plain.begin() + 2, plain.end());
    const uint64_t frame = find_marker(input, 0xC0);
    // Every segment of the input up to its first table, in order.
    const uint64_t first_table = std::min(find_marker(input, 0xDB), frame);

    const Bytes output = transformed(input, Transform::Turn90);
    ASSERT_GE(output.size(), first_table);
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(first_table), output.begin()));
}

// What follows the picture's EOI (the secondary pictures of a
// multi-picture file) is not carried into a result whose offsets would no
// longer match; the caller learns where the picture ended.
TEST(CoefficientTransforms, DataAfterThePictureIsLeftOutAndItsPlaceReported) {
    const Bytes picture = busy_jpeg(16, 16);
    Bytes input = picture;
    const Bytes secondary = busy_jpeg(8, 8);
    input.insert(input.end(), secondary.begin(), secondary.end());
    JpegLosslessResult result;
    ASSERT_EQ(jpeg_lossless_transform(input.data(), input.size(), Transform::Turn90, {}, &result), nullptr);
    EXPECT_EQ(result.input_image_end, picture.size());
    const Bytes output = result_bytes(result);
    EXPECT_EQ(find_marker(output, 0xD9), output.size() - 2);
    EXPECT_EQ(coefficients_of(output).width, 16u);
}

// Files the reader must not misread: each declined, with its reason.
TEST(CoefficientReader, DeclinesWhatItCannotReadWithItsReason) {
    const Bytes good = busy_jpeg(32, 24);
    const uint64_t frame = find_marker(good, 0xC0);
    const uint64_t scan = find_marker(good, 0xDA);
    ASSERT_NE(frame, 0u);
    ASSERT_NE(scan, 0u);
    struct Case {
        const char* label;
        Bytes bytes;
        const char* reason;
    };
    auto with_byte = [&](uint64_t at, uint8_t value) {
        Bytes changed = good;
        changed[at] = value;
        return changed;
    };
    Bytes truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(scan + (good.size() - scan) / 2));
    truncated.push_back(0xFF);
    truncated.push_back(0xD9);
    // Three codes of length 1 where two fit (the total count unchanged).
    Bytes oversubscribed = good;
    const uint64_t counts = find_marker(good, 0xC4) + 5;
    oversubscribed[counts] = 3;
    oversubscribed[counts + 2] = static_cast<uint8_t>(good[counts + 2] + good[counts] - 3);
    Bytes huge = good;
    for (int i = 5; i < 9; ++i) huge[frame + i] = 0xFF;  // 65535 x 65535
    const std::vector<Case> cases = {
        {"arithmetic coding", with_byte(frame + 1, 0xC9), "arithmetic-coded JPEG"},
        {"lossless", with_byte(frame + 1, 0xC3), "lossless JPEG"},
        {"hierarchical", with_byte(frame + 1, 0xC5), "hierarchical JPEG"},
        {"12-bit samples", with_byte(frame + 4, 12), "JPEG samples of other than 8 bits"},
        {"scan cut in half", truncated, "JPEG scan data truncated"},
        {"Huffman codes that do not fit their lengths", oversubscribed, "JPEG table not understood"},
        {"larger than the budget", huge, "too large"},
        {"height after the scan", [&] { Bytes b = good; b[frame + 5] = 0; b[frame + 6] = 0; return b; }(),
         "JPEG height given after the first scan"},
    };
    for (const Case& c : cases) {
        CoefficientImage image;
        EXPECT_STREQ(read_jpeg_coefficients(c.bytes.data(), c.bytes.size(), &image), c.reason) << c.label;
        EXPECT_EQ(image.components[0].coefficients, nullptr) << c.label;
    }
}

// A restart marker that is not where the interval ends: declined, not
// decoded on with shifted blocks.
TEST(CoefficientReader, DeclinesAMissingRestartMarker) {
    const Bytes good = busy_jpeg(32, 24);
    const uint64_t scan = find_marker(good, 0xDA);
    // The interval of one MCU that the file claims but does not keep.
    const uint8_t restart_interval[] = {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01};
    Bytes bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(scan));
    bytes.insert(bytes.end(), std::begin(restart_interval), std::end(restart_interval));
    bytes.insert(bytes.end(), good.begin() + static_cast<std::ptrdiff_t>(scan), good.end());
    CoefficientImage image;
    const char* failure = read_jpeg_coefficients(bytes.data(), bytes.size(), &image);
    ASSERT_NE(failure, nullptr);
    EXPECT_STREQ(failure, "JPEG restart marker missing");
}

}  // namespace
