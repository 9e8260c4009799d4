// The JPEG decode alone: our decoder against the codec on photo-like
// pictures coded 4:2:0 as phones code them (cjpeg, quality 92), 24 MP
// (6000x4000) and 12 MP (4032x3024). Each run decodes the file from
// memory to RGBA with each decoder in turn; the median times, their ratio
// and whether the bytes are equal are printed.
//
//   veerpix_jpeg_decode FOLDER [RUNS]   (FOLDER keeps the made files)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/jpeg_decoder.h"
#include "photo.h"
#include "stb_image.h"

namespace {

struct PhotoSize {
    const char* name;
    int width, height;
};
constexpr PhotoSize kSizes[] = {{"24mp", 6000, 4000}, {"12mp", 4032, 3024}};

std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

// The photo as a 4:2:0 JPEG, made once.
std::vector<uint8_t> photo_jpeg(const std::string& folder, const PhotoSize& size) {
    const std::string jpeg = folder + "/photo-" + size.name + "-420.jpg";
    std::vector<uint8_t> bytes = read_all(jpeg);
    if (!bytes.empty()) return bytes;
    const std::string ppm = folder + "/photo.ppm";
    const std::vector<uint8_t> rgba = bench::photo_like(size.width, size.height);
    std::FILE* out = std::fopen(ppm.c_str(), "wb");
    if (!out) return {};
    std::fprintf(out, "P6 %d %d 255\n", size.width, size.height);
    for (size_t i = 0; i < rgba.size(); i += 4) std::fwrite(&rgba[i], 1, 3, out);
    std::fclose(out);
    const std::string command = "cjpeg -sample 2x2 -quality 92 -outfile " + jpeg + " " + ppm;
    if (std::system(command.c_str()) != 0) return {};
    std::remove(ppm.c_str());
    return read_all(jpeg);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: veerpix_jpeg_decode FOLDER [RUNS]\n");
        return 2;
    }
    const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 5;
    for (const PhotoSize& size : kSizes) {
        const std::vector<uint8_t> jpeg = photo_jpeg(argv[1], size);
        if (jpeg.empty()) {
            std::fprintf(stderr, "cannot make the %s photo (cjpeg: libjpeg-turbo-progs)\n", size.name);
            return 1;
        }
        std::vector<double> ours_times, codec_times;
        bool equal = true;
        for (int run = 0; run < runs; ++run) {
            auto start = std::chrono::steady_clock::now();
            uint32_t width = 0, height = 0;
            malloc_ptr<uint8_t> ours = decode_jpeg_rgba(jpeg.data(), jpeg.size(), &width, &height);
            ours_times.push_back(seconds_since(start));
            start = std::chrono::steady_clock::now();
            int codec_width = 0, codec_height = 0, channels = 0;
            uint8_t* codec = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &codec_width,
                                                   &codec_height, &channels, 4);
            codec_times.push_back(seconds_since(start));
            equal = equal && ours && codec &&
                    std::memcmp(ours.get(), codec, size_t{width} * height * 4) == 0;
            std::free(codec);
        }
        const double ours_median = median(ours_times), codec_median = median(codec_times);
        std::printf("%s 4:2:0 (%zu bytes): ours %.3f s, codec %.3f s, codec/ours %.2fx, bytes %s (median of %d)\n",
                    size.name, jpeg.size(), ours_median, codec_median, codec_median / ours_median,
                    equal ? "equal" : "DIFFER", runs);
    }
    return 0;
}
