// A bounded cursor over bytes held in memory: every read is checked
// against the end of the buffer and says false instead of leaving it; and
// its writing counterpart.
// Shared by the EXIF module and the metadata module, which walk the same
// kinds of untrusted segments.
#pragma once

#include <cstdint>
#include <cstring>

enum class ByteOrder { Little, Big };

struct ByteReader {
    const uint8_t* data;
    uint64_t len;

    bool has(uint64_t pos, uint64_t size) const { return pos <= len && size <= len - pos; }

    bool matches(uint64_t pos, const void* expected, uint64_t size) const {
        return has(pos, size) && std::memcmp(data + pos, expected, size) == 0;
    }

    bool u8(uint64_t pos, uint8_t* out) const {
        if (!has(pos, 1)) return false;
        *out = data[pos];
        return true;
    }

    bool u16(ByteOrder order, uint64_t pos, uint16_t* out) const {
        if (!has(pos, 2)) return false;
        const uint8_t* p = data + pos;
        *out = order == ByteOrder::Big ? static_cast<uint16_t>(p[0] << 8 | p[1])
                                       : static_cast<uint16_t>(p[1] << 8 | p[0]);
        return true;
    }

    bool u32(ByteOrder order, uint64_t pos, uint32_t* out) const {
        if (!has(pos, 4)) return false;
        const uint8_t* p = data + pos;
        const uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
        *out = order == ByteOrder::Big ? (b0 << 24 | b1 << 16 | b2 << 8 | b3)
                                       : (b3 << 24 | b2 << 16 | b1 << 8 | b0);
        return true;
    }
};

// Writes go through the same bounds as reads: a write that would leave the
// buffer is not made.
struct ByteWriter {
    uint8_t* data;
    uint64_t len;

    void put16(ByteOrder order, uint64_t pos, uint16_t value) const {
        if (pos > len || len - pos < 2) return;
        const uint8_t hi = static_cast<uint8_t>(value >> 8), lo = static_cast<uint8_t>(value);
        data[pos] = order == ByteOrder::Big ? hi : lo;
        data[pos + 1] = order == ByteOrder::Big ? lo : hi;
    }

    void put32(ByteOrder order, uint64_t pos, uint32_t value) const {
        const uint16_t hi = static_cast<uint16_t>(value >> 16), lo = static_cast<uint16_t>(value);
        put16(order, order == ByteOrder::Big ? pos : pos + 2, hi);
        put16(order, order == ByteOrder::Big ? pos + 2 : pos, lo);
    }
};
