// The metadata readers and writers on arbitrary bytes, taken as each of
// the three formats. Beyond AddressSanitizer's watch on every read, a
// rewritten file must still hold the same compressed picture, and must
// read as a file the rewriter can walk again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "metadata/metadata.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

malloc_ptr<uint8_t> copy_of(const uint8_t* data, size_t size) {
    malloc_ptr<uint8_t> copy(static_cast<uint8_t*>(std::malloc(size ? size : 1)));
    if (copy && size) std::memcpy(copy.get(), data, size);
    return copy;
}

void exercise(const uint8_t* data, size_t size, img_format format) {
    const carried_metadata carried = read_carried_metadata(data, size, format);
    if (!carried.icc_profile.empty()) require(carried.icc_profile.length <= kMaxIccProfileBytes);

    malloc_ptr<uint8_t> attached = copy_of(data, size);
    uint64_t attached_length = size;
    if (attached) attach_carried_metadata(&attached, &attached_length, format, carried);

    photo_metadata metadata = read_photo_metadata(data, size, format);
    make_exif_upright(&metadata.exif);
    make_xmp_upright(&metadata.xmp);
    byte_block rewritten;
    if (!replace_photo_metadata(data, size, format, metadata, &rewritten)) return;
    if (same_image_data(data, size, format, data, size, format)) {
        require(same_image_data(data, size, format, rewritten.data(), rewritten.length, format));
    }
    byte_block again;
    require(replace_photo_metadata(rewritten.data(), rewritten.length, format, metadata, &again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        for (img_format format : {IMG_FMT_JPEG, IMG_FMT_PNG, IMG_FMT_BMP}) exercise(data, size, format);
    } catch (const std::bad_alloc&) {
        // A large claim on a full machine: the exports say "out of memory".
    }
    return 0;
}
