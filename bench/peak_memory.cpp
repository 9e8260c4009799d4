// Peak memory of the decode road: each workload runs the exported call in a
// child process of its own, and the child's peak resident memory, CPU and
// wall time are printed beside the size of one raster of the picture.
//
//   veerpix_peak_memory FOLDER [RUNS]
//
// The 24 MP (6000x4000) photo-like inputs are written into FOLDER where
// they are missing. The goal it prints against: a quarter turn of an
// untagged JPEG into a JPEG (veerpix_fixed 90, re-encoded) holds one
// raster, at most 110 MiB at 24 MP.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "formats/bmp_writer.h"
#include "formats/jpeg_writer.h"
#include "formats/png_writer.h"
#include "photo.h"
#include "veerpix.h"

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr double kGoalMiB = 110;

struct workload {
    const char* label;
    const char* input;   // in FOLDER
    const char* output;  // in FOLDER
    int (*run)(const char* input, const char* output);
};

const workload kWorkloads[] = {
    {"quarter turn, untagged JPEG into JPEG", "photo-24mp.jpg", "out-turn.jpg",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"mirror left to right, JPEG into JPEG", "photo-24mp.jpg", "out-mirror.jpg", veerpix_flip_h},
    {"half turn, JPEG into JPEG", "photo-24mp.jpg", "out-half.jpg",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 180); }},
    {"quarter turn, JPEG into PNG", "photo-24mp.jpg", "out-turn.png",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"quarter turn, PNG into PNG", "photo-24mp.png", "out-turn-png.png",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"quarter turn, BMP into BMP", "photo-24mp.bmp", "out-turn.bmp",
     [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
    {"30 degrees (own canvas), JPEG into JPEG", "photo-24mp.jpg", "out-angle.jpg",
     [](const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 255, 255, 255); }},
};

bool exists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file) std::fclose(file);
    return file != nullptr;
}

bool write_whole(const std::string& path, const malloc_ptr<uint8_t>& bytes, uint64_t length) {
    if (!bytes) return false;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.get(), 1, length, file) == length;
    return std::fclose(file) == 0 && written;
}

// The inputs, made once; the photo's own buffer is gone before any child
// starts, so that the children begin as small as a host does.
bool write_inputs(const std::string& folder) {
    const std::string stem = folder + "/photo-24mp";
    if (exists(stem + ".jpg") && exists(stem + ".png") && exists(stem + ".bmp")) return true;
    std::vector<uint8_t> rgba = bench::photo_like(kWidth, kHeight);
    const pix_view view = pix_view_of(pix_image{kWidth, kHeight, rgba.data()});
    uint64_t length = 0;
    bool written = write_whole(stem + ".jpg", write_jpeg_to_memory(view, &length, 92), length);
    written = written && write_whole(stem + ".png", write_png_to_memory(view, &length), length);
    written = written && write_whole(stem + ".bmp", write_bmp_to_memory(view, &length), length);
    return written;
}

#if !defined(_WIN32)
struct measure {
    bool ok = false;
    double peak_mib = 0;
    double cpu_seconds = 0;
    double wall_seconds = 0;
};

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double now() {
    timeval t{};
    gettimeofday(&t, nullptr);
    return seconds(t);
}

measure run_in_child(const workload& work, const std::string& folder) {
    const std::string input = folder + "/" + work.input;
    const std::string output = folder + "/" + work.output;
    measure result;
    const double start = now();
    const pid_t child = fork();
    if (child < 0) return result;
    if (child == 0) _exit(work.run(input.c_str(), output.c_str()) ? 0 : 1);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return result;
    result.wall_seconds = now() - start;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.peak_mib = double(usage.ru_maxrss) / 1024;  // KiB on Linux
    result.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return result;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: veerpix_peak_memory FOLDER [RUNS]\n");
        return 2;
    }
#if defined(_WIN32)
    std::fprintf(stderr, "veerpix_peak_memory: measures child processes, on Linux only\n");
    return 2;
#else
    const std::string folder = argv[1];
    const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;
    if (!write_inputs(folder)) {
        std::fprintf(stderr, "veerpix_peak_memory: cannot write the pictures into %s\n", folder.c_str());
        return 1;
    }
    const double raster_mib = double(kWidth) * kHeight * 4 / (1024 * 1024);
    std::printf("24 MP (%dx%d); one RGBA raster is %.1f MiB; medians of %d runs\n\n", kWidth, kHeight, raster_mib,
                runs);
    std::printf("%-42s %10s %8s %8s %8s\n", "workload", "peak MiB", "rasters", "CPU s", "wall s");
    int failures = 0;
    double turn_peak = 0;
    for (const workload& work : kWorkloads) {
        std::vector<measure> samples;
        for (int run = 0; run < runs; ++run) samples.push_back(run_in_child(work, folder));
        bool ok = true;
        std::vector<double> peak, cpu, wall;
        for (const measure& m : samples) {
            ok = ok && m.ok;
            peak.push_back(m.peak_mib);
            cpu.push_back(m.cpu_seconds);
            wall.push_back(m.wall_seconds);
        }
        const auto median = [](std::vector<double> values) {
            std::sort(values.begin(), values.end());
            return values[values.size() / 2];
        };
        if (!ok) {
            std::printf("%-42s failed: %s\n", work.label, veerpix_last_error());
            ++failures;
            continue;
        }
        if (&work == &kWorkloads[0]) turn_peak = median(peak);
        std::printf("%-42s %10.1f %8.2f %8.2f %8.2f\n", work.label, median(peak), median(peak) / raster_mib,
                    median(cpu), median(wall));
    }
    std::printf("\ngoal: the quarter turn of the untagged JPEG at most %.0f MiB: %.1f MiB, %s\n", kGoalMiB,
                turn_peak, turn_peak <= kGoalMiB ? "met" : "not met");
    return failures ? 1 : 0;
#endif
}
