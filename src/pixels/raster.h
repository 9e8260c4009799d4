// 8-bit RGBA rasters and the transforms between them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "common/memory.h"
#include "pixels/transform.h"

// Rows top to bottom without gaps, each pixel the bytes R, G, B, A.
struct pix_image {
    int32_t width;
    int32_t height;
    uint8_t* pixels;  // malloc'd, width * height * 4 bytes
};

// Owns a raster's pixels so that every path releases them.
using pixel_owner = malloc_ptr<uint8_t>;

// Bytes of a width x height RGBA raster, or nothing when the size cannot be
// held in memory (negative sides, or a product past what size_t holds).
std::optional<size_t> raster_bytes(int64_t width, int64_t height);

// Each routine fills `result` with a new buffer the caller owns and returns
// 1, or sets "out of memory" and returns 0 and leaves `result` as it was.

// Sets "out of memory" and returns 0: the routines' one way of failing for
// want of room.
int out_of_memory();

// Any of the eight whole-pixel transforms, in one pass over the raster.
// `result` is left untouched on failure.
int pix_transform(const pix_image* source, Transform transform, pix_image* result);

// A raster as one of the whole-pixel transforms shows it, read a band of
// rows at a time without making the transformed raster: the writers read
// the decoded picture through it, so that a turn holds one raster, not two.
struct pix_view {
    pix_image source;
    Transform transform;
    int32_t width;  // of the picture as shown
    int32_t height;
};

pix_view pix_view_of(const pix_image& source, Transform transform = Transform::Identity);

// The rows a writer asks for at a time: 16 pixels of a source column are
// one cache line, so a band of a turned view reads each source line once.
constexpr int64_t kViewBandRows = 16;

// Rows first .. first + count - 1 of the view: rows[i] is row first + i.
// A row that lies in the source as it is (the identity, the mirror top to
// bottom) is pointed to there; the others are gathered into `scratch`,
// room for count rows of view.width pixels. rows[] holds count pointers.
void pix_view_rows(const pix_view& view, int64_t first, int64_t count, uint8_t* scratch,
                   const uint8_t* rows[]);

// Faces of pix_transform for one transform each.

// Quarter turns counter-clockwise; degrees is 90, 180 or 270.
int pix_fixed(const pix_image* source, int degrees, pix_image* result);

// Mode 0 mirrors left to right, any other value top to bottom.
int pix_flip(const pix_image* source, int mode, pix_image* result);

// Mirror about the main diagonal: source (x, y) goes to (y, x).
int pix_transpose(const pix_image* source, pix_image* result);

// Mirror about the anti-diagonal: source (x, y) goes to (H-1-y, W-1-x).
int pix_transverse(const pix_image* source, pix_image* result);

// Turns counter-clockwise by any finite angle with bilinear sampling onto a
// canvas that holds the whole turned picture; uncovered pixels are the
// opaque background (red, green, blue clamped to 0..255). Refuses a
// non-finite angle with "angle must be a finite number".
int pix_angle(const pix_image* source, float degrees, int red, int green, int blue,
              pix_image* result);

// The sides of pix_angle's canvas, without allocating it: 1 and the sides,
// or 0 where pix_angle fails before allocating (a non-finite angle, sides
// past int32). The canvas holds up to about twice the source's pixels.
int pix_angle_size(const pix_image* source, float degrees, int32_t* width, int32_t* height);
