// Small fixtures shared by the tests: scratch folders, files, and tiny
// images made in code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "pixels/raster.h"
#include "reference.h"
#include "stb_image.h"
#include "stb_image_write.h"

namespace support {

using Bytes = std::vector<uint8_t>;

// An RGBA raster held by value.
struct Image {
    int width = 0;
    int height = 0;
    Bytes rgba;

    uint32_t pixel(int x, int y) const {
        const uint8_t* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    bool operator==(const Image& other) const {
        return width == other.width && height == other.height && rgba == other.rgba;
    }
};

// Distinct, asymmetric pixels: every pixel differs from every other, and the
// channels are far apart so that JPEG noise cannot turn one into another.
inline Image numbered_image(int width, int height, uint8_t alpha = 255) {
    Image image{width, height, Bytes(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.rgba[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 37 + 11);
            p[1] = static_cast<uint8_t>(y * 53 + 7);
            p[2] = static_cast<uint8_t>((x * 13 + y * 29) * 3);
            p[3] = alpha == 255 ? 255 : static_cast<uint8_t>(alpha + x + y);
        }
    }
    return image;
}

// Large flat blocks survive JPEG compression well enough to compare
// positions: each block of `block` pixels gets its own colour.
inline Image block_image(int columns, int rows, int block) {
    static const uint8_t palette[][3] = {{230, 20, 20}, {20, 200, 20}, {20, 20, 230}, {230, 230, 20},
                                         {20, 220, 220}, {220, 20, 220}, {250, 250, 250}, {10, 10, 10},
                                         {140, 70, 10}, {120, 120, 120}, {250, 150, 60}, {60, 120, 250}};
    Image image{columns * block, rows * block, {}};
    image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* colour = palette[((y / block) * columns + x / block) % 12];
            uint8_t* p = &image.rgba[(static_cast<size_t>(y) * image.width + x) * 4];
            p[0] = colour[0];
            p[1] = colour[1];
            p[2] = colour[2];
            p[3] = 255;
        }
    }
    return image;
}

// The image with the reference's `map` applied, one pixel at a time.
inline Image mapped(const Image& source, reference::Map map) {
    const int width = static_cast<int>(reference::result_width(map, source.width, source.height));
    const int height = static_cast<int>(reference::result_height(map, source.width, source.height));
    Image out{width, height, Bytes(static_cast<size_t>(width) * height * 4)};
    reference::move_cells(map, source.rgba.data(), source.width, source.height, out.rgba.data());
    return out;
}

// The picture a viewer shows for stored pixels tagged `orientation`.
inline Image shown(const Image& stored, int orientation) {
    return mapped(stored, reference::display_map(orientation));
}

// A malloc'd copy, as the library's writers take their buffers.
inline malloc_ptr<uint8_t> heap_copy(const Bytes& bytes) {
    malloc_ptr<uint8_t> buffer(static_cast<uint8_t*>(std::malloc(bytes.size() ? bytes.size() : 1)));
    if (!bytes.empty()) std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

#if !defined(_WIN32)
// All a pipe gives until every writer has closed it; the descriptor is
// closed afterwards.
inline std::string read_to_end(int descriptor) {
    std::string text;
    char chunk[512];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
    close(descriptor);
    return text;
}
#endif

inline void append_bytes(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

inline Bytes encode_png(const Image& image) {
    Bytes out;
    stbi_write_png_to_func(append_bytes, &out, image.width, image.height, 4, image.rgba.data(), image.width * 4);
    return out;
}

inline Bytes encode_bmp(const Image& image) {
    Bytes out;
    stbi_write_bmp_to_func(append_bytes, &out, image.width, image.height, 4, image.rgba.data());
    return out;
}

inline Bytes encode_jpeg(const Image& image, int quality = 95) {
    Bytes out;
    stbi_write_jpg_to_func(append_bytes, &out, image.width, image.height, 4, image.rgba.data(), quality);
    return out;
}

inline Image decode_bytes(const Bytes& bytes) {
    Image image;
    int channels = 0;
    uint8_t* pixels = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &image.width,
                                            &image.height, &channels, 4);
    if (!pixels) return {};
    image.rgba.assign(pixels, pixels + static_cast<size_t>(image.width) * image.height * 4);
    std::free(pixels);
    return image;
}

inline Bytes read_bytes(const std::string& path) {
    Bytes bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

inline void write_bytes(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    ASSERT_EQ(std::fclose(file), 0);
}

inline Image decode_file(const std::string& path) { return decode_bytes(read_bytes(path)); }

// A fresh folder per test, removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        folder_ = std::filesystem::temp_directory_path() /
                  ("veerpix-test-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string path(const std::string& name) const { return (folder_ / name).string(); }
    std::string put(const std::string& name, const Bytes& bytes) const {
        std::string full = path(name);
        write_bytes(full, bytes);
        return full;
    }
    // Names in the folder, to show that no temporary file was left behind.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path folder_;
};

}  // namespace support
