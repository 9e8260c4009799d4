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

#include <cstring>

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
const char* skip_scan_data(const ByteReader& jpeg, uint64_t* position) {
    const uint64_t start = *position;
    const uint64_t end = jpeg_entropy_coded_end(jpeg, start);
    for (uint64_t at = start; at + 1 < end; ++at) {
        const void* found = std::memchr(jpeg.data + at, 0xFF, static_cast<size_t>(end - at));
        if (!found) break;
        at = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - jpeg.data);
        if (at + 1 < jpeg.len && jpeg.data[at + 1] == 0xFF) return "fill bytes inside scan data";
    }
    if (end + 1 >= jpeg.len || jpeg.data[end + 1] == 0xFF) return "fill bytes after scan data";
    *position = end;
    return nullptr;
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
    return nullptr;
}

// --- From coefficients to planes -------------------------------------------

// Each component's samples, whole blocks of them, rows `stride` apart.
struct Plane {
    malloc_ptr<uint8_t> samples;
    size_t stride = 0;
    uint32_t width = 0;   // samples of the picture (the codec's x and y)
    uint32_t height = 0;
};

uint32_t ceil_div(uint64_t numerator, uint64_t denominator) {
    return static_cast<uint32_t>((numerator + denominator - 1) / denominator);
}

bool make_plane(const CoefficientImage& image, const CoefficientComponent& component, int h_max, int v_max,
                Plane* plane) {
    plane->width = ceil_div(uint64_t{image.width} * component.horizontal_sampling, h_max);
    plane->height = ceil_div(uint64_t{image.height} * component.vertical_sampling, v_max);
    plane->stride = size_t{component.blocks_wide} * 8;
    const size_t bytes = plane->stride * component.blocks_high * 8;
    plane->samples.reset(static_cast<uint8_t*>(veerpix_malloc_large(bytes)));
    if (!plane->samples) return false;
    const IdctKernel idct = idct_kernel();
    const uint16_t* steps = image.quant_tables[component.quant_table].steps;
    for (uint32_t row = 0; row < component.blocks_high; ++row) {
        uint8_t* out = plane->samples.get() + row * 8 * plane->stride;
        const int16_t* block = component.block(0, row);
        for (uint32_t column = 0; column < component.blocks_wide; ++column, block += 64) {
            idct(block, steps, out + column * 8, plane->stride);
        }
    }
    return true;
}

// --- From planes to RGBA rows ------------------------------------------------

// The codec's upsampler of one component: which kernel, and which two
// source rows feed each output row.
struct Resampler {
    int horizontal_factor = 1;
    int vertical_factor = 1;
    int step = 0;  // how far through the vertical expansion
    uint32_t source_row = 0;
    uint32_t source_width = 0;
    const uint8_t* near_line = nullptr;
    const uint8_t* far_line = nullptr;
    malloc_ptr<uint8_t> line;
};

const uint8_t* resample_row(Resampler& r, const Plane& plane) {
    const bool bottom = r.step >= (r.vertical_factor >> 1);
    const uint8_t* near_line = bottom ? r.far_line : r.near_line;
    const uint8_t* far_line = bottom ? r.near_line : r.far_line;
    const uint8_t* result = upsample_row(r.line.get(), near_line, far_line, static_cast<int>(r.source_width),
                                         r.horizontal_factor, r.vertical_factor);
    if (++r.step >= r.vertical_factor) {
        r.step = 0;
        r.near_line = r.far_line;
        if (++r.source_row < plane.height) r.far_line += plane.stride;
    }
    return result;
}

struct Conversion {
    int component_count;
    bool rgb;  // three components stored as R, G, B
    int adobe_transform;
};

void convert_row(const Conversion& conversion, const uint8_t* const* rows, uint32_t width, uint8_t* out) {
    switch (conversion.component_count) {
    case 1:
        grey_to_rgba_row(out, rows[0], width);
        return;
    case 3:
        if (conversion.rgb) return rgb_to_rgba_row(out, rows[0], rows[1], rows[2], width);
        return ycbcr_to_rgba_row(out, rows[0], rows[1], rows[2], width);
    default:
        if (conversion.adobe_transform == 0) return cmyk_to_rgba_row(out, rows[0], rows[1], rows[2], rows[3], width);
        ycbcr_to_rgba_row(out, rows[0], rows[1], rows[2], width);
        if (conversion.adobe_transform == 2) invert_and_multiply_row(out, rows[3], width);
        return;
    }
}

// The codec takes three components as RGB when their ids spell it, or when
// an Adobe segment says no transform and there is no JFIF segment.
bool stored_as_rgb(const CoefficientImage& image, const ColourMarks& marks) {
    if (image.component_count != 3) return false;
    const bool named_rgb = image.components[0].id == 'R' && image.components[1].id == 'G' &&
                           image.components[2].id == 'B';
    return named_rgb || (marks.adobe_transform == 0 && !marks.jfif);
}

malloc_ptr<uint8_t> render(const CoefficientImage& image, const ColourMarks& marks) {
    const int count = image.component_count;
    int h_max = 1, v_max = 1;
    for (int i = 0; i < count; ++i) {
        if (image.components[i].horizontal_sampling > h_max) h_max = image.components[i].horizontal_sampling;
        if (image.components[i].vertical_sampling > v_max) v_max = image.components[i].vertical_sampling;
    }
    Plane planes[4];
    Resampler resamplers[4];
    for (int i = 0; i < count; ++i) {
        const CoefficientComponent& component = image.components[i];
        if (!make_plane(image, component, h_max, v_max, &planes[i])) return nullptr;
        Resampler& r = resamplers[i];
        r.horizontal_factor = h_max / component.horizontal_sampling;
        r.vertical_factor = v_max / component.vertical_sampling;
        r.step = r.vertical_factor >> 1;
        r.source_width = ceil_div(image.width, static_cast<uint64_t>(r.horizontal_factor));
        r.near_line = r.far_line = planes[i].samples.get();
        // Upsampled rows run up to 3 samples past the width.
        r.line.reset(static_cast<uint8_t*>(std::malloc(size_t{image.width} + 3 + 16)));
        if (!r.line) return nullptr;
    }
    const size_t row_bytes = size_t{image.width} * 4;
    malloc_ptr<uint8_t> rgba(static_cast<uint8_t*>(veerpix_malloc_large(row_bytes * image.height)));
    if (!rgba) return nullptr;
    const Conversion conversion{count, stored_as_rgb(image, marks), marks.adobe_transform};
    const uint8_t* rows[4] = {};
    for (uint32_t y = 0; y < image.height; ++y) {
        for (int i = 0; i < count; ++i) rows[i] = resample_row(resamplers[i], planes[i]);
        convert_row(conversion, rows, image.width, rgba.get() + row_bytes * y);
    }
    return rgba;
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
    CoefficientImage image;
    if (read_jpeg_coefficients(bytes, length, &image) || image.bytes_after_scan_data) return nullptr;
    malloc_ptr<uint8_t> rgba = render(image, marks);
    if (!rgba) return nullptr;
    *width = image.width;
    *height = image.height;
    return rgba;
}
