// The output step's promises, through the operations where the road
// matters and through write_file where the file system does: the format an
// output path keeps, outputs that name their input, protected files,
// mounts, sticky folders, pipes, permission bits, links, and processes
// killed while writing.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "common/error.h"
#include "exif_builder.h"
#include "formats/image_io.h"
#include "platform/output.h"
#include "support.h"
#include "veerpix.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using support::Bytes;
using support::Image;

using Operation = std::function<int(const char* input, const char* output)>;

int turn_90(const char* in, const char* out) { return veerpix_fixed(in, out, 90); }
int turn_30(const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 1, 2, 3); }

Bytes tagged_jpeg(const Image& image, uint16_t orientation) {
    return fixture::insert_after_soi(support::encode_jpeg(image), fixture::orientation_app1(false, orientation));
}

img_format format_of(const std::string& file) {
    const Bytes bytes = support::read_bytes(file);
    return detect_format(bytes.data(), bytes.size());
}

class Output : public support::ScratchTest {};

// ---- what the output path decides -------------------------------------------

TEST_F(Output, DecodeRoadsKeepTheInputsFormatWhereTheExtensionNamesNone) {
    const Image image = support::numbered_image(5, 3);
    const struct {
        const char* label;
        Bytes bytes;
        img_format format;
    } inputs[] = {
        {"PNG", support::encode_png(image), IMG_FMT_PNG},
        {"BMP", support::encode_bmp(image), IMG_FMT_BMP},
        {"untagged JPEG", support::encode_jpeg(image), IMG_FMT_JPEG},
    };
    const struct {
        const char* label;
        Operation run;
    } operations[] = {
        {"fixed", turn_90}, {"flip_h", veerpix_flip_h}, {"flip_v", veerpix_flip_v}, {"angle", turn_30}};
    for (const auto& input : inputs) {
        const std::string in = put("in", input.bytes);
        for (const auto& operation : operations) {
            for (const char* out_name : {"out", "out.tif", "out.jpe"}) {
                SCOPED_TRACE(std::string(input.label) + ", " + operation.label + " -> " + out_name);
                const std::string out = path(out_name);
                ASSERT_EQ(operation.run(in.c_str(), out.c_str()), 1) << veerpix_last_error();
                EXPECT_EQ(format_of(out), input.format);
                std::filesystem::remove(out);
            }
        }
    }
    // Automatic orientation turns a JPEG into a JPEG there, whatever it read.
    const std::string tagged = put("tagged", tagged_jpeg(support::block_image(2, 1, 8), 6));
    for (const char* out_name : {"upright", "upright.tif"}) {
        const std::string out = path(out_name);
        ASSERT_EQ(veerpix_auto_orient(tagged.c_str(), out.c_str()), 1) << veerpix_last_error();
        EXPECT_EQ(format_of(out), IMG_FMT_JPEG) << out_name;
    }
}

TEST_F(Output, AutoOrientIntoBmpWritesAnUprightBmp) {
    for (uint16_t orientation = 2; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const Bytes jpeg = tagged_jpeg(support::numbered_image(4, 3), orientation);
        const std::string in = put("in.jpg", jpeg), out = path("out.bmp");
        ASSERT_EQ(veerpix_auto_orient(in.c_str(), out.c_str()), 1) << veerpix_last_error();
        EXPECT_EQ(format_of(out), IMG_FMT_BMP);
        EXPECT_EQ(support::decode_file(out), support::shown(support::decode_bytes(jpeg), orientation));
    }
}

TEST_F(Output, DecodeRoadsWithTheOutputNamingTheInputGiveWhatAnotherOutputGets) {
    const Image image = support::numbered_image(6, 4);
    const struct {
        const char* label;
        const char* name;
        Bytes bytes;
        Operation run;
    } cases[] = {
        {"angle of a PNG", "photo.png", support::encode_png(image), turn_30},
        {"flip_h of a BMP", "photo.bmp", support::encode_bmp(image), veerpix_flip_h},
        {"flip_v of an untagged JPEG", "photo.jpg", support::encode_jpeg(image), veerpix_flip_v},
        {"turn of a PNG", "photo.png", support::encode_png(image), turn_90},
        {"auto-orient of a JPEG tagged 6", "photo.jpg", tagged_jpeg(image, 6), veerpix_auto_orient},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string copy = put(std::string("copy-") + c.name, c.bytes);
        const std::string elsewhere = path(std::string("elsewhere-") + c.name);
        ASSERT_EQ(c.run(copy.c_str(), elsewhere.c_str()), 1) << veerpix_last_error();
        const std::string file = put(c.name, c.bytes);
        ASSERT_EQ(c.run(file.c_str(), file.c_str()), 1) << veerpix_last_error();
        EXPECT_STREQ(veerpix_last_error(), "");
        EXPECT_NE(support::read_bytes(file), c.bytes);
        EXPECT_EQ(support::read_bytes(file), support::read_bytes(elsewhere));
        for (const std::string& name : {copy, elsewhere, file}) std::filesystem::remove(name);
        EXPECT_TRUE(listing().empty()) << "no temporary left";
    }
}

#if !defined(_WIN32)

int write(const std::string& file, const Bytes& bytes) {
    clear_err();
    return write_file(file.c_str(), support::heap_copy(bytes), bytes.size());
}

ino_t inode_of(const std::string& file) {
    struct stat status {};
    return stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
}

// What a child process found: "" when all held, "skip: why" where it
// could not run here, else the first problem. The child runs under an
// alarm, so that a call that blocks fails the test instead of hanging it.
std::string in_child(const std::function<std::string()>& body, unsigned alarm_seconds = 10) {
    int channel[2];
    if (pipe(channel) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        alarm(alarm_seconds);
        const std::string report = body();
        const ssize_t written = ::write(channel[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(channel[1]);
    const std::string report = support::read_to_end(channel[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return "no child";
    if (WIFSIGNALED(status)) {
        return std::string("child killed by signal ") + strsignal(WTERMSIG(status)) +
               (WTERMSIG(status) == SIGALRM ? " (the call blocked)" : "");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return report;
}

// Applies a child's report to the test: a skip ends the test there.
#define EXPECT_CHILD_REPORT(child_report)                                        \
    do {                                                                         \
        const std::string report = (child_report);                               \
        if (report.compare(0, 6, "skip: ") == 0) GTEST_SKIP() << report.substr(6); \
        EXPECT_EQ(report, "");                                                   \
    } while (0)

constexpr uid_t kUser = 65534;  // nobody
constexpr gid_t kGroup = 65534;

// Runs `body` as an ordinary user: as root in a child that gives up its
// privileges first, else in a child as is.
std::string as_ordinary_user(const std::function<std::string()>& body) {
    return in_child([&]() -> std::string {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0)) {
            return "skip: cannot give up root's privileges here";
        }
        return body();
    });
}

// ---- protected files ------------------------------------------------------

class ProtectedFiles : public Output {
protected:
    // A folder that the ordinary user owns and writes.
    std::string user_folder() {
        const std::string folder = path("mine");
        std::filesystem::create_directory(folder);
        if (geteuid() == 0) {
            EXPECT_EQ(chown(folder.c_str(), kUser, kGroup), 0);
            EXPECT_EQ(chown(folder_.c_str(), kUser, kGroup), 0);
        }
        return folder;
    }
};

TEST_F(ProtectedFiles, AFileTheCallerMayNotWriteIsRefusedAndKept) {
    const std::string folder = user_folder();
    const Bytes png = support::encode_png(support::numbered_image(3, 2));
    EXPECT_CHILD_REPORT(as_ordinary_user([&]() -> std::string {
        const std::string out = folder + "/out.png", in = folder + "/in.png";
        support::write_bytes(out, {'o', 'l', 'd'});
        support::write_bytes(in, png);
        if (chmod(out.c_str(), 0444) != 0 || chmod(in.c_str(), 0444) != 0) return "chmod failed";
        if (veerpix_fixed(in.c_str(), out.c_str(), 90) != 0) return "a read-only output was replaced";
        if (veerpix_last_error() != "failed to write output: " + out) {
            return std::string("message: ") + veerpix_last_error();
        }
        if (support::read_bytes(out) != Bytes{'o', 'l', 'd'}) return "the read-only output changed";
        if (veerpix_flip_h(in.c_str(), in.c_str()) != 0) return "a read-only input was replaced";
        if (support::read_bytes(in) != png) return "the read-only input changed";
        std::filesystem::remove(out);
        std::filesystem::remove(in);
        if (!std::filesystem::is_empty(folder)) return "a temporary was left behind";
        return "";
    }));
}

// A folder that takes no new files, with a file the caller may write: the
// file is written in place, the only way left.
TEST_F(ProtectedFiles, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
    const std::string folder = user_folder();
    EXPECT_CHILD_REPORT(as_ordinary_user([&]() -> std::string {
        const std::string file = folder + "/photo.bin";
        support::write_bytes(file, Bytes(100, 0x44));
        const ino_t inode = inode_of(file);
        if (chmod(folder.c_str(), 0555) != 0) return "chmod failed";
        const int result = write(file, {4, 5});
        chmod(folder.c_str(), 0755);
        if (result != 1) return std::string("refused: ") + veerpix_last_error();
        if (support::read_bytes(file) != Bytes{4, 5}) return "not written, or not cut to size";
        if (inode_of(file) != inode) return "replaced, not written in place";
        return "";
    }));
}

// The same for operations over their own input, judged by the bytes the
// same call writes into a folder that takes new files.
TEST_F(ProtectedFiles, OperationsInPlaceInAReadOnlyFolderWriteWhatTheyWriteElsewhere) {
    const std::string folder = user_folder();
    const Image image = support::numbered_image(6, 4);
    const struct {
        const char* name;
        Bytes bytes;
        Operation run;
    } cases[] = {
        {"tagged.jpg", tagged_jpeg(image, 3), turn_90},
        {"plain.png", support::encode_png(image), turn_30},
    };
    EXPECT_CHILD_REPORT(as_ordinary_user([&]() -> std::string {
        for (const auto& c : cases) {
            const std::string elsewhere = folder + "/elsewhere-" + c.name;
            support::write_bytes(elsewhere, c.bytes);
            if (c.run(elsewhere.c_str(), elsewhere.c_str()) != 1) return veerpix_last_error();
            const std::string file = folder + "/" + c.name;
            support::write_bytes(file, c.bytes);
            const ino_t inode = inode_of(file);
            if (chmod(folder.c_str(), 0555) != 0) return "chmod failed";
            const int result = c.run(file.c_str(), file.c_str());
            chmod(folder.c_str(), 0755);
            if (result != 1) return std::string(c.name) + " refused: " + veerpix_last_error();
            if (support::read_bytes(file) != support::read_bytes(elsewhere)) return std::string(c.name) + " differs";
            if (inode_of(file) != inode) return std::string(c.name) + " replaced, not written in place";
        }
        return "";
    }));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 4)
        << "no temporary left";
}

TEST_F(ProtectedFiles, RootWritesAReadOnlyFileAsRootCan) {
    if (geteuid() != 0) GTEST_SKIP() << "runs as root only (now uid " << geteuid() << ")";
    const std::string out = put("out.bin", {1});
    ASSERT_EQ(chmod(out.c_str(), 0444), 0);
    ASSERT_EQ(write(out, {2, 3}), 1) << veerpix_last_error();
    EXPECT_EQ(support::read_bytes(out), (Bytes{2, 3}));
}

// A file of another owner in a sticky folder (like /tmp): the folder lets
// the caller create files but not rename over that one, and the file's
// own bits let it be written.
TEST_F(ProtectedFiles, AWritableFileInAStickyFolderIsWrittenInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another owner";
    const std::string sticky = path("sticky");
    std::filesystem::create_directory(sticky);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    const std::string file = sticky + "/theirs.png";
    support::write_bytes(file, support::encode_png(support::numbered_image(4, 3)));
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    const ino_t inode = inode_of(file);
    EXPECT_CHILD_REPORT(as_ordinary_user([&]() -> std::string {
        if (veerpix_flip_v(file.c_str(), file.c_str()) != 1) {
            return std::string("refused: ") + veerpix_last_error();
        }
        return "";
    }));
    EXPECT_EQ(inode_of(file), inode) << "written in place, not replaced";
    Image expected = support::numbered_image(4, 3);
    Image flipped = support::decode_file(file);
    ASSERT_EQ(flipped.width, 4);
    EXPECT_EQ(flipped.pixel(0, 0), expected.pixel(0, 2));
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u) << "the owner stays";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sticky), std::filesystem::directory_iterator()), 1);
}

// ---- mounts -------------------------------------------------------------------

// A single file mounted over another, as containers mount files: rename
// gives EBUSY, and the file is written in place. In a private mount
// namespace of a child, so that nothing outside sees the mount.
TEST_F(Output, AFileMountedOnItsOwnIsWrittenInPlace) {
    const std::string source = put("source.bin", Bytes(5000, 0x11));
    const std::string target = put("target.bin", {9});
    const Bytes result(3000, 0x22);
    EXPECT_CHILD_REPORT(in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) return std::string("skip: no private mount namespace: ") + strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("skip: cannot make mounts private: ") + strerror(errno);
        }
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::string("skip: cannot bind-mount a file: ") + strerror(errno);
        }
        if (std::rename(source.c_str(), target.c_str()) == 0 || errno != EBUSY) {
            return "skip: rename over the mounted file did not give EBUSY";
        }
        if (write(target, result) != 1) return std::string("refused: ") + veerpix_last_error();
        if (support::read_bytes(target) != result) return "the mounted file does not hold the result";
        return "";
    }));
    EXPECT_EQ(support::read_bytes(source), result) << "the mounted file itself was written, and cut to size";
    EXPECT_EQ(support::read_bytes(target), Bytes{9}) << "the file under the mount is untouched";
    EXPECT_EQ(listing(), (std::vector<std::string>{"source.bin", "target.bin"}));
}

// The same, where the result does not fit the mounted file's disk: the
// space is reserved before a byte changes, so the old bytes stay whole.
TEST_F(Output, AMountedFileOnAFullDiskKeepsItsOldBytes) {
    const std::string small = path("small");
    std::filesystem::create_directory(small);
    const std::string target = put("target.bin", {9});
    const Bytes old_bytes(20000, 0x11);
    EXPECT_CHILD_REPORT(in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) return std::string("skip: no private mount namespace: ") + strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("skip: cannot make mounts private: ") + strerror(errno);
        }
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return std::string("skip: cannot mount a tmpfs: ") + strerror(errno);
        }
        const std::string source = small + "/photo.bin";
        support::write_bytes(source, old_bytes);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::string("skip: cannot bind-mount a file: ") + strerror(errno);
        }
        if (write(target, Bytes(200000, 0x22)) != 0) return "written although it does not fit";
        if (veerpix_last_error() != "failed to write output: " + target) return veerpix_last_error();
        if (support::read_bytes(target) != old_bytes) return "the old bytes were not kept whole";
        return "";
    }));
}

// ---- pipes and devices --------------------------------------------------------

TEST_F(Output, AFifoIsWrittenWithoutBeingReplaced) {
    const std::string fifo = path("out.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Without a reader the call fails at once rather than wait for one.
    EXPECT_EQ(in_child([&]() -> std::string {
                  if (write(fifo, {1, 2, 3}) != 0) return "a FIFO without a reader was written";
                  return veerpix_last_error() == "failed to write output: " + fifo ? "" : veerpix_last_error();
              }, 1),
              "");
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const Bytes bytes = {7, 8, 9, 10};
    EXPECT_EQ(write(fifo, bytes), 1) << veerpix_last_error();
    uint8_t got[16] = {};
    EXPECT_EQ(read(reader, got, sizeof got), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(Bytes(got, got + bytes.size()), bytes);
    close(reader);
    struct stat status {};
    ASSERT_EQ(lstat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "still a FIFO";
    EXPECT_EQ(listing(), std::vector<std::string>{"out.png"});
}

// ---- what a replaced file keeps -----------------------------------------------

TEST_F(Output, AReplacedFileKeepsBitsTheUmaskWouldClear) {
    const std::string file = put("out.bin", {1});
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    const mode_t old_mask = umask(022);
    const int result = write(file, {2, 2});
    umask(old_mask);
    ASSERT_EQ(result, 1);
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
}

// A new output is made as open() makes files, 0666 less the umask, on the
// lossless road and the re-encoding one alike.
TEST_F(Output, ANewOutputHasTheModeTheUmaskLeaves) {
    const std::string png = put("in.png", support::encode_png(support::numbered_image(3, 2)));
    const std::string jpeg = put("in.jpg", tagged_jpeg(support::numbered_image(3, 2), 3));
    const struct {
        const char* label;
        const std::string& input;
        const char* output_name;
    } roads[] = {{"re-encoded", png, "out.png"}, {"lossless", jpeg, "out.jpg"}};
    for (const auto& road : roads) {
        for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
            SCOPED_TRACE(std::string(road.label) + ", umask 0" + std::to_string(mask / 8) + std::to_string(mask % 8));
            const std::string out = path(road.output_name);
            std::filesystem::remove(out);
            const mode_t old_mask = umask(mask);
            const int result = veerpix_fixed(road.input.c_str(), out.c_str(), 90);
            umask(old_mask);
            ASSERT_EQ(result, 1) << veerpix_last_error();
            struct stat status {};
            ASSERT_EQ(stat(out.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0666u & ~mask);
        }
    }
}

// Root replacing a file of another user (a shared photo folder tidied by a
// service) leaves it that user's, with its bits, and still replaces it
// whole rather than writing over it.
TEST_F(Output, AReplacedFileOfAnotherOwnerKeepsItsOwnerAndGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another owner";
    constexpr uid_t kOwner = 4321;
    constexpr gid_t kOwnersGroup = 8765;
    const Bytes png = support::encode_png(support::numbered_image(4, 3));
    const std::string other_input = put("other.png", png);
    for (bool output_is_input : {true, false}) {
        SCOPED_TRACE(output_is_input ? "the output is the input" : "another input");
        const std::string file = put("theirs.png", png);
        ASSERT_EQ(chown(file.c_str(), kOwner, kOwnersGroup), 0);
        ASSERT_EQ(chmod(file.c_str(), 0640), 0);
        const ino_t inode = inode_of(file);
        const std::string& input = output_is_input ? file : other_input;
        ASSERT_EQ(veerpix_flip_h(input.c_str(), file.c_str()), 1) << veerpix_last_error();
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, kOwner);
        EXPECT_EQ(status.st_gid, kOwnersGroup);
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        EXPECT_NE(status.st_ino, inode) << "replaced, not written over";
        EXPECT_NE(support::read_bytes(file), png);
    }
}

// Kept on purpose: a backup tree of hard links keeps the old picture.
TEST_F(Output, AReplacedFileLeavesItsOtherHardLinksWithTheOldBytes) {
    const std::string file = put("photo.bin", {1, 1});
    const std::string other = path("backup.bin");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    const ino_t inode = inode_of(file);
    ASSERT_EQ(write(file, {2, 2, 2}), 1);
    EXPECT_EQ(support::read_bytes(file), (Bytes{2, 2, 2}));
    EXPECT_EQ(support::read_bytes(other), (Bytes{1, 1}));
    EXPECT_NE(inode_of(file), inode);
    EXPECT_EQ(inode_of(other), inode);
}

// ---- processes killed while writing ---------------------------------------------

// A file size limit (ulimit -f) kills the writer with SIGXFSZ in the middle
// of the result: nothing of it may stay in the folder.
TEST_F(Output, AWriterKilledMidwayLeavesTheFolderAsItWas) {
    const Bytes old_bytes = {'o', 'l', 'd'};
    const std::string file = put("out.bin", old_bytes);
    const std::vector<std::string> before = listing();
    const std::string report = in_child([&]() -> std::string {
        const rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "skip: cannot limit the file size";
        write(file, Bytes(1 << 20, 0x5A));
        return "not killed";
    });
    EXPECT_EQ(report, "child killed by signal " + std::string(strsignal(SIGXFSZ)));
    EXPECT_EQ(listing(), before);
    EXPECT_EQ(support::read_bytes(file), old_bytes);
}

// ---- full disks ------------------------------------------------------------------

// A tmpfs without a free inode: creating the temporary fails with ENOSPC,
// which is not a folder that refuses new files, so the old file is not
// written in place either.
TEST_F(Output, NoRoomForTheTemporaryKeepsTheOldFile) {
    const std::string small = path("small");
    std::filesystem::create_directory(small);
    EXPECT_CHILD_REPORT(in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) return std::string("skip: no private mount namespace: ") + strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("skip: cannot make mounts private: ") + strerror(errno);
        }
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m,nr_inodes=2") != 0) {
            return std::string("skip: cannot mount a tmpfs: ") + strerror(errno);
        }
        const std::string file = small + "/photo.bin";
        support::write_bytes(file, {'o', 'l', 'd'});
        const int spare = open((small + "/spare").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (spare >= 0 || errno != ENOSPC) return "skip: the tmpfs still has a free inode";
        if (write(file, {1, 2, 3, 4}) != 0) return "written although no temporary fits";
        if (veerpix_last_error() != "failed to write output: " + file) return veerpix_last_error();
        if (support::read_bytes(file) != Bytes{'o', 'l', 'd'}) return "the old file changed";
        return "";
    }));
}

#endif

// Without a writer a FIFO's blocking open would wait forever: the calls run
// in a child under a one-second alarm where there are children.
TEST_F(Output, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
#if defined(_WIN32)
    const std::vector<std::string> inputs = {"NUL", folder_.string()};
#else
    const std::string fifo = path("fifo.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> inputs = {fifo, "/dev/zero", folder_.string()};
#endif
    const struct {
        const char* label;
        Operation run;
    } operations[] = {{"fixed", turn_90},
                      {"flip_h", veerpix_flip_h},
                      {"flip_v", veerpix_flip_v},
                      {"angle", turn_30},
                      {"auto_orient", veerpix_auto_orient}};
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        const auto refuse_each = [&]() -> std::string {
            for (const auto& operation : operations) {
                const std::string out = path("out.png");
                if (operation.run(input.c_str(), out.c_str()) != 0) {
                    return std::string(operation.label) + " succeeded";
                }
                if (veerpix_last_error() != "cannot read input file: " + input) {
                    return std::string(operation.label) + ": " + veerpix_last_error();
                }
            }
            return "";
        };
#if defined(_WIN32)
        EXPECT_EQ(refuse_each(), "");
#else
        EXPECT_EQ(in_child(refuse_each, 1), "");
#endif
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.png")));
}

}  // namespace
