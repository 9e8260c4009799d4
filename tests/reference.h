// What the library is judged against: the eight whole-pixel maps as data,
// the display picture of each EXIF Orientation value in terms of them, and
// the pixel routines written as plainly as possible, one destination pixel
// at a time. Written apart from the library's own transform model, so that
// a slip there cannot hide itself here. The Exif builder comes along, so
// that a test, benchmark or tool includes one header for its fixtures.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "exif_builder.h"

namespace reference {

// ---- the eight maps --------------------------------------------------------

enum class Map { Identity, Turn90, Turn180, Turn270, MirrorLeftRight, MirrorTopBottom, Transpose, Transverse };

struct MapFacts {
    Map map;
    const char* name;
    bool exchanges_sides;
};

// Turns are counter-clockwise.
constexpr MapFacts kMaps[] = {
    {Map::Identity, "identity", false},
    {Map::Turn90, "turn 90", true},
    {Map::Turn180, "turn 180", false},
    {Map::Turn270, "turn 270", true},
    {Map::MirrorLeftRight, "mirror left to right", false},
    {Map::MirrorTopBottom, "mirror top to bottom", false},
    {Map::Transpose, "transpose", true},
    {Map::Transverse, "transverse", true},
};

inline const MapFacts& facts(Map map) {
    for (const MapFacts& f : kMaps) {
        if (f.map == map) return f;
    }
    return kMaps[0];
}

inline bool exchanges_sides(Map map) { return facts(map).exchanges_sides; }
inline const char* name(Map map) { return facts(map).name; }

struct Position {
    int64_t x, y;
};

// Destination (x, y) of a w x h source takes source pixel (sx, sy).
constexpr Position source_of(Map map, int64_t x, int64_t y, int64_t w, int64_t h) {
    switch (map) {
        case Map::Identity: return {x, y};
        // The top row becomes the left column, read from the bottom up.
        case Map::Turn90: return {w - 1 - y, x};
        case Map::Turn180: return {w - 1 - x, h - 1 - y};
        case Map::Turn270: return {y, h - 1 - x};
        case Map::MirrorLeftRight: return {w - 1 - x, y};
        case Map::MirrorTopBottom: return {x, h - 1 - y};
        case Map::Transpose: return {y, x};
        case Map::Transverse: return {w - 1 - y, h - 1 - x};
    }
    return {x, y};
}

// The sides of the result of `map` on a w x h source.
inline int64_t result_width(Map map, int64_t w, int64_t h) { return exchanges_sides(map) ? h : w; }
inline int64_t result_height(Map map, int64_t w, int64_t h) { return exchanges_sides(map) ? w : h; }

// ---- EXIF Orientation ------------------------------------------------------

// The map that shows stored pixels tagged `orientation` upright, as a viewer
// draws them; values that name no orientation show the pixels as stored.
inline Map display_map(int orientation) {
    switch (orientation) {
        case 2: return Map::MirrorLeftRight;
        case 3: return Map::Turn180;
        case 4: return Map::MirrorTopBottom;
        case 5: return Map::Transpose;
        case 6: return Map::Turn270;  // stored a quarter turn counter-clockwise of upright
        case 7: return Map::Transverse;
        case 8: return Map::Turn90;
        default: return Map::Identity;
    }
}

// ---- the plain loops ---------------------------------------------------------

namespace detail {
template <Map M, size_t CellBytes>
void move_cells(const uint8_t* source, int64_t w, int64_t h, uint8_t* destination) {
    const int64_t out_w = result_width(M, w, h), out_h = result_height(M, w, h);
    for (int64_t y = 0; y < out_h; ++y) {
        for (int64_t x = 0; x < out_w; ++x) {
            const Position from = source_of(M, x, y, w, h);
            std::memcpy(destination + (y * out_w + x) * int64_t{CellBytes},
                        source + (from.y * w + from.x) * int64_t{CellBytes}, CellBytes);
        }
    }
}
}  // namespace detail

// Every destination cell of `map` fetched from its source cell, one at a
// time. Cells are CellBytes each (4 for RGBA); `destination` holds the
// result's w * h cells.
template <size_t CellBytes = 4>
void move_cells(Map map, const uint8_t* source, int64_t w, int64_t h, uint8_t* destination) {
    switch (map) {
        case Map::Identity: return detail::move_cells<Map::Identity, CellBytes>(source, w, h, destination);
        case Map::Turn90: return detail::move_cells<Map::Turn90, CellBytes>(source, w, h, destination);
        case Map::Turn180: return detail::move_cells<Map::Turn180, CellBytes>(source, w, h, destination);
        case Map::Turn270: return detail::move_cells<Map::Turn270, CellBytes>(source, w, h, destination);
        case Map::MirrorLeftRight:
            return detail::move_cells<Map::MirrorLeftRight, CellBytes>(source, w, h, destination);
        case Map::MirrorTopBottom:
            return detail::move_cells<Map::MirrorTopBottom, CellBytes>(source, w, h, destination);
        case Map::Transpose: return detail::move_cells<Map::Transpose, CellBytes>(source, w, h, destination);
        case Map::Transverse: return detail::move_cells<Map::Transverse, CellBytes>(source, w, h, destination);
    }
}

// A raster of distinct labels, rows top to bottom: where each label lands
// shows what a map did.
struct Labels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> cells;
    uint32_t at(int x, int y) const { return cells[static_cast<size_t>(y) * width + x]; }
    bool operator==(const Labels& other) const {
        return width == other.width && height == other.height && cells == other.cells;
    }
};

inline Labels moved(Map map, const Labels& source) {
    Labels out{static_cast<int>(result_width(map, source.width, source.height)),
               static_cast<int>(result_height(map, source.width, source.height)),
               std::vector<uint32_t>(source.cells.size())};
    move_cells<sizeof(uint32_t)>(map, reinterpret_cast<const uint8_t*>(source.cells.data()), source.width,
                                 source.height, reinterpret_cast<uint8_t*>(out.cells.data()));
    return out;
}

// The free-angle turn's canvas and the terms of its inverse map.
struct AngleCanvas {
    int32_t width = 0, height = 0;
    // Canvas point (X, Y) samples the source at (c X + s Y + ox, -s X + c Y + oy).
    double c = 0, s = 0;  // cosine and sine of the turn, rounded to 15 places
    double ox = 0, oy = 0;
};

// The turn counter-clockwise by `degrees` of a w x h source: the bounding
// box of the turned corners, each expression in the library's fixed order.
inline AngleCanvas angle_canvas(int32_t w, int32_t h, float degrees) {
    const double W = w, H = h;
    double m = std::fmod(static_cast<double>(degrees), 360.0);
    if (m < 0) m += 360.0;
    const double theta = (m * (-3.141592653589793)) / 180.0;
    const double c = std::round(std::cos(theta) * 1e15) / 1e15;
    const double s = std::round(std::sin(theta) * 1e15) / 1e15;
    const double tx = (s * (-(H * 0.5)) - (W * 0.5) * c) + W * 0.5;
    const double ty = ((W * 0.5) * s + (-(H * 0.5)) * c) + H * 0.5;
    double min_x = 1e30, min_y = 1e30, max_x = -1e30, max_y = -1e30;
    const double corners[4][2] = {{0, 0}, {W, 0}, {W, H}, {0, H}};
    for (const auto& corner : corners) {
        const double X = (c * corner[0] + s * corner[1]) + tx;
        const double Y = (corner[0] * (-s) + corner[1] * c) + ty;
        max_x = std::max(max_x, X);
        min_x = std::min(min_x, X);
        max_y = std::max(max_y, Y);
        min_y = std::min(min_y, Y);
    }
    AngleCanvas canvas;
    canvas.width = std::max(int32_t(std::ceil(max_x)) - int32_t(std::floor(min_x)), 1);
    canvas.height = std::max(int32_t(std::ceil(max_y)) - int32_t(std::floor(min_y)), 1);
    const double dx = double(w - canvas.width) * 0.5;
    const double dy = double(h - canvas.height) * 0.5;
    canvas.c = c;
    canvas.s = s;
    canvas.ox = (c * dx + s * dy) + tx;
    canvas.oy = (dx * (-s) + c * dy) + ty;
    return canvas;
}

inline uint8_t clamp_byte(int value) { return uint8_t(std::min(std::max(value, 0), 255)); }

// Every canvas pixel with its own bound test, floors and four-channel
// blend; `destination` holds canvas.width * canvas.height RGBA pixels. The
// library's row spans, hoisted terms and packed blending must reproduce it
// bit for bit.
inline void angle_pixels(const uint8_t* source, int32_t w, int32_t h, const AngleCanvas& canvas,
                         int red, int green, int blue, uint8_t* destination) {
    const double c = canvas.c, s = canvas.s;
    const uint8_t background[4] = {clamp_byte(red), clamp_byte(green), clamp_byte(blue), 255};
    // The edge pixel stands in for a missing second column or row.
    const int64_t step_x = w > 1 ? 4 : 0;
    const int64_t step_y = h > 1 ? int64_t{w} * 4 : 0;
    for (int32_t y = 0; y < canvas.height; ++y) {
        for (int32_t x = 0; x < canvas.width; ++x) {
            uint8_t* pixel = destination + (int64_t{y} * canvas.width + x) * 4;
            const double src_x = ((c * (x + 0.5) + s * (y + 0.5)) + canvas.ox) - 0.5;
            const double src_y = (((x + 0.5) * (-s) + c * (y + 0.5)) + canvas.oy) - 0.5;
            if (src_x < -0.5 || src_x > double(w - 1) + 0.5 || src_y < -0.5 || src_y > double(h - 1) + 0.5) {
                std::memcpy(pixel, background, 4);
                continue;
            }
            int32_t x0 = std::max(int32_t(std::floor(src_x)), 0);
            int32_t y0 = std::max(int32_t(std::floor(src_y)), 0);
            if (x0 >= w - 1 && w > 1) x0 = w - 2;
            if (y0 >= h - 1 && h > 1) y0 = h - 2;
            const float wx = std::min(std::max(float(src_x - x0), 0.0f), 1.0f);
            const float wy = std::min(std::max(float(src_y - y0), 0.0f), 1.0f);
            const uint8_t* p00 = source + (int64_t{y0} * w + x0) * 4;
            const uint8_t* p10 = p00 + step_x;
            const uint8_t* p01 = p00 + step_y;
            const uint8_t* p11 = p01 + step_x;
            for (int channel = 0; channel < 4; ++channel) {
                const float top = float(p10[channel] - p00[channel]) * wx + float(p00[channel]);
                const float bottom = float(p11[channel] - p01[channel]) * wx + float(p01[channel]);
                const float v = (bottom - top) * wy + top;
                pixel[channel] = v < 0 ? 0 : uint8_t(int(std::min(v, 255.0f) + 0.5f));
            }
        }
    }
}

// ---- PNG chunks ------------------------------------------------------------

// CRC-32 bit by bit, apart from the library's table.
inline uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// A PNG chunk: length, type, data and the CRC of type and data.
inline std::vector<uint8_t> png_chunk(const char* type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    const auto put32 = [&out](uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
    };
    put32(static_cast<uint32_t>(data.size()));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32(crc32(out.data() + 4, data.size() + 4));
    return out;
}

}  // namespace reference
