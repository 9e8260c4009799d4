// The pictures of one JPEG file on the coefficient road: the primary
// picture turned in its coefficients, and the secondary pictures its MPF
// index lists after it (the gain map of an HDR photo, the views of a
// stereo pair) turned the same way, each picture's segments made upright,
// the index rewritten to where they now lie. Where one secondary picture
// cannot be turned, or the index cannot be trusted, they are all left out
// with the MPF segment, so that nothing describes a picture that is not
// there.
#pragma once

#include <cstdint>

#include "formats/jpeg_lossless.h"
#include "metadata/metadata.h"
#include "pixels/transform.h"

struct turned_jpeg_file {
    byte_block jpeg;
    bool trimmed = false;  // some picture lost partial edge blocks
    // Bytes that followed the primary picture are not all in the result:
    // secondary pictures left out with their MPF segment, or data that no
    // index describes.
    bool dropped_pictures = false;
};

// `primary` is jpeg_lossless_transform's result on the whole file
// (`bytes`) with `transform` and `options`, which the secondary pictures
// take too. False where a result's structure cannot be walked.
bool assemble_turned_jpeg(const uint8_t* bytes, uint64_t length, const JpegLosslessResult& primary,
                          Transform transform, const JpegLosslessOptions& options, bool keep_exif_and_xmp,
                          turned_jpeg_file* result);
