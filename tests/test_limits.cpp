// The largest images: tiny files that claim huge ones are refused before
// anything large is allocated, results that no encoder can take are
// refused before they are made, and the encoders' limits sit where their
// int arithmetic ends. Memory is measured as the peak resident size of a
// child process that runs one operation.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "formats/image_io.h"
#include "reference.h"
#include "support.h"
#include "veerpix.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using support::Bytes;

constexpr int64_t kMiB = 1024 * 1024;
// A refusal costs far less; a raster of the claimed size costs gigabytes.
constexpr int64_t kPeakLimit = 200 * kMiB;

void put_u32be(Bytes* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void put_u32le(Bytes* out, uint32_t value) {
    for (int shift = 0; shift <= 24; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void put_u16le(Bytes* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void put_png_chunk(Bytes* out, const char* type, const Bytes& data) {
    const Bytes chunk = reference::png_chunk(type, data);
    out->insert(out->end(), chunk.begin(), chunk.end());
}

// A PNG header claiming width x height, then a few bytes of image data.
// Colour type 6 is RGBA, 0 grey.
Bytes png_claiming(uint32_t width, uint32_t height, uint8_t colour_type) {
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    put_u32be(&header, width);
    put_u32be(&header, height);
    header.insert(header.end(), {8, colour_type, 0, 0, 0});
    put_png_chunk(&png, "IHDR", header);
    put_png_chunk(&png, "IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    put_png_chunk(&png, "IEND", {});
    return png;
}

// A baseline JPEG header claiming width x height with 1 or 3 components,
// well formed in every table it names, and a few bytes of scan data.
Bytes jpeg_claiming(uint16_t width, uint16_t height, uint8_t components) {
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};  // one 8-bit quantisation table
    jpeg.insert(jpeg.end(), 64, 1);
    const uint16_t frame_length = static_cast<uint16_t>(8 + 3 * components);
    jpeg.insert(jpeg.end(), {0xFF, 0xC0, static_cast<uint8_t>(frame_length >> 8),
                             static_cast<uint8_t>(frame_length), 8, static_cast<uint8_t>(height >> 8),
                             static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                             static_cast<uint8_t>(width), components});
    for (uint8_t id = 1; id <= components; ++id) jpeg.insert(jpeg.end(), {id, 0x11, 0});
    // DC and AC table 0, each a single one-bit code for symbol 0.
    for (uint8_t table_class : {0x00, 0x10}) {
        jpeg.insert(jpeg.end(), {0xFF, 0xC4, 0x00, 0x14, table_class, 1});
        jpeg.insert(jpeg.end(), 15, 0);
        jpeg.push_back(0);
    }
    const uint16_t scan_length = static_cast<uint16_t>(6 + 2 * components);
    jpeg.insert(jpeg.end(), {0xFF, 0xDA, static_cast<uint8_t>(scan_length >> 8),
                             static_cast<uint8_t>(scan_length), components});
    for (uint8_t id = 1; id <= components; ++id) jpeg.insert(jpeg.end(), {id, 0x00});
    jpeg.insert(jpeg.end(), {0, 63, 0, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9});
    return jpeg;
}

// A 32-bit BMP header claiming width x height, then a few pixel bytes.
Bytes bmp_claiming(int32_t width, int32_t height) {
    Bytes bmp = {'B', 'M'};
    put_u32le(&bmp, 14 + 40 + 16);
    put_u32le(&bmp, 0);
    put_u32le(&bmp, 14 + 40);
    put_u32le(&bmp, 40);
    put_u32le(&bmp, static_cast<uint32_t>(width));
    put_u32le(&bmp, static_cast<uint32_t>(height));
    put_u16le(&bmp, 1);
    put_u16le(&bmp, 32);
    for (int field = 0; field < 6; ++field) put_u32le(&bmp, 0);
    bmp.insert(bmp.end(), 16, 0x80);
    return bmp;
}

struct ChildRun {
    int result = -1;
    std::string message;
    int64_t peak_bytes = -1;  // -1 where it cannot be measured
};

#if !defined(_WIN32)

// Runs `operation` in a child process and reads the child's peak resident
// size from wait4, so that nothing the parent holds is counted twice and a
// fault that fills gigabytes cannot take the test runner with it.
ChildRun run_in_child(const std::function<int()>& operation) {
    int channel[2];
    if (pipe(channel) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
#if !defined(__SANITIZE_ADDRESS__)
        // A broken limit then fails an allocation instead of filling the
        // machine (the sanitizer build caps allocations through its options).
        const rlimit address_space{4096 * kMiB, 4096 * kMiB};
        setrlimit(RLIMIT_AS, &address_space);
#endif
        const int result = operation();
        const std::string report = std::to_string(result) + "\n" + veerpix_last_error();
        ssize_t written = write(channel[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(channel[1]);
    const std::string report = support::read_to_end(channel[0]);
    ChildRun run;
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return run;
    }
    const size_t line_end = report.find('\n');
    if (line_end == std::string::npos) return run;
    run.result = std::stoi(report.substr(0, line_end));
    run.message = report.substr(line_end + 1);
    run.peak_bytes = static_cast<int64_t>(usage.ru_maxrss) * 1024;  // Linux: kilobytes
    return run;
}

#else

ChildRun run_in_child(const std::function<int()>& operation) {
    ChildRun run;
    run.result = operation();
    run.message = veerpix_last_error();
    return run;
}

#endif

std::string in_mib(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
    return text;
}

class Limits : public support::ScratchTest {};

#if !defined(_WIN32)
TEST_F(Limits, ThePeakMeasureSeesMemoryThatIsUsed) {
    const ChildRun idle = run_in_child([] { return 1; });
    const ChildRun busy = run_in_child([] {
        const size_t size = static_cast<size_t>(64 * kMiB);
        auto* block = static_cast<volatile uint8_t*>(std::malloc(size));
        if (!block) return 0;
        for (size_t i = 0; i < size; i += 4096) block[i] = 1;
        std::free(const_cast<uint8_t*>(block));
        return 1;
    });
    ASSERT_EQ(idle.result, 1);
    ASSERT_EQ(busy.result, 1);
    EXPECT_GT(busy.peak_bytes - idle.peak_bytes, 60 * kMiB)
        << in_mib(idle.peak_bytes) << " idle, " << in_mib(busy.peak_bytes) << " busy";
}
#endif

TEST_F(Limits, TinyFilesClaimingHugeImagesAreRefusedBeforeAnythingLargeIsAllocated) {
    const struct {
        const char* label;
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"RGBA PNG 40000 x 40000", "rgba.png", png_claiming(40000, 40000, 6)},
        // The decoder's own header check lets one byte a pixel through.
        {"grey PNG 32768 x 32768", "grey.png", png_claiming(32768, 32768, 0)},
        {"colour JPEG 40000 x 40000", "colour.jpg", jpeg_claiming(40000, 40000, 3)},
        // The decoder fills the planes of the file's channels before it finds
        // the RGBA raster too large: 1.6 GB and 2 GB.
        {"grey JPEG 40000 x 40000", "grey.jpg", jpeg_claiming(40000, 40000, 1)},
        {"colour JPEG 26000 x 26000", "colour26k.jpg", jpeg_claiming(26000, 26000, 3)},
        {"BMP 40000 x 40000", "bottom-up.bmp", bmp_claiming(40000, 40000)},
        {"top-down BMP 40000 x 40000", "top-down.bmp", bmp_claiming(40000, -40000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string in = put(c.name, c.bytes);
        const std::string out = path("out.png");
        const ChildRun run = run_in_child([&] { return veerpix_flip_h(in.c_str(), out.c_str()); });
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.message, "cannot decode image: " + in + " (too large)");
        EXPECT_LT(run.peak_bytes, kPeakLimit) << in_mib(run.peak_bytes);
        EXPECT_FALSE(std::filesystem::exists(out));
        if (run.peak_bytes >= 0) {
            std::printf("[ peak     ] %s (%zu bytes): %s\n", c.label, c.bytes.size(),
                        in_mib(run.peak_bytes).c_str());
        }
    }
}

#if !defined(_WIN32)
// A file of 2 GiB is refused from its size, before a byte is read or a
// buffer made for it. Sparse: it costs no disk.
TEST_F(Limits, InputFilesOf2GiBAreRefusedBeforeTheyAreRead) {
    const std::string in = put("huge.png", png_claiming(1, 1, 6));
    ASSERT_EQ(truncate(in.c_str(), int64_t{1} << 31), 0);
    const std::string out = path("out.png");
    const ChildRun run = run_in_child([&] { return veerpix_fixed(in.c_str(), out.c_str(), 90); });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.message, "cannot read input file: " + in);
    EXPECT_LT(run.peak_bytes, kPeakLimit) << in_mib(run.peak_bytes);
    EXPECT_FALSE(std::filesystem::exists(out));
}
#endif

TEST_F(Limits, ResultsThatNoEncoderCanTakeAreRefusedBeforeTheyAreMade) {
    const std::string tall = put("tall.png", support::encode_png(support::numbered_image(1, 100000)));
    const std::string wide = put("wide.png", support::encode_png(support::numbered_image(70000, 1)));
    const struct {
        const char* label;
        const std::string& input;
        const char* output;
        std::function<int(const char*, const char*)> operation;
    } cases[] = {
        // A 70711 x 70711 canvas: 20 GB.
        {"1 x 100000 turned by 45 degrees into PNG", tall, "out.png",
         [](const char* in, const char* out) { return veerpix_angle(in, out, 45.0f, 0, 0, 0); }},
        {"1 x 100000 turned by 45 degrees into JPEG", tall, "out.jpg",
         [](const char* in, const char* out) { return veerpix_angle(in, out, 45.0f, 0, 0, 0); }},
        {"1 x 100000 turned by 45 degrees into BMP", tall, "out.bmp",
         [](const char* in, const char* out) { return veerpix_angle(in, out, 45.0f, 0, 0, 0); }},
        // JPEG sides end at 65535; the writer would cut the side short.
        {"70000 x 1 mirrored into JPEG", wide, "out.jpg", veerpix_flip_h},
        {"1 x 100000 mirrored into JPEG", tall, "out.jpg", veerpix_flip_v},
        {"1 x 100000 turned by 90 degrees into JPEG", tall, "out.jpg",
         [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string out = path(c.output);
        const ChildRun run = run_in_child([&] { return c.operation(c.input.c_str(), out.c_str()); });
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.message, "failed to write output: " + out);
        EXPECT_LT(run.peak_bytes, kPeakLimit) << in_mib(run.peak_bytes);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(Limits, LongSidesThatTheFormatHoldsAreWritten) {
    const support::Image wide = support::numbered_image(70000, 1);
    const std::string in = put("wide.png", support::encode_png(wide));
    for (const char* name : {"out.png", "out.bmp"}) {
        SCOPED_TRACE(name);
        const std::string out = path(name);
        ASSERT_EQ(veerpix_flip_v(in.c_str(), out.c_str()), 1) << veerpix_last_error();
        EXPECT_EQ(support::decode_file(out), wide);
    }
    const std::string jpeg = path("at-the-limit.jpg");
    const std::string at_limit = put("65535.png", support::encode_png(support::numbered_image(65535, 1)));
    ASSERT_EQ(veerpix_flip_v(at_limit.c_str(), jpeg.c_str()), 1) << veerpix_last_error();
    const support::Image decoded = support::decode_file(jpeg);
    EXPECT_EQ(decoded.width, 65535);
    EXPECT_EQ(decoded.height, 1);
}

// Each row: the first size past a writer's int arithmetic (or the format's
// sides), and the size just inside it.
TEST(EncoderLimits, SitWhereTheWritersArithmeticEnds) {
    const struct {
        const char* label;
        img_format format;
        int64_t width, height;
        bool accepted;
    } cases[] = {
        {"JPEG side 65535", IMG_FMT_JPEG, 65535, 8192, true},
        {"JPEG width 65536", IMG_FMT_JPEG, 65536, 1, false},
        {"JPEG height 65536", IMG_FMT_JPEG, 1, 65536, false},
        {"JPEG index past INT_MAX", IMG_FMT_JPEG, 65535, 8193, false},
        {"BMP size field at INT_MAX", IMG_FMT_BMP, (INT_MAX - 122) / 4, 1, true},
        {"BMP size field past INT_MAX", IMG_FMT_BMP, (INT_MAX - 122) / 4 + 1, 1, false},
        {"BMP square", IMG_FMT_BMP, 23170, 23170, true},
        {"PNG filter estimate at INT_MAX", IMG_FMT_PNG, INT_MAX / 512, 1, true},
        {"PNG filter estimate past INT_MAX", IMG_FMT_PNG, INT_MAX / 512 + 1, 1, false},
        // One filter byte and four pixel bytes a row.
        {"PNG stream filling the deflate buffer", IMG_FMT_PNG, 1, 1431655757 / 5, true},
        {"PNG stream past the deflate buffer", IMG_FMT_PNG, 1, 1431655757 / 5 + 1, false},
        {"PNG square inside", IMG_FMT_PNG, 18918, 18918, true},
        {"PNG square past", IMG_FMT_PNG, 18919, 18919, false},
        {"an empty raster", IMG_FMT_PNG, 0, 10, false},
        {"sides past int32", IMG_FMT_BMP, int64_t{1} << 31, 1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoder_accepts(c.width, c.height, c.format), c.accepted) << c.label;
    }
}

}  // namespace
