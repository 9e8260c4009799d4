// Photo metadata in JPEG, PNG and BMP files held whole in memory: the
// colour profile, the resolution, EXIF and XMP, read and written.
//
// Every read is bounded by the buffer's end; JPEG segments and PNG chunks
// are walked by their length fields. A damaged or inconsistent piece (an
// ICC profile with a missing part, a chunk whose CRC is wrong, a zlib
// stream that does not inflate) is left out, never a failure. The writers
// change only metadata segments and chunks: the compressed image data is
// kept byte for byte. An allocation failure throws std::bad_alloc, which
// the exports turn into "out of memory".
#pragma once

#include <cstdint>
#include <vector>

#include "formats/image_io.h"
#include "pixels/raster.h"

// An owned run of bytes; empty when length is 0.
struct byte_block {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;

    bool empty() const { return length == 0; }
    const uint8_t* data() const { return bytes.get(); }
};

enum class resolution_unit : uint8_t { none, per_inch, per_centimetre, per_metre };

// Physical pixel density; unit none means the file states no resolution
// (an aspect ratio alone, as JFIF's default 1:1, is not kept).
struct image_resolution {
    resolution_unit unit = resolution_unit::none;
    uint32_t x = 0;
    uint32_t y = 0;
};

// What the decode road takes from the input to the re-encoded output.
// JPEG and PNG outputs get both; a BMP output gets the resolution alone
// (its header has a field for it, and the writer's has no room for a
// profile).
struct carried_metadata {
    byte_block icc_profile;  // an RGB profile only: every output is RGB
    image_resolution resolution;
};

// Everything veerpix_copy_metadata moves from one file to another.
struct photo_metadata {
    byte_block exif;         // TIFF data, without JPEG's "Exif\0\0" prefix
    byte_block xmp;          // the XMP packet's text
    byte_block icc_profile;  // any colour space; checked against the output
    image_resolution resolution;
};

// Profiles larger than this are dropped: JPEG's 255 APP2 segments hold
// about 16 MB, and no real profile comes near.
constexpr uint64_t kMaxIccProfileBytes = 16u << 20;

// Called while the input bytes are alive; an unknown format carries nothing.
carried_metadata read_carried_metadata(const uint8_t* bytes, uint64_t length, img_format format);

photo_metadata read_photo_metadata(const uint8_t* bytes, uint64_t length, img_format format);

// Adds the carried profile and resolution to a file that the encoder has
// just written into `bytes` (JPEG: APP2 segments after the JFIF header and
// its density; PNG: iCCP and pHYs after IHDR; BMP: the pixels per metre).
// Grows the buffer in place; a file whose structure it cannot walk is left
// as it is.
void attach_carried_metadata(malloc_ptr<uint8_t>* bytes, uint64_t* length, img_format format,
                             const carried_metadata& carried);

// EXIF as for an upright picture: every Orientation entry of IFD0 reads 1,
// duplicates and other types than SHORT too (none is added where there was
// none), and IFD1 with its thumbnail is unlinked. Nothing moves. An EXIF
// whose IFD0 cannot be read is emptied.
void make_exif_upright(byte_block* exif);

// Every tiff:Orientation value of the packet, attribute or element, reads 1.
void make_xmp_upright(byte_block* xmp);

// Whether `output` holds the same compressed picture as `source`: for JPEG
// the same frame header and the same bytes from the first SOS marker to
// the end, for PNG the same IHDR and IDAT data. A byte copy or a lossless
// retag of the source then needs no metadata copied into it.
bool same_image_data(const uint8_t* source, uint64_t source_length, img_format source_format,
                     const uint8_t* output, uint64_t output_length, img_format output_format);

// Where a JPEG's compressed picture starts (its first SOS marker) and where
// its frame header lies, read from the file's start alone; all 0 where
// that start does not reach them.
struct jpeg_picture {
    uint64_t scan_start = 0;
    uint64_t frame_start = 0;
    uint64_t frame_end = 0;
};
jpeg_picture locate_jpeg_picture(const uint8_t* head, uint64_t length);

// The file `output` (JPEG or PNG) with its EXIF, XMP, ICC profile and
// resolution replaced by `metadata`; a kind that `metadata` lacks is
// removed from it. A piece the format cannot hold (EXIF or XMP past one
// JPEG segment, a profile of another colour space than the picture's) is
// left out. False when the output's structure cannot be walked.
bool replace_photo_metadata(const uint8_t* output, uint64_t length, img_format format,
                            const photo_metadata& metadata, byte_block* result);

// What becomes of a JPEG's MPF segment when its segments are made upright.
enum class multi_picture_segment : uint8_t {
    keep,     // byte for byte (a picture without an index of its own, or with nothing following)
    drop,     // left out: the pictures it lists are not carried over
    rewrite,  // its index set to the pictures in `following`, written after the picture
};

// A picture that follows the turned primary picture in the result.
struct following_picture {
    uint32_t entry = 0;         // its MP Entry's number in the index
    uint64_t input_length = 0;  // as the input's index (and XMP) stated it
    const uint8_t* bytes = nullptr;  // the picture as written
    uint64_t length = 0;
};

// What a JPEG turned in its coefficients says about itself: its pictures
// are upright and have these sides.
struct upright_jpeg_result {
    uint32_t width = 0;   // of the turned picture
    uint32_t height = 0;
    multi_picture_segment multi_picture = multi_picture_segment::keep;
    // With rewrite: the pictures written after this one, in this order.
    std::vector<following_picture> following;
    // EXIF and XMP are carried (upright) only where the caller keeps
    // metadata, as on the decode road; otherwise they are left out.
    bool keep_exif_and_xmp = true;
};

// The JPEG `jpeg` (a coefficient road's result, whose segments before the
// frame are the input's) with every segment before the frame kept byte
// for byte except: EXIF upright as make_exif_upright makes it, with
// PixelXDimension/PixelYDimension set to the result's sides where present;
// XMP upright as make_xmp_upright makes it; EXIF and XMP left out unless
// kept; the MPF segment as `multi_picture` says. With rewrite, the
// following pictures are appended after the picture's end, the MPF index
// states each one's size and offset (the primary's size too), and an XMP
// container directory's Item:Length values that stated a following
// picture's input length state its new one. False when the structure
// cannot be walked or the index cannot hold the sizes.
bool make_jpeg_segments_upright(const uint8_t* jpeg, uint64_t length, const upright_jpeg_result& sides,
                                byte_block* result);
