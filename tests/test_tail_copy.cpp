// The roads that change no pixels read a JPEG only up to its Exif segment
// and copy the rest of the file into the output: the result must be the
// bytes that the whole file rewritten in memory gives, and an input that
// changes between the two reads must not be mixed into an output.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "common/error.h"
#include "metadata/exif.h"
#include "exif_builder.h"
#include "formats/image_io.h"
#include "platform/output.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;

// Comment segments of `total` bytes or a little more, each one full.
Bytes comment_segments(size_t total, uint8_t code = 0xFE) {
    Bytes segments;
    for (uint32_t index = 0; segments.size() < total; ++index) {
        const size_t payload = 65533;
        segments.insert(segments.end(), {0xFF, code, 0xFF, 0xFF});
        for (size_t i = 0; i < payload; ++i) segments.push_back(static_cast<uint8_t>(i * 7 + index));
    }
    return segments;
}

// A decodable JPEG with an Orientation and megabytes behind its Exif
// segment; `before_exif` bytes of APP2 segments stand before it.
Bytes large_tagged_jpeg(bool big_endian, uint16_t orientation, size_t behind, size_t before_exif = 0) {
    const Bytes picture = support::encode_jpeg(support::numbered_image(40, 24));
    Bytes jpeg = fixture::insert_after_soi(picture, comment_segments(behind));
    jpeg = fixture::insert_after_soi(jpeg, fixture::orientation_app1(big_endian, orientation));
    if (before_exif) jpeg = fixture::insert_after_soi(jpeg, comment_segments(before_exif, 0xE2));
    return jpeg;
}

// The result of the earlier road: the whole file in memory, its
// Orientation rewritten there.
Bytes rewritten_whole(Bytes jpeg, int op) {
    char msg[128] = {};
    const int orientation = qv_exif_parse_orientation(jpeg.data(), jpeg.size(), msg, sizeof msg);
    const int composed = qv_exif_compose_orientation(op, orientation);
    jpeg.resize(jpeg.size() + 12);
    uint64_t length = 0;
    const int rewritten =
        qv_exif_rewrite_orientation(jpeg.data(), jpeg.size() - 12, composed, &length, msg, sizeof msg);
    EXPECT_EQ(rewritten, 1) << msg;
    jpeg.resize(length);
    return jpeg;
}

using Operation = std::function<int(const char* input, const char* output)>;

class TailCopy : public support::ScratchTest {};

TEST_F(TailCopy, LargeTaggedJpegsRetaggedGiveTheBytesOfTheWholeFileRewritten) {
    const struct {
        const char* label;
        Operation run;
        int op;
    } operations[] = {
        {"turn 90", [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); },
         ORIENT_OP_ROT90},
        {"turn 180", [](const char* in, const char* out) { return veerpix_fixed(in, out, 180); },
         ORIENT_OP_ROT180},
        {"turn 270", [](const char* in, const char* out) { return veerpix_fixed(in, out, 270); },
         ORIENT_OP_ROT270},
        {"mirror", veerpix_flip_h, ORIENT_OP_FLIP_H},
        {"flip", veerpix_flip_v, ORIENT_OP_FLIP_V},
    };
    const struct {
        const char* label;
        Bytes input;
    } inputs[] = {
        {"big-endian, 4 MB behind", large_tagged_jpeg(true, 6, 4 << 20)},
        {"little-endian, 3 MB behind", large_tagged_jpeg(false, 1, 3 << 20)},
        // The start read first ends inside the segments before the Exif one.
        {"Exif behind 200 KB of APP2", large_tagged_jpeg(true, 8, 1 << 20, 200 << 10)},
    };
    for (const auto& input : inputs) {
        for (const auto& operation : operations) {
            SCOPED_TRACE(std::string(input.label) + ", " + operation.label);
            const Bytes expected = rewritten_whole(input.input, operation.op);
            const std::string in = put("in.jpg", input.input);
            const std::string out = path("out.jpg");
            put("out.jpg", {'o', 'l', 'd'});
            ASSERT_EQ(operation.run(in.c_str(), out.c_str()), 1) << veerpix_last_error();
            EXPECT_TRUE(support::read_bytes(out) == expected) << "a new file";
            ASSERT_EQ(operation.run(in.c_str(), in.c_str()), 1) << veerpix_last_error();
            EXPECT_TRUE(support::read_bytes(in) == expected) << "the input replaced";
            EXPECT_EQ(listing(), (std::vector<std::string>{"in.jpg", "out.jpg"}));
        }
    }
}

// Automatic orientation of an upright JPEG copies it as it is.
TEST_F(TailCopy, AnUprightLargeJpegIsCopiedAsItIs) {
    const Bytes input = large_tagged_jpeg(false, 1, 3 << 20);
    const std::string in = put("in.jpg", input);
    const std::string out = path("out.jpg");
    ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1) << veerpix_last_error();
    EXPECT_TRUE(support::read_bytes(out) == input);
}

// The start was read from one file and the rest would come from another
// (a writer appending, or cutting the file): nothing is written.
TEST_F(TailCopy, AnInputThatChangesSizeAfterItsStartWasReadIsRefused) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows reads the whole input at once";
#endif
    const Bytes input = large_tagged_jpeg(true, 3, 1 << 20);
    const struct {
        const char* label;
        Bytes changed;
    } changes[] = {
        {"grown", [&] {
             Bytes grown = input;
             grown.push_back(0);
             return grown;
         }()},
        {"cut", Bytes(input.begin(), input.end() - 4096)},
    };
    for (const auto& change : changes) {
        for (bool old_output : {false, true}) {
            SCOPED_TRACE(std::string(change.label) + (old_output ? ", output exists" : ", no output"));
            std::filesystem::remove_all(path("out.jpg"));
            const std::string in = put("in.jpg", input);
            const std::string out = path("out.jpg");
            if (old_output) put("out.jpg", {'o', 'l', 'd'});
            uint64_t length = 0;
            UnreadRest rest;
            FileIdentity identity;
            malloc_ptr<uint8_t> head = read_head(in.c_str(), &length, &rest, &identity);
            ASSERT_TRUE(head);
            ASSERT_FALSE(rest.empty()) << "the file is read in two parts";
            ASSERT_LT(length, input.size());
            // Rewritten in place, so that the inode and the open descriptor stay.
            support::write_bytes(in, change.changed);
            clear_err();
            EXPECT_EQ(write_file(out.c_str(), std::move(head), length, &identity, &rest.tail), 0);
            EXPECT_EQ(std::string(veerpix_last_error()), "failed to write output: " + out);
            if (old_output) {
                EXPECT_EQ(support::read_bytes(out), (Bytes{'o', 'l', 'd'}));
            } else {
                EXPECT_FALSE(std::filesystem::exists(out));
            }
            EXPECT_EQ(listing().size(), old_output ? 2u : 1u) << "no temporary left";
        }
    }
}

// The decode road reads the rest; a file cut meanwhile is not read as whole.
TEST_F(TailCopy, TheRestOfACutFileIsNotRead) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows reads the whole input at once";
#endif
    const Bytes input = large_tagged_jpeg(false, 6, 1 << 20);
    const std::string in = put("in.jpg", input);
    uint64_t length = 0;
    UnreadRest rest;
    malloc_ptr<uint8_t> bytes = read_head(in.c_str(), &length, &rest, nullptr);
    ASSERT_TRUE(bytes);
    support::write_bytes(in, Bytes(input.begin(), input.end() - 10));
    EXPECT_FALSE(read_rest(&bytes, &length, &rest));
}

}  // namespace

// Copying metadata after a lossless turn tells that the output's picture is
// the source's own from where it lies in the two files (without reading
// either whole), and leaves the output alone; a re-encoded output of the
// same large photo still gets the metadata, upright.
TEST_F(TailCopy, MetadataCopiedAfterTurnsOfALargePhotoSparesOnlyTheLosslessResult) {
    const Bytes picture = support::encode_jpeg(support::numbered_image(512, 512));
    const Bytes input = fixture::insert_after_soi(picture, fixture::orientation_app1(true, 6));
    ASSERT_GT(input.size(), size_t{256} << 10) << "the picture must lie past the start read first";
    const std::string in = put("in.jpg", input);

    const std::string lossless = path("lossless.jpg");
    ASSERT_EQ(veerpix_fixed(in.c_str(), lossless.c_str(), 180), 1) << veerpix_last_error();
    const Bytes turned = support::read_bytes(lossless);
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), lossless.c_str()), 1) << veerpix_last_error();
    EXPECT_TRUE(support::read_bytes(lossless) == turned) << "the lossless result was rewritten";

    const std::string reencoded = path("reencoded.jpg");
    ASSERT_EQ(veerpix_angle(in.c_str(), reencoded.c_str(), 0.0f, 0, 0, 0), 1) << veerpix_last_error();
    ASSERT_EQ(veerpix_copy_metadata(in.c_str(), reencoded.c_str()), 1) << veerpix_last_error();
    const Bytes with_metadata = support::read_bytes(reencoded);
    char msg[128] = {};
    EXPECT_EQ(qv_exif_parse_orientation(with_metadata.data(), with_metadata.size(), msg, sizeof msg), 1)
        << msg;
}
