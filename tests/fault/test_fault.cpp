// Every allocation, open, stat, read, write, flush, close, link and rename
// of an operation fails in turn, one per run, on each road through the library. A run
// must end in a failure with a message of the catalogue that leaves the
// output path as it was, or, where the failed call was not needed, in a
// success with the right output; never in a crash, a leaked block or
// descriptor, or a temporary file left behind. Where the system refuses a
// road of the output step (renames, unnamed files, links, a name), the
// fallback must write what a normal write of the same call writes.
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fault_seam.h"
#include "descriptors.h"
#include "common/error.h"
#include "exif_builder.h"
#include "formats/image_io.h"
#include "platform/output.h"
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

// Files the decoder reads through a mended copy (fuzz/make_corpus.py).
Bytes decoder_case(const char* name) {
    return support::read_bytes(std::string(VEERPIX_TEST_DATA) + "/decoder-cases/" + name);
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
    {"FlipHDecodeOs2BmpToPng", "in.bmp", [] { return decoder_case("os2-card-4bit.bmp"); }, "out.png",
     veerpix_flip_h},
    {"FixedDecodeShortPalettePngToJpeg", "in.png", [] { return decoder_case("palette-past-plte.png"); },
     "out.jpg", [](const char* in, const char* out) { return veerpix_fixed(in, out, 180); }},
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
        if (renames_refused) {
            // The in-place road is judged by a normal write of the same call,
            // never by its own bytes.
            setup = prepare(before);
            ASSERT_EQ(scenario.run(setup.input.c_str(), setup.output.c_str()), 1) << veerpix_last_error();
            ASSERT_TRUE(support::read_bytes(setup.output) == clean_output) << "written in place unlike a normal write";
        }
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

// ---- the output step's other roads ------------------------------------------

// The output step itself given a start of another length than the one
// read before the input's unread rest, as a rewrite that grew the Exif
// block would give it: an output over its input then cannot copy that rest
// within the file.
int longer_head_before_the_rest(const char* input, const char* output) {
    clear_err();
    uint64_t length = 0;
    UnreadRest rest;
    FileIdentity identity;
    malloc_ptr<uint8_t> head = read_head(input, &length, &rest, &identity);
    if (!head || rest.empty()) return 0;
    const Bytes comment = {0xFF, 0xFE, 0x00, 0x06, 'l', 'o', 'n', 'g'};
    malloc_ptr<uint8_t> longer(static_cast<uint8_t*>(std::malloc(length + comment.size())));
    if (!longer) return 0;
    std::memcpy(longer.get(), head.get(), 2);
    std::memcpy(longer.get() + 2, comment.data(), comment.size());
    std::memcpy(longer.get() + 2 + comment.size(), head.get() + 2, length - 2);
    return write_file(output, std::move(longer), length + comment.size(), &identity, &rest.tail);
}

ino_t inode_of(const std::string& file) {
    struct stat status {};
    return stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The calls whose output goes through the fallbacks: a lossless turn whose
// rest the kernel copies from the input, a start of another length before
// that rest, and re-encodes.
struct Road {
    const char* label;
    const char* input_name;
    std::function<Bytes()> input;
    const char* output_name;  // where the output is not the input
    Operation run;
};

const Road kRoads[] = {
    {"large tagged JPEG turned", "in.jpg", [] { return large_tagged_jpeg(6); }, "out.jpg",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"longer start before a large JPEG's rest", "in.jpg", [] { return large_tagged_jpeg(6); }, "out.jpg",
     longer_head_before_the_rest},
    {"JPEG with a profile re-encoded", "in.jpg", jpeg_with_profile, "out.jpg", veerpix_flip_v},
    {"PNG re-encoded", "in.png", [] { return support::encode_png(picture()); }, "out.png",
     [](const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 1, 2, 3); }},
};

// What the system refuses, and whether the old file is then written in
// place (keeping its inode) or replaced.
struct Fallback {
    const char* label;
    std::function<void()> refuse;
    bool in_place;
    int links = -1;  // the linkat calls the road makes, where that tells it apart
};

const Fallback kFallbacks[] = {
    {"renames refused: a file mounted on its own", [] { fault::refuse_every(fault::Call::Rename, EBUSY); },
     true},
    {"renames refused: a sticky folder", [] { fault::refuse_every(fault::Call::Rename, EPERM); }, true},
    {"read-only folder", [] { fault::refuse_next(fault::Call::Open, {{EACCES, O_TMPFILE}}); }, true},
    {"read-only folder without unnamed files",
     [] { fault::refuse_next(fault::Call::Open, {{EOPNOTSUPP, O_TMPFILE}, {EROFS, O_CREAT | O_EXCL}}); }, true},
    {"no unnamed files (EOPNOTSUPP)", [] { fault::refuse_next(fault::Call::Open, {{EOPNOTSUPP, O_TMPFILE}}); },
     false},
    {"no unnamed files (EISDIR)", [] { fault::refuse_next(fault::Call::Open, {{EISDIR, O_TMPFILE}}); }, false},
    {"linking refused: no /proc (ENOENT), then EPERM",
     [] { fault::refuse_next(fault::Call::Linkat, {{ENOENT}, {EPERM}}); }, false, 2},
    // Another name is tried for the unnamed file, not another file.
    {"linking meets EEXIST once", [] { fault::refuse_next(fault::Call::Linkat, {{EEXIST}}); }, false, 2},
    {"the named temporary meets EEXIST once",
     [] { fault::refuse_next(fault::Call::Open, {{EOPNOTSUPP, O_TMPFILE}, {EEXIST, O_CREAT | O_EXCL}}); },
     false},
};

class OutputFallbacks : public support::ScratchTest {
protected:
    struct Files {
        std::string input, output;
        Bytes input_bytes;
    };

    // A fresh folder: the input, and the output as `before` wants it.
    Files prepare(const Road& road, Before before) {
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            std::filesystem::remove(entry.path());
        }
        Files files;
        files.input_bytes = road.input();
        files.input = put(road.input_name, files.input_bytes);
        files.output = path(road.output_name);
        if (before == Before::OldFile) put(road.output_name, {'o', 'l', 'd', '\n'});
        if (before == Before::NamesInput) files.output = files.input;
        return files;
    }
};

// Each road the output step falls back to gives the bytes a normal write
// of the same call gives, and leaves nothing beside them.
TEST_F(OutputFallbacks, EachFallbackWritesWhatANormalWriteWrites) {
    for (const Road& road : kRoads) {
        for (const Fallback& fallback : kFallbacks) {
            for (Before before : {Before::Absent, Before::OldFile, Before::NamesInput}) {
                // Only a file that exists can be written in place.
                if (fallback.in_place && before == Before::Absent) continue;
                SCOPED_TRACE(std::string(road.label) + "; " + fallback.label + "; " + before_name(before));
                Files files = prepare(road, before);
                ASSERT_EQ(road.run(files.input.c_str(), files.output.c_str()), 1) << veerpix_last_error();
                const Bytes normal = support::read_bytes(files.output);
                const std::vector<std::string> normal_names = listing();

                files = prepare(road, before);
                const ino_t inode_before = inode_of(files.output);
                const int descriptors = open_descriptors();
                fault::arm(0, 0);
                fallback.refuse();
                const int result = road.run(files.input.c_str(), files.output.c_str());
                const int refusals_left = fault::refusals_left();
                const fault::Tally tally = fault::disarm();
                ASSERT_EQ(result, 1) << veerpix_last_error();
                EXPECT_STREQ(veerpix_last_error(), "");
                EXPECT_EQ(refusals_left, 0) << "the road was not taken";
                if (fallback.links >= 0) {
                    EXPECT_EQ(tally.by_kind[static_cast<int>(fault::Call::Linkat)], static_cast<uint64_t>(fallback.links));
                }
                EXPECT_TRUE(support::read_bytes(files.output) == normal) << "unlike a normal write";
                EXPECT_EQ(listing(), normal_names) << "a temporary left behind";
                EXPECT_EQ(tally.live_blocks, 0u);
                EXPECT_EQ(open_descriptors(), descriptors);
                if (before != Before::NamesInput) {
                    EXPECT_TRUE(support::read_bytes(files.input) == files.input_bytes) << "the input changed";
                }
                if (before != Before::Absent) {
                    EXPECT_EQ(inode_of(files.output) == inode_before, fallback.in_place)
                        << (fallback.in_place ? "replaced, not written in place" : "written in place");
                }
            }
        }
    }
}

// An output that replaces its input is flushed to the disk after its last
// byte and before it takes the input's place (written in place: before the
// file is closed), so that a crash leaves one of the two files whole; a
// flush that fails is a failed write.
TEST_F(OutputFallbacks, AnOutputThatReplacesItsInputIsFlushedAfterItsLastWriteAndBeforeTheRename) {
    const auto is_data = [](fault::Call call) {
        return call == fault::Call::Write || call == fault::Call::CopyFileRange || call == fault::Call::Ftruncate;
    };
    for (const Road& road : kRoads) {
        for (bool renames_refused : {false, true}) {
            SCOPED_TRACE(std::string(road.label) + (renames_refused ? ", written in place" : ", renamed"));
            Files files = prepare(road, Before::NamesInput);
            fault::arm(0, 0);
            if (renames_refused) fault::refuse_every(fault::Call::Rename, EBUSY);
            ASSERT_EQ(road.run(files.input.c_str(), files.output.c_str()), 1) << veerpix_last_error();
            const fault::Tally clean = fault::disarm();
            uint64_t last_data = 0, flush = 0, rename = 0, close_after = 0;
            for (uint64_t index = 1; index <= clean.total; ++index) {
                if (is_data(fault::logged_call(index))) last_data = index;
            }
            // The first flush, rename and close after the last write.
            for (uint64_t index = last_data + 1; index <= clean.total; ++index) {
                const fault::Call call = fault::logged_call(index);
                if (call == fault::Call::Fsync && flush == 0) flush = index;
                if (call == fault::Call::Rename && rename == 0) rename = index;
                if (call == fault::Call::Close && flush != 0 && close_after == 0) close_after = index;
            }
            ASSERT_NE(last_data, 0u);
            ASSERT_NE(flush, 0u) << "no flush after the last write";
            if (renames_refused) {
                EXPECT_LT(flush, close_after) << "the file written in place is flushed before it is closed";
            } else {
                EXPECT_LT(flush, rename) << "the temporary is flushed before the rename";
            }

            files = prepare(road, Before::NamesInput);
            const std::vector<std::string> names = listing();
            fault::arm(flush, EIO);
            if (renames_refused) fault::refuse_every(fault::Call::Rename, EBUSY);
            const int result = road.run(files.input.c_str(), files.output.c_str());
            const fault::Tally tally = fault::disarm();
            ASSERT_TRUE(tally.injected);
            EXPECT_EQ(result, 0) << "a failed flush taken for a success";
            EXPECT_EQ(std::string(veerpix_last_error()), "failed to write output: " + files.output);
            EXPECT_EQ(listing(), names) << "a temporary left behind";
            // Written in place, the old bytes are gone by the flush.
            if (!renames_refused) {
                EXPECT_TRUE(support::read_bytes(files.input) == files.input_bytes) << "the old file was lost";
            }
        }
    }
}

}  // namespace
