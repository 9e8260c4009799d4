// Test pictures for the benchmarks that compress the way photographs do:
// smooth gradients, hard edges and a little sensor noise. A flat or purely
// random picture would make the codecs' times and the file sizes
// meaningless.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exif_builder.h"

namespace bench {

// Deterministic noise in -range..range, different in every pixel and channel.
inline int pixel_noise(uint32_t x, uint32_t y, uint32_t channel, int range) {
    uint32_t h = x * 0x8DA6B343u ^ y * 0xD8163841u ^ channel * 0xCB1AB31Fu;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    // Two uniform draws summed: small values are common, large ones rare.
    const int a = static_cast<int>(h & 0xFF), b = static_cast<int>((h >> 8) & 0xFF);
    return (a + b - 255) * range / 255;
}

inline uint8_t to_byte(double value) {
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// RGBA rows, alpha opaque: a sky gradient, soft hills, a skyline of blocks
// with hard edges, a sun disc, and noise over everything.
inline std::vector<uint8_t> photo_like(int32_t width, int32_t height) {
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    const double pi = 3.141592653589793;
    std::vector<double> hill(width), skyline(width), column_light(width);
    for (int32_t x = 0; x < width; ++x) {
        const double u = static_cast<double>(x) / width;
        hill[x] = 0.62 + 0.08 * std::sin(u * 2 * pi * 1.7) + 0.03 * std::sin(u * 2 * pi * 5.3);
        // Blocks about 3% of the width wide, of varied heights.
        const int block = static_cast<int>(u * 33);
        skyline[x] = 0.45 + 0.25 * ((block * 7919 % 13) / 13.0);
        column_light[x] = 0.85 + 0.15 * std::cos(u * 2 * pi * 0.8);
    }
    const double sun_x = width * 0.72, sun_y = height * 0.22, sun_r = height * 0.08;
    for (int32_t y = 0; y < height; ++y) {
        const double v = static_cast<double>(y) / height;
        for (int32_t x = 0; x < width; ++x) {
            double r, g, b;
            if (v > hill[x]) {  // ground: grass, greens darkening downwards
                const int blade = pixel_noise(x / 2, y / 3, 3, 40);
                r = 60 + 40 * column_light[x] - 30 * v + blade / 2;
                g = 110 + 50 * column_light[x] - 40 * v + blade;
                b = 40 + 20 * v;
            } else if (v > skyline[x]) {  // buildings: flat greys with windows
                const bool window = (x / 24) % 3 == 0 && (y / 32) % 2 == 0;
                const double grey = 90 + 60 * ((x * 33 / width) % 4) / 4.0;
                r = g = b = window ? grey + 70 : grey;
                b += 8;
            } else {  // sky: a vertical gradient, lighter at the horizon
                r = 90 + 120 * v * column_light[x];
                g = 140 + 90 * v;
                b = 230 - 40 * v;
            }
            const double dx = x - sun_x, dy = y - sun_y;
            if (dx * dx + dy * dy < sun_r * sun_r) {
                r = 255;
                g = 236;
                b = 180;
            }
            uint8_t* pixel = &rgba[(static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 4];
            pixel[0] = to_byte(r + pixel_noise(x, y, 0, 14));
            pixel[1] = to_byte(g + pixel_noise(x, y, 1, 14));
            pixel[2] = to_byte(b + pixel_noise(x, y, 2, 14));
            pixel[3] = 255;
        }
    }
    return rgba;
}

// The JPEG with an Exif segment right after SOI whose IFD0 holds Orientation.
inline std::vector<uint8_t> with_orientation(const std::vector<uint8_t>& jpeg, uint16_t orientation) {
    return fixture::insert_after_soi(jpeg, fixture::orientation_app1(false, orientation));
}

inline void append_bytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

inline bool write_whole_file(const char* path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace bench
