// Phone photos for the batch and road-count scripts, in two steps around
// cjpeg (which codes them 4:2:0, as a phone does):
//
//   veerpix_phone_photos picture WIDTH HEIGHT OUT.ppm   the photo-like picture
//   veerpix_phone_photos tag IN.jpg ORIENTATION OUT.jpg  an Exif segment with
//                                                        that Orientation added
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "photo.h"

namespace {

bool write_picture(int width, int height, const char* path) {
    const std::vector<uint8_t> rgba = bench::photo_like(width, height);
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> ppm(header.begin(), header.end());
    const size_t pixels_start = ppm.size();
    ppm.resize(pixels_start + rgba.size() / 4 * 3);
    for (size_t from = 0, to = pixels_start; from < rgba.size(); from += 4, to += 3) {
        std::memcpy(&ppm[to], &rgba[from], 3);
    }
    return bench::write_whole_file(path, ppm);
}

bool read_whole_file(const char* path, std::vector<uint8_t>* bytes) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    return std::fclose(file) == 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: veerpix_phone_photos picture WIDTH HEIGHT OUT.ppm\n"
                 "       veerpix_phone_photos tag IN.jpg ORIENTATION OUT.jpg\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return usage();
    if (std::strcmp(argv[1], "picture") == 0) {
        const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
        if (width < 1 || height < 1 || width > 20000 || height > 20000) return usage();
        return write_picture(width, height, argv[4]) ? 0 : 1;
    }
    if (std::strcmp(argv[1], "tag") == 0) {
        const int orientation = std::atoi(argv[3]);
        std::vector<uint8_t> jpeg;
        if (orientation < 1 || orientation > 8) return usage();
        if (!read_whole_file(argv[2], &jpeg)) return 1;
        return bench::write_whole_file(argv[4], bench::with_orientation(jpeg, static_cast<uint16_t>(orientation))) ? 0
                                                                                                                   : 1;
    }
    return usage();
}
