// Format recognition, output formats by extension, whole-file reads, the
// one output step, and the encoder's limits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "common/error.h"
#include "formats/image_io.h"
#include "platform/output.h"
#include "stb_image_write.h"
#include "support.h"
#include "veerpix.h"

#if !defined(_WIN32)
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using support::Bytes;

TEST(DetectFormat, RecognisesByFirstBytes) {
    struct Case {
        const char* label;
        Bytes bytes;
        img_format expected;
    } cases[] = {
        {"empty", {}, IMG_FMT_UNKNOWN},
        {"one byte", {0xFF}, IMG_FMT_UNKNOWN},
        {"FF D8", {0xFF, 0xD8}, IMG_FMT_JPEG},
        {"FF D9", {0xFF, 0xD9}, IMG_FMT_UNKNOWN},
        {"PNG with any last four", {0x89, 'P', 'N', 'G', 1, 2, 3, 4}, IMG_FMT_PNG},
        {"PNG seven bytes", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A}, IMG_FMT_UNKNOWN},
        {"89 not PNG", {0x89, 'P', 'N', 'X', 0, 0, 0, 0}, IMG_FMT_UNKNOWN},
        {"BM", {'B', 'M'}, IMG_FMT_BMP},
        {"bm", {'b', 'm', 0, 0}, IMG_FMT_UNKNOWN},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a'}, IMG_FMT_UNKNOWN},
        {"TIFF", {'I', 'I', 42, 0, 8, 0, 0, 0}, IMG_FMT_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detect_format(c.bytes.data(), c.bytes.size()), c.expected) << c.label;
    }
}

TEST(FormatFromPath, TheWholeExtensionDecidesIgnoringCase) {
    const img_format kFallback = 99;  // told apart from every real format
    struct Case {
        const char* path;
        img_format expected;
    } cases[] = {
        {"out.jpg", IMG_FMT_JPEG},  {"out.JPG", IMG_FMT_JPEG},   {"out.Jpeg", IMG_FMT_JPEG},
        {"x/out.jpeg", IMG_FMT_JPEG}, {"out.PNG", IMG_FMT_PNG},  {"out.BMP", IMG_FMT_BMP},
        {".png", IMG_FMT_PNG},      {"a.b.png", IMG_FMT_PNG},
        {"out", kFallback},         {"out.", kFallback},         {"out.jpe", kFallback},
        {"out.jfif", kFallback},    {"out.tif", kFallback},      {"my.dir/out", kFallback},
        {"out.jpgx", kFallback},    {"out.jp", kFallback},       {"out.pngs", kFallback},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_from_path(c.path, kFallback), c.expected) << c.path;
    }
    EXPECT_EQ(format_from_path("out.tif", IMG_FMT_JPEG), IMG_FMT_JPEG);
}

class FileAccess : public support::ScratchTest {};

TEST_F(FileAccess, ReadFileReturnsTheWholeFile) {
    Bytes content = {1, 2, 3, 0, 255};
    std::string file = put("five", content);
    uint64_t length = 0;
    malloc_ptr<uint8_t> bytes = read_file(file.c_str(), &length);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(length, content.size());
    EXPECT_EQ(std::memcmp(bytes.get(), content.data(), content.size()), 0);
}

TEST_F(FileAccess, ReadFileRefusesMissingEmptyAndFolders) {
    std::string empty = put("empty", {});
    for (const std::string& file : {path("missing"), empty, folder_.string()}) {
        uint64_t length = 7;
        EXPECT_FALSE(read_file(file.c_str(), &length)) << file;
        EXPECT_EQ(length, 7u) << "length untouched: " << file;
    }
}

int write(const std::string& file, const Bytes& bytes) {
    clear_err();
    return write_file(file.c_str(), support::heap_copy(bytes), bytes.size());
}

TEST_F(FileAccess, WriteFileCreatesAndReplacesLeavingNoTemporary) {
    std::string file = path("out.bin");
    ASSERT_EQ(write(file, {1, 2, 3}), 1);
    EXPECT_EQ(support::read_bytes(file), (Bytes{1, 2, 3}));
    ASSERT_EQ(write(file, {9}), 1);
    EXPECT_EQ(support::read_bytes(file), (Bytes{9}));
    EXPECT_EQ(listing(), std::vector<std::string>{"out.bin"});
    EXPECT_STREQ(veerpix_last_error(), "");
}

TEST_F(FileAccess, WriteFileIntoMissingFolderFails) {
    std::string file = path("no/such/folder/out.png");
    EXPECT_EQ(write(file, {1}), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + file);
}

#if !defined(_WIN32)

TEST_F(FileAccess, ReplacedFileKeepsItsPermissionBits) {
    std::string file = put("out.bin", {1});
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_EQ(write(file, {2, 2}), 1);
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(FileAccess, LinkIsWrittenThroughToItsTarget) {
    std::string target = put("target.bin", {1});
    std::string link = path("link.bin");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(write(link, {7, 7}), 1);
    struct stat status {};
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link itself stays a link";
    EXPECT_EQ(support::read_bytes(target), (Bytes{7, 7}));
}

TEST_F(FileAccess, DeviceIsWrittenDirectlyNotReplaced) {
    EXPECT_EQ(write("/dev/null", {1, 2, 3}), 1);
    struct stat status {};
    ASSERT_EQ(stat("/dev/null", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST_F(FileAccess, ReadOnlyFolderWithWritableFileIsWrittenInPlace) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders anyway";
    std::string file = put("out.bin", {1});
    ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
    int result = write(file, {4, 5});
    chmod(folder_.c_str(), 0755);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(support::read_bytes(file), (Bytes{4, 5}));
}

// A real full disk: a tiny tmpfs where the test may mount one (root).
class FullDisk : public support::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        mount_point_ = path("small");
        std::filesystem::create_directory(mount_point_);
        if (mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here";
        }
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) umount(mount_point_.c_str());
        ScratchTest::TearDown();
    }
    std::string mount_point_;
    bool mounted_ = false;
};

TEST_F(FullDisk, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    std::string file = mount_point_ + "/photo.bin";
    Bytes old_content(20000, 0x5A);
    support::write_bytes(file, old_content);
    Bytes too_big(200000, 0x33);
    EXPECT_EQ(write(file, too_big), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + file);
    EXPECT_EQ(support::read_bytes(file), old_content);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mount_point_),
                            std::filesystem::directory_iterator()), 1);
}

TEST_F(FullDisk, FailedOperationKeepsAnInputNamedAsOutput) {
    // A BMP of 100x100 is 40 kB; its half turn does not fit beside it.
    std::string file = mount_point_ + "/in.bmp";
    Bytes input = support::encode_bmp(support::numbered_image(100, 100));
    support::write_bytes(file, input);
    EXPECT_EQ(veerpix_fixed(file.c_str(), file.c_str(), 180), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + file);
    EXPECT_EQ(support::read_bytes(file), input);
}

TEST_F(FullDisk, FailedWriteOfNewFileLeavesNothing) {
    std::string file = mount_point_ + "/new.bin";
    EXPECT_EQ(write(file, Bytes(200000, 1)), 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(std::filesystem::is_empty(mount_point_));
}

#else

TEST_F(FileAccess, DeviceIsWrittenDirectlyNotReplaced) {
    // By its DOS name and by its device path: neither can be replaced by a
    // temporary file.
    for (const char* device : {"NUL", "nul", "\\\\.\\NUL"}) {
        EXPECT_EQ(write(device, {1, 2, 3}), 1) << device;
        EXPECT_STREQ(veerpix_last_error(), "") << device;
    }
}

#endif

TEST_F(FileAccess, EncodeWritesEachFormatAsRgba) {
    support::Image image = support::numbered_image(5, 3, 100);
    pix_image raster{image.width, image.height, image.rgba.data()};
    for (img_format format : {IMG_FMT_PNG, IMG_FMT_BMP}) {
        std::string file = path("out." + std::to_string(format));
        ASSERT_EQ(encode_image(file.c_str(), &raster, format), 1);
        EXPECT_EQ(support::decode_file(file), image) << "lossless with alpha: " << format;
    }
    std::string jpeg = path("out.jpg");
    ASSERT_EQ(encode_image(jpeg.c_str(), &raster, IMG_FMT_JPEG), 1);
    Bytes bytes = support::read_bytes(jpeg);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    EXPECT_EQ(bytes[3], 0xE0) << "JFIF header, no EXIF";
}

// The quality reaches the JPEG writer (the codec's bytes at that quality);
// one outside 1..100 is refused for every format, as a caller's bug.
TEST(EncodeRaster, PassesTheJpegQualityAndRefusesOneOutsideItsRange) {
    support::Image image = support::numbered_image(21, 13, 7);
    pix_image raster{image.width, image.height, image.rgba.data()};
    for (int quality : {1, 50, 90, 91, 92, 100}) {
        Bytes expected;
        const auto append = [](void* context, void* data, int size) {
            auto* bytes = static_cast<Bytes*>(context);
            bytes->insert(bytes->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        };
        ASSERT_TRUE(stbi_write_jpg_to_func(append, &expected, image.width, image.height, 4,
                                           image.rgba.data(), quality));
        Encoded encoded = encode_raster(&raster, IMG_FMT_JPEG, quality);
        ASSERT_TRUE(encoded.bytes) << "quality " << quality;
        EXPECT_EQ(Bytes(encoded.bytes.get(), encoded.bytes.get() + encoded.length), expected)
            << "quality " << quality;
    }
    EXPECT_TRUE(encode_raster(&raster, IMG_FMT_JPEG).bytes) << "the default";
    for (img_format format : {IMG_FMT_JPEG, IMG_FMT_PNG, IMG_FMT_BMP}) {
        for (int quality : {0, -1, 101, INT_MIN, INT_MAX}) {
            EXPECT_FALSE(encode_raster(&raster, format, quality).bytes)
                << "format " << format << ", quality " << quality;
        }
    }
}

TEST_F(FileAccess, EncodeRefusesWhatTheEncodersIntArithmeticCannotHold) {
    // (width * 4 + 1) * height just past INT_MAX; no pixel is read.
    pix_image raster{65536, 8192, nullptr};
    std::string file = path("huge.png");
    EXPECT_EQ(encode_image(file.c_str(), &raster, IMG_FMT_PNG), 0);
    EXPECT_EQ(veerpix_last_error(), "failed to write output: " + file);
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
