// EXIF Orientation of a JPEG held whole in memory.
//
// Every byte is read through ByteReader, which knows where its buffer ends,
// so no value in the data can make a read leave the buffer. The rewriter
// checks everything before it changes the first byte: a failure leaves the
// data as it was.
#include "metadata/exif.h"

#include "common/byte_reader.h"
#include "common/error.h"  // for VEERPIX_PRINTF only: this module never sets the error text
#include "formats/jpeg_segments.h"
#include "metadata/tiff.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t TAG_STRIP_OFFSETS = 0x0111;
constexpr uint16_t TAG_ORIENTATION = TIFF_TAG_ORIENTATION;
constexpr uint16_t TAG_THUMBNAIL_OFFSET = 0x0201;  // JPEGInterchangeFormat
constexpr uint16_t TAG_EXIF_IFD = 0x8769;
constexpr uint16_t TAG_GPS_IFD = 0x8825;
constexpr uint16_t TAG_INTEROP_IFD = 0xA005;

constexpr uint16_t TYPE_SHORT = TIFF_TYPE_SHORT;
constexpr uint16_t TYPE_LONG = TIFF_TYPE_LONG;
constexpr uint16_t TYPE_IFD = 13;

constexpr uint64_t ENTRY_SIZE = TIFF_ENTRY_SIZE;
constexpr uint64_t EXIF_HEADER_SIZE = 10;  // marker, length field, "Exif\0\0"
constexpr uint64_t MAX_SEGMENT_LENGTH = 65535;

// The caller's message buffer. fail() fills it and gives false, so that a
// failed check reads `return message.fail("...")`.
struct Message {
    char* text;
    uint64_t size;

    bool fail(const char* format, ...) const VEERPIX_PRINTF(2, 3);
};

bool Message::fail(const char* format, ...) const {
    if (text == nullptr || size == 0) return false;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, static_cast<size_t>(size), format, args);
    va_end(args);
    return false;
}


}  // namespace

// The first Exif APP1 segment, found by the JPEG segment walk; false with
// the reason in the message where there is none.
static bool find_exif_segment(const uint8_t* data, uint64_t len, const Message& message,
                              JpegSegment* found) {
    const JpegExifSearch search = find_jpeg_exif_segment(ByteReader{data, len});
    switch (search.outcome) {
        case ExifSearch::Found: *found = search.segment; return true;
        case ExifSearch::NotJpeg: return message.fail("not a JPEG file");
        case ExifSearch::BadMarker:
            return message.fail("bad JPEG marker at %zu", static_cast<size_t>(search.at));
        case ExifSearch::ImageEnd:
        case ExifSearch::DataEnded: return message.fail("no EXIF segment found");
        case ExifSearch::ScanFirst: return message.fail("no EXIF segment before image data");
        case ExifSearch::BadLength:
        case ExifSearch::Truncated: return message.fail("truncated JPEG segment");
    }
    return false;
}

uint64_t qv_exif_head_length(const uint8_t* data, uint64_t len) {
    return jpeg_exif_head_length(ByteReader{data, len});
}

namespace {

// The TIFF data of an Exif segment, with IFD0 checked to lie inside it.
bool open_exif_tiff(const JpegSegment& segment, const uint8_t* data, TiffData* tiff,
                    const Message& message) {
    const ByteReader bytes{data + segment.payload + 6, segment.payload_length - 6};
    switch (open_tiff(bytes, tiff)) {
        case TiffFault::None: return true;
        case TiffFault::Truncated: return message.fail("truncated EXIF");
        case TiffFault::ByteOrder: return message.fail("bad EXIF byte order");
        case TiffFault::Magic: return message.fail("bad EXIF TIFF magic");
        case TiffFault::IfdOffset: return message.fail("bad IFD offset");
        case TiffFault::IfdTruncated: return message.fail("truncated IFD");
    }
    return false;
}

}  // namespace

int qv_exif_parse_orientation(const uint8_t* data, uint64_t len, char* msg, uint64_t msg_size) {
    const Message message{msg, msg_size};
    JpegSegment found;
    if (!find_exif_segment(data, len, message, &found)) return 0;
    TiffData tiff{};
    if (!open_exif_tiff(found, data, &tiff, message)) return 0;
    for (uint64_t pos = find_ifd0_entry(tiff, TAG_ORIENTATION, 0); pos != 0;
         pos = find_ifd0_entry(tiff, TAG_ORIENTATION, pos)) {
        if (read_tiff_entry(tiff, pos).type != TYPE_SHORT) continue;
        uint16_t value = 0;
        tiff.bytes.u16(tiff.order, pos + 8, &value);
        return value;
    }
    return 0;
}

namespace {

// Row: operation; column: current orientation. Each cell w satisfies
// D(w) = op after D(v), D being the transform that shows the stored pixels
// upright, so the unchanged pixels shown with w are the old picture with op
// applied.
struct ComposeTable {
    int cells[6][9];
};

constexpr ComposeTable make_compose_table() {
    ComposeTable table{};
    for (int op = ORIENT_OP_IDENTITY; op <= ORIENT_OP_FLIP_V; ++op) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            const Transform shown = then(display_transform(orientation), static_cast<Transform>(op));
            table.cells[op][orientation] = orientation_displayed_by(shown);
        }
    }
    return table;
}

constexpr ComposeTable orient_compose_table = make_compose_table();

static_assert(orient_compose_table.cells[ORIENT_OP_ROT90][1] == 8, "a turned upright file reads 8");
static_assert(orient_compose_table.cells[ORIENT_OP_ROT90][6] == 1, "a quarter turn undoes 6");

}  // namespace

int qv_exif_compose_orientation(int op, int orientation) {
    // Taken as unsigned, a negative argument is out of range too.
    if (static_cast<uint32_t>(orientation) > 8u) return 0;
    if (static_cast<uint32_t>(op) > 5u) return 0;
    return orient_compose_table.cells[op][orientation];
}

namespace {

// Removing or inserting an entry in IFD0 moves every byte behind the change
// point by 12. Every directory reachable from IFD0 is found first (the plan),
// so that a refusal comes before any change; then the offsets that point at
// moved bytes are adjusted in place, and then the bytes are moved.
struct Shift {
    bool removal;
    uint64_t point;          // removal: the removed entry r; insertion: e
    uint64_t removed_entry;  // removal: r, whose fields are not adjusted
    uint64_t tiff_len;       // offsets beyond the TIFF data are left alone
};

bool moves(const Shift& shift, uint64_t offset) {
    if (offset >= shift.tiff_len) return false;
    return shift.removal ? offset > shift.point : offset >= shift.point;
}

uint32_t shifted(const Shift& shift, uint32_t offset) {
    return shift.removal ? offset - static_cast<uint32_t>(ENTRY_SIZE)
                         : offset + static_cast<uint32_t>(ENTRY_SIZE);
}

uint64_t type_size(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
        case 3: case 8: return 2;                  // SHORT, SSHORT
        case 4: case 9: case 11: return 4;         // LONG, SLONG, FLOAT
        case 5: case 10: case 12: return 8;        // RATIONAL, SRATIONAL, DOUBLE
        default: return 0;                         // unknown: never an offset
    }
}

// Whether the value field holds the offset of the values instead of them.
bool held_outside(const TiffEntry& entry) { return type_size(entry.type) * entry.count > 4; }

bool is_directory_pointer(const TiffEntry& entry) {
    const bool pointer_tag = entry.tag == TAG_EXIF_IFD || entry.tag == TAG_GPS_IFD ||
                             entry.tag == TAG_INTEROP_IFD;
    return pointer_tag && entry.count == 1 && (entry.type == TYPE_LONG || entry.type == TYPE_IFD);
}

bool is_strip_offsets(const TiffEntry& entry) {
    return entry.tag == TAG_STRIP_OFFSETS && (entry.type == TYPE_SHORT || entry.type == TYPE_LONG);
}

enum class RegionKind {
    ImageDirectory,  // IFD0 and the IFDs chained from it (IFD1)
    SubDirectory,    // Exif, GPS, Interoperability
    StripOffsetList  // an out-of-line StripOffsets array
};

// Byte ranges whose numbers the adjustment rewrites. They never overlap, so
// no number is adjusted twice, however the data points around.
struct Region {
    RegionKind kind;
    uint64_t start;
    uint64_t end;
    uint16_t type;   // StripOffsetList: SHORT or LONG
    uint32_t count;  // StripOffsetList: number of offsets; directory: entries
};

constexpr int MAX_REGIONS = 32;

struct Plan {
    Region regions[MAX_REGIONS];
    int region_count = 0;
};

enum class AddResult { Added, Skipped, Full };

AddResult add_region(Plan* plan, const Region& region) {
    for (int i = 0; i < plan->region_count; ++i) {
        const Region& other = plan->regions[i];
        if (region.start < other.end && other.start < region.end) return AddResult::Skipped;
    }
    if (plan->region_count == MAX_REGIONS) return AddResult::Full;
    plan->regions[plan->region_count++] = region;
    return AddResult::Added;
}

// A directory that cannot be read whole, or that overlaps one already
// planned (a loop, a shared table), is skipped: its numbers stay as they are.
AddResult add_directory(Plan* plan, const TiffData& tiff, RegionKind kind, uint64_t offset) {
    uint16_t entry_count = 0;
    if (offset < TIFF_HEADER_SIZE || !tiff.bytes.u16(tiff.order, offset, &entry_count)) {
        return AddResult::Skipped;
    }
    uint64_t end = tiff_entry_position(offset, entry_count);
    if (end > tiff.bytes.len) return AddResult::Skipped;
    if (tiff.bytes.has(end, 4)) end += 4;  // the next-IFD offset, where there is one
    return add_region(plan, Region{kind, offset, end, 0, entry_count});
}

AddResult add_strip_offset_list(Plan* plan, const TiffData& tiff, const TiffEntry& entry,
                                uint64_t value_pos) {
    uint32_t offset = 0;
    tiff.bytes.u32(tiff.order, value_pos, &offset);
    const uint64_t size = type_size(entry.type) * entry.count;
    if (offset < TIFF_HEADER_SIZE || !tiff.bytes.has(offset, size)) return AddResult::Skipped;
    return add_region(plan, Region{RegionKind::StripOffsetList, offset, offset + size, entry.type,
                                   entry.count});
}

bool has_next_offset(const Region& directory) {
    return directory.end - directory.start == 2 + ENTRY_SIZE * directory.count + 4;
}

// Finds every directory and offset list reachable from IFD0. False when
// there are more than the plan can hold: adjusting only some would corrupt.
bool make_plan(const TiffData& tiff, const Shift& shift, Plan* plan, const Message& message) {
    add_directory(plan, tiff, RegionKind::ImageDirectory, tiff.ifd0);
    bool full = false;
    // The plan grows while it is walked: each directory adds what it names.
    for (int i = 0; i < plan->region_count && !full; ++i) {
        const Region directory = plan->regions[i];
        if (directory.kind == RegionKind::StripOffsetList) continue;
        for (uint64_t index = 0; index < directory.count; ++index) {
            const uint64_t pos = tiff_entry_position(directory.start, index);
            if (pos == shift.removed_entry) continue;
            const TiffEntry entry = read_tiff_entry(tiff, pos);
            if (is_directory_pointer(entry)) {
                uint32_t offset = 0;
                tiff.bytes.u32(tiff.order, pos + 8, &offset);
                full |= add_directory(plan, tiff, RegionKind::SubDirectory, offset) == AddResult::Full;
            } else if (is_strip_offsets(entry) && held_outside(entry)) {
                full |= add_strip_offset_list(plan, tiff, entry, pos + 8) == AddResult::Full;
            }
        }
        // Sub-directories end their chain; whatever their next-IFD field
        // holds is not followed.
        if (directory.kind != RegionKind::ImageDirectory || !has_next_offset(directory)) continue;
        uint32_t next = 0;
        tiff.bytes.u32(tiff.order, tiff_entry_position(directory.start, directory.count), &next);
        if (next != 0) {
            full |= add_directory(plan, tiff, RegionKind::ImageDirectory, next) == AddResult::Full;
        }
    }
    if (full) return message.fail("too many EXIF directories to adjust");
    return true;
}

// Adjusts every offset of the plan that points at moved bytes. A 16-bit
// offset cannot overflow: only offsets inside the TIFF data move, and an
// insertion is refused before the segment would pass 65535 bytes.
struct Adjuster {
    const TiffData& tiff;
    const Shift& shift;
    const ByteWriter& writer;

    void offset32(uint64_t pos) const {
        uint32_t offset = 0;
        if (!tiff.bytes.u32(tiff.order, pos, &offset) || !moves(shift, offset)) return;
        writer.put32(tiff.order, pos, shifted(shift, offset));
    }

    void offset16(uint64_t pos) const {
        uint16_t offset = 0;
        if (!tiff.bytes.u16(tiff.order, pos, &offset) || !moves(shift, offset)) return;
        writer.put16(tiff.order, pos, static_cast<uint16_t>(shifted(shift, offset)));
    }

    void offset_list(uint64_t pos, uint16_t type, uint64_t count) const {
        const uint64_t size = type_size(type);
        for (uint64_t i = 0; i < count; ++i) {
            if (type == TYPE_SHORT) offset16(pos + size * i);
            else offset32(pos + size * i);
        }
    }

    void entry(uint64_t pos) const {
        const TiffEntry entry = read_tiff_entry(tiff, pos);
        const uint64_t value_pos = pos + 8;
        // An out-of-line StripOffsets array is adjusted as a region of its own.
        if (held_outside(entry)) return offset32(value_pos);
        // No directory uses these tag numbers for anything else, so they
        // are recognised wherever they stand.
        if (is_directory_pointer(entry)) return offset32(value_pos);
        if (entry.tag == TAG_THUMBNAIL_OFFSET && entry.type == TYPE_LONG && entry.count == 1) {
            return offset32(value_pos);
        }
        if (is_strip_offsets(entry)) offset_list(value_pos, entry.type, entry.count);
    }

    void region(const Region& region) const {
        if (region.kind == RegionKind::StripOffsetList) {
            return offset_list(region.start, region.type, region.count);
        }
        for (uint64_t index = 0; index < region.count; ++index) {
            const uint64_t pos = tiff_entry_position(region.start, index);
            if (pos != shift.removed_entry) entry(pos);
        }
        if (region.kind == RegionKind::ImageDirectory && has_next_offset(region)) {
            offset32(tiff_entry_position(region.start, region.count));
        }
    }

    void plan(const Plan& plan) const {
        for (int i = 0; i < plan.region_count; ++i) region(plan.regions[i]);
    }
};

struct Segment {
    uint8_t* start;  // the 0xFF byte of the APP1 marker
    uint16_t length; // its length field
};

// Plans, then adjusts the offsets that the shift moves; false, with nothing
// written, when the plan cannot hold every directory.
bool adjust_offsets(const Segment& segment, const TiffData& tiff, const Shift& shift,
                    const Message& message) {
    Plan plan;
    if (!make_plan(tiff, shift, &plan, message)) return false;
    const ByteWriter tiff_writer{segment.start + EXIF_HEADER_SIZE, tiff.bytes.len};
    Adjuster{tiff, shift, tiff_writer}.plan(plan);
    return true;
}

int remove_entry(uint8_t* data, uint64_t len, const Segment& segment, const TiffData& tiff,
                 uint64_t entry, uint64_t* out_len, const Message& message) {
    const Shift shift{true, entry, entry, tiff.bytes.len};
    if (!adjust_offsets(segment, tiff, shift, message)) return 0;

    uint8_t* tiff_start = segment.start + EXIF_HEADER_SIZE;
    const ByteWriter tiff_writer{tiff_start, tiff.bytes.len};
    const uint64_t entry_abs = static_cast<uint64_t>(tiff_start - data) + entry;
    std::memmove(data + entry_abs, data + entry_abs + ENTRY_SIZE, len - entry_abs - ENTRY_SIZE);
    tiff_writer.put16(tiff.order, tiff.ifd0, static_cast<uint16_t>(tiff.entry_count - 1));
    ByteWriter{segment.start, 4}.put16(ByteOrder::Big, 2,
                                       static_cast<uint16_t>(segment.length - ENTRY_SIZE));
    *out_len = len - ENTRY_SIZE;
    return 1;
}

int insert_entry(uint8_t* data, uint64_t len, const Segment& segment, const TiffData& tiff,
                 uint16_t value, uint64_t* out_len, const Message& message) {
    // A length field that wrapped would make every JPEG reader lose its way.
    if (segment.length + ENTRY_SIZE > MAX_SEGMENT_LENGTH) {
        return message.fail("EXIF segment too long to insert Orientation");
    }
    const uint64_t end_of_entries = tiff_entry_position(tiff.ifd0, tiff.entry_count);
    const Shift shift{false, end_of_entries, UINT64_MAX, tiff.bytes.len};
    if (!adjust_offsets(segment, tiff, shift, message)) return 0;

    uint8_t* tiff_start = segment.start + EXIF_HEADER_SIZE;
    const uint64_t insert_abs = static_cast<uint64_t>(tiff_start - data) + end_of_entries;
    std::memmove(data + insert_abs + ENTRY_SIZE, data + insert_abs, len - insert_abs);
    // The caller has promised room for len + 12 bytes.
    const ByteWriter grown{tiff_start, tiff.bytes.len + ENTRY_SIZE};
    grown.put16(tiff.order, end_of_entries, TAG_ORIENTATION);
    grown.put16(tiff.order, end_of_entries + 2, TYPE_SHORT);
    grown.put32(tiff.order, end_of_entries + 4, 1);
    grown.put16(tiff.order, end_of_entries + 8, value);
    grown.put16(tiff.order, end_of_entries + 10, 0);
    grown.put16(tiff.order, tiff.ifd0, static_cast<uint16_t>(tiff.entry_count + 1));
    ByteWriter{segment.start, 4}.put16(ByteOrder::Big, 2,
                                       static_cast<uint16_t>(segment.length + ENTRY_SIZE));
    *out_len = len + ENTRY_SIZE;
    return 1;
}

}  // namespace

int qv_exif_rewrite_orientation(uint8_t* data, uint64_t len, int value, uint64_t* out_len,
                                char* msg, uint64_t msg_size) {
    const Message message{msg, msg_size};
    JpegSegment found;
    if (!find_exif_segment(data, len, message, &found)) {
        *out_len = len;
        return 1;
    }
    const Segment segment{data + found.start, static_cast<uint16_t>(found.payload_length + 2)};
    TiffData tiff{};
    if (!open_exif_tiff(found, data, &tiff, message)) return 0;

    // The first entry with the tag, whatever its type, decides.
    const uint64_t entry = find_ifd0_entry(tiff, TAG_ORIENTATION, 0);
    const bool has_entry = entry != 0;
    const auto new_value = static_cast<uint16_t>(value);  // the low 16 bits

    if (has_entry && value != 0) {
        if (read_tiff_entry(tiff, entry).type != TYPE_SHORT) {
            return message.fail("Orientation not SHORT");
        }
        // Some cameras write the entry twice, and readers differ in which
        // they take: every SHORT one gets the value.
        const ByteWriter tiff_writer{segment.start + EXIF_HEADER_SIZE, tiff.bytes.len};
        for (uint64_t at = entry; at != 0; at = find_ifd0_entry(tiff, TAG_ORIENTATION, at)) {
            if (read_tiff_entry(tiff, at).type == TYPE_SHORT) tiff_writer.put16(tiff.order, at + 8, new_value);
        }
        *out_len = len;
        return 1;
    }
    if (has_entry) return remove_entry(data, len, segment, tiff, entry, out_len, message);
    if (value != 0) return insert_entry(data, len, segment, tiff, new_value, out_len, message);
    *out_len = len;
    return 1;
}
