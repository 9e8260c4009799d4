// The peer tools that judge the JPEG tests (cjpeg, djpeg, jpegtran): whether
// one is installed, running one, the picture they are given, and the peer's
// options for each of our transforms.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "pixels/transform.h"

namespace peer_tools {

inline bool has_program(const std::string& path) { return std::system(("test -x " + path).c_str()) == 0; }
inline bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Texture in every channel and every block, so that every band of the
// coefficients is busy and a wrong sign or position shows. With `edges`,
// also flat areas and hard edges that push the IDCT and the colour
// conversion to their clamps.
inline std::vector<uint8_t> textured_ppm(int width, int height, bool edges = false) {
    const std::string header = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
    std::vector<uint8_t> ppm(header.begin(), header.end());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool edge = edges && ((x / 5) + (y / 3)) % 4 == 0;
            ppm.push_back(static_cast<uint8_t>(edge ? 255 : x * 37 + y * 11));
            ppm.push_back(static_cast<uint8_t>(edge ? 0 : y * 53 + x * 3));
            ppm.push_back(static_cast<uint8_t>((x * x + y * y) * 7));
        }
    }
    return ppm;
}

// The peer's options for each of our transforms, by Transform: our positive
// angles turn counter-clockwise, the peer's clockwise.
constexpr const char* kPeerOptions[kTransformCount] = {
    "", "-rotate 270", "-rotate 180", "-rotate 90", "-flip horizontal", "-flip vertical", "-transpose", "-transverse",
};

}  // namespace peer_tools
