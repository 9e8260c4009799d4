// The exported file operations. Each reads its input whole, recognises it,
// and either finishes without touching pixels (the lossless retag of a
// tagged JPEG, or the unchanged copy of automatic orientation) or decodes,
// transforms and encodes.
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "error.h"
#include "exif.h"
#include "image_io.h"
#include "metadata.h"
#include "output.h"
#include "raster.h"
#include "veerpix.h"

namespace {

struct InputFile {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
    img_format format = IMG_FMT_UNKNOWN;
    FileIdentity identity;  // an output that is this file gets flushed before it replaces it
};

// Every export clears the text first, so a success always leaves it empty.
bool start_operation(const char* input, const char* output) {
    clear_err();
    if (!input || !output) {
        set_err("input/output must not be NULL");
        return false;
    }
    return true;
}

bool load_input(const char* path, InputFile* file) {
    file->bytes = read_file(path, &file->length, &file->identity);
    if (!file->bytes) {
        set_err("cannot read input file: %s", path);
        return false;
    }
    file->format = detect_format(file->bytes.get(), file->length);
    if (file->format == IMG_FMT_UNKNOWN) {
        file->bytes.reset();
        set_err("unsupported input format: %s", path);
        return false;
    }
    return true;
}

// The lossless step for quarter turns and mirrors of a JPEG into a JPEG:
// only the EXIF Orientation value changes. Declines (nullopt, the bytes
// left with the caller) when the file has no Orientation value 1..8;
// otherwise takes the bytes and gives the operation's result.
std::optional<int> retag_jpeg(malloc_ptr<uint8_t>& bytes, uint64_t length, int op,
                              const char* output, const FileIdentity& input) {
    char msg[256] = {};
    int orientation = qv_exif_parse_orientation(bytes.get(), length, msg, sizeof msg);
    if (orientation < 1 || orientation > 8) return std::nullopt;

    int composed = qv_exif_compose_orientation(op, orientation);
    if (composed <= 0) {
        bytes.reset();
        set_err("exif compose failed");
        return 0;
    }
    uint64_t new_length = 0;
    if (!qv_exif_rewrite_orientation(bytes.get(), length, composed, &new_length, msg, sizeof msg)) {
        bytes.reset();
        set_err("exif rewrite: %s", msg);
        return 0;
    }
    return write_file(output, std::move(bytes), new_length, &input);
}

struct RasterSize {
    int64_t width;
    int64_t height;
};

// The result size of a transform that moves whole pixels: quarter turns by
// 90 or 270 degrees and the diagonal mirrors exchange the sides, the
// others keep them.
auto moved_pixels_size(bool exchanges_sides) {
    return [exchanges_sides](const pix_image& source) -> std::optional<RasterSize> {
        if (exchanges_sides) return RasterSize{source.height, source.width};
        return RasterSize{source.width, source.height};
    };
}

// Decode, transform, encode: the road of every operation that changes
// pixels. `result_size` gives the sides of the transform's result where it
// can (nullopt leaves the refusal to the transform); `transform` fills its
// result raster or sets its message.
template <typename ResultSize, typename Transform>
int transform_pixels(const char* input, const FileIdentity& input_identity, const char* output,
                     img_format output_format, const carried_metadata& carried,
                     ResultSize result_size, Transform transform) {
    pix_image source{};
    if (!decode_image(input, &source)) return 0;
    pixel_owner source_pixels(source.pixels);

    // A result that the encoder cannot take is refused before it is made: a
    // free turn of a 1 x 100000 picture would first fill 20 GB.
    const std::optional<RasterSize> size = result_size(source);
    if (size && !encoder_accepts(size->width, size->height, output_format)) {
        set_err("failed to write output: %s", output);
        return 0;
    }

    pix_image result{};
    if (!transform(&source, &result)) return 0;
    pixel_owner result_pixels(result.pixels);
    // The encoder holds a copy of its own (the PNG writer filters the whole
    // raster first): the source is not needed past this point.
    source_pixels.reset();

    return encode_image(output, &result, output_format, &carried, &input_identity);
}

// Quarter turns and mirrors: the lossless step where it applies, else the
// pixel road in the format the output path names.
template <typename Transform>
int reorient_file(const char* input, const char* output, int op, bool exchanges_sides,
                  Transform transform) {
    InputFile file;
    if (!load_input(input, &file)) return 0;
    img_format output_format = format_from_path(output, file.format);
    if (file.format == IMG_FMT_JPEG && output_format == IMG_FMT_JPEG) {
        if (std::optional<int> retagged =
                retag_jpeg(file.bytes, file.length, op, output, file.identity)) {
            return *retagged;
        }
    }
    // The colour profile and resolution go on with the pixels.
    const carried_metadata carried = read_carried_metadata(file.bytes.get(), file.length, file.format);
    file.bytes.reset();  // the decoder reads the file again by its path
    return transform_pixels(input, file.identity, output, output_format, carried,
                            moved_pixels_size(exchanges_sides), transform);
}

int flip_common(const char* input, const char* output, int mode) {
    if (!start_operation(input, output)) return 0;
    return reorient_file(input, output, ORIENT_OP_FLIP_H + (mode != 0 ? 1 : 0), false,
                         [mode](const pix_image* source, pix_image* result) {
                             return pix_flip(source, mode, result);
                         });
}

// The one transform that brings stored pixels upright, per Orientation
// value; at most one of the three is active.
struct UprightTransform {
    int quarter_turn_degrees;  // counter-clockwise, 0 for none
    int mirror_mode;           // -1 for none
    int diagonal;              // 0 none, 1 transpose, 2 transverse
};

constexpr UprightTransform kUprightTransforms[9] = {
    {0, -1, 0},    // 0: no orientation
    {0, -1, 0},    // 1: already upright
    {0, 0, 0},     // 2: mirrored left to right
    {180, -1, 0},  // 3: turned by a half turn
    {0, 1, 0},     // 4: mirrored top to bottom
    {0, -1, 1},    // 5: mirrored about the main diagonal
    {270, -1, 0},  // 6: needs a quarter turn clockwise
    {0, -1, 2},    // 7: mirrored about the anti-diagonal
    {90, -1, 0},   // 8: needs a quarter turn counter-clockwise
};

bool upright_exchanges_sides(int orientation) {
    const UprightTransform& t = kUprightTransforms[orientation];
    return t.diagonal != 0 || t.quarter_turn_degrees == 90 || t.quarter_turn_degrees == 270;
}

int make_upright(const pix_image* source, int orientation, pix_image* result) {
    const UprightTransform& t = kUprightTransforms[orientation];
    if (t.mirror_mode != -1) return pix_flip(source, t.mirror_mode, result);
    if (t.diagonal == 1) return pix_transpose(source, result);
    if (t.diagonal == 2) return pix_transverse(source, result);
    return pix_fixed(source, t.quarter_turn_degrees, result);
}

// No exception may cross the C boundary; the only one possible inside is
// an allocation failure.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (...) {
        set_err("out of memory");
        return 0;
    }
}

}  // namespace

extern "C" {

VEERPIX_API int veerpix_fixed(const char* input, const char* output, int degrees) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        // The inner remainder lies in -359..359, so no 32-bit value overflows.
        const int normalized = ((degrees % 360) + 360) % 360;
        if (normalized != 90 && normalized != 180 && normalized != 270) {
            set_err("degrees must be 90, 180 or 270 (got %d)", degrees);
            return 0;
        }
        return reorient_file(input, output, normalized / 90, normalized != 180,
                             [normalized](const pix_image* source, pix_image* result) {
                                 return pix_fixed(source, normalized, result);
                             });
    });
}

VEERPIX_API int veerpix_flip_h(const char* input, const char* output) {
    return guarded([&] { return flip_common(input, output, 0); });
}

VEERPIX_API int veerpix_flip_v(const char* input, const char* output) {
    return guarded([&] { return flip_common(input, output, 1); });
}

VEERPIX_API int veerpix_angle(const char* input, const char* output, float degrees, int red,
                              int green, int blue) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        if (!std::isfinite(degrees)) {
            set_err("angle must be a finite number");
            return 0;
        }
        InputFile file;
        if (!load_input(input, &file)) return 0;
        const carried_metadata carried = read_carried_metadata(file.bytes.get(), file.length, file.format);
        file.bytes.reset();
        auto canvas_size = [degrees](const pix_image& source) -> std::optional<RasterSize> {
            int32_t width = 0, height = 0;
            if (!pix_angle_size(&source, degrees, &width, &height)) return std::nullopt;
            return RasterSize{width, height};
        };
        return transform_pixels(input, file.identity, output, format_from_path(output, file.format),
                                carried, canvas_size,
                                [&](const pix_image* source, pix_image* result) {
                                    return pix_angle(source, degrees, red, green, blue, result);
                                });
    });
}

VEERPIX_API int veerpix_auto_orient(const char* input, const char* output) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        InputFile file;
        if (!load_input(input, &file)) return 0;
        int orientation = 0;
        if (file.format == IMG_FMT_JPEG) {
            char msg[256] = {};  // the reader's reasons are not the caller's concern
            orientation = qv_exif_parse_orientation(file.bytes.get(), file.length, msg, sizeof msg);
        }
        if (orientation < 2 || orientation > 8) {
            return write_file(output, std::move(file.bytes), file.length, &file.identity);
        }
        const carried_metadata carried = read_carried_metadata(file.bytes.get(), file.length, file.format);
        file.bytes.reset();
        return transform_pixels(input, file.identity, output,
                                format_from_path(output, IMG_FMT_JPEG), carried,
                                moved_pixels_size(upright_exchanges_sides(orientation)),
                                [orientation](const pix_image* source, pix_image* result) {
                                    return make_upright(source, orientation, result);
                                });
    });
}

}  // extern "C"

// Metadata of one file copied into another that is already written.
namespace {

// Both files are read whole; neither is refused for its format here.
InputFile read_whole(const char* path) {
    InputFile file;
    file.bytes = read_file(path, &file.length);
    if (file.bytes) file.format = detect_format(file.bytes.get(), file.length);
    return file;
}

int copy_metadata_file(const char* source_path, const char* output_path) {
    const InputFile source = read_whole(source_path);
    if (!source.bytes) {
        set_err("cannot read input file: %s", source_path);
        return 0;
    }
    if (source.format == IMG_FMT_UNKNOWN) {
        set_err("unsupported input format: %s", source_path);
        return 0;
    }
    if (source.format == IMG_FMT_BMP) {
        set_err("cannot copy metadata from BMP: %s", source_path);
        return 0;
    }
    const InputFile output = read_whole(output_path);
    if (!output.bytes) {
        set_err("cannot read output file: %s", output_path);
        return 0;
    }
    if (output.format == IMG_FMT_UNKNOWN) {
        set_err("unsupported output format: %s", output_path);
        return 0;
    }
    if (output.format == IMG_FMT_BMP) {
        set_err("cannot copy metadata into BMP: %s", output_path);
        return 0;
    }
    // A byte copy or a lossless retag of the source already shows the
    // right picture with the source's own Orientation: setting it to 1
    // would turn it.
    if (same_image_data(source.bytes.get(), source.length, source.format, output.bytes.get(),
                        output.length, output.format)) {
        return 1;
    }
    photo_metadata metadata = read_photo_metadata(source.bytes.get(), source.length, source.format);
    make_exif_upright(&metadata.exif);
    make_xmp_upright(&metadata.xmp);
    byte_block result;
    if (!replace_photo_metadata(output.bytes.get(), output.length, output.format, metadata, &result)) {
        set_err("cannot parse output file: %s", output_path);
        return 0;
    }
    return write_file(output_path, std::move(result.bytes), result.length);
}

}  // namespace

extern "C" VEERPIX_API int veerpix_copy_metadata(const char* source, const char* output) {
    return guarded([&] {
        if (!start_operation(source, output)) return 0;
        return copy_metadata_file(source, output);
    });
}
