// The coefficient road on arbitrary files: the reader, each of the eight
// transforms with and without trim, and the writer. The first byte says
// whether to trim (bit 0); the rest is the JPEG. Every result must be
// read again by the reader with the sides it claims, and where nothing was
// trimmed the inverse transform must give back the input's coefficients.
// The whole file as the road writes it (the secondary pictures an MPF
// index lists, turned with the primary) must hold no index that does not
// match its bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/jpeg_pictures.h"
#include "formats/jpeg_coefficients.h"
#include "formats/jpeg_lossless.h"
#include "metadata/multi_picture.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// The picture's own blocks of two readings agree.
bool same_coefficients(const CoefficientImage& a, const CoefficientImage& b) {
    if (a.width != b.width || a.height != b.height || a.component_count != b.component_count) return false;
    for (int c = 0; c < a.component_count; ++c) {
        const CoefficientComponent& x = a.components[c];
        const CoefficientComponent& y = b.components[c];
        if (x.blocks_wide != y.blocks_wide || x.blocks_high != y.blocks_high) return false;
        for (uint32_t row = 0; row < x.blocks_high; ++row) {
            for (uint32_t column = 0; column < x.blocks_wide; ++column) {
                if (std::memcmp(x.block(column, row), y.block(column, row), 64 * sizeof(int16_t)) != 0) return false;
            }
        }
    }
    return true;
}

// Whatever follows the primary picture in the written file is what its
// index lists, picture after picture to the file's end, each one a JPEG
// the reader takes.
void check_whole_file(const uint8_t* jpeg, uint64_t length, const JpegLosslessResult& primary, Transform transform,
                      const JpegLosslessOptions& options) {
    turned_jpeg_file file;
    if (!assemble_turned_jpeg(jpeg, length, primary, transform, options, true, &file)) return;
    CoefficientImage written;
    require(read_jpeg_coefficients(file.jpeg.data(), file.jpeg.length, &written) == nullptr);
    if (written.image_end == file.jpeg.length) return;
    std::vector<secondary_picture> listed;
    require(read_multi_picture_index(file.jpeg.data(), file.jpeg.length, written.image_end, &listed) ==
            multi_picture_index::sound);
    uint64_t next = written.image_end;
    for (const secondary_picture& picture : listed) {
        require(picture.start == next);
        CoefficientImage secondary;
        require(read_jpeg_coefficients(file.jpeg.data() + picture.start, picture.length, &secondary) == nullptr);
        next += picture.length;
    }
    require(next == file.jpeg.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* jpeg = data + 1;
    const uint64_t length = size - 1;
    CoefficientImage input;
    if (read_jpeg_coefficients(jpeg, length, &input) != nullptr) return 0;
    JpegLosslessOptions options;
    options.trim = (data[0] & 1) != 0;
    for (int t = 0; t < kTransformCount; ++t) {
        const Transform transform = static_cast<Transform>(t);
        JpegLosslessResult result;
        if (jpeg_lossless_transform(jpeg, length, transform, options, &result) != nullptr) continue;
        CoefficientImage output;
        require(read_jpeg_coefficients(result.bytes.get(), result.length, &output) == nullptr);
        require(output.width == result.width && output.height == result.height);
        check_whole_file(jpeg, length, result, transform, options);
        if (result.trimmed_width || result.trimmed_height) continue;

        JpegLosslessResult back;
        require(jpeg_lossless_transform(result.bytes.get(), result.length, inverse(transform), {}, &back) == nullptr);
        CoefficientImage again;
        require(read_jpeg_coefficients(back.bytes.get(), back.length, &again) == nullptr);
        require(same_coefficients(input, again));
    }
    return 0;
}
