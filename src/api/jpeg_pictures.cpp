#include "api/jpeg_pictures.h"

#include <vector>

#include "metadata/multi_picture.h"

namespace {

struct turned_secondary {
    secondary_picture listed;
    byte_block upright;
    bool trimmed = false;
};

upright_jpeg_result upright_sides(const JpegLosslessResult& turned, bool keep_exif_and_xmp) {
    upright_jpeg_result sides;
    sides.width = turned.width;
    sides.height = turned.height;
    sides.keep_exif_and_xmp = keep_exif_and_xmp;
    return sides;
}

// Every listed picture turned and upright, in the order of the file; false
// where one of them cannot be (the caller then leaves them all out).
bool turn_secondaries(const uint8_t* bytes, const std::vector<secondary_picture>& listed, Transform transform,
                      const JpegLosslessOptions& options, bool keep_exif_and_xmp,
                      std::vector<turned_secondary>* turned) {
    for (const secondary_picture& picture : listed) {
        JpegLosslessResult result;
        if (jpeg_lossless_transform(bytes + picture.start, picture.length, transform, options, &result)) return false;
        turned_secondary secondary{picture, {}, result.trimmed_width || result.trimmed_height};
        if (!make_jpeg_segments_upright(result.bytes.get(), result.length, upright_sides(result, keep_exif_and_xmp),
                                        &secondary.upright)) {
            return false;
        }
        turned->push_back(std::move(secondary));
    }
    return true;
}

// Whether the pictures fill the file from the primary picture's end to the
// file's end, with no gap: else something that followed is not carried.
bool fill_the_rest(const std::vector<secondary_picture>& listed, uint64_t primary_end, uint64_t length) {
    uint64_t next = primary_end;
    for (const secondary_picture& picture : listed) {
        if (picture.start != next) return false;
        next = picture.start + picture.length;
    }
    return next == length;
}

}  // namespace

bool assemble_turned_jpeg(const uint8_t* bytes, uint64_t length, const JpegLosslessResult& primary,
                          Transform transform, const JpegLosslessOptions& options, bool keep_exif_and_xmp,
                          turned_jpeg_file* result) {
    *result = turned_jpeg_file{};
    const uint64_t primary_end = primary.input_image_end;
    const bool something_follows = primary_end < length;
    std::vector<secondary_picture> listed;
    const multi_picture_index index = read_multi_picture_index(bytes, length, primary_end, &listed);
    std::vector<turned_secondary> turned;
    const bool carried = index == multi_picture_index::sound &&
                         turn_secondaries(bytes, listed, transform, options, keep_exif_and_xmp, &turned);

    upright_jpeg_result sides = upright_sides(primary, keep_exif_and_xmp);
    result->trimmed = primary.trimmed_width || primary.trimmed_height;
    if (carried) {
        sides.multi_picture = multi_picture_segment::rewrite;
        for (const turned_secondary& secondary : turned) {
            sides.following.push_back(following_picture{secondary.listed.entry, secondary.listed.length,
                                                        secondary.upright.data(), secondary.upright.length});
            result->trimmed = result->trimmed || secondary.trimmed;
        }
    } else if (index != multi_picture_index::absent && something_follows) {
        sides.multi_picture = multi_picture_segment::drop;
    }
    // An index that cannot be followed, with nothing after the picture, is
    // kept as it was: no picture it lists has gone on this road.
    result->dropped_pictures = something_follows && !(carried && fill_the_rest(listed, primary_end, length));
    return make_jpeg_segments_upright(primary.bytes.get(), primary.length, sides, &result->jpeg);
}
