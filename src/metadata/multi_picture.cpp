#include "metadata/multi_picture.h"

#include <algorithm>

#include "metadata/tiff.h"

namespace {

const char kMpfSignature[4] = {'M', 'P', 'F', 0};

constexpr uint16_t kNumberOfImages = 0xB001;
constexpr uint16_t kMpEntry = 0xB002;
constexpr uint16_t kTiffTypeUndefined = 7;
constexpr uint64_t kMpEntrySize = 16;
// Within an entry: the picture's attribute, then its size and offset.
constexpr uint64_t kEntrySize = 4;
constexpr uint64_t kEntryOffset = 8;

// Where the entry list lies in the TIFF data, and how many it holds.
struct EntryList {
    ByteOrder order = ByteOrder::Big;
    uint64_t start = 0;
    uint32_t count = 0;

    uint64_t at(uint32_t number) const { return start + kMpEntrySize * number; }
};

// A tag that IFD0 holds once; 0 where it holds it never or twice (which
// of two a reader takes is anyone's guess).
uint64_t single_entry(const TiffData& tiff, uint16_t tag) {
    const uint64_t at = find_ifd0_entry(tiff, tag, 0);
    return at != 0 && find_ifd0_entry(tiff, tag, at) == 0 ? at : 0;
}

bool open_entry_list(const ByteReader& bytes, EntryList* list) {
    TiffData tiff{};
    if (open_tiff(bytes, &tiff) != TiffFault::None) return false;
    const uint64_t count_at = single_entry(tiff, kNumberOfImages);
    const uint64_t list_at = single_entry(tiff, kMpEntry);
    if (count_at == 0 || list_at == 0) return false;
    const TiffEntry count_entry = read_tiff_entry(tiff, count_at);
    const TiffEntry list_entry = read_tiff_entry(tiff, list_at);
    uint32_t count = 0, start = 0;
    tiff.bytes.u32(tiff.order, count_at + 8, &count);
    tiff.bytes.u32(tiff.order, list_at + 8, &start);
    if (count_entry.type != TIFF_TYPE_LONG || count_entry.count != 1 || count == 0) return false;
    // 16 bytes an entry never fit the 4 of the entry itself: always an offset.
    if (list_entry.type != kTiffTypeUndefined || list_entry.count != kMpEntrySize * count) return false;
    if (!tiff.bytes.has(start, kMpEntrySize * count)) return false;
    *list = EntryList{tiff.order, start, count};
    return true;
}

// The one MPF segment ahead of the frame: 0 where there is none, 2 where
// there are more.
int find_mpf_segment(const ByteReader& jpeg, JpegSegment* found) {
    if (!starts_with_jpeg_soi(jpeg)) return 0;
    int count = 0;
    uint64_t pos = 2;
    JpegSegment segment;
    JpegStop stop = JpegStop::None;
    while (next_jpeg_segment(jpeg, &pos, JpegWalkRules{}, &segment, &stop)) {
        if (is_jpeg_frame_header(segment.code) || segment.code == jpeg_code::sos ||
            segment.code == jpeg_code::eoi) {
            break;
        }
        if (is_mpf_segment(jpeg, segment)) {
            if (++count > 1) break;
            *found = segment;
        }
    }
    return count;
}

bool overlap(const secondary_picture& earlier, const secondary_picture& later) {
    return later.start - earlier.start < earlier.length;
}

}  // namespace

bool is_mpf_segment(const ByteReader& jpeg, const JpegSegment& segment) {
    return segment.code == jpeg_code::app2 && segment.starts_with(jpeg, kMpfSignature, sizeof kMpfSignature);
}

multi_picture_index read_multi_picture_index(const uint8_t* bytes, uint64_t length, uint64_t primary_end,
                                             std::vector<secondary_picture>* pictures) {
    pictures->clear();
    const ByteReader jpeg{bytes, length};
    JpegSegment segment;
    const int segments = find_mpf_segment(jpeg, &segment);
    if (segments == 0) return multi_picture_index::absent;
    if (segments > 1) return multi_picture_index::unsound;
    const uint64_t tiff_start = mpf_tiff_start(segment);
    const ByteReader tiff{bytes + tiff_start, segment.end() - tiff_start};
    EntryList list;
    if (!open_entry_list(tiff, &list)) return multi_picture_index::unsound;
    uint32_t primary_offset = 1;
    tiff.u32(list.order, list.at(0) + kEntryOffset, &primary_offset);
    if (primary_offset != 0) return multi_picture_index::unsound;

    std::vector<secondary_picture> listed;
    for (uint32_t number = 1; number < list.count; ++number) {
        uint32_t size = 0, offset = 0;
        tiff.u32(list.order, list.at(number) + kEntrySize, &size);
        tiff.u32(list.order, list.at(number) + kEntryOffset, &offset);
        const uint64_t start = tiff_start + offset;
        if (offset == 0 || size == 0 || start < primary_end || !jpeg.has(start, size)) {
            return multi_picture_index::unsound;
        }
        listed.push_back(secondary_picture{number, start, size});
    }
    std::sort(listed.begin(), listed.end(),
              [](const secondary_picture& a, const secondary_picture& b) { return a.start < b.start; });
    for (size_t i = 1; i < listed.size(); ++i) {
        if (overlap(listed[i - 1], listed[i])) return multi_picture_index::unsound;
    }
    *pictures = std::move(listed);
    return multi_picture_index::sound;
}

bool place_multi_pictures(uint8_t* tiff, uint64_t tiff_length, uint64_t tiff_start, uint64_t primary_length,
                          const std::vector<placed_picture>& placed) {
    EntryList list;
    if (!open_entry_list(ByteReader{tiff, tiff_length}, &list)) return false;
    // Planned whole before the first byte changes.
    struct Placement {
        uint64_t entry_at;
        uint32_t size;
        uint32_t offset;
    };
    std::vector<Placement> plan;
    if (primary_length > UINT32_MAX) return false;
    plan.push_back(Placement{list.at(0), static_cast<uint32_t>(primary_length), 0});
    uint64_t next = primary_length;
    for (const placed_picture& picture : placed) {
        const uint64_t offset = next - tiff_start;
        if (picture.entry == 0 || picture.entry >= list.count || picture.length > UINT32_MAX ||
            offset > UINT32_MAX) {
            return false;
        }
        plan.push_back(Placement{list.at(picture.entry), static_cast<uint32_t>(picture.length),
                                 static_cast<uint32_t>(offset)});
        next += picture.length;
    }
    const ByteWriter writer{tiff, tiff_length};
    for (const Placement& placement : plan) {
        writer.put32(list.order, placement.entry_at + kEntrySize, placement.size);
        writer.put32(list.order, placement.entry_at + kEntryOffset, placement.offset);
    }
    return true;
}
