// EXIF Orientation of a JPEG held whole in memory: read, compose, rewrite.
// The module never touches the library's error text: failures are written
// into the caller's message buffer with snprintf semantics.
#pragma once

#include <cstdint>

#include "pixels/transform.h"

// Changes applied to the image as shown: the first six transforms.
constexpr int ORIENT_OP_IDENTITY = static_cast<int>(Transform::Identity);
constexpr int ORIENT_OP_ROT90 = static_cast<int>(Transform::Turn90);    // quarter turn counter-clockwise
constexpr int ORIENT_OP_ROT180 = static_cast<int>(Transform::Turn180);
constexpr int ORIENT_OP_ROT270 = static_cast<int>(Transform::Turn270);  // quarter turn clockwise
constexpr int ORIENT_OP_FLIP_H = static_cast<int>(Transform::MirrorLeftRight);
constexpr int ORIENT_OP_FLIP_V = static_cast<int>(Transform::MirrorTopBottom);

// IFD0's first Orientation entry of type SHORT, as stored (0..65535), or 0
// when there is none or the data is malformed (message in msg).
int qv_exif_parse_orientation(const uint8_t* data, uint64_t len, char* msg, uint64_t msg_size);

// How many bytes from the start of a JPEG the reader and the rewriter
// below look at: up to the end of the first Exif segment. Returns that
// length where it lies within `len`; a larger length where the first `len`
// bytes end before the walk over the segments decides (read at least that
// many and ask again); 0 where they show that there is no Exif segment.
uint64_t qv_exif_head_length(const uint8_t* data, uint64_t len);

// The orientation that describes the stored pixels after `op` is applied to
// an image shown with `orientation`; 0 for arguments out of range.
int qv_exif_compose_orientation(int op, int orientation);

// Sets IFD0's Orientation to `value` in place (every SHORT entry with the
// tag, where a camera wrote it twice; a first entry of another type is
// refused), removes the first entry when value is 0, or inserts one when
// there is none (the buffer must then have room
// for len + 12 bytes). Stores the new length in out_len and returns 1; on 0
// the data is unchanged and msg says why.
int qv_exif_rewrite_orientation(uint8_t* data, uint64_t len, int value, uint64_t* out_len,
                                char* msg, uint64_t msg_size);
