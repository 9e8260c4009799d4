// The lossless road: read the coefficients, plan where each result block
// comes from, write the result with the head of the input in front.
#include "formats/jpeg_lossless.h"

#include "formats/jpeg_coefficient_writer.h"
#include "formats/jpeg_coefficients.h"
#include "formats/jpeg_segments.h"

const char* const kJpegPartialWidth = "JPEG width is not a whole number of MCUs";
const char* const kJpegPartialHeight = "JPEG height is not a whole number of MCUs";

namespace {

// One side of the source as the result reads it: when the transform
// reverses it, the source's last whole MCU must land on the result's first
// one, so a partial MCU there is declined or, with trim, dropped.
struct SideUse {
    uint32_t pixels;         // of the source side that is used
    uint32_t mcus;           // of the used side, a partial one counted
    bool trimmed;
};

const char* plan_side(uint32_t pixels, uint32_t mcu, bool reversed, bool trim, const char* partial, SideUse* use) {
    const bool whole = pixels % mcu == 0;
    *use = {pixels, (pixels + mcu - 1) / mcu, false};
    if (!reversed || whole) return nullptr;
    if (!trim) return partial;
    const uint32_t mcus = pixels / mcu;
    if (mcus == 0) return "JPEG smaller than one MCU: nothing is left after trimming";
    *use = {mcus * mcu, mcus, true};
    return nullptr;
}

const char* plan_layout(const CoefficientImage& image, Transform transform, bool trim, CoefficientLayout* layout,
                        JpegLosslessResult* result) {
    const TransformMap& map = transform_map(transform);
    SideUse across{}, down{};
    const char* failure = plan_side(image.width, image.mcu_width, map.columns_reversed, trim, kJpegPartialWidth, &across);
    if (!failure) failure = plan_side(image.height, image.mcu_height, map.rows_reversed, trim, kJpegPartialHeight, &down);
    if (failure) return failure;

    const bool single = image.component_count == 1;
    layout->transform = transform;
    layout->component_count = image.component_count;
    layout->width = map.exchanges_sides ? down.pixels : across.pixels;
    layout->height = map.exchanges_sides ? across.pixels : down.pixels;
    for (int c = 0; c < image.component_count; ++c) {
        const CoefficientComponent& source = image.components[c];
        LayoutComponent& out = layout->components[c];
        const uint32_t columns = across.trimmed ? across.mcus * (single ? 1 : source.horizontal_sampling)
                                                : source.padded_blocks_wide;
        const uint32_t rows = down.trimmed ? down.mcus * (single ? 1 : source.vertical_sampling)
                                           : source.padded_blocks_high;
        out.source = &source;
        out.source_columns = columns;
        out.source_rows = rows;
        out.horizontal_sampling = map.exchanges_sides ? source.vertical_sampling : source.horizontal_sampling;
        out.vertical_sampling = map.exchanges_sides ? source.horizontal_sampling : source.vertical_sampling;
        out.padded_blocks_wide = map.exchanges_sides ? rows : columns;
        out.padded_blocks_high = map.exchanges_sides ? columns : rows;
    }
    result->trimmed_width = across.trimmed;
    result->trimmed_height = down.trimmed;
    return nullptr;
}

// SOI and the input's APPn and COM segments before its frame header; its
// tables are written anew for the result.
void append_head(const uint8_t* bytes, uint64_t frame_offset, ByteSink* sink) {
    sink->u16(0xFFD8);
    // The reader walked these segments already: each lies inside the data.
    const ByteReader head{bytes, frame_offset};
    uint64_t position = 2;
    JpegSegment segment;
    JpegStop stop = JpegStop::None;
    while (next_jpeg_segment(head, &position, JpegWalkRules{}, &segment, &stop)) {
        const bool kept = (segment.code >= jpeg_code::app0 && segment.code <= jpeg_code::app15) ||
                          segment.code == jpeg_code::com;
        if (kept) sink->append(bytes + segment.start, segment.end() - segment.start);
    }
}

}  // namespace

const char* jpeg_lossless_transform(const uint8_t* bytes, uint64_t length, Transform transform,
                                    const JpegLosslessOptions& options, JpegLosslessResult* result) {
    *result = JpegLosslessResult{};
    CoefficientImage image;
    const char* failure = read_jpeg_coefficients(bytes, length, &image);
    if (failure) return failure;
    result->input_width = image.width;
    result->input_height = image.height;
    result->mcu_width = image.mcu_width;
    result->mcu_height = image.mcu_height;
    result->input_progressive = image.progressive;
    result->input_image_end = image.image_end;

    CoefficientLayout layout;
    failure = plan_layout(image, transform, options.trim, &layout, result);
    if (failure) return failure;

    ByteSink sink;
    append_head(bytes, image.frame_offset, &sink);
    failure = append_coefficient_jpeg(image, layout, &sink);
    if (!failure && sink.failed) failure = "out of memory";
    if (failure) return failure;
    result->bytes = std::move(sink.bytes);
    result->length = sink.length;
    result->width = layout.width;
    result->height = layout.height;
    return nullptr;
}
