// Image files in and out: reading whole files, recognising formats,
// decoding to RGBA and encoding from it.
#pragma once

#include <cstdint>

#include "platform/output.h"
#include "pixels/raster.h"

// Plain int codes like the library's other results; 0 is "not recognised".
using img_format = int;
constexpr img_format IMG_FMT_UNKNOWN = 0;
constexpr img_format IMG_FMT_JPEG = 1;
constexpr img_format IMG_FMT_PNG = 2;
constexpr img_format IMG_FMT_BMP = 3;

// The whole file in one malloc'd buffer, or null (no message: callers say
// "cannot read input file"). Only regular files are read: FIFOs, devices
// and folders fail before any read, without waiting on the open. Empty
// files and files of 2 GiB or more fail. `identity`, where given, is
// filled on success.
malloc_ptr<uint8_t> read_file(const char* path, uint64_t* length, FileIdentity* identity = nullptr);

// What read_head left in the file: the file stays open, so that the rest
// read or copied later is the rest of the same file.
struct UnreadRest {
    FileTail tail;  // descriptor -1: nothing is left
    UnreadRest() = default;
    UnreadRest(UnreadRest&& other) noexcept : tail(other.tail) { other.tail.descriptor = -1; }
    UnreadRest& operator=(UnreadRest&&) = delete;
    ~UnreadRest() { close_rest(); }
    bool empty() const { return tail.descriptor < 0; }
    void close_rest();
};

// Extra room behind the head, for an Orientation entry inserted into it.
constexpr uint64_t kHeadRoom = 12;

// The file from its start, as read_file would refuse or read it, but for a
// JPEG only as far as its Exif segment (and at least the first 64 KiB):
// the rest stays in `rest`. The buffer has kHeadRoom spare bytes. On
// Windows the whole file is read, since a file held open there cannot be
// replaced, and the output may be the input.
malloc_ptr<uint8_t> read_head(const char* path, uint64_t* length, UnreadRest* rest,
                              FileIdentity* identity);

// Reads what read_head left, so that the buffer holds the whole file, and
// closes the file; false where it ends before its former size.
bool read_rest(malloc_ptr<uint8_t>* bytes, uint64_t* length, UnreadRest* rest);

// Whether `count` bytes of one open file from `first_offset` equal those
// of another from `second_offset`, read in small blocks; false also where
// a read or the block's allocation fails.
bool same_bytes_in_files(const FileTail& first, uint64_t first_offset, const FileTail& second,
                         uint64_t second_offset, uint64_t count);

// Recognises JPEG, PNG and BMP by their first bytes.
img_format detect_format(const uint8_t* bytes, uint64_t length);

// The format the path's extension names, else `fallback`.
img_format format_from_path(const char* path, img_format fallback);

// Decodes the file's bytes, as read_file gave them, to 8-bit RGBA, or sets
// "cannot decode image" (naming `path`) and returns 0 leaving `raster`
// untouched. The bytes stay the caller's.
int decode_image(const uint8_t* bytes, uint64_t length, const char* path, pix_image* raster);

// Whether the encoder for `format` can take a width x height raster. JPEG:
// sides up to 65535, width * height * 4 up to INT_MAX. BMP: width * height
// * 4 + 122 up to INT_MAX. PNG: width up to 4194303, (width * 4 + 1) *
// height up to 1431655757.
bool encoder_accepts(int64_t width, int64_t height, img_format format);

// An encoded file in memory.
struct Encoded {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
};

// The quality of re-encoded JPEGs: 1 (smallest file) to 100, the range the
// codec's own writer clamps to; 92 where the caller names none.
constexpr int kJpegQualityLowest = 1;
constexpr int kJpegQualityHighest = 100;
constexpr int kJpegQualityDefault = 92;

constexpr bool jpeg_quality_accepted(int quality) {
    return quality >= kJpegQualityLowest && quality <= kJpegQualityHighest;
}

// Encodes the raster in `format`; empty (no message) where the encoder
// fails, also for a raster that encoder_accepts refuses and for a
// `jpeg_quality` outside 1..100 (whatever the format: a caller that passes
// one has a bug to find). The other formats ignore the quality.
Encoded encode_raster(const pix_image* raster, img_format format,
                      int jpeg_quality = kJpegQualityDefault);

// The same of the picture a view shows: the writers read the raster
// through its transform, so that a turn or mirror needs no second raster.
// The bytes are those of encode_raster on the transformed raster. Where
// `source` is given it owns the view's pixels, and the writer releases
// them once it has read the last row: the PNG writer compresses without
// them.
Encoded encode_view(const pix_view& view, img_format format, int jpeg_quality = kJpegQualityDefault,
                    pixel_owner* source = nullptr);

// encode_raster, then write_file (with the input's identity, where the
// caller read one); sets "failed to write output" and returns 0 on failure.
int encode_image(const char* path, const pix_image* raster, img_format format,
                 const FileIdentity* input = nullptr);
