// The exported file operations: veerpix_transform and the operations that
// are it with fixed arguments, all through one choice of road
// (transform_file). Each reads the start of its input, recognises it, and
// either finishes without touching pixels (the lossless retag of a tagged
// JPEG, or the unchanged copy), the kernel copying the unread rest into the
// output, or reads the rest and decodes those bytes, transforms and encodes,
// the metadata kept where asked, in one write. Every change is to the
// picture as shown: a JPEG's EXIF Orientation is honoured on every road.
//
// The layers below, each a folder of src/ that includes only those under
// it: metadata, formats, pixels, platform, common.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "api/jpeg_pictures.h"
#include "common/error.h"
#include "metadata/exif.h"
#include "formats/image_io.h"
#include "formats/jpeg_lossless.h"
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
// whose Orientation value is 1..8: only that value changes. Composed from
// the model of the transforms, which covers the diagonal mirrors too.
int retag_jpeg(InputFile& file, int orientation, Transform op, const char* output) {
    const int composed = orientation_displayed_by(then(display_transform(orientation), op));
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

// What one call asks for, its arguments checked.
struct Asked {
    Transform change = Transform::Identity;  // to the picture as shown
    std::optional<FreeTurn> free_turn;       // after `change`
    bool turn_pixels = false;                // even where the tag could be rewritten
    bool keep_metadata = false;              // EXIF and XMP too, on re-encoded results
    int jpeg_quality = kJpegQualityDefault;
    int lossless = VEERPIX_LOSSLESS_OFF;     // whether the coefficient road is tried
    bool trim = false;                       // its partial edge blocks dropped where needed
};

// Automatic orientation: the picture as shown, unchanged, in its pixels.
Asked auto_orientation() {
    Asked asked;
    asked.turn_pixels = true;
    return asked;
}

// JPEG and PNG hold EXIF and XMP; BMP has no place for them.
bool holds_photo_metadata(img_format format) {
    return format == IMG_FMT_JPEG || format == IMG_FMT_PNG;
}

// A file's metadata as it reads on an upright picture of it.
photo_metadata upright_metadata_of(const uint8_t* bytes, uint64_t length, img_format format) {
    photo_metadata metadata = read_photo_metadata(bytes, length, format);
    make_exif_upright(&metadata.exif);
    make_xmp_upright(&metadata.xmp);
    return metadata;
}

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
// pixels. The input's bytes live until the raster exists. The writer reads
// the decoded raster through the whole-pixel transform `moved`; a free
// turn, where one is given, is made from the moved raster first.
int decode_road(InputFile& file, const char* input, const char* output, img_format output_format,
                Transform moved, const Asked& asked) {
    if (!read_whole_input(file, input)) return 0;
    pix_image picture{};
    if (!decode_image(file.bytes.get(), file.length, input, &picture)) return 0;
    pixel_owner picture_pixels(picture.pixels);
    // The colour profile and resolution go on with the pixels; the rest of
    // the photo's metadata where asked, read now so that the input's bytes
    // can go (an in-place call needs no copy of them).
    const carried_metadata carried = read_carried_metadata(file.bytes.get(), file.length, file.format);
    const bool keep_metadata = asked.keep_metadata && holds_photo_metadata(file.format) &&
                               holds_photo_metadata(output_format);
    const photo_metadata kept =
        keep_metadata ? upright_metadata_of(file.bytes.get(), file.length, file.format) : photo_metadata{};
    file.bytes.reset();
    const FreeTurn* free_turn = asked.free_turn ? &*asked.free_turn : nullptr;

    // A result that the encoder cannot take is refused before it is made: a
    // free turn of a 1 x 100000 picture would first fill 20 GB.
    const std::optional<RasterSize> size = result_size(picture, moved, free_turn);
    if (size && !encoder_accepts(size->width, size->height, output_format)) {
        set_err("failed to write output: %s", output);
        return 0;
    }

    // The writers read the decoded raster through the whole-pixel
    // transform, a band of rows at a time: a turn or mirror holds one
    // raster. The free turn makes its own canvas, from the moved raster;
    // each step's source is released once its result exists.
    Transform left_to_writer = moved;
    if (free_turn) {
        if (moved != Transform::Identity) {
            pix_image result{};
            if (!pix_transform(&picture, moved, &result)) return 0;
            picture_pixels.reset(result.pixels);
            picture = result;
        }
        pix_image result{};
        if (!pix_angle(&picture, free_turn->degrees, free_turn->red, free_turn->green,
                       free_turn->blue, &result)) {
            return 0;
        }
        picture_pixels.reset(result.pixels);
        picture = result;
        left_to_writer = Transform::Identity;
    }
    // The writer lets the raster go as soon as it has read it.
    Encoded encoded =
        encode_view(pix_view_of(picture, left_to_writer), output_format, asked.jpeg_quality, &picture_pixels);
    picture_pixels.reset();
    if (!encoded.bytes) {
        set_err("failed to write output: %s", output);
        return 0;
    }
    // Added to the finished file, whichever encoder wrote it.
    attach_carried_metadata(&encoded.bytes, &encoded.length, output_format, carried);
    if (keep_metadata) {
        // The same step as veerpix_copy_metadata's, on the bytes in memory.
        byte_block with_metadata;
        if (!replace_photo_metadata(encoded.bytes.get(), encoded.length, output_format, kept,
                                    &with_metadata)) {
            set_err("failed to write output: %s", output);
            return 0;
        }
        return write_file(output, std::move(with_metadata.bytes), with_metadata.length,
                          &file.identity);
    }
    return write_file(output, std::move(encoded.bytes), encoded.length, &file.identity);
}

// Why the coefficient road declined, as the caller reads it: the side and
// the MCU for a partial edge, which trim would mend.
void set_lossless_refusal(const char* reason, const JpegLosslessResult& attempt, const char* input) {
    if (reason == kJpegPartialWidth || reason == kJpegPartialHeight) {
        const bool width = reason == kJpegPartialWidth;
        set_err("lossless turn needs a %s that is a multiple of %u (got %u); use trim",
                width ? "width" : "height", static_cast<unsigned>(width ? attempt.mcu_width : attempt.mcu_height),
                static_cast<unsigned>(width ? attempt.input_width : attempt.input_height));
        return;
    }
    set_err("lossless turn cannot read this JPEG (%s): %s", reason, input);
}

enum class CoefficientOutcome { Written, Failed, Declined };

// The coefficient road: the stored picture transformed by `moved` in its
// DCT coefficients, its segments made upright, the pictures its MPF index
// lists after it turned with it (or left out with the index). Declined (no message) where
// the file does not allow it and the caller may take another road.
CoefficientOutcome coefficient_road(InputFile& file, const char* input, const char* output, Transform moved,
                                    const Asked& asked, int* road) {
    if (!read_whole_input(file, input)) return CoefficientOutcome::Failed;
    JpegLosslessOptions options;
    options.trim = asked.trim;
    JpegLosslessResult turned;
    const char* reason = jpeg_lossless_transform(file.bytes.get(), file.length, moved, options, &turned);
    if (reason) {
        if (asked.lossless != VEERPIX_LOSSLESS_REQUIRE) return CoefficientOutcome::Declined;
        set_lossless_refusal(reason, turned, input);
        return CoefficientOutcome::Failed;
    }
    turned_jpeg_file upright;
    if (!assemble_turned_jpeg(file.bytes.get(), file.length, turned, moved, options, asked.keep_metadata, &upright)) {
        set_err("failed to write output: %s", output);
        return CoefficientOutcome::Failed;
    }
    turned.bytes.reset();
    file.bytes.reset();
    *road = VEERPIX_ROAD_COEFFICIENTS | (upright.trimmed ? VEERPIX_ROAD_TRIMMED : 0) |
            (upright.dropped_pictures ? VEERPIX_ROAD_DROPPED_PICTURES : 0);
    return write_file(output, std::move(upright.jpeg.bytes), upright.jpeg.length, &file.identity)
               ? CoefficientOutcome::Written
               : CoefficientOutcome::Failed;
}

// Where lossless is required, a call that no coefficient road can take
// fails here with the reason; false where the road may be tried.
bool refuse_reencode(const InputFile& file, img_format output_format, const Asked& asked, const char* output) {
    if (asked.lossless != VEERPIX_LOSSLESS_REQUIRE) return false;
    if (asked.free_turn) {
        set_err("lossless turn cannot turn by any angle");
        return true;
    }
    if (file.format != IMG_FMT_JPEG || output_format != IMG_FMT_JPEG) {
        set_err("lossless turn needs a JPEG input and a JPEG output: %s", output);
        return true;
    }
    return false;
}

// The one choice of road for every operation, from the asked change and
// the file. A copy where the file already is what was asked for; the
// lossless tag rewrite where a JPEG into a JPEG carries an Orientation
// value; else the pixel road in the format the output path names, the
// stored pixels brought upright and changed in one pass.
int transform_file(const char* input, const char* output, const Asked& asked, int* road) {
    *road = VEERPIX_ROAD_NONE;
    InputFile file;
    if (!load_input(input, &file)) return 0;
    const img_format output_format = format_from_path(output, file.format);
    const int orientation = stored_orientation(file);
    const Transform upright = display_transform(orientation);
    const bool tag_can_change = !asked.turn_pixels && !asked.free_turn && file.format == IMG_FMT_JPEG &&
                                output_format == IMG_FMT_JPEG && names_an_orientation(orientation);
    int written = 0;
    if (!asked.free_turn && asked.change == Transform::Identity && output_format == file.format &&
        (upright == Transform::Identity || tag_can_change)) {
        *road = VEERPIX_ROAD_COPY;
        written = write_unchanged_rest(output, file, file.length);
    } else if (tag_can_change) {
        *road = VEERPIX_ROAD_TAG;
        written = retag_jpeg(file, orientation, asked.change, output);
    } else if (refuse_reencode(file, output_format, asked, output)) {
        written = 0;
    } else {
        const Transform moved = then(upright, asked.change);
        CoefficientOutcome outcome = CoefficientOutcome::Declined;
        if (asked.lossless != VEERPIX_LOSSLESS_OFF && !asked.free_turn && file.format == IMG_FMT_JPEG &&
            output_format == IMG_FMT_JPEG) {
            outcome = coefficient_road(file, input, output, moved, asked, road);
        }
        if (outcome == CoefficientOutcome::Declined) {
            *road = VEERPIX_ROAD_REENCODE;
            written = decode_road(file, input, output, output_format, moved, asked);
        } else {
            written = outcome == CoefficientOutcome::Written;
        }
    }
    if (!written) *road = VEERPIX_ROAD_NONE;
    return written;
}

// The operations with fixed arguments, whose callers learn no road.
int transform_file(const char* input, const char* output, const Asked& asked) {
    int road = VEERPIX_ROAD_NONE;
    return transform_file(input, output, asked, &road);
}

int flip_common(const char* input, const char* output, Transform mirror) {
    if (!start_operation(input, output)) return 0;
    Asked asked;
    asked.change = mirror;
    return transform_file(input, output, asked);
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
        Asked asked;
        asked.change = static_cast<Transform>(normalized / 90);
        return transform_file(input, output, asked);
    });
}

VEERPIX_API int veerpix_flip_h(const char* input, const char* output) {
    return guarded([&] { return flip_common(input, output, Transform::MirrorLeftRight); });
}

VEERPIX_API int veerpix_flip_v(const char* input, const char* output) {
    return guarded([&] { return flip_common(input, output, Transform::MirrorTopBottom); });
}

VEERPIX_API int veerpix_angle(const char* input, const char* output, float degrees, int red,
                              int green, int blue) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        if (!std::isfinite(degrees)) {
            set_err("angle must be a finite number");
            return 0;
        }
        Asked asked;
        asked.free_turn = FreeTurn{degrees, red, green, blue};
        return transform_file(input, output, asked);
    });
}

VEERPIX_API int veerpix_auto_orient(const char* input, const char* output) {
    return guarded([&] {
        if (!start_operation(input, output)) return 0;
        return transform_file(input, output, auto_orientation());
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
    const photo_metadata metadata = upright_metadata_of(source.bytes.get(), source.length, source.format);
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

// The call with options: its record read as the version that wrote it.
namespace {

// The record of the first version; later ones only grow at the end. The
// upper bound catches a size field that holds something else.
constexpr uint32_t kFirstOptionsSize = 32;
constexpr uint32_t kLargestOptionsSize = 4096;
static_assert(sizeof(veerpix_options) >= kFirstOptionsSize, "records only grow");
// The header's transform values are the model's.
static_assert(VEERPIX_KEEP == static_cast<int>(Transform::Identity) &&
                  VEERPIX_TURN_90 == static_cast<int>(Transform::Turn90) &&
                  VEERPIX_TURN_180 == static_cast<int>(Transform::Turn180) &&
                  VEERPIX_TURN_270 == static_cast<int>(Transform::Turn270) &&
                  VEERPIX_MIRROR_LEFT_RIGHT == static_cast<int>(Transform::MirrorLeftRight) &&
                  VEERPIX_MIRROR_TOP_BOTTOM == static_cast<int>(Transform::MirrorTopBottom) &&
                  VEERPIX_TRANSPOSE == static_cast<int>(Transform::Transpose) &&
                  VEERPIX_TRANSVERSE == static_cast<int>(Transform::Transverse),
              "the exported transform values");
constexpr uint32_t kKnownFlags = VEERPIX_KEEP_METADATA | VEERPIX_TURN_PIXELS | VEERPIX_TRIM;

// The caller's record as this version's, fields it lacks 0; false with the
// message where it is refused. A field this version does not know is
// refused rather than ignored: the caller asked for something.
bool read_options(const veerpix_options* given, veerpix_options* options) {
    *options = veerpix_options{};
    options->size = sizeof(veerpix_options);
    if (!given) return true;
    const uint32_t size = given->size;
    if (size < kFirstOptionsSize || size > kLargestOptionsSize) {
        set_err("options record has an unknown size (%u bytes)", static_cast<unsigned>(size));
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    for (uint32_t at = sizeof(veerpix_options); at < size; ++at) {
        if (bytes[at] != 0) {
            set_err("options record sets options this library does not know (byte %u)",
                    static_cast<unsigned>(at));
            return false;
        }
    }
    std::memcpy(options, given, std::min<size_t>(size, sizeof(veerpix_options)));
    return true;
}

// The checked request, or false with the message.
bool ask(int transform, const veerpix_options& options, Asked* asked) {
    if (transform < VEERPIX_KEEP || transform > VEERPIX_ANGLE) {
        set_err("unknown transform (%d)", transform);
        return false;
    }
    if ((options.flags & ~kKnownFlags) != 0) {
        set_err("unknown options flags (0x%x)", static_cast<unsigned>(options.flags & ~kKnownFlags));
        return false;
    }
    if (options.jpeg_quality != 0 && !jpeg_quality_accepted(options.jpeg_quality)) {
        set_err("JPEG quality must be 1..100 (got %d)", static_cast<int>(options.jpeg_quality));
        return false;
    }
    if (options.lossless < VEERPIX_LOSSLESS_OFF || options.lossless > VEERPIX_LOSSLESS_REQUIRE) {
        set_err("unknown lossless choice (%d)", static_cast<int>(options.lossless));
        return false;
    }
    // Trim only acts on the coefficient road: without it the caller would
    // be told nothing of a request that cannot apply.
    if ((options.flags & VEERPIX_TRIM) != 0 && options.lossless == VEERPIX_LOSSLESS_OFF) {
        set_err("trim needs a lossless choice (lossless is off)");
        return false;
    }
    if (transform == VEERPIX_ANGLE && !std::isfinite(options.angle)) {
        set_err("angle must be a finite number");
        return false;
    }
    if (transform == VEERPIX_AUTO_ORIENT) {
        *asked = auto_orientation();
    } else if (transform == VEERPIX_ANGLE) {
        asked->free_turn = FreeTurn{options.angle, options.background[0], options.background[1],
                                    options.background[2]};
    } else {
        asked->change = static_cast<Transform>(transform);
    }
    asked->turn_pixels = asked->turn_pixels || (options.flags & VEERPIX_TURN_PIXELS) != 0;
    asked->keep_metadata = (options.flags & VEERPIX_KEEP_METADATA) != 0;
    if (options.jpeg_quality != 0) asked->jpeg_quality = options.jpeg_quality;
    asked->lossless = options.lossless;
    asked->trim = (options.flags & VEERPIX_TRIM) != 0;
    return true;
}

}  // namespace

extern "C" VEERPIX_API int veerpix_transform(const char* input, const char* output, int transform,
                                             const veerpix_options* options, int* road) {
    int taken = VEERPIX_ROAD_NONE;
    const int result = guarded([&] {
        if (!start_operation(input, output)) return 0;
        veerpix_options read{};
        Asked asked;
        if (!read_options(options, &read) || !ask(transform, read, &asked)) return 0;
        return transform_file(input, output, asked, &taken);
    });
    if (road) *road = result ? taken : VEERPIX_ROAD_NONE;
    return result;
}
