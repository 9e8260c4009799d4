// Makes the project's sample pictures: an upward arrow under the word TOP,
// so that any turn or mirror is plain to see.
//
//   veerpix_make_sample sideways.jpg   a JPEG stored turned a quarter turn
//                                      counter-clockwise and tagged with
//                                      EXIF Orientation 6, which a viewer
//                                      that honours it shows upright
//   veerpix_make_sample upright.png    the same picture, upright, as PNG
//
// The format follows the extension (jpg: tagged sideways JPEG, png: PNG).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/image_io.h"
#include "pixels/raster.h"
#include "stb_image_write.h"

namespace {

constexpr int kWidth = 240;
constexpr int kHeight = 320;

struct Canvas {
    std::vector<uint8_t> rgba = std::vector<uint8_t>(size_t{kWidth} * kHeight * 4);

    void fill(int x0, int y0, int x1, int y1, uint32_t rgb) {
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
                uint8_t* p = &rgba[(size_t{static_cast<size_t>(y)} * kWidth + x) * 4];
                p[0] = static_cast<uint8_t>(rgb >> 16);
                p[1] = static_cast<uint8_t>(rgb >> 8);
                p[2] = static_cast<uint8_t>(rgb);
                p[3] = 255;
            }
        }
    }
};

// 5x7 glyphs, one string per row, '#' set.
const char* const kGlyphT[7] = {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."};
const char* const kGlyphO[7] = {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."};
const char* const kGlyphP[7] = {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."};

void draw_glyph(Canvas& canvas, const char* const glyph[7], int left, int top, int scale,
                uint32_t rgb) {
    for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
            if (glyph[row][col] != '#') continue;
            canvas.fill(left + col * scale, top + row * scale, left + (col + 1) * scale,
                        top + (row + 1) * scale, rgb);
        }
    }
}

Canvas draw_upright_picture() {
    Canvas canvas;
    canvas.fill(0, 0, kWidth, kHeight, 0xF4EBD0);          // paper
    canvas.fill(0, 0, kWidth, 8, 0x2E86DE);                 // blue band marks the top
    canvas.fill(0, 0, 8, kHeight, 0xE74C3C);                // red band marks the left
    const int scale = 8;
    const int text_left = (kWidth - (3 * 5 + 2) * scale) / 2;
    draw_glyph(canvas, kGlyphT, text_left, 30, scale, 0x222222);
    draw_glyph(canvas, kGlyphO, text_left + 6 * scale, 30, scale, 0x222222);
    draw_glyph(canvas, kGlyphP, text_left + 12 * scale, 30, scale, 0x222222);
    // The arrow: a triangle head over a shaft, pointing up.
    const int centre = kWidth / 2;
    for (int y = 120; y < 190; ++y) {
        int half = (y - 120) * 6 / 7;
        canvas.fill(centre - half, y, centre + half + 1, y + 1, 0x27AE60);
    }
    canvas.fill(centre - 18, 190, centre + 18, 290, 0x27AE60);
    return canvas;
}

void append_sink(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

// An Exif APP1 segment, little-endian, whose IFD0 holds Orientation alone.
// Written out byte by byte: the sample is part of the demo, so it does not
// borrow the tests' Exif builder.
std::vector<uint8_t> orientation_segment(uint16_t orientation) {
    return {0xFF, 0xE1, 0x00, 0x22,                        // APP1, 34 bytes from here
            'E', 'x', 'i', 'f', 0x00, 0x00,                 //
            'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00,   // TIFF header, IFD0 at 8
            0x01, 0x00,                                     // one entry:
            0x12, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, //   Orientation, SHORT, count 1,
            static_cast<uint8_t>(orientation), static_cast<uint8_t>(orientation >> 8), 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00};                        // no IFD1
}

bool write_bytes(const char* path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool write_sideways_jpeg(const char* path, Canvas& upright) {
    pix_image source{kWidth, kHeight, upright.rgba.data()};
    pix_image stored{};
    if (!pix_fixed(&source, 90, &stored)) return false;
    pixel_owner owner(stored.pixels);
    std::vector<uint8_t> jpeg;
    if (!stbi_write_jpg_to_func(append_sink, &jpeg, stored.width, stored.height, 4, stored.pixels, 92)) {
        return false;
    }
    std::vector<uint8_t> segment = orientation_segment(6);
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());  // right after SOI
    return write_bytes(path, jpeg);
}

bool write_png(const char* path, Canvas& upright) {
    std::vector<uint8_t> png;
    if (!stbi_write_png_to_func(append_sink, &png, kWidth, kHeight, 4, upright.rgba.data(), kWidth * 4)) {
        return false;
    }
    return write_bytes(path, png);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: veerpix_make_sample OUTPUT.jpg|OUTPUT.png\n");
        return 2;
    }
    Canvas upright = draw_upright_picture();
    const char* path = argv[1];
    bool ok = format_from_path(path, IMG_FMT_JPEG) == IMG_FMT_PNG ? write_png(path, upright)
                                                                   : write_sideways_jpeg(path, upright);
    if (!ok) {
        std::fprintf(stderr, "veerpix_make_sample: cannot write %s\n", path);
        return 1;
    }
    return 0;
}
