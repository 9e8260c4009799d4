// Every allocation, open, stat, read, write, flush, close, link and rename
// of an operation fails in turn, one per run, on each road through the library. A run
// must end in a failure with a message of the catalogue that leaves the
// output path as it was, or, where the failed call was not needed, in a
// success with the right output; never in a crash, a leaked block or
// descriptor, or a temporary file left behind.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fault_seam.h"
#include "descriptors.h"
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

// A plain JPEG with an RGB colour profile of 300 bytes in one APP2 segment,
// which the decode road carries into its output.
Bytes jpeg_with_profile() {
    Bytes segment = {0xFF, 0xE2, 0x01, 0x3C, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
    Bytes profile(300, 0x5A);
    profile[0] = 0, profile[1] = 0, profile[2] = 0x01, profile[3] = 0x2C;  // its size
    std::memcpy(&profile[16], "RGB ", 4);
    std::memcpy(&profile[36], "acsp", 4);
    segment.insert(segment.end(), profile.begin(), profile.end());
    return fixture::insert_after_soi(plain_jpeg(), segment);
}

// A tagged JPEG with 300 KB of comments behind its Exif segment: the
// lossless roads read its start and copy the rest from file to file.
Bytes large_tagged_jpeg(uint16_t orientation) {
    Bytes comments;
    while (comments.size() < (300 << 10)) {
        comments.insert(comments.end(), {0xFF, 0xFE, 0xFF, 0xFF});
        comments.resize(comments.size() + 65533, static_cast<uint8_t>(comments.size()));
    }
    return with_orientation(fixture::insert_after_soi(plain_jpeg(), comments), orientation);
}

using Operation = std::function<int(const char* input, const char* output)>;

// The EXIF, XMP and profile read, patched and written with the picture.
int transform_keeping_metadata(const char* input, const char* output, int transform) {
    veerpix_options options{};
    options.size = sizeof options;
    options.flags = VEERPIX_KEEP_METADATA;
    return veerpix_transform(input, output, transform, &options, nullptr);
}

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
    {"FlipHDecodeJpegWithProfileToPng", "in.jpg", jpeg_with_profile, "out.png", veerpix_flip_h},
    {"FlipVDecodeJpegWithProfileToJpeg", "in.jpg", jpeg_with_profile, "out.jpg", veerpix_flip_v},
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
    {"FixedLosslessTagLargeFile", "in.jpg", [] { return large_tagged_jpeg(6); }, "out.jpg",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"AutoOrientCopyLargeFile", "in.jpg", [] { return large_tagged_jpeg(1); }, "out.jpg",
     veerpix_auto_orient},
    {"FixedDecodeLargeTaggedJpegToPng", "in.jpg", [] { return large_tagged_jpeg(6); }, "out.png",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"AutoOrientCopy", "in.jpg", [] { return tagged_jpeg(1); }, "out.jpg", veerpix_auto_orient},
    {"AutoOrientIntoAnotherFormat", "in.jpg", [] { return tagged_jpeg(1); }, "out.png",
     veerpix_auto_orient},
    {"AutoOrientTransform", "in.jpg", [] { return tagged_jpeg(6); }, "out.jpg",
     veerpix_auto_orient},
    {"TransformKeepingMetadataJpegToJpeg", "in.jpg", [] { return tagged_jpeg(6); }, "out.jpg",
     [](const char* in, const char* out) { return transform_keeping_metadata(in, out, VEERPIX_AUTO_ORIENT); }},
    {"TransformKeepingMetadataJpegToPng", "in.jpg", [] { return tagged_jpeg(8); }, "out.png",
     [](const char* in, const char* out) { return transform_keeping_metadata(in, out, VEERPIX_TRANSPOSE); }},
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
        // EOPNOTSUPP: a file system without unnamed files.
        case fault::Call::Open: return {EEXIST, EACCES, ENOSPC, EOPNOTSUPP};
        case fault::Call::Fread:
        case fault::Call::Pread: return {EIO};
        // EXDEV, ENOSYS: the kernel does not copy between these files.
        case fault::Call::CopyFileRange: return {EXDEV, ENOSYS, EIO};
        case fault::Call::Fwrite: return {ENOSPC};
        case fault::Call::Write: return {ENOSPC, EIO};
        case fault::Call::Fallocate: return {ENOSPC};
        // ENOENT: no /proc; EPERM: linking refused.
        case fault::Call::Linkat: return {ENOENT, EPERM};
        // EBUSY: the output is a mount point of its own.
        case fault::Call::Rename: return {EIO, EBUSY};
        case fault::Call::Fclose:
        case fault::Call::Fstat:
        case fault::Call::Fcntl:
        case fault::Call::Close:
        case fault::Call::Fsync:
        case fault::Call::Ftruncate: return {EIO};
        default: return {ENOMEM};
    }
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
    // `may_be_mixed`: the call failed while the output was being written in
    // place, which cannot keep the old bytes.
    std::string judge(const Setup& setup, int result, int error, bool may_be_mixed,
                      const fault::Tally& tally, const Bytes& clean_output, int descriptors_before) {
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
            // A full disk is never taken for a folder that refuses new
            // files: the in-place write that follows would destroy the old
            // file where the disk is really full.
            if (error == ENOSPC) return "success although the disk was full";
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
        if (!setup.output_before.empty() && !may_be_mixed &&
            (!exists || support::read_bytes(setup.output) != setup.output_before)) {
            return "the old output was lost";
        }
        if (listing() != setup.names_before) return "a temporary file was left behind";
        return "";
    }

    // Every call of the operation fails in turn, one per run; where renames
    // are refused (a file mounted on its own), the output is written in place.
    void fail_each_call(Before before, bool renames_refused) {
        const Scenario& scenario = GetParam();
        SCOPED_TRACE(std::string(before_name(before)) + (renames_refused ? ", renames refused" : ""));
        Setup setup = prepare(before);
        arm(0, 0, renames_refused);
        const int clean_result = scenario.run(setup.input.c_str(), setup.output.c_str());
        const fault::Tally clean = fault::disarm();
        ASSERT_EQ(clean_result, 1) << veerpix_last_error();
        ASSERT_EQ(clean.live_blocks, 0u);
        // Flushing costs time: only an output that replaces its input pays.
        EXPECT_EQ(clean.by_kind[static_cast<int>(fault::Call::Fsync)] != 0, before == Before::NamesInput);
        const Bytes clean_output = support::read_bytes(setup.output);
        std::vector<fault::Call> calls;
        uint64_t last_write = 0;  // where renames are refused: the write in place
        for (uint64_t index = 1; index <= clean.total; ++index) {
            calls.push_back(fault::logged_call(index));
            if (calls.back() == fault::Call::Write) last_write = index;
        }

        int failures = 0, successes = 0, problems = 0;
        for (uint64_t index = 1; index <= calls.size(); ++index) {
            if (renames_refused && calls[index - 1] == fault::Call::Rename) continue;
            for (int error : failures_of(calls[index - 1])) {
                setup = prepare(before);
                const int descriptors = open_descriptors();
                arm(index, error, renames_refused);
                const int result = scenario.run(setup.input.c_str(), setup.output.c_str());
                const fault::Tally tally = fault::disarm();
                const bool may_be_mixed = renames_refused && index >= last_write;
                const std::string problem =
                    judge(setup, result, error, may_be_mixed, tally, clean_output, descriptors);
                (result == 1 ? successes : failures) += 1;
                if (problem.empty()) continue;
                ADD_FAILURE() << "call " << index << " of " << calls.size() << " ("
                              << fault::call_name(calls[index - 1]) << ", "
                              << std::strerror(error) << "): " << problem
                              << "; message: " << veerpix_last_error();
                if (++problems == 10) return;
            }
        }
        std::printf("[ fault    ] %s, %s%s: %zu calls (%s); %d runs failed cleanly, %d succeeded\n",
                    scenario.label, before_name(before), renames_refused ? ", renames refused" : "",
                    calls.size(), fault::describe(clean).c_str(), failures, successes);
    }

    static void arm(uint64_t fail_at, int error, bool renames_refused) {
        fault::arm(fail_at, error);
        if (renames_refused) fault::refuse_every(fault::Call::Rename, EBUSY);
    }
};

TEST_P(FaultInjection, EachCallFailsInTurn) {
    for (Before before : {Before::Absent, Before::OldFile, Before::NamesInput}) {
        fail_each_call(before, false);
    }
}

// The in-place write's own steps (reserving, writing, cutting to length,
// flushing) fail in turn too.
TEST_P(FaultInjection, EachCallFailsInTurnWhereRenamesAreRefused) {
    for (Before before : {Before::OldFile, Before::NamesInput}) fail_each_call(before, true);
}

// A crash of the host while the result is written: the folder must look as
// it did before, with no temporary file in it.
TEST_P(FaultInjection, AProcessKilledWhileWritingLeavesTheFolderAsItWas) {
    const Scenario& scenario = GetParam();
    for (Before before : {Before::Absent, Before::OldFile, Before::NamesInput}) {
        SCOPED_TRACE(before_name(before));
        const Setup setup = prepare(before);
        const pid_t child = fork();
        if (child == 0) {
            fault::arm(0, 0);
            fault::kill_at_first_write();
            scenario.run(setup.input.c_str(), setup.output.c_str());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the write was never reached";
        EXPECT_EQ(listing(), setup.names_before);
        if (setup.output_before.empty()) {
            EXPECT_FALSE(std::filesystem::exists(setup.output));
        } else {
            EXPECT_EQ(support::read_bytes(setup.output), setup.output_before);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRoad, FaultInjection, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.label);
                         });

// Where the kernel refuses to copy between the files, the read/write loop
// copies the same bytes.
class RefusedCopies : public support::ScratchTest {};

TEST_F(RefusedCopies, TheReadWriteLoopWritesTheSameBytes) {
    const std::string input = put("in.jpg", large_tagged_jpeg(3));
    const std::string clean_output = path("clean.jpg"), output = path("out.jpg");
    ASSERT_EQ(veerpix_fixed(input.c_str(), clean_output.c_str(), 270), 1) << veerpix_last_error();
    for (int error : {EXDEV, ENOSYS, EINVAL, EOPNOTSUPP}) {
        SCOPED_TRACE(std::strerror(error));
        fault::arm(0, 0);
        fault::refuse_every(fault::Call::CopyFileRange, error);
        const int result = veerpix_fixed(input.c_str(), output.c_str(), 270);
        const fault::Tally tally = fault::disarm();
        ASSERT_EQ(result, 1) << veerpix_last_error();
        EXPECT_EQ(tally.by_kind[static_cast<int>(fault::Call::CopyFileRange)], 1u);
        EXPECT_GE(tally.by_kind[static_cast<int>(fault::Call::Pread)], 2u) << "the head, then the tail";
        EXPECT_TRUE(support::read_bytes(output) == support::read_bytes(clean_output));
    }
}

// Copying metadata into an output that exists: every failed call leaves
// that output as it was.
class CopyMetadataFaults : public support::ScratchTest {};

TEST_F(CopyMetadataFaults, EachCallFailsInTurnAndTheOutputStaysAsItWas) {
    const std::string source = put("in.jpg", tagged_jpeg(6));
    const Bytes output_before = support::encode_png(picture());
    const std::string output = put("out.png", output_before);
    fault::arm(0, 0);
    ASSERT_EQ(veerpix_copy_metadata(source.c_str(), output.c_str()), 1) << veerpix_last_error();
    const fault::Tally clean = fault::disarm();
    const Bytes clean_output = support::read_bytes(output);
    ASSERT_NE(clean_output, output_before) << "the EXIF was added";
    const std::vector<std::string> names = listing();
    std::vector<fault::Call> calls;
    for (uint64_t index = 1; index <= clean.total; ++index) calls.push_back(fault::logged_call(index));

    const std::string explained[] = {"out of memory", "cannot read input file: " + source,
                                     "cannot read output file: " + output,
                                     "failed to write output: " + output};
    for (uint64_t index = 1; index <= calls.size(); ++index) {
        for (int error : failures_of(calls[index - 1])) {
            SCOPED_TRACE(std::to_string(index) + " " + fault::call_name(calls[index - 1]) + ", " +
                         std::strerror(error));
            support::write_bytes(output, output_before);
            const int descriptors = open_descriptors();
            fault::arm(index, error);
            const int result = veerpix_copy_metadata(source.c_str(), output.c_str());
            const fault::Tally tally = fault::disarm();
            const std::string message = veerpix_last_error();
            EXPECT_TRUE(tally.injected);
            EXPECT_EQ(tally.live_blocks, 0u);
            EXPECT_EQ(open_descriptors(), descriptors);
            EXPECT_EQ(listing(), names) << "nothing left beside the output";
            if (result == 1) {
                EXPECT_EQ(message, "");
                EXPECT_EQ(support::read_bytes(output), clean_output);
                continue;
            }
            EXPECT_NE(std::find(std::begin(explained), std::end(explained), message), std::end(explained))
                << message;
            EXPECT_EQ(support::read_bytes(output), output_before);
        }
    }
    std::printf("[ fault    ] copy_metadata: %zu calls (%s)\n", calls.size(), fault::describe(clean).c_str());
}

}  // namespace
