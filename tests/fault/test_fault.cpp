// Every allocation, open, read, write, close and rename of an operation
// fails in turn, one per run, on each road through the library. A run
// must end in a failure with a message of the catalogue that leaves the
// output path as it was, or, where the failed call was not needed, in a
// success with the right output; never in a crash, a leaked block or
// descriptor, or a temporary file left behind.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fault_seam.h"
#include "exif_builder.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;

// Big-endian TIFF, so that the other byte order than the sample's is covered.
Bytes with_orientation(const Bytes& jpeg, uint16_t value) {
    return fixture::insert_after_soi(jpeg, fixture::orientation_app1(true, value));
}

const support::Image& picture() {
    static const support::Image image = support::numbered_image(6, 4);
    return image;
}

Bytes plain_jpeg() { return support::encode_jpeg(picture()); }
Bytes tagged_jpeg(uint16_t orientation) { return with_orientation(plain_jpeg(), orientation); }

using Operation = std::function<int(const char* input, const char* output)>;

struct Scenario {
    const char* label;
    const char* input_name;
    std::function<Bytes()> input;
    const char* output_name;
    Operation run;
};

const Scenario kScenarios[] = {
    {"FixedLosslessTag", "in.jpg", [] { return tagged_jpeg(1); }, "out.jpg",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"FlipHLosslessTag", "in.jpg", [] { return tagged_jpeg(3); }, "out.jpg", veerpix_flip_h},
    {"FlipVLosslessTag", "in.jpg", [] { return tagged_jpeg(8); }, "out.jpg", veerpix_flip_v},
    {"FixedDecodeJpegToPng", "in.jpg", plain_jpeg, "out.png",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 270); }},
    {"FixedDecodeTaggedJpegToPng", "in.jpg", [] { return tagged_jpeg(6); }, "out.png",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"FlipHDecodePngToBmp", "in.png", [] { return support::encode_png(picture()); }, "out.bmp",
     veerpix_flip_h},
    {"FlipVDecodeBmpToJpeg", "in.bmp", [] { return support::encode_bmp(picture()); }, "out.jpg",
     veerpix_flip_v},
    {"AngleDecodePngToPng", "in.png", [] { return support::encode_png(picture()); }, "out.png",
     [](const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 10, 20, 30); }},
    {"AngleDecodeTaggedJpegToBmp", "in.jpg", [] { return tagged_jpeg(7); }, "out.bmp",
     [](const char* in, const char* out) { return veerpix_angle(in, out, -20.0f, 0, 0, 0); }},
    {"AutoOrientCopy", "in.jpg", [] { return tagged_jpeg(1); }, "out.jpg", veerpix_auto_orient},
    {"AutoOrientIntoAnotherFormat", "in.jpg", [] { return tagged_jpeg(1); }, "out.png",
     veerpix_auto_orient},
    {"AutoOrientTransform", "in.jpg", [] { return tagged_jpeg(6); }, "out.jpg",
     veerpix_auto_orient},
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.label; }

enum class Before { Absent, OldFile, NamesInput };

const char* before_name(Before before) {
    switch (before) {
        case Before::Absent: return "output absent";
        case Before::OldFile: return "output exists";
        default: return "output names input";
    }
}

// The ways each call fails in life; open's errno decides between a retry,
// the in-place fallback and a plain failure.
std::vector<int> failures_of(fault::Call call) {
    switch (call) {
        case fault::Call::Fopen: return {EACCES};
        case fault::Call::Open: return {EEXIST, EACCES, ENOSPC};
        case fault::Call::Fread: return {EIO};
        case fault::Call::Fwrite: return {ENOSPC};
        case fault::Call::Fclose: return {EIO};
        case fault::Call::Rename: return {EIO};
        default: return {ENOMEM};
    }
}

int open_descriptors() {
    int count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder)) ++count;
        closedir(folder);
    }
    return count;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The messages a failing system can cause; the format and EXIF messages
// are about the file's bytes, which no failed call changes. The decoder
// reads the bytes already in memory, so only its allocations fail here;
// it does not always say so (a failed allocation while it probes the
// format reads as "unknown image type"), so any decoder reason is taken.
bool explains_a_failed_call(const std::string& message, const std::string& in,
                            const std::string& out) {
    if (message == "out of memory") return true;
    if (message == "cannot read input file: " + in) return true;
    if (message == "failed to write output: " + out) return true;
    const std::string decode = "cannot decode image: " + in + " (";
    return starts_with(message, decode) && message.size() > decode.size() + 1 &&
           message.back() == ')';
}

class FaultInjection : public support::ScratchTest,
                       public ::testing::WithParamInterface<Scenario> {
protected:
    struct Setup {
        std::string input, output;
        Bytes input_bytes;
        Bytes output_before;  // empty when there was no file
        std::vector<std::string> names_before;
    };

    Setup prepare(Before before) {
        const Scenario& scenario = GetParam();
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            std::filesystem::remove(entry.path());
        }
        Setup setup;
        setup.input_bytes = scenario.input();
        setup.input = put(scenario.input_name, setup.input_bytes);
        setup.output = path(scenario.output_name);
        if (before == Before::OldFile) {
            setup.output_before = {'o', 'l', 'd', '\n'};
            put(scenario.output_name, setup.output_before);
        } else if (before == Before::NamesInput) {
            setup.output = setup.input;
            setup.output_before = setup.input_bytes;
        }
        setup.names_before = listing();
        return setup;
    }

    // What is wrong with one run that failed call `index`, or "".
    std::string judge(const Setup& setup, int result, const fault::Tally& tally,
                      const Bytes& clean_output, int descriptors_before) {
        const std::string message = veerpix_last_error();
        if (!tally.injected) return "the failing call was never reached";
        if (tally.record_overflow) return "too many live blocks to follow";
        if (tally.live_blocks != 0) {
            return std::to_string(tally.live_blocks) + " block(s) leaked";
        }
        if (open_descriptors() != descriptors_before) return "a descriptor leaked";
        const bool output_is_input = setup.output == setup.input;
        if (!output_is_input && support::read_bytes(setup.input) != setup.input_bytes) {
            return "the input changed";
        }
        if (result == 1) {
            if (!message.empty()) return "success with message \"" + message + "\"";
            if (support::read_bytes(setup.output) != clean_output) {
                return "success with an output unlike the clean run's";
            }
            std::vector<std::string> names = setup.names_before;
            if (!output_is_input && setup.output_before.empty()) {
                names.push_back(GetParam().output_name);
                std::sort(names.begin(), names.end());
            }
            if (listing() != names) return "files left beside the output";
            return "";
        }
        if (result != 0) return "result " + std::to_string(result);
        if (!explains_a_failed_call(message, setup.input, setup.output)) {
            return "message \"" + message + "\"";
        }
        const bool exists = std::filesystem::exists(setup.output);
        if (setup.output_before.empty() && exists) return "an output was created";
        if (!setup.output_before.empty() &&
            (!exists || support::read_bytes(setup.output) != setup.output_before)) {
            return "the old output was lost";
        }
        if (listing() != setup.names_before) return "a temporary file was left behind";
        return "";
    }
};

TEST_P(FaultInjection, EachCallFailsInTurn) {
    const Scenario& scenario = GetParam();
    for (Before before : {Before::Absent, Before::OldFile, Before::NamesInput}) {
        SCOPED_TRACE(before_name(before));
        Setup setup = prepare(before);
        fault::arm(0, 0);
        const int clean_result = scenario.run(setup.input.c_str(), setup.output.c_str());
        const fault::Tally clean = fault::disarm();
        ASSERT_EQ(clean_result, 1) << veerpix_last_error();
        ASSERT_EQ(clean.live_blocks, 0u);
        const Bytes clean_output = support::read_bytes(setup.output);
        std::vector<fault::Call> calls;
        for (uint64_t index = 1; index <= clean.total; ++index) {
            calls.push_back(fault::logged_call(index));
        }

        int failures = 0, successes = 0, problems = 0;
        for (uint64_t index = 1; index <= calls.size(); ++index) {
            for (int error : failures_of(calls[index - 1])) {
                setup = prepare(before);
                const int descriptors = open_descriptors();
                fault::arm(index, error);
                const int result = scenario.run(setup.input.c_str(), setup.output.c_str());
                const fault::Tally tally = fault::disarm();
                const std::string problem = judge(setup, result, tally, clean_output, descriptors);
                (result == 1 ? successes : failures) += 1;
                if (problem.empty()) continue;
                ADD_FAILURE() << "call " << index << " of " << calls.size() << " ("
                              << fault::call_name(calls[index - 1]) << ", "
                              << std::strerror(error) << "): " << problem
                              << "; message: " << veerpix_last_error();
                if (++problems == 10) return;
            }
        }
        std::printf("[ fault    ] %s, %s: %zu calls (%s); %d runs failed cleanly, %d succeeded\n",
                    scenario.label, before_name(before), calls.size(),
                    fault::describe(clean).c_str(), failures, successes);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRoad, FaultInjection, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
