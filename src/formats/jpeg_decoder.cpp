// The decode road's JPEG decoder. The coefficient reader gives the
// quantised coefficients; this unit turns them into the codec's pixels:
// dequantisation in 16-bit arithmetic, the codec's integer IDCT as its
// SSE2 kernel computes it (16-bit sums that wrap, a first pass that
// saturates), its upsamplers chosen per component as it chooses them,
// and its fixed-point colour conversions.
//
// The codec is lenient with damaged files in ways that depend on how far
// its bit buffer had read (zeros past a cut, a missing restart marker
// ending a scan early, uninitialised planes where no scan wrote). The
// reader declines damaged scans, and compatible_layout() below declines
// every layout where the codec would fail or fill in: such files go to
// the codec, which gives its own pixels or its own reason.
#include "formats/jpeg_decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/large_block.h"
#include "formats/jpeg_coefficients.h"
#include "formats/jpeg_segments.h"
#include "formats/jpeg_pixels.h"

namespace {

// --- Which files: the codec's reading of the segments ----------------------

// What the codec reads from the segments besides the reader's tables.
struct ColourMarks {
    bool jfif = false;
    int adobe_transform = -1;  // the Adobe APP14 colour transform; -1 for none
    // Sequential, one scan holding every component: read by rows.
    bool one_sequential_scan = false;
};

// Scans seen per component, for the orders in which the codec and the
// reader would agree.
struct ComponentScans {
    bool sequential = false;
    bool dc_first = false;
    int dc_low_bit = 0;  // the lowest DC bit sent so far
    bool ac = false;
};

struct LayoutWalk {
    bool frame_seen = false;
    bool progressive = false;
    int component_count = 0;
    uint8_t ids[4] = {};
    ComponentScans scans[4];
    int scan_count = 0;
    bool first_scan_whole = false;
    ColourMarks marks;
};

void read_app_marks(const ByteReader& jpeg, const JpegSegment& segment, ColourMarks* marks) {
    static const uint8_t jfif[5] = {'J', 'F', 'I', 'F', 0};
    static const uint8_t adobe[6] = {'A', 'd', 'o', 'b', 'e', 0};
    if (segment.code == jpeg_code::app0 && segment.starts_with(jpeg, jfif, 5)) marks->jfif = true;
    // The codec reads the transform only from a segment of 12 bytes or more.
    if (segment.code == 0xEE && segment.payload_length >= 12 && segment.starts_with(jpeg, adobe, 6)) {
        marks->adobe_transform = jpeg.data[segment.payload + 11];
    }
}

const char* read_frame_layout(const ByteReader& jpeg, const JpegSegment& segment, LayoutWalk* walk) {
    if (walk->frame_seen) return "second frame header";
    const uint8_t* payload = jpeg.data + segment.payload;
    if (segment.payload_length < 6) return "frame header not understood";
    const int count = payload[5];
    if (count != 1 && count != 3 && count != 4) return "component count the codec refuses";
    if (segment.payload_length != 6 + 3 * uint64_t(count)) return "frame header not understood";
    int h_max = 1, v_max = 1;
    for (int i = 0; i < count; ++i) {
        const int h = payload[7 + 3 * i] >> 4, v = payload[7 + 3 * i] & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4) return "sampling factors not understood";
        if (h > h_max) h_max = h;
        if (v > v_max) v_max = v;
    }
    for (int i = 0; i < count; ++i) {
        const int h = payload[7 + 3 * i] >> 4, v = payload[7 + 3 * i] & 15;
        // The codec refuses sampling factors of fractional ratios.
        if (h_max % h != 0 || v_max % v != 0) return "sampling factors of fractional ratios";
        walk->ids[i] = payload[6 + 3 * i];
    }
    walk->frame_seen = true;
    walk->progressive = segment.code == jpeg_code::sof2;
    walk->component_count = count;
    return nullptr;
}

int component_index(const LayoutWalk& walk, uint8_t id) {
    for (int i = 0; i < walk.component_count; ++i) {
        if (walk.ids[i] == id) return i;
    }
    return -1;
}

// The codec zeroes a block at its first DC pass and adds (not ors) a DC
// refinement bit; its planes start uninitialised. The reader keeps a
// block's values across scans. Their results agree where every component
// is covered once by a sequential scan, or, progressive, where its first
// DC pass comes before any other pass and each DC refinement sends a
// lower bit than the last.
const char* read_scan_layout(const ByteReader& jpeg, const JpegSegment& segment, LayoutWalk* walk) {
    if (!walk->frame_seen || segment.payload_length < 4) return "scan header not understood";
    const uint8_t* payload = jpeg.data + segment.payload;
    const int count = payload[0];
    if (count < 1 || count > 4 || segment.payload_length != 4 + 2 * uint64_t(count)) return "scan header not understood";
    if (++walk->scan_count == 1) walk->first_scan_whole = count == walk->component_count;
    const uint8_t* tail = payload + 1 + 2 * count;
    const int spectral_start = tail[0], high_bit = tail[2] >> 4, low_bit = tail[2] & 15;
    for (int i = 0; i < count; ++i) {
        const int index = component_index(*walk, payload[1 + 2 * i]);
        if (index < 0) return "scan of an unknown component";
        ComponentScans& scans = walk->scans[index];
        if (!walk->progressive) {
            if (scans.sequential) return "component in two sequential scans";
            scans.sequential = true;
        } else if (spectral_start == 0 && high_bit == 0) {
            if (scans.ac) return "first DC pass after an AC pass";
            scans.dc_first = true;
            scans.dc_low_bit = low_bit;
        } else if (spectral_start == 0) {
            if (!scans.dc_first || low_bit >= scans.dc_low_bit) return "DC refinement out of order";
            scans.dc_low_bit = low_bit;
        } else {
            if (!scans.dc_first) return "AC pass before the first DC pass";
            scans.ac = true;
        }
    }
    return nullptr;
}

// Where the scan's data ends. The codec takes 0xFF 0xFF 0x00 for a data
// byte and fill bytes before the closing marker for a marker of its own.
// One pass: memchr finds each 0xFF, and what follows it decides.
const char* skip_scan_data(const ByteReader& jpeg, uint64_t* position) {
    uint64_t at = *position;
    for (;;) {
        const void* found = at < jpeg.len ? std::memchr(jpeg.data + at, 0xFF, static_cast<size_t>(jpeg.len - at)) : nullptr;
        if (!found) return "scan data without a marker after it";
        const uint64_t first_ff = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - jpeg.data);
        uint64_t code_at = first_ff + 1;
        while (code_at < jpeg.len && jpeg.data[code_at] == 0xFF) ++code_at;
        const uint8_t code = code_at < jpeg.len ? jpeg.data[code_at] : 0xFF;
        const bool data_goes_on = code == 0x00 || (code >= jpeg_code::rst0 && code <= jpeg_code::rst7);
        if (code_at > first_ff + 1) return data_goes_on ? "fill bytes inside scan data" : "fill bytes after scan data";
        if (!data_goes_on) {
            if (code_at == jpeg.len) return "scan data without a marker after it";
            *position = first_ff;
            return nullptr;
        }
        at = code_at + 1;
    }
}

// Walks the segments as the codec reads them, up to EOI, which it needs.
const char* compatible_layout(const ByteReader& jpeg, ColourMarks* marks) {
    if (!starts_with_jpeg_soi(jpeg)) return "not a JPEG";
    LayoutWalk walk;
    uint64_t position = 2;
    for (;;) {
        JpegSegment segment;
        JpegStop stop = JpegStop::None;
        if (!next_jpeg_segment(jpeg, &position, JpegWalkRules{}, &segment, &stop)) return "segments end before EOI";
        const uint8_t code = segment.code;
        const char* failure = nullptr;
        if (code == jpeg_code::eoi) break;
        if (code == jpeg_code::sof0 || code == jpeg_code::sof1 || code == jpeg_code::sof2) {
            failure = read_frame_layout(jpeg, segment, &walk);
        } else if (code == jpeg_code::sos) {
            failure = read_scan_layout(jpeg, segment, &walk);
            if (!failure) failure = skip_scan_data(jpeg, &position);
        } else if ((code >= jpeg_code::app0 && code <= jpeg_code::app15) || code == jpeg_code::com) {
            read_app_marks(jpeg, segment, &walk.marks);
        } else if (code != jpeg_code::dqt && code != jpeg_code::dht && code != jpeg_code::dri) {
            failure = "marker the decoder does not take";
        }
        if (failure) return failure;
    }
    if (!walk.frame_seen) return "no frame";
    for (int i = 0; i < walk.component_count; ++i) {
        const ComponentScans& scans = walk.scans[i];
        if (walk.progressive ? !scans.dc_first : !scans.sequential) return "component without a scan";
    }
    *marks = walk.marks;
    marks->one_sequential_scan = !walk.progressive && walk.scan_count == 1 && walk.first_scan_whole;
    return nullptr;
}

// --- From coefficients to RGBA rows, a band of MCU rows at a time ----------

// A component's samples in a ring of two MCU rows' worth of sample rows:
// the band being filled and the one before it, whose last rows the
// vertical upsampling still reads.
struct ComponentRows {
    malloc_ptr<uint8_t> ring;
    size_t stride = 0;
    uint32_t ring_rows = 0;
    uint32_t block_rows_per_band = 1;
    uint32_t height = 0;  // sample rows of the picture (the codec's y)
    uint32_t decoded_rows = 0;

    uint8_t* row(uint32_t index) const { return ring.get() + (index % ring_rows) * stride; }
};

// The codec's upsampler of one component: which kernel, and which two
// source rows (near_row the codec's line0, far_row its line1) feed each
// output row.
struct Resampler {
    int horizontal_factor = 1;
    int vertical_factor = 1;
    int step = 0;  // how far through the vertical expansion
    uint32_t source_width = 0;
    uint32_t line0 = 0;
    uint32_t line1 = 0;
    malloc_ptr<uint8_t> line;
};

struct Conversion {
    int component_count;
    bool rgb;  // three components stored as R, G, B
    int adobe_transform;
};

struct Renderer {
    const CoefficientImage* image = nullptr;
    PixelKernels kernels{};
    Conversion conversion{};
    ComponentRows components[4];
    Resampler resamplers[4];
    malloc_ptr<uint8_t> rgba;
    uint32_t next_row = 0;
};

uint32_t ceil_div(uint64_t numerator, uint64_t denominator) {
    return static_cast<uint32_t>((numerator + denominator - 1) / denominator);
}

// The codec takes three components as RGB when their ids spell it, or when
// an Adobe segment says no transform and there is no JFIF segment.
bool stored_as_rgb(const CoefficientImage& image, const ColourMarks& marks) {
    if (image.component_count != 3) return false;
    const bool named_rgb = image.components[0].id == 'R' && image.components[1].id == 'G' &&
                           image.components[2].id == 'B';
    return named_rgb || (marks.adobe_transform == 0 && !marks.jfif);
}

bool start_renderer(const CoefficientImage& image, const ColourMarks& marks, Renderer* renderer) {
    const int count = image.component_count;
    int h_max = 1, v_max = 1;
    for (int i = 0; i < count; ++i) {
        if (image.components[i].horizontal_sampling > h_max) h_max = image.components[i].horizontal_sampling;
        if (image.components[i].vertical_sampling > v_max) v_max = image.components[i].vertical_sampling;
    }
    renderer->image = &image;
    renderer->kernels = pixel_kernels();
    renderer->conversion = {count, stored_as_rgb(image, marks), marks.adobe_transform};
    renderer->rgba.reset(static_cast<uint8_t*>(veerpix_malloc_large(size_t{image.width} * image.height * 4)));
    if (!renderer->rgba) return false;
    for (int i = 0; i < count; ++i) {
        const CoefficientComponent& component = image.components[i];
        ComponentRows& rows = renderer->components[i];
        rows.height = ceil_div(uint64_t{image.height} * component.vertical_sampling, v_max);
        rows.stride = size_t{component.blocks_wide} * 8;
        rows.block_rows_per_band = count == 1 ? 1 : component.vertical_sampling;
        rows.ring_rows = 2 * 8 * rows.block_rows_per_band;
        rows.ring.reset(static_cast<uint8_t*>(std::malloc(rows.stride * rows.ring_rows)));
        Resampler& r = renderer->resamplers[i];
        r.horizontal_factor = h_max / component.horizontal_sampling;
        r.vertical_factor = v_max / component.vertical_sampling;
        r.step = r.vertical_factor >> 1;
        r.source_width = ceil_div(image.width, static_cast<uint64_t>(r.horizontal_factor));
        // Upsampled rows run up to 3 samples past the width.
        r.line.reset(static_cast<uint8_t*>(std::malloc(size_t{image.width} + 3 + 16)));
        if (!rows.ring || !r.line) return false;
    }
    return true;
}

const uint8_t* resample_row(const PixelKernels& kernels, Resampler& r, const ComponentRows& rows) {
    const bool bottom = r.step >= (r.vertical_factor >> 1);
    const uint8_t* near_row = rows.row(bottom ? r.line1 : r.line0);
    const uint8_t* far_row = rows.row(bottom ? r.line0 : r.line1);
    const uint8_t* result = upsample_row(kernels, r.line.get(), near_row, far_row, static_cast<int>(r.source_width),
                                         r.horizontal_factor, r.vertical_factor);
    if (++r.step >= r.vertical_factor) {
        r.step = 0;
        r.line0 = r.line1;
        if (r.line1 + 1 < rows.height) ++r.line1;
    }
    return result;
}

void convert_row(const Renderer& renderer, const uint8_t* const* rows, uint8_t* out) {
    const Conversion& conversion = renderer.conversion;
    const uint32_t width = renderer.image->width;
    switch (conversion.component_count) {
    case 1:
        grey_to_rgba_row(out, rows[0], width);
        return;
    case 3:
        if (conversion.rgb) return rgb_to_rgba_row(out, rows[0], rows[1], rows[2], width);
        return renderer.kernels.ycbcr_row(out, rows[0], rows[1], rows[2], width);
    default:
        if (conversion.adobe_transform == 0) return cmyk_to_rgba_row(out, rows[0], rows[1], rows[2], rows[3], width);
        renderer.kernels.ycbcr_row(out, rows[0], rows[1], rows[2], width);
        if (conversion.adobe_transform == 2) invert_and_multiply_row(out, rows[3], width);
        return;
    }
}

// Every output row whose source rows are all decoded.
void render_ready_rows(Renderer* renderer) {
    const int count = renderer->image->component_count;
    const size_t row_bytes = size_t{renderer->image->width} * 4;
    const uint8_t* rows[4] = {};
    while (renderer->next_row < renderer->image->height) {
        for (int i = 0; i < count; ++i) {
            if (renderer->resamplers[i].line1 >= renderer->components[i].decoded_rows) return;
        }
        for (int i = 0; i < count; ++i) rows[i] = resample_row(renderer->kernels, renderer->resamplers[i], renderer->components[i]);
        convert_row(*renderer, rows, renderer->rgba.get() + row_bytes * renderer->next_row);
        ++renderer->next_row;
    }
}

// The IDCT of one MCU row of every component, then the output rows it
// completes. The coefficients held are the MCU row alone, or the picture.
void render_mcu_row(Renderer* renderer, uint32_t mcu_row, bool rows_held_alone) {
    const CoefficientImage& image = *renderer->image;
    for (int i = 0; i < image.component_count; ++i) {
        const CoefficientComponent& component = image.components[i];
        ComponentRows& rows = renderer->components[i];
        const uint16_t* steps = image.quant_tables[component.quant_table].steps;
        for (uint32_t band_row = 0; band_row < rows.block_rows_per_band; ++band_row) {
            const uint32_t block_row = mcu_row * rows.block_rows_per_band + band_row;
            if (block_row >= component.blocks_high) break;
            const int16_t* blocks = component.block(0, rows_held_alone ? band_row : block_row);
            renderer->kernels.idct_row(blocks, component.blocks_wide, steps, rows.row(block_row * 8), rows.stride);
            rows.decoded_rows = std::min(rows.height, (block_row + 1) * 8);
        }
    }
    render_ready_rows(renderer);
}

uint32_t mcu_rows_of(const CoefficientImage& image) {
    const CoefficientComponent& first = image.components[0];
    return image.component_count == 1 ? first.blocks_high : first.padded_blocks_high / first.vertical_sampling;
}

// The renderer starts at the first MCU row a sink receives, when the
// reader has sized the components.
struct RowsByRows {
    Renderer* renderer;
    const ColourMarks* marks;
    bool failed;
};

bool render_received_row(void* context, const CoefficientImage& image, uint32_t mcu_row) {
    RowsByRows& rows = *static_cast<RowsByRows*>(context);
    if (mcu_row == 0 && !start_renderer(image, *rows.marks, rows.renderer)) rows.failed = true;
    if (rows.failed) return false;
    render_mcu_row(rows.renderer, mcu_row, true);
    return true;
}

// Sequential files of one scan are rendered while they are read, holding
// one MCU row of coefficients; others are read whole first.
malloc_ptr<uint8_t> read_and_render(const uint8_t* bytes, uint64_t length, const ColourMarks& marks,
                                    uint32_t* width, uint32_t* height) {
    CoefficientImage image;
    Renderer renderer;
    RowsByRows by_rows{&renderer, &marks, false};
    const CoefficientRowSink sink{&by_rows, render_received_row};
    if (read_jpeg_coefficients(bytes, length, &image, marks.one_sequential_scan ? &sink : nullptr)) return nullptr;
    if (image.bytes_after_scan_data) return nullptr;
    if (!marks.one_sequential_scan) {
        if (!start_renderer(image, marks, &renderer)) return nullptr;
        const uint32_t mcu_rows = mcu_rows_of(image);
        for (uint32_t mcu_row = 0; mcu_row < mcu_rows; ++mcu_row) render_mcu_row(&renderer, mcu_row, false);
    }
    if (!renderer.rgba || renderer.next_row != image.height) return nullptr;
    *width = image.width;
    *height = image.height;
    return std::move(renderer.rgba);
}

}  // namespace

const char* jpeg_decoder_declines(const uint8_t* bytes, uint64_t length) {
    ColourMarks marks;
    const char* reason = compatible_layout(ByteReader{bytes, length}, &marks);
    if (reason) return reason;
    CoefficientImage image;
    reason = read_jpeg_coefficients(bytes, length, &image);
    if (reason) return reason;
    if (image.bytes_after_scan_data) return "bytes after scan data";
    return nullptr;
}

malloc_ptr<uint8_t> decode_jpeg_rgba(const uint8_t* bytes, uint64_t length, uint32_t* width, uint32_t* height) {
    ColourMarks marks;
    if (compatible_layout(ByteReader{bytes, length}, &marks)) return nullptr;
    return read_and_render(bytes, length, marks, width, height);
}
