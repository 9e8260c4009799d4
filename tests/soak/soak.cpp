// The soak run's driver: many operations in one process over a mix of
// inputs (tagged and untagged JPEGs, PNG, 24- and 32-bit BMPs, broken
// files) and failures (a missing input, an unwritable output, NULL paths),
// with the resident size sampled every 500 operations. A host of the
// shared library like any other; it makes its inputs with the library.
//
//   veerpix_soak [OPERATIONS]     default 10000; exit status 1 when the
//                                 resident size grew after the warm-up
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "descriptors.h"
#include "veerpix.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSampleEvery = 500;
// Allocators settle during the first operations; growth is counted after,
// as the peak of the later half of the samples over the peak of the earlier
// half: a sample depends on which buffers the last operation left cached,
// but a leak raises every sample.
constexpr int kWarmUpOperations = 2000;
// A leak of a few hundred bytes an operation passes this within the run.
constexpr int64_t kNoise = 1024 * 1024;

int64_t resident_bytes() {
    long pages_total = 0, pages_resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
        std::fclose(statm);
    }
    return static_cast<int64_t>(pages_resident) * sysconf(_SC_PAGESIZE);
}

void put_u16le(Bytes* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void put_u32le(Bytes* out, uint32_t value) {
    put_u16le(out, value & 0xFFFF);
    put_u16le(out, value >> 16);
}

// A bottom-up BMP of a gradient with a diagonal stripe, 24 or 32 bits a
// pixel (rows of 24 bits padded to four bytes).
Bytes gradient_bmp(int width, int height, int bits) {
    const int row_bytes = (width * (bits / 8) + 3) / 4 * 4;
    Bytes bmp = {'B', 'M'};
    put_u32le(&bmp, static_cast<uint32_t>(54 + row_bytes * height));
    put_u32le(&bmp, 0);
    put_u32le(&bmp, 54);
    put_u32le(&bmp, 40);
    put_u32le(&bmp, static_cast<uint32_t>(width));
    put_u32le(&bmp, static_cast<uint32_t>(height));
    put_u16le(&bmp, 1);
    put_u16le(&bmp, static_cast<uint32_t>(bits));
    for (int field = 0; field < 6; ++field) put_u32le(&bmp, 0);
    for (int y = height - 1; y >= 0; --y) {
        const size_t row_start = bmp.size();
        for (int x = 0; x < width; ++x) {
            const bool stripe = (x + y) % 40 < 6;
            bmp.push_back(static_cast<uint8_t>(stripe ? 20 : x * 255 / width));
            bmp.push_back(static_cast<uint8_t>(stripe ? 20 : y * 255 / height));
            bmp.push_back(static_cast<uint8_t>(stripe ? 240 : 128));
            if (bits == 32) bmp.push_back(255);
        }
        bmp.resize(row_start + static_cast<size_t>(row_bytes), 0);
    }
    return bmp;
}

// The JPEG with an Exif segment right after SOI whose IFD0 holds only
// Orientation (little-endian TIFF).
Bytes with_orientation(const Bytes& jpeg, uint8_t orientation) {
    const Bytes segment = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,
                           'I', 'I', 42, 0, 8, 0, 0, 0,
                           1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, orientation, 0, 0, 0,
                           0, 0, 0, 0};
    Bytes tagged(jpeg.begin(), jpeg.begin() + 2);
    tagged.insert(tagged.end(), segment.begin(), segment.end());
    tagged.insert(tagged.end(), jpeg.begin() + 2, jpeg.end());
    return tagged;
}

Bytes read_bytes(const std::string& path) {
    Bytes bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        std::fclose(file);
    }
    return bytes;
}

bool write_bytes(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

struct Inputs {
    std::vector<std::string> paths;  // "" stands for NULL
};

// Makes every input in `folder`; false when the library could not make
// its share.
bool make_inputs(const std::string& folder, Inputs* inputs) {
    const std::string bmp32 = folder + "/photo32.bmp", bmp24 = folder + "/photo24.bmp";
    const std::string png = folder + "/photo.png", jpeg = folder + "/photo.jpg";
    if (!write_bytes(bmp32, gradient_bmp(400, 300, 32)) ||
        !write_bytes(bmp24, gradient_bmp(300, 400, 24)) ||
        !veerpix_flip_h(bmp32.c_str(), png.c_str()) || !veerpix_flip_v(bmp24.c_str(), jpeg.c_str())) {
        return false;
    }
    const Bytes jpeg_bytes = read_bytes(jpeg), png_bytes = read_bytes(png);
    Bytes huge_bmp = gradient_bmp(4, 4, 32);  // the header then claims 40000 x 40000
    huge_bmp[18] = huge_bmp[22] = 0x40;
    huge_bmp[19] = huge_bmp[23] = 0x9C;
    const struct {
        const char* name;
        Bytes bytes;
        bool good;
    } made[] = {
        {"tagged1.jpg", with_orientation(jpeg_bytes, 1), true},
        {"tagged3.jpg", with_orientation(jpeg_bytes, 3), true},
        {"tagged6.jpg", with_orientation(jpeg_bytes, 6), true},
        {"tagged8.jpg", with_orientation(jpeg_bytes, 8), true},
        {"truncated.png", Bytes(png_bytes.begin(), png_bytes.begin() + png_bytes.size() / 2), false},
        {"truncated.jpg", Bytes(jpeg_bytes.begin(), jpeg_bytes.begin() + jpeg_bytes.size() / 3), false},
        {"garbage.jpg", Bytes{0xFF, 0xD8, 0xFF, 0x13, 0x37, 0x00, 0xFF, 0xD9}, false},
        {"text.png", Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}, false},
        {"empty.bmp", Bytes{}, false},
        {"huge.bmp", huge_bmp, false},
    };
    std::vector<std::string> good = {bmp32, bmp24, png, jpeg}, bad = {folder + "/missing.png", ""};
    for (const auto& file : made) {
        const std::string path = folder + "/" + file.name;
        if (!write_bytes(path, file.bytes)) return false;
        (file.good ? good : bad).push_back(path);
    }
    // Two of three inputs can be read.
    inputs->paths = good;
    inputs->paths.insert(inputs->paths.end(), good.begin(), good.end());
    inputs->paths.insert(inputs->paths.end(), bad.begin(), bad.end());
    return true;
}

using Operation = std::function<int(const char*, const char*)>;

const Operation kOperations[] = {
    [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); },
    [](const char* in, const char* out) { return veerpix_fixed(in, out, -90); },
    [](const char* in, const char* out) { return veerpix_fixed(in, out, 180); },
    veerpix_flip_h,
    veerpix_flip_v,
    [](const char* in, const char* out) { return veerpix_angle(in, out, 33.5f, 255, 255, 255); },
    veerpix_auto_orient,
};

// Outputs in every format, in place of an earlier result, and unwritable
// ones: a missing folder, a folder, NULL ("").
std::vector<std::string> output_paths(const std::string& folder) {
    return {folder + "/out.jpg", folder + "/out.png", folder + "/out.bmp",
            folder + "/out",     folder + "/out.jpg", folder + "/out.png",
            folder + "/no-such-folder/out.png", folder, ""};
}

const char* or_null(const std::string& path) { return path.empty() ? nullptr : path.c_str(); }

void remove_folder(const std::string& folder) {
    if (DIR* listing = opendir(folder.c_str())) {
        while (dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") std::remove((folder + "/" + name).c_str());
        }
        closedir(listing);
    }
    rmdir(folder.c_str());
}

int64_t peak(const std::vector<int64_t>& samples, size_t first, size_t last) {
    return *std::max_element(samples.begin() + static_cast<std::ptrdiff_t>(first),
                             samples.begin() + static_cast<std::ptrdiff_t>(last));
}

std::string mib(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// Prints the figures; true when the resident size stayed flat.
bool report(const std::vector<int64_t>& samples, int operations, int successes,
            int descriptors_at_start, int descriptors_at_end) {
    const int64_t start = samples.front(), end = samples.back();
    const int64_t low = *std::min_element(samples.begin(), samples.end());
    const int64_t high = *std::max_element(samples.begin(), samples.end());
    // The sample at the end of the warm-up, and the first of the later half.
    const size_t settled = kWarmUpOperations / kSampleEvery;
    const bool judged = samples.size() >= settled + 2;
    const size_t middle = judged ? settled + (samples.size() - settled) / 2 : 0;
    const int64_t earlier_peak = judged ? peak(samples, settled, middle) : 0;
    const int64_t later_peak = judged ? peak(samples, middle, samples.size()) : 0;
    const int64_t growth_after_warm_up = later_peak - earlier_peak;
    std::printf("operations: %d (%d succeeded, %d failed)\n", operations, successes,
                operations - successes);
    std::printf("resident every %d operations:", kSampleEvery);
    for (int64_t sample : samples) std::printf(" %.2f", static_cast<double>(sample) / (1024.0 * 1024.0));
    std::printf(" MiB\n");
    std::printf("start %s, min %s, max %s, end %s\n", mib(start).c_str(), mib(low).c_str(),
                mib(high).c_str(), mib(end).c_str());
    std::printf("growth: %s from start to end", mib(end - start).c_str());
    if (judged) {
        std::printf("; after the first %d operations, peak %s in the earlier half, %s in the later: %s",
                    kWarmUpOperations, mib(earlier_peak).c_str(), mib(later_peak).c_str(),
                    mib(growth_after_warm_up).c_str());
    }
    std::printf("\n");
    std::printf("open descriptors: %d at start, %d at end\n", descriptors_at_start, descriptors_at_end);
    const bool flat = growth_after_warm_up <= kNoise && descriptors_at_end == descriptors_at_start;
    std::printf("%s\n", flat ? "flat: no growth beyond noise" : "NOT FLAT");
    return flat;
}

}  // namespace

int main(int argc, char** argv) {
    const int operations = argc > 1 ? std::atoi(argv[1]) : 10000;
    char folder_template[] = "/tmp/veerpix-soak-XXXXXX";
    if (operations <= 0 || !mkdtemp(folder_template)) {
        std::fprintf(stderr, "usage: veerpix_soak [OPERATIONS > 0]\n");
        return 2;
    }
    const std::string folder = folder_template;
    Inputs inputs;
    if (!make_inputs(folder, &inputs)) {
        std::fprintf(stderr, "cannot make the inputs: %s\n", veerpix_last_error());
        remove_folder(folder);
        return 2;
    }
    const std::vector<std::string> outputs = output_paths(folder);
    const int operation_count = static_cast<int>(sizeof kOperations / sizeof kOperations[0]);

    const int descriptors_at_start = open_descriptors();
    std::vector<int64_t> samples = {resident_bytes()};
    int successes = 0;
    // A fixed linear congruential sequence: every run makes the same calls.
    uint32_t state = 12345;
    for (int i = 1; i <= operations; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::string& input = inputs.paths[(state >> 8) % inputs.paths.size()];
        const std::string& output = outputs[(state >> 16) % outputs.size()];
        const Operation& operation = kOperations[(state >> 24) % operation_count];
        successes += operation(or_null(input), or_null(output));
        if (i % kSampleEvery == 0) samples.push_back(resident_bytes());
    }
    const int descriptors_at_end = open_descriptors();
    remove_folder(folder);

    const bool flat = report(samples, operations, successes, descriptors_at_start, descriptors_at_end);
    return flat ? 0 : 1;
}
