// The coefficient road judged by the peer: for every transform, sampling
// and coding, our result decoded by djpeg equals, pixel for pixel, the
// peer's own lossless result (jpegtran -perfect, or -trim for partial
// edges) decoded by djpeg; and it is at most 1% larger than the peer's
// -optimize. Inputs are made by cjpeg (and ImageMagick for CMYK) from a
// small PPM written here. Skipped, saying why, where the tools are missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "formats/jpeg_lossless.h"
#include "peer_tools.h"
#include "support.h"

namespace {

using support::Bytes;
using peer_tools::has_program;
using peer_tools::run;
using peer_tools::textured_ppm;


// The tools, found once; the reason for a skip when one is missing.
struct Peers {
    std::string missing;
    bool imagemagick = false;
};

const Peers& peers() {
    static const Peers found = [] {
        Peers p;
        for (const char* tool : {"/usr/bin/cjpeg", "/usr/bin/djpeg", "/usr/bin/jpegtran"}) {
            if (!has_program(tool)) p.missing += std::string(p.missing.empty() ? "" : ", ") + tool;
        }
        if (!p.missing.empty()) p.missing += " not found (Debian: libjpeg-turbo-progs)";
        p.imagemagick = has_program("/usr/bin/convert");
        return p;
    }();
    return found;
}



struct Sampling {
    const char* label;
    const char* cjpeg_options;  // null: CMYK by ImageMagick
};

// The label in test names and listings (not the bytes of the record).
void PrintTo(const Sampling& sampling, std::ostream* out) { *out << sampling.label; }

const Sampling kSamplings[] = {
    {"444", "-sample 1x1"}, {"422", "-sample 2x1"}, {"420", "-sample 2x2"},
    {"440", "-sample 1x2"}, {"grey", "-grayscale"},  {"cmyk", nullptr},
};

struct Coding {
    const char* label;
    const char* jpegtran_options;  // how the baseline file is recoded
    // The peer drops restart markers unless asked: its optimised result,
    // which ours is held against, gets the same interval as ours keeps.
    const char* restart_option;
};

const Coding kCodings[] = {
    {"baseline", nullptr, ""},
    {"progressive", "-progressive", ""},
    {"restarts", "-restart 2B", " -restart 2B"},
    {"progressive_restarts", "-progressive -restart 3B", " -restart 3B"},
};

struct Size {
    const char* label;
    int width, height;
    bool trim;
};

// 48 x 32 is whole for every MCU here (8 or 16 pixels a side); 67 x 45
// is partial on both sides for every one.
const Size kSizes[] = {{"whole", 48, 32, false}, {"partial_trimmed", 67, 45, true}};

// Our transform and the peer's options that make the same one: our
// positive angles turn counter-clockwise, the peer's clockwise.
struct TransformCase {
    Transform transform;
    const char* peer_options;
};

const TransformCase kTransforms[] = {
    {Transform::Identity, ""},
    {Transform::Turn90, "-rotate 270"},
    {Transform::Turn180, "-rotate 180"},
    {Transform::Turn270, "-rotate 90"},
    {Transform::MirrorLeftRight, "-flip horizontal"},
    {Transform::MirrorTopBottom, "-flip vertical"},
    {Transform::Transpose, "-transpose"},
    {Transform::Transverse, "-transverse"},
};

class PeerMatrix : public support::ScratchTest, public ::testing::WithParamInterface<Sampling> {
protected:
    void SetUp() override {
        support::ScratchTest::SetUp();
        if (!peers().missing.empty()) GTEST_SKIP() << peers().missing;
    }

    // The input of one sampling, size and coding, made by the tools.
    std::string make_input(const Sampling& sampling, const Size& size, const Coding& coding) {
        const std::string ppm = put("in.ppm", textured_ppm(size.width, size.height));
        const std::string base = path("base.jpg");
        const std::string command =
            sampling.cjpeg_options
                ? "/usr/bin/cjpeg -quality 90 " + std::string(sampling.cjpeg_options) + " -outfile " + base + " " + ppm
                : "/usr/bin/convert " + ppm + " -colorspace CMYK -quality 90 " + base;
        if (!run(command)) return {};
        if (!coding.jpegtran_options) return base;
        const std::string recoded = path("input.jpg");
        if (!run("/usr/bin/jpegtran -copy all " + std::string(coding.jpegtran_options) + " -outfile " + recoded + " " + base)) {
            return {};
        }
        return recoded;
    }

    Bytes decoded(const std::string& jpeg) {
        const std::string pnm = jpeg + ".pnm";
        if (!run("/usr/bin/djpeg -pnm -outfile " + pnm + " " + jpeg)) return {};
        return support::read_bytes(pnm);
    }
};

// Sizes summed over the cases, for the figures the run prints.
struct SizeTotals {
    uint64_t ours = 0, peer_optimized = 0, progressive_inputs = 0, ours_of_progressive = 0;
};

TEST_P(PeerMatrix, EveryTransformSizeAndCodingDecodesAsThePeersLosslessResult) {
    const Sampling& sampling = GetParam();
    if (!sampling.cjpeg_options && !peers().imagemagick) {
        GTEST_SKIP() << "CMYK inputs need /usr/bin/convert (Debian: imagemagick)";
    }
    SizeTotals totals;
    int cases = 0;
    for (const Size& size : kSizes) {
        for (const Coding& coding : kCodings) {
            const std::string input = make_input(sampling, size, coding);
            ASSERT_FALSE(input.empty()) << sampling.label << " " << coding.label;
            const Bytes input_bytes = support::read_bytes(input);
            for (const TransformCase& t : kTransforms) {
                const std::string label = std::string(sampling.label) + " " + size.label + " " + coding.label +
                                          " transform " + std::to_string(static_cast<int>(t.transform));
                JpegLosslessOptions options;
                options.trim = size.trim;
                JpegLosslessResult result;
                const char* failure =
                    jpeg_lossless_transform(input_bytes.data(), input_bytes.size(), t.transform, options, &result);
                ASSERT_EQ(failure, nullptr) << label << ": " << failure;
                const std::string ours = put("ours.jpg", Bytes(result.bytes.get(), result.bytes.get() + result.length));

                const std::string mode = size.trim ? " -trim " : " -perfect ";
                const std::string peer = path("peer.jpg");
                ASSERT_TRUE(run("/usr/bin/jpegtran" + mode + t.peer_options + " -outfile " + peer + " " + input)) << label;
                const Bytes our_pixels = decoded(ours);
                ASSERT_FALSE(our_pixels.empty()) << label << ": djpeg refused our result";
                EXPECT_EQ(our_pixels, decoded(peer)) << label;

                const std::string optimized = path("optimized.jpg");
                ASSERT_TRUE(run("/usr/bin/jpegtran -optimize" + std::string(coding.restart_option) + mode +
                                t.peer_options + " -outfile " + optimized + " " + input));
                const uint64_t peer_size = support::read_bytes(optimized).size();
                EXPECT_LE(result.length * 100, peer_size * 101)
                    << label << ": " << result.length << " bytes against the peer's " << peer_size;
                totals.ours += result.length;
                totals.peer_optimized += peer_size;
                if (result.input_progressive) {
                    totals.progressive_inputs += input_bytes.size();
                    totals.ours_of_progressive += result.length;
                }
                ++cases;
            }
        }
    }
    std::printf("%s: %d cases decode as the peer's; %llu bytes against the peer's optimised %llu (%.2f%%); "
                "progressive inputs %llu bytes, our baseline results %llu (%+.2f%%)\n",
                sampling.label, cases, static_cast<unsigned long long>(totals.ours),
                static_cast<unsigned long long>(totals.peer_optimized),
                100.0 * (double(totals.ours) / double(totals.peer_optimized) - 1),
                static_cast<unsigned long long>(totals.progressive_inputs),
                static_cast<unsigned long long>(totals.ours_of_progressive),
                100.0 * (double(totals.ours_of_progressive) / double(totals.progressive_inputs) - 1));
}

// Without trim, the road declines exactly where the peer's -perfect does,
// and names the side: a partial width or height that the transform would
// carry to the left or top.
TEST_P(PeerMatrix, DeclinesExactlyWhereThePeerCannotBePerfect) {
    const Sampling& sampling = GetParam();
    if (!sampling.cjpeg_options && !peers().imagemagick) {
        GTEST_SKIP() << "CMYK inputs need /usr/bin/convert (Debian: imagemagick)";
    }
    const Size sizes[] = {{"width partial", 67, 32, false}, {"height partial", 48, 45, false}, {"both", 67, 45, false}};
    for (const Size& size : sizes) {
        const std::string input = make_input(sampling, size, kCodings[0]);
        const Bytes input_bytes = support::read_bytes(input);
        for (const TransformCase& t : kTransforms) {
            const std::string label = std::string(sampling.label) + " " + size.label + " transform " +
                                      std::to_string(static_cast<int>(t.transform));
            JpegLosslessResult result;
            const char* failure = jpeg_lossless_transform(input_bytes.data(), input_bytes.size(), t.transform,
                                                          JpegLosslessOptions{}, &result);
            const bool peer_perfect = run("/usr/bin/jpegtran -perfect " + std::string(t.peer_options) + " -outfile " +
                                          path("p.jpg") + " " + input + " 2>/dev/null");
            EXPECT_EQ(failure == nullptr, peer_perfect) << label << ": " << (failure ? failure : "done");
            if (failure) {
                const TransformMap& map = transform_map(t.transform);
                const bool width_needed = map.columns_reversed && size.width % result.mcu_width != 0;
                EXPECT_STREQ(failure, width_needed ? kJpegPartialWidth : kJpegPartialHeight) << label;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samplings, PeerMatrix, ::testing::ValuesIn(kSamplings),
                         [](const ::testing::TestParamInfo<Sampling>& info) { return std::string(info.param.label); });

}  // namespace
