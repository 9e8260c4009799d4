// The EXIF rewriter on arbitrary bytes with every kind of value: removal
// (0), a value the input chooses, one whose low 16 bits are zero, and a
// small orientation; each set request becomes an insertion where IFD0 has
// no Orientation entry, so every buffer has the 12 bytes of room that one
// needs. Properties, checked on every call:
//   - a refusal leaves the data, the room behind it and out_len untouched;
//   - what the reader refuses as a faulty header the rewriter refuses too;
//   - a success changes the length by -12 (removal), 0 or +12 (insertion),
//     writes nothing past the new length, changes only the value bytes of
//     IFD0's SHORT Orientation entries when the length stays, and leaves no
//     change at all where there was nothing to do;
//   - afterwards the reader still finds the segment and parses its header,
//     and after a set or an insertion it reads the new value;
//   - bytes before the Exif segment and after it (moved by the change in
//     length) are as they were.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "metadata/exif.h"

namespace {

constexpr uint64_t kRoom = 12;
constexpr uint8_t kRoomFill = 0xA5;
constexpr uint64_t kUnwrittenLength = 0xDEADBEEF;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

const char* const kHeaderFaults[] = {"truncated EXIF", "bad EXIF byte order", "bad EXIF TIFF magic",
                                     "bad IFD offset", "truncated IFD"};

enum class ReadKind { NoSegment, FaultyHeader, Parsed };

struct Reading {
    ReadKind kind;
    int value;
};

Reading read_orientation(const uint8_t* data, uint64_t len) {
    char msg[256] = {};
    const int value = qv_exif_parse_orientation(data, len, msg, sizeof msg);
    if (msg[0] == '\0') return {ReadKind::Parsed, value};
    for (const char* fault : kHeaderFaults) {
        if (std::strcmp(msg, fault) == 0) return {ReadKind::FaultyHeader, 0};
    }
    return {ReadKind::NoSegment, 0};
}

struct SegmentPlace {
    bool found = false;
    uint64_t start = 0;   // its 0xFF byte
    uint64_t length = 0;  // its length field
};

// The first Exif APP1 segment, found by the same walk the module documents:
// segments stepped over by their length fields up to EOI or SOS.
SegmentPlace find_exif(const uint8_t* data, uint64_t len) {
    SegmentPlace place;
    if (len < 4 || data[0] != 0xFF || data[1] != 0xD8) return place;
    for (uint64_t pos = 2; pos + 4 <= len;) {
        const uint8_t code = data[pos + 1];
        if (data[pos] != 0xFF || code == 0xD9 || code == 0xDA) return place;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            pos += 2;
            continue;
        }
        const uint64_t length = uint64_t{data[pos + 2]} << 8 | data[pos + 3];
        if (length < 2 || pos + 2 + length > len) return place;
        if (code == 0xE1 && length >= 10 && std::memcmp(data + pos + 4, "Exif\0\0", 6) == 0) {
            place = {true, pos, length};
            return place;
        }
        pos += 2 + length;
    }
    return place;
}

uint64_t differing_bytes(const uint8_t* a, const uint8_t* b, uint64_t len) {
    uint64_t count = 0;
    for (uint64_t i = 0; i < len; ++i) count += a[i] != b[i];
    return count;
}

// Whether every byte that differs lies in the value of one of IFD0's
// SHORT Orientation entries (a camera may write the entry twice).
bool only_orientation_values_differ(const uint8_t* before, const uint8_t* after, uint64_t len) {
    const SegmentPlace place = find_exif(before, len);
    if (!place.found || place.length < 16) return differing_bytes(before, after, len) == 0;
    const uint64_t tiff = place.start + 10, tiff_len = place.length - 8;
    const bool big = before[tiff] == 'M';
    const auto u16 = [&](uint64_t at) {
        return big ? uint32_t{before[tiff + at]} << 8 | before[tiff + at + 1]
                   : uint32_t{before[tiff + at + 1]} << 8 | before[tiff + at];
    };
    const uint64_t ifd0 = big ? uint64_t{u16(4)} << 16 | u16(6) : uint64_t{u16(6)} << 16 | u16(4);
    if (ifd0 + 2 > tiff_len) return differing_bytes(before, after, len) == 0;
    const uint64_t count = u16(ifd0);
    std::vector<bool> may_differ(len, false);
    for (uint64_t i = 0; i < count && ifd0 + 2 + 12 * (i + 1) <= tiff_len; ++i) {
        const uint64_t entry = ifd0 + 2 + 12 * i;
        if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
            may_differ[tiff + entry + 8] = true;
            may_differ[tiff + entry + 9] = true;
        }
    }
    for (uint64_t i = 0; i < len; ++i) {
        if (before[i] != after[i] && !may_differ[i]) return false;
    }
    return true;
}

bool room_untouched(const uint8_t* buffer, uint64_t len) {
    for (uint64_t i = len; i < len + kRoom; ++i) {
        if (buffer[i] != kRoomFill) return false;
    }
    return true;
}

// Where the length changed, everything outside the segment's TIFF data and
// length field kept its bytes, the tail moved by the change.
void check_outside_segment(const uint8_t* before, uint64_t len, const uint8_t* after,
                           uint64_t out_len) {
    const SegmentPlace place = find_exif(before, len);
    if (!place.found) return;
    require(std::memcmp(after, before, static_cast<size_t>(place.start + 2)) == 0);
    require(std::memcmp(after + place.start + 4, before + place.start + 4, 6) == 0);
    const uint64_t old_end = place.start + 2 + place.length;
    const uint64_t new_end = old_end + out_len - len;  // wraps back for a removal
    require(std::memcmp(after + new_end, before + old_end, static_cast<size_t>(len - old_end)) == 0);
    const uint64_t new_length = uint64_t{after[place.start + 2]} << 8 | after[place.start + 3];
    require(new_length == place.length + out_len - len);
}

void check_value(const uint8_t* data, uint64_t len, const Reading& before, int value) {
    std::vector<uint8_t> buffer(len + kRoom, kRoomFill);
    std::memcpy(buffer.data(), data, static_cast<size_t>(len));
    uint64_t out_len = kUnwrittenLength;
    char msg[256];
    std::memset(msg, 'x', sizeof msg);
    const int result = qv_exif_rewrite_orientation(buffer.data(), len, value, &out_len, msg, sizeof msg);

    if (result == 0) {
        require(std::memcmp(buffer.data(), data, static_cast<size_t>(len)) == 0);
        require(room_untouched(buffer.data(), len));
        require(out_len == kUnwrittenLength);
        require(std::memchr(msg, '\0', sizeof msg) != nullptr);
        return;
    }
    require(result == 1);
    require(before.kind != ReadKind::FaultyHeader);
    const bool removal = value == 0;
    require(out_len == len || out_len == (removal ? len - kRoom : len + kRoom));
    if (out_len <= len) require(room_untouched(buffer.data(), len));

    if (before.kind == ReadKind::NoSegment || (removal && out_len == len)) {
        // Nothing to change: no segment, or no entry to remove.
        require(out_len == len);
        require(std::memcmp(buffer.data(), data, static_cast<size_t>(len)) == 0);
        return;
    }
    if (out_len == len) {
        require(only_orientation_values_differ(data, buffer.data(), len));
    } else {
        check_outside_segment(data, len, buffer.data(), out_len);
    }
    const Reading after = read_orientation(buffer.data(), out_len);
    require(after.kind == ReadKind::Parsed);
    if (!removal) require(after.value == (value & 0xFFFF));
}

int32_t int_from_tail(const uint8_t* data, size_t size) {
    uint32_t value = 0;
    for (size_t i = size >= 4 ? size - 4 : 0; i < size; ++i) value = value << 8 | data[i];
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Reading before = read_orientation(data, size);
    const int small = size ? 1 + data[size - 1] % 8 : 1;
    const int values[] = {0, small, int_from_tail(data, size), 0x10000};
    for (int value : values) check_value(data, size, before, value);
    return 0;
}
