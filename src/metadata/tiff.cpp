#include "metadata/tiff.h"

TiffFault open_tiff(const ByteReader& bytes, TiffData* tiff) {
    if (!bytes.has(0, TIFF_HEADER_SIZE)) return TiffFault::Truncated;
    uint8_t order_mark = 0;
    bytes.u8(0, &order_mark);
    if (order_mark != 'I' && order_mark != 'M') return TiffFault::ByteOrder;
    const ByteOrder order = order_mark == 'M' ? ByteOrder::Big : ByteOrder::Little;
    uint16_t magic = 0;
    bytes.u16(order, 2, &magic);
    if (magic != 42) return TiffFault::Magic;
    uint32_t ifd0 = 0;
    bytes.u32(order, 4, &ifd0);
    // Offsets of 2^31 and above count as negative.
    if (ifd0 < TIFF_HEADER_SIZE || ifd0 > 0x7FFFFFFFu || !bytes.has(ifd0, 2)) return TiffFault::IfdOffset;
    uint16_t entry_count = 0;
    bytes.u16(order, ifd0, &entry_count);
    if (!bytes.has(ifd0 + 2, TIFF_ENTRY_SIZE * entry_count)) return TiffFault::IfdTruncated;
    *tiff = TiffData{bytes, order, ifd0, entry_count};
    return TiffFault::None;
}

TiffEntry read_tiff_entry(const TiffData& tiff, uint64_t position) {
    TiffEntry entry;
    tiff.bytes.u16(tiff.order, position, &entry.tag);
    tiff.bytes.u16(tiff.order, position + 2, &entry.type);
    tiff.bytes.u32(tiff.order, position + 4, &entry.count);
    return entry;
}

uint64_t find_ifd0_entry(const TiffData& tiff, uint16_t tag, uint64_t after) {
    const uint64_t first = tiff_entry_position(tiff.ifd0, 0);
    uint64_t index = after < first ? 0 : (after - first) / TIFF_ENTRY_SIZE + 1;
    for (; index < tiff.entry_count; ++index) {
        const uint64_t position = tiff_entry_position(tiff.ifd0, index);
        if (read_tiff_entry(tiff, position).tag == tag) return position;
    }
    return 0;
}
