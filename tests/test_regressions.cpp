// Inputs that once crashed the library or its decoder, kept byte for byte
// under tests/data/regressions: every operation on each gives the sound
// result, and a failure leaves no output.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;

std::string regression_input(const std::string& name) {
    return std::string(VEERPIX_TEST_DATA) + "/regressions/" + name;
}

enum class Operation { Fixed90, FlipH, FlipV, Angle, AutoOrient };

int run(Operation operation, const std::string& input, const std::string& output) {
    switch (operation) {
        case Operation::Fixed90: return veerpix_fixed(input.c_str(), output.c_str(), 90);
        case Operation::FlipH: return veerpix_flip_h(input.c_str(), output.c_str());
        case Operation::FlipV: return veerpix_flip_v(input.c_str(), output.c_str());
        case Operation::Angle: return veerpix_angle(input.c_str(), output.c_str(), 30.0f, 0, 0, 0);
        case Operation::AutoOrient: return veerpix_auto_orient(input.c_str(), output.c_str());
    }
    return -1;
}

const char* name_of(Operation operation) {
    static const char* const names[] = {"fixed 90", "flip_h", "flip_v", "angle", "auto_orient"};
    return names[static_cast<int>(operation)];
}

// What an operation must do with the input: fail with this message (where
// "%s" stands for the input path), or copy the input unchanged.
struct Expectation {
    Operation operation;
    const char* message;  // null: a byte-for-byte copy
};

struct Case {
    const char* file;
    const char* output_name;
    std::vector<Expectation> expectations;
};

std::string with_path(const char* message, const std::string& path) {
    std::string text = message;
    const size_t at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, path);
}

class Regressions : public support::ScratchTest {};

TEST_F(Regressions, EveryOperationGivesTheSoundResult) {
    const char* const kDhtRefusal = "cannot decode image: %s (JPEG Huffman table holds more than 256 codes)";
    const char* const kNoPixels = "cannot decode image: %s (BMP image has no pixels)";
    const Case cases[] = {
        // A DHT of 654 codes: the decoder wrote past its 256 values and
        // crashed decoding the scan (published for the decoder's 2.27).
        {"decoder-dht-654-codes.jpg", "out.jpg",
         {{Operation::Fixed90, kDhtRefusal},
          {Operation::FlipH, kDhtRefusal},
          {Operation::FlipV, kDhtRefusal},
          {Operation::Angle, kDhtRefusal},
          {Operation::AutoOrient, nullptr}}},
        // A BMP of width 0 (fuzz_decode): the decoder handed back an empty
        // raster as a picture; quarter turns then reported a failure to
        // write, and the free angle wrote a picture of background alone.
        // Asked into PNG, automatic orientation decodes it too.
        {"bmp-width-0.bmp", "out.png",
         {{Operation::Fixed90, kNoPixels},
          {Operation::FlipH, kNoPixels},
          {Operation::FlipV, kNoPixels},
          {Operation::Angle, kNoPixels},
          {Operation::AutoOrient, kNoPixels}}},
    };
    for (const Case& c : cases) {
        const std::string input = regression_input(c.file);
        const Bytes original = support::read_bytes(input);
        ASSERT_FALSE(original.empty()) << c.file;
        for (const Expectation& e : c.expectations) {
            const std::string output = path(c.output_name);
            const std::string label = std::string(c.file) + ": " + name_of(e.operation);
            const int result = run(e.operation, input, output);
            if (e.message) {
                EXPECT_EQ(result, 0) << label;
                EXPECT_EQ(veerpix_last_error(), with_path(e.message, input)) << label;
                EXPECT_FALSE(std::filesystem::exists(output)) << label;
            } else {
                EXPECT_EQ(result, 1) << label << ": " << veerpix_last_error();
                EXPECT_EQ(support::read_bytes(output), original) << label;
            }
            std::filesystem::remove(output);
            EXPECT_EQ(support::read_bytes(input), original) << label;
        }
    }
}

}  // namespace
