// One file through the coefficient road, as a whole process, for the
// benchmark script to time against the peer:
//   veerpix_coefficient_turn IN OUT TRANSFORM [trim]
// TRANSFORM is the number of the transform (1: a quarter turn
// counter-clockwise). The input is read whole, as a caller holds it.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "formats/jpeg_lossless.h"

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: veerpix_coefficient_turn IN OUT TRANSFORM [trim]\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (!in) return 1;
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(in);

    JpegLosslessOptions options;
    options.trim = argc == 5;
    JpegLosslessResult result;
    const int transform = std::atoi(argv[3]);
    if (transform < 0 || transform >= kTransformCount) return 2;
    const char* failure = jpeg_lossless_transform(bytes.data(), bytes.size(), static_cast<Transform>(transform),
                                                  options, &result);
    if (failure) {
        std::fprintf(stderr, "declined: %s\n", failure);
        return 1;
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out || std::fwrite(result.bytes.get(), 1, result.length, out) != result.length) return 1;
    return std::fclose(out) == 0 ? 0 : 1;
}
