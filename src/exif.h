// EXIF Orientation of a JPEG held whole in memory: read, compose, rewrite.
// The module never touches the library's error text: failures are written
// into the caller's message buffer with snprintf semantics.
#pragma once

#include <cstdint>

// Changes applied to the image as shown.
constexpr int ORIENT_OP_IDENTITY = 0;
constexpr int ORIENT_OP_ROT90 = 1;   // quarter turn counter-clockwise
constexpr int ORIENT_OP_ROT180 = 2;
constexpr int ORIENT_OP_ROT270 = 3;  // quarter turn clockwise
constexpr int ORIENT_OP_FLIP_H = 4;  // mirror left to right
constexpr int ORIENT_OP_FLIP_V = 5;  // mirror top to bottom

// IFD0's first Orientation entry of type SHORT, as stored (0..65535), or 0
// when there is none or the data is malformed (message in msg).
int qv_exif_parse_orientation(const uint8_t* data, uint64_t len, char* msg, uint64_t msg_size);

// The orientation that describes the stored pixels after `op` is applied to
// an image shown with `orientation`; 0 for arguments out of range.
int qv_exif_compose_orientation(int op, int orientation);

// Sets IFD0's Orientation to `value` in place, removes the entry when value
// is 0, or inserts one when there is none (the buffer must then have room
// for len + 12 bytes). Stores the new length in out_len and returns 1; on 0
// the data is unchanged and msg says why.
int qv_exif_rewrite_orientation(uint8_t* data, uint64_t len, int value, uint64_t* out_len,
                                char* msg, uint64_t msg_size);
