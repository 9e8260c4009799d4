// The error text's life cycle and the argument checks every export shares.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "support.h"
#include "veerpix.h"

namespace {

// Must run first in this program: nothing has touched the text yet.
TEST(ErrorText, IsEmptyBeforeAnyCall) { EXPECT_STREQ(veerpix_last_error(), ""); }

TEST(ErrorText, InitAndCleanupClearAnEarlierFailure) {
    EXPECT_EQ(veerpix_fixed("/nonexistent/in.png", "out.png", 90), 0);
    ASSERT_STRNE(veerpix_last_error(), "");
    EXPECT_EQ(veerpix_init(), 1);
    EXPECT_STREQ(veerpix_last_error(), "");

    EXPECT_EQ(veerpix_flip_h(nullptr, "out.png"), 0);
    ASSERT_STRNE(veerpix_last_error(), "");
    veerpix_cleanup();
    EXPECT_STREQ(veerpix_last_error(), "");
    // Calls after cleanup still work.
    EXPECT_EQ(veerpix_flip_v(nullptr, "out.png"), 0);
    EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
}

TEST(ErrorText, LongMessageIsCutAfter511Characters) {
    std::string path = "/nonexistent/" + std::string(600 - 13, 'p');
    ASSERT_EQ(path.size(), 600u);
    EXPECT_EQ(veerpix_fixed(path.c_str(), "out.png", 90), 0);
    std::string expected = "cannot read input file: " + path.substr(0, 487);
    EXPECT_EQ(std::strlen(veerpix_last_error()), 511u);
    EXPECT_EQ(veerpix_last_error(), expected);
}

TEST(ErrorText, ReturnsTheSameBufferEveryTime) { EXPECT_EQ(veerpix_last_error(), veerpix_last_error()); }

struct Operation {
    const char* name;
    std::function<int(const char*, const char*)> call;
};

const Operation kOperations[] = {
    {"fixed", [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"flip_h", veerpix_flip_h},
    {"flip_v", veerpix_flip_v},
    {"angle", [](const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 0, 0, 0); }},
    {"auto_orient", veerpix_auto_orient},
};

class EveryOperation : public support::ScratchTest {};

TEST_F(EveryOperation, RefusesNullPathsAndTouchesNoFile) {
    std::string input = put("in.png", support::encode_png(support::numbered_image(3, 2)));
    std::string output = path("out.png");
    for (const Operation& op : kOperations) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(op.call(nullptr, output.c_str()), 0);
        EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
        EXPECT_EQ(op.call(input.c_str(), nullptr), 0);
        EXPECT_STREQ(veerpix_last_error(), "input/output must not be NULL");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

TEST_F(EveryOperation, SuccessAfterFailureLeavesAnEmptyText) {
    std::string input = put("in.png", support::encode_png(support::numbered_image(3, 2)));
    std::string output = path("out.png");
    for (const Operation& op : kOperations) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(op.call(path("missing.png").c_str(), output.c_str()), 0);
        EXPECT_EQ(veerpix_last_error(), "cannot read input file: " + path("missing.png"));
        EXPECT_EQ(op.call(input.c_str(), output.c_str()), 1);
        EXPECT_STREQ(veerpix_last_error(), "");
    }
}

TEST_F(EveryOperation, ReportsTheCatalogueMessageForBadInputs) {
    struct Case {
        const char* label;
        support::Bytes bytes;
        const char* message_start;
    } cases[] = {
        {"empty file", {}, "cannot read input file: "},
        {"GIF named .png", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0}, "unsupported input format: "},
        {"lower-case bm", {'b', 'm', 0, 0, 0, 0}, "unsupported input format: "},
        {"seven PNG bytes", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A}, "unsupported input format: "},
        {"bare JPEG signature", {0xFF, 0xD8}, "cannot decode image: "},
        {"PNG signature, no body", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0}, "cannot decode image: "},
        {"BMP signature, no body", {'B', 'M', 0, 0}, "cannot decode image: "},
    };
    for (const Case& c : cases) {
        std::string input = put("bad.png", c.bytes);
        std::string output = path("out.png");
        for (const Operation& op : kOperations) {
            SCOPED_TRACE(std::string(c.label) + " / " + op.name);
            int result = op.call(input.c_str(), output.c_str());
            // Automatic orientation copies a file without Orientation into
            // its own format without decoding it: here the PNG into .png.
            bool copied = std::string(op.name) == "auto_orient" &&
                          std::string(c.message_start) == "cannot decode image: " && c.bytes[0] == 0x89;
            if (copied) {
                EXPECT_EQ(result, 1);
                std::filesystem::remove(output);
                continue;
            }
            EXPECT_EQ(result, 0);
            std::string message = veerpix_last_error();
            EXPECT_EQ(message.rfind(std::string(c.message_start) + input, 0), 0u) << message;
            EXPECT_FALSE(std::filesystem::exists(output));
        }
    }
}

TEST_F(EveryOperation, DecodeFailureQuotesTheDecodersReason) {
    std::string input = put("sig.jpg", {0xFF, 0xD8});
    EXPECT_EQ(veerpix_flip_h(input.c_str(), path("out.jpg").c_str()), 0);
    std::string message = veerpix_last_error();
    std::string prefix = "cannot decode image: " + input + " (";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size() + 1);
    EXPECT_EQ(message.back(), ')');
}

}  // namespace
