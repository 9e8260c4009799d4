// Test pictures for the benchmarks that compress the way photographs do:
// smooth gradients, hard edges and a little sensor noise. A flat or purely
// random picture would make the codecs' times and the file sizes
// meaningless.
#pragma once

#include <algorithm>
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

// A screenshot-like graphic: a flat desktop, windows with title bars and
// sidebars, lines of anti-aliased text, buttons, small gradient icons and
// large empty areas. PNG's other typical content, where the filters leave
// long runs and the compressor's matches, not its entropy coding, decide
// the size and the time.
struct Canvas {
    int32_t width, height;
    std::vector<uint8_t> rgba;
};

inline void fill_rect(Canvas& canvas, int32_t left, int32_t top, int32_t width, int32_t height, uint32_t rgb) {
    const int32_t right = std::min(canvas.width, left + width), bottom = std::min(canvas.height, top + height);
    for (int32_t y = std::max(0, top); y < bottom; ++y) {
        for (int32_t x = std::max(0, left); x < right; ++x) {
            uint8_t* pixel = &canvas.rgba[(static_cast<size_t>(y) * static_cast<size_t>(canvas.width) + x) * 4];
            pixel[0] = static_cast<uint8_t>(rgb >> 16);
            pixel[1] = static_cast<uint8_t>(rgb >> 8);
            pixel[2] = static_cast<uint8_t>(rgb);
            pixel[3] = 255;
        }
    }
}

// Blends `rgb` over the pixel by coverage/4, as a text renderer's grey
// anti-aliasing does at the edges of strokes.
inline void blend_pixel(Canvas& canvas, int32_t x, int32_t y, uint32_t rgb, int coverage) {
    if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height) return;
    uint8_t* pixel = &canvas.rgba[(static_cast<size_t>(y) * static_cast<size_t>(canvas.width) + x) * 4];
    for (int c = 0; c < 3; ++c) {
        const int ink = static_cast<int>((rgb >> (16 - 8 * c)) & 0xFF);
        pixel[c] = static_cast<uint8_t>((pixel[c] * (4 - coverage) + ink * coverage) / 4);
    }
}

inline uint32_t mix_hash(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x8DA6B343u ^ b * 0xD8163841u;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    return h ^ (h >> 15);
}

// A line of words in 6x10 cells: each glyph a 5x7 pattern drawn from a
// small alphabet (text repeats its letters), the pixel right of a
// stroke a quarter covered.
inline void draw_text(Canvas& canvas, int32_t left, int32_t top, int32_t width, uint32_t seed, uint32_t ink) {
    int32_t x = left;
    for (uint32_t index = 0; x + 6 <= left + width; ++index) {
        const uint32_t h = mix_hash(seed, index);
        if (h % 7 == 0) {  // a space between words
            x += 6;
            continue;
        }
        // 40 letters, about a third of each cell inked.
        const uint32_t glyph = mix_hash(h % 40, 77) & (mix_hash(h % 40, 78) | mix_hash(h % 40, 79));
        for (int32_t row = 0; row < 7; ++row) {
            for (int32_t column = 0; column < 5; ++column) {
                if (!((glyph >> ((row * 5 + column) % 32)) & 1)) continue;
                blend_pixel(canvas, x + column, top + row, ink, 4);
                blend_pixel(canvas, x + column + 1, top + row, ink, 1);
            }
        }
        x += 6;
    }
}

inline void draw_window(Canvas& canvas, int32_t left, int32_t top, int32_t width, int32_t height, uint32_t seed) {
    const bool dark = seed % 3 == 0;
    const uint32_t body = dark ? 0x1E1E1E : 0xFFFFFF, ink = dark ? 0xD4D4D4 : 0x202020;
    fill_rect(canvas, left - 1, top - 1, width + 2, height + 2, 0x505050);  // border
    fill_rect(canvas, left, top, width, height, body);
    fill_rect(canvas, left, top, width, 30, mix_hash(seed, 1) & 0x7F7F7F);  // title bar
    draw_text(canvas, left + 12, top + 11, std::min<int32_t>(width / 3, 300), seed * 31, 0xFFFFFF);
    const int32_t sidebar = std::min<int32_t>(220, width / 4);
    fill_rect(canvas, left, top + 30, sidebar, height - 30, dark ? 0x252526 : 0xF0F0F0);
    for (int32_t y = top + 44; y + 10 < top + height; y += 22) {
        draw_text(canvas, left + 28, y, std::min<int32_t>(sidebar - 40, 40 + mix_hash(seed, y) % 120), seed + y, ink);
        fill_rect(canvas, left + 10, y, 10, 8, mix_hash(seed, y + 1) | 0x404040);  // an icon
    }
    // Paragraphs of text over the upper part; the rest of the page empty.
    const int32_t text_left = left + sidebar + 24, text_width = width - sidebar - 48;
    const int32_t text_bottom = top + 30 + (height - 30) * 2 / 3;
    uint32_t line = 0;
    for (int32_t y = top + 50; y + 10 < text_bottom; y += 16, ++line) {
        const uint32_t h = mix_hash(seed, line + 1000);
        if (h % 6 == 0) continue;  // between paragraphs
        const int32_t length = h % 5 == 0 ? text_width * static_cast<int32_t>(h % 60 + 20) / 100 : text_width;
        draw_text(canvas, text_left, y, length, h, h % 11 == 0 ? 0x1A5FB4 : ink);
    }
    // Two buttons at the bottom right, and a small gradient icon.
    for (int32_t b = 0; b < 2; ++b) {
        const int32_t bx = left + width - 220 + b * 110, by = top + height - 44;
        fill_rect(canvas, bx, by, 96, 28, 0x8A8A8A);
        fill_rect(canvas, bx + 1, by + 1, 94, 26, b ? 0x3584E4 : 0xE8E8E8);
        draw_text(canvas, bx + 24, by + 10, 48, seed + b, b ? 0xFFFFFF : 0x202020);
    }
    for (int32_t y = 0; y < 32; ++y) fill_rect(canvas, left + sidebar + 24, text_bottom + 20 + y, 32, 1,
                                               0x3060C0 + static_cast<uint32_t>(y * 4) * 0x010100u);
}

inline std::vector<uint8_t> screenshot_like(int32_t width, int32_t height) {
    Canvas canvas{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * static_cast<size_t>(height) * 4)};
    fill_rect(canvas, 0, 0, width, height, 0x3A6EA5);  // the desktop
    fill_rect(canvas, 0, 0, width, 28, 0x2B2B2B);      // the top bar
    draw_text(canvas, 12, 10, 200, 5, 0xFFFFFF);
    draw_text(canvas, width - 120, 10, 100, 6, 0xFFFFFF);
    // Windows of varied sizes in a loose grid, some overlapping.
    const int32_t cell_width = std::max<int32_t>(width / 3, 200), cell_height = std::max<int32_t>(height / 3, 150);
    uint32_t seed = 1;
    for (int32_t top = 60; top < height - 100; top += cell_height) {
        for (int32_t left = 40; left < width - 100; left += cell_width, ++seed) {
            if (mix_hash(seed, 9) % 5 == 0) continue;  // desktop shows through
            const int32_t w = cell_width * static_cast<int32_t>(70 + mix_hash(seed, 2) % 40) / 100;
            const int32_t h = cell_height * static_cast<int32_t>(70 + mix_hash(seed, 3) % 35) / 100;
            draw_window(canvas, left + static_cast<int32_t>(mix_hash(seed, 4) % 40), top, w, h, seed);
        }
    }
    return canvas.rgba;
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
