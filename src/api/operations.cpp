// The exported file operations. Each reads the start of its input,
// recognises it, and either finishes without touching pixels (the lossless
// retag of a tagged JPEG, or the unchanged copy of automatic orientation),
// the kernel copying the unread rest into the output, or reads the rest and
// decodes those bytes, transforms and encodes. Every change is to the picture
// as shown: a JPEG's EXIF Orientation is honoured on every road.
//
// The layers below, each a folder of src/ that includes only those under
// it: metadata, formats, pixels, platform, common.
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "common/error.h"
#include "metadata/exif.h"
#include "formats/image_io.h"
#include "metadata/metadata.h"
#include "platform/output.h"
#include "pixels/raster.h"
#include "veerpix.h"

namespace {

struct InputFile {
    malloc_ptr<uint8_t> bytes;  // the whole file, or its start where `rest` is not empty
    uint64_t length = 0;
    UnreadRest rest;
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
    file->bytes = read_head(path, &file->length, &file->rest, &file->identity);
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

// The EXIF Orientation value of a JPEG; 0 for none, and for the other
// formats, which carry none that the library reads.
int stored_orientation(const InputFile& file) {
    if (file.format != IMG_FMT_JPEG) return 0;
    char msg[256] = {};  // the reader's reasons are not the caller's concern
    return qv_exif_parse_orientation(file.bytes.get(), file.length, msg, sizeof msg);
}

bool names_an_orientation(int orientation) { return orientation >= 1 && orientation <= 8; }

// The bytes in memory (`length` of them), then the rest of the file as it
// is: the output of the roads that change no pixels.
int write_unchanged_rest(const char* output, InputFile& file, uint64_t length) {
    const FileTail* tail = file.rest.empty() ? nullptr : &file.rest.tail;
    return write_file(output, std::move(file.bytes), length, &file.identity, tail);
}

// The decoder and the metadata reader take the whole file.
bool read_whole_input(InputFile& file, const char* path) {
    if (read_rest(&file.bytes, &file.length, &file.rest)) return true;
    file.bytes.reset();
    set_err("cannot read input file: %s", path);
    return false;
}

// The lossless step for quarter turns and mirrors of a JPEG into a JPEG
// whose Orientation value is 1..8: only that value changes.
int retag_jpeg(InputFile& file, int orientation, Transform op, const char* output) {
    const int composed = qv_exif_compose_orientation(static_cast<int>(op), orientation);
    if (composed <= 0) {
        file.bytes.reset();
        set_err("exif compose failed");
        return 0;
    }
    char msg[256] = {};
    uint64_t new_length = 0;
    if (!qv_exif_rewrite_orientation(file.bytes.get(), file.length, composed, &new_length, msg,
                                     sizeof msg)) {
        file.bytes.reset();
        set_err("exif rewrite: %s", msg);
        return 0;
    }
    return write_unchanged_rest(output, file, new_length);
}

// A turn by any angle, after the whole-pixel transform.
struct FreeTurn {
    float degrees;
    int red;
    int green;
    int blue;
};

struct RasterSize {
    int64_t width;
    int64_t height;
};

// The sides of the road's result, or nullopt where the free turn cannot
// plan its canvas (it then refuses the picture itself).
std::optional<RasterSize> result_size(const pix_image& decoded, Transform moved,
                                      const FreeTurn* free_turn) {
    pix_image shown{decoded.width, decoded.height, nullptr};
    if (exchanges_sides(moved)) shown = {decoded.height, decoded.width, nullptr};
    if (!free_turn) return RasterSize{shown.width, shown.height};
    int32_t width = 0, height = 0;
    if (!pix_angle_size(&shown, free_turn->degrees, &width, &height)) return std::nullopt;
    return RasterSize{width, height};
}

// Decode, transform, encode: the road of every operation that changes
// pixels. The input's bytes live until the raster exists. The decoded
// raster goes through the whole-pixel transform `moved` (one pass; none
// for the identity), then through the free turn where one is given.
int decode_road(InputFile& file, const char* input, const char* output, img_format output_format,
                Transform moved, const FreeTurn* free_turn) {
    if (!read_whole_input(file, input)) return 0;
    pix_image picture{};
    if (!decode_image(file.bytes.get(), file.length, input, &picture)) return 0;
    pixel_owner picture_pixels(picture.pixels);
    // The colour profile and resolution go on with the pixels.
    const carried_metadata carried = read_carried_metadata(file.bytes.get(), file.length, file.format);
    file.bytes.reset();

    // A result that the encoder cannot take is refused before it is made: a
    // free turn of a 1 x 100000 picture would first fill 20 GB.
    const std::optional<RasterSize> size = result_size(picture, moved, free_turn);
    if (size && !encoder_accepts(size->width, size->height, output_format)) {
        set_err("failed to write output: %s", output);
        return 0;
    }

    // Each step's source is released once its result exists: the encoder
    // holds a copy of its own (the PNG writer filters the whole raster
    // first), so only the last raster reaches it.
    if (moved != Transform::Identity) {
        pix_image result{};
        if (!pix_transform(&picture, moved, &result)) return 0;
        picture_pixels.reset(result.pixels);
        picture = result;
    }
    if (free_turn) {
        pix_image result{};
        if (!pix_angle(&picture, free_turn->degrees, free_turn->red, free_turn->green,
                       free_turn->blue, &result)) {
            return 0;
        }
        picture_pixels.reset(result.pixels);
        picture = result;
    }
    Encoded encoded = encode_raster(&picture, output_format);
    if (!encoded.bytes) {
        set_err("failed to write output: %s", output);
        return 0;
    }
    // Added to the finished file, whichever encoder wrote it.
    attach_carried_metadata(&encoded.bytes, &encoded.length, output_format, carried);
    return write_file(output, std::move(encoded.bytes), encoded.length, &file.identity);
}

// Quarter turns and mirrors: a change to the picture as shown. The lossless
// step where it applies; else the pixel road in the format the output path
// names, with the stored pixels brought upright and changed in one pass.
int reorient_file(const char* input, const char* output, Transform op) {
    InputFile file;
    if (!load_input(input, &file)) return 0;
    const img_format output_format = format_from_path(output, file.format);
    const int orientation = stored_orientation(file);
    if (file.format == IMG_FMT_JPEG && output_format == IMG_FMT_JPEG &&
        names_an_orientation(orientation)) {
        return retag_jpeg(file, orientation, op, output);
    }
    return decode_road(file, input, output, output_format, then(display_transform(orientation), op),
                       nullptr);
}

int flip_common(const char* input, const char* output, int mode) {
    if (!start_operation(input, output)) return 0;
    return reorient_file(input, output,
                         mode == 0 ? Transform::MirrorLeftRight : Transform::MirrorTopBottom);
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
        return reorient_file(input, output, static_cast<Transform>(normalized / 90));
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
        // The angle turns the picture as shown: a tagged JPEG is brought
        // upright first.
        const FreeTurn turn{degrees, red, green, blue};
        return decode_road(file, input, output, format_from_path(output, file.format),
                           display_transform(stored_orientation(file)), &turn);
    });
}

VEERPIX_API int veerpix_auto_orient(const char* input, const char* output) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        InputFile file;
        if (!load_input(input, &file)) return 0;
        const Transform upright = display_transform(stored_orientation(file));
        const img_format output_format = format_from_path(output, file.format);
        // The file is copied only where it already is what was asked for:
        // upright, and in the format the output path names.
        if (upright == Transform::Identity && output_format == file.format) {
            return write_unchanged_rest(output, file, file.length);
        }
        return decode_road(file, input, output, output_format, upright, nullptr);
    });
}

}  // extern "C"

// Metadata of one file copied into another that is already written.
namespace {

// The start of each file first; neither is refused for its format here.
void read_start(const char* path, InputFile* file) {
    file->bytes = read_head(path, &file->length, &file->rest, &file->identity);
    if (file->bytes) file->format = detect_format(file->bytes.get(), file->length);
}

// A lossless retag or a copy of a JPEG keeps the source's compressed
// picture behind a start that differs in a few bytes. Told from where the
// picture lies in the two files, so that the usual call after such a
// result does not read two photos whole to change nothing.
bool same_jpeg_picture_in_files(const InputFile& source, const InputFile& output) {
    if (source.format != IMG_FMT_JPEG || output.format != IMG_FMT_JPEG) return false;
    if (source.rest.empty() || output.rest.empty()) return false;
    const jpeg_picture a = locate_jpeg_picture(source.bytes.get(), source.length);
    const jpeg_picture b = locate_jpeg_picture(output.bytes.get(), output.length);
    if (a.scan_start == 0 || b.scan_start == 0) return false;
    const uint64_t frame_size = a.frame_end - a.frame_start;
    if (frame_size != b.frame_end - b.frame_start ||
        std::memcmp(source.bytes.get() + a.frame_start, output.bytes.get() + b.frame_start,
                    static_cast<size_t>(frame_size)) != 0) {
        return false;
    }
    const uint64_t picture_size = source.rest.tail.size - a.scan_start;
    return picture_size == output.rest.tail.size - b.scan_start &&
           same_bytes_in_files(source.rest.tail, a.scan_start, output.rest.tail, b.scan_start,
                               picture_size);
}

// The messages for each of the two files that cannot serve.
struct MetadataFileRole {
    const char* unreadable;
    const char* unknown_format;
    const char* bmp;
};
constexpr MetadataFileRole kSourceRole = {"cannot read input file: %s", "unsupported input format: %s",
                                          "cannot copy metadata from BMP: %s"};
constexpr MetadataFileRole kOutputRole = {"cannot read output file: %s", "unsupported output format: %s",
                                          "cannot copy metadata into BMP: %s"};

// Only JPEG and PNG carry the metadata this copies.
bool open_metadata_file(const char* path, const MetadataFileRole& role, InputFile* file) {
    read_start(path, file);
    const char* refusal = !file->bytes                     ? role.unreadable
                          : file->format == IMG_FMT_UNKNOWN ? role.unknown_format
                          : file->format == IMG_FMT_BMP     ? role.bmp
                                                            : nullptr;
    if (refusal) set_err(refusal, path);
    return refusal == nullptr;
}

int copy_metadata_file(const char* source_path, const char* output_path) {
    InputFile source, output;
    if (!open_metadata_file(source_path, kSourceRole, &source)) return 0;
    if (!open_metadata_file(output_path, kOutputRole, &output)) return 0;
    if (same_jpeg_picture_in_files(source, output)) return 1;
    if (!read_whole_input(source, source_path)) return 0;
    if (!read_rest(&output.bytes, &output.length, &output.rest)) {
        output.bytes.reset();
        set_err("cannot read output file: %s", output_path);
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
    // The output is replaced by a file made from itself: flushed like any
    // result that replaces the file it was read from.
    return write_file(output_path, std::move(result.bytes), result.length, &output.identity);
}

}  // namespace

extern "C" VEERPIX_API int veerpix_copy_metadata(const char* source, const char* output) {
    return guarded([&] {
        if (!start_operation(source, output)) return 0;
        return copy_metadata_file(source, output);
    });
}
