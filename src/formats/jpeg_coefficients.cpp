// The coefficient reader: the entropy-coded scans of a Huffman JPEG,
// baseline or progressive, decoded into quantised coefficients.
//
// Strict where a pixel decoder is lenient: a scan that runs out of data,
// a missing restart marker, a code that no table holds or a value that
// does not fit declines the file instead of filling in zeros, since the
// lossless road must write back exactly the picture it was given (the
// caller then takes the re-encoding road, whose decoder tolerates them).
#include "formats/jpeg_coefficients.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "common/large_block.h"
#include "formats/jpeg_segments.h"
#include "formats/jpeg_zigzag.h"

namespace {

constexpr const char* kTruncated = "JPEG scan data truncated";
constexpr const char* kBadCode = "JPEG scan holds a code its Huffman table lacks";
constexpr const char* kBadValue = "JPEG coefficient out of range";
constexpr const char* kBadRestart = "JPEG restart marker missing";
constexpr const char* kBadScan = "JPEG scan header not understood";
constexpr const char* kBadTable = "JPEG table not understood";
constexpr const char* kBadFrame = "JPEG frame header not understood";
constexpr const char* kUndefinedTable = "JPEG scan uses an undefined table";
constexpr const char* kTooLarge = "too large";
constexpr const char* kOutOfMemory = "out of memory";

// Every scan walks the whole picture, and a progressive scan of a few bytes
// can cover it with end-of-band runs: a small file of many scans would
// take minutes. Encoders write about ten; no sound file needs a thousand.
constexpr int kMaxScans = 1000;

// --- Huffman tables ------------------------------------------------------

constexpr int kLookupBits = 9;
// The combined lookup of a code and its value. In a photo at quality 92,
// 11 bits hold 93 in 100 of the AC codes with a value (9 bits 87), and
// with the end of block 98 in 100 of all; each miss costs a mispredicted
// branch and a second lookup. 10 and 12 bits measured slower.
constexpr int kFastBits = 11;

// The bit count first: loaded as a word, its low byte is the shift count
// itself, one instruction less on the chain from one code to the next.
struct RunAndValue {
    uint8_t bits;  // of the code and the value; 0 where the lookup does not decode
    uint8_t run;   // zeros before the value; kEndOfBlockRun for an end of block
    int16_t value;
};

// Past any position of a block: the run of the end-of-block code.
constexpr uint8_t kEndOfBlockRun = 64;

struct HuffmanTable {
    bool defined = false;
    // Codes of up to kLookupBits bits, found by their leading bits:
    // length << 8 | symbol, 0 where the code is longer.
    uint16_t lookup[1 << kLookupBits] = {};
    int32_t largest_code[17] = {};  // per length; -1 where none
    int32_t first_index[17] = {};   // values index of the length's first code, less that code
    uint8_t values[256] = {};
    // A code and the value after it together in kFastBits bits: for a DC
    // table the difference, for an AC table the run and the value, or the
    // end of block. The zero run (0xF0) and codes or values that do not
    // fit are left to the careful path.
    RunAndValue run_and_value[1 << kFastBits] = {};
};

// Released with free, without a destructor.
static_assert(std::is_trivially_destructible<HuffmanTable>::value, "HuffmanTable must need no destructor");

enum class TableClass { dc, ac };

// A value of `size` bits as the JPEG codes signed values: a leading zero
// bit marks a negative one.
int32_t extend(uint32_t raw, int size) {
    if (size == 0) return 0;
    return raw < (1u << (size - 1)) ? static_cast<int32_t>(raw) - (1 << size) + 1 : static_cast<int32_t>(raw);
}

// The code of `length` bits and its symbol, at every index it starts.
void add_run_and_value(HuffmanTable* table, TableClass table_class, int32_t code, int length, uint8_t symbol) {
    const int run = table_class == TableClass::dc ? 0 : symbol >> 4;
    const int size = table_class == TableClass::dc ? symbol : symbol & 15;
    if (size > 15 || length + size > kFastBits) return;
    const bool end_of_block = table_class == TableClass::ac && symbol == 0x00;
    if (table_class == TableClass::ac && size == 0 && !end_of_block) return;
    const int spread = kFastBits - length;
    for (uint32_t fill = 0; fill < (1u << spread); ++fill) {
        const uint32_t raw = fill >> (spread - size);
        const RunAndValue entry{static_cast<uint8_t>(length + size),
                                static_cast<uint8_t>(end_of_block ? kEndOfBlockRun : run),
                                static_cast<int16_t>(extend(raw, size))};
        table->run_and_value[(static_cast<uint32_t>(code) << spread) | fill] = entry;
    }
}

// Canonical codes from the counts per length. A set of counts whose codes
// do not fit in their lengths describes no table.
bool build_huffman_table(const uint8_t counts[16], const uint8_t* values, int value_count, TableClass table_class,
                         HuffmanTable* table) {
    *table = HuffmanTable{};
    std::memcpy(table->values, values, static_cast<size_t>(value_count));
    int32_t code = 0;
    int index = 0;
    for (int length = 1; length <= 16; ++length) {
        const int count = counts[length - 1];
        table->first_index[length] = index - code;
        table->largest_code[length] = count ? code + count - 1 : -1;
        for (int i = 0; i < count; ++i, ++code, ++index) {
            if (code >= (1 << length)) return false;
            add_run_and_value(table, table_class, code, length, values[index]);
            if (length > kLookupBits) continue;
            const int spread = kLookupBits - length;
            for (int fill = 0; fill < (1 << spread); ++fill) {
                table->lookup[(code << spread) | fill] = static_cast<uint16_t>(length << 8 | values[index]);
            }
        }
        code <<= 1;
    }
    table->defined = true;
    return true;
}

// --- Bits of a scan ------------------------------------------------------

inline uint64_t load_big_endian_64(const uint8_t* bytes) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // One load and a byte swap; compilers do not merge the loop below.
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    return __builtin_bswap64(word);
#else
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = word << 8 | bytes[i];
    return word;
#endif
}

// Entropy-coded bytes, stuffed 0xFF 0x00 pairs taken as 0xFF; at a marker
// the reader stops and supplies zero bits, counted, so that a scan that
// reads into them is known to be truncated.
struct BitReader {
    const uint8_t* data;
    uint64_t end;
    uint64_t position;
    // Valid bits at the top. Below them the quick refill may leave bits of
    // the bytes that follow, as they are: the next refill puts the same
    // bits there again.
    uint64_t buffer = 0;
    int bit_count = 0;
    int padding_bits = 0;  // zero bits supplied past the marker, at the buffer's bottom
    bool at_marker = false;
    // No byte from position up to here is 0xFF: no stuffing, no marker.
    uint64_t plain_end = 0;

    // Most of a scan: as many whole bytes as fit, unexamined, where none
    // of the eight loaded can be a 0xFF.
    bool fill_quickly() {
        if (position + 8 > plain_end) return false;
        buffer |= load_big_endian_64(data + position) >> bit_count;
        const int count = (63 - bit_count) >> 3;
        position += static_cast<uint64_t>(count);
        bit_count += 8 * count;
        return true;
    }

    void fill() {
        if (!fill_quickly()) fill_carefully();
    }

    // At least 32 bits, refilled whether or not they are there already:
    // the test of a count that falls by a few bits per code is a branch
    // no predictor learns, and a refill of plain bytes costs less than its
    // misses.
    void refill() {
        if (!fill_quickly() && bit_count < 32) fill_carefully();
    }

    // Byte by byte near a 0xFF or the end of the data. Stops short of 64
    // valid bits, as the quick refill does: it shifts by the count.
    void fill_carefully() {
        while (bit_count < 56) {
            uint64_t byte = 0;
            if (!at_marker && position < end && data[position] != 0xFF) {
                byte = data[position++];
            } else if (!at_marker && position + 1 < end && data[position + 1] == 0x00) {
                byte = 0xFF;
                position += 2;
            } else {
                at_marker = true;
                padding_bits += 8;
            }
            buffer |= byte << (56 - bit_count);
            bit_count += 8;
        }
        if (!at_marker && position > plain_end) {
            const void* next_ff = std::memchr(data + position, 0xFF, static_cast<size_t>(end - position));
            plain_end = next_ff ? static_cast<uint64_t>(static_cast<const uint8_t*>(next_ff) - data) : end;
        }
    }

    void ensure(int bits) {
        if (bit_count < bits) fill();
    }

    uint32_t peek(int bits) const { return static_cast<uint32_t>(buffer >> (64 - bits)); }

    void consume(int bits) {
        buffer <<= bits;
        bit_count -= bits;
    }

    // Up to 16 bits; ensure() first.
    uint32_t take(int bits) {
        if (bits == 0) return 0;
        const uint32_t value = peek(bits);
        consume(bits);
        return value;
    }

    bool overran() const { return bit_count < padding_bits; }

    // The bits that remain of the current byte are padding: drop them.
    void align() {
        const int drop = bit_count % 8;
        consume(drop);
    }

    // Where the bytes not yet taken as bits begin: whole unread bytes in
    // the buffer go back (a stuffed 0xFF goes back as its pair).
    uint64_t unread_position() const {
        uint64_t back = static_cast<uint64_t>((bit_count - padding_bits) / 8);
        uint64_t at = position;
        while (back > 0 && at > 0) {
            at -= (at >= 2 && data[at - 1] == 0x00 && data[at - 2] == 0xFF) ? 2 : 1;
            --back;
        }
        return at;
    }
};

// The symbol whose code starts the bits, or -1. ensure(16) first.
int decode_symbol(BitReader& bits, const HuffmanTable& table) {
    const uint16_t entry = table.lookup[bits.peek(kLookupBits)];
    if (entry != 0) {
        bits.consume(entry >> 8);
        return entry & 0xFF;
    }
    const int32_t code16 = static_cast<int32_t>(bits.peek(16));
    for (int length = kLookupBits + 1; length <= 16; ++length) {
        const int32_t code = code16 >> (16 - length);
        if (code <= table.largest_code[length]) {
            bits.consume(length);
            return table.values[table.first_index[length] + code];
        }
    }
    return -1;
}

bool fits_int16(int32_t value) { return value >= -32768 && value <= 32767; }

// --- The frame and its scans ---------------------------------------------

struct ScanComponent {
    CoefficientComponent* component;
    const HuffmanTable* dc;
    const HuffmanTable* ac;
    int32_t dc_prediction;
};

struct Scan {
    int component_count = 0;
    ScanComponent components[4];
    int spectral_start = 0;
    int spectral_end = 63;
    int high_bit = 0;  // Ah: 0 for a first pass
    int low_bit = 0;   // Al: the point transform
    uint32_t end_of_band_run = 0;
};

struct ReaderState {
    CoefficientImage* image;
    // On the heap: eight tables with their combined lookups take 75 KB,
    // too much for the stack of a thread a host may have made small.
    HuffmanTable* dc_tables = nullptr;
    HuffmanTable* ac_tables = nullptr;
    uint16_t restart_interval = 0;
    bool restart_seen = false;
    bool frame_seen = false;
    int scan_count = 0;
    const CoefficientRowSink* sink = nullptr;
};

// One AC code of a sequential scan on the careful path: a code longer than
// the combined lookup, a value too long for it, or the zero run. Advances
// k to the position just decoded; `ended` at the end of the block.
const char* decode_ac_carefully(BitReader& bits, const HuffmanTable& table, int16_t* block, int* k, bool* ended) {
    const int symbol = decode_symbol(bits, table);
    if (symbol < 0) return kBadCode;
    const int run = symbol >> 4, size = symbol & 15;
    if (size == 0) {
        if (run != 15) *ended = true;  // end of block
        *k += 15;
        return nullptr;
    }
    *k += run;
    if (*k > 63) return kBadValue;
    block[kNaturalOrder[*k]] = static_cast<int16_t>(extend(bits.take(size), size));
    return nullptr;
}

// The AC codes of a block: a refill, then up to two codes of the combined
// lookup (the 32 bits a refill leaves hold two of 11), one refill fewer
// per pair.
const char* decode_ac_codes(BitReader& bits, const HuffmanTable& table, int16_t* block) {
    const RunAndValue* lookup = table.run_and_value;
    const char* failure = nullptr;
    bool ended = false;
    int k = 1;
    while (k < 64 && !ended) {
        bits.refill();
        int codes = 0;
        for (; codes < 2 && k < 64; ++codes) {
            const RunAndValue fast = lookup[bits.peek(kFastBits)];
            if (fast.bits == 0) break;
            bits.consume(fast.bits);
            k += fast.run;
            if (k > 63) {
                if (fast.run != kEndOfBlockRun) failure = kBadValue;
                ended = true;
                break;
            }
            block[kNaturalOrder[k]] = fast.value;
            ++k;
        }
        if (codes > 0 || ended) continue;
        failure = decode_ac_carefully(bits, table, block, &k, &ended);
        if (failure) break;
        ++k;
    }
    return failure;
}

// The DC difference and the AC run-lengths of a block of a sequential scan.
const char* decode_sequential_codes(BitReader& bits, ScanComponent& sc, int16_t* block) {
    bits.refill();
    const RunAndValue dc = sc.dc->run_and_value[bits.peek(kFastBits)];
    if (dc.bits != 0) {
        bits.consume(dc.bits);
        sc.dc_prediction += dc.value;
    } else {
        const int dc_size = decode_symbol(bits, *sc.dc);
        if (dc_size < 0 || dc_size > 15) return kBadCode;
        sc.dc_prediction += extend(bits.take(dc_size), dc_size);
    }
    if (!fits_int16(sc.dc_prediction)) return kBadValue;
    block[0] = static_cast<int16_t>(sc.dc_prediction);
    return decode_ac_codes(bits, *sc.ac, block);
}

// One block of a sequential scan, on a copy of the reader that the
// compiler can hold in registers.
const char* decode_sequential_block(BitReader& reader, ScanComponent& sc, int16_t* block) {
    BitReader bits = reader;
    const char* failure = decode_sequential_codes(bits, sc, block);
    reader = bits;
    return failure;
}

const char* decode_dc_first(BitReader& bits, ScanComponent& sc, int low_bit, int16_t* block) {
    bits.ensure(32);
    const int size = decode_symbol(bits, *sc.dc);
    if (size < 0 || size > 15) return kBadCode;
    sc.dc_prediction += extend(bits.take(size), size);
    const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(sc.dc_prediction) << low_bit);
    if (!fits_int16(sc.dc_prediction) || !fits_int16(value) || (value >> low_bit) != sc.dc_prediction) {
        return kBadValue;
    }
    block[0] = static_cast<int16_t>(value);
    return nullptr;
}

const char* decode_dc_refinement(BitReader& bits, int low_bit, int16_t* block) {
    bits.ensure(1);
    if (bits.take(1)) block[0] = static_cast<int16_t>(block[0] | (1 << low_bit));
    return nullptr;
}

const char* decode_ac_first(BitReader& bits, Scan& scan, const HuffmanTable& table, int16_t* block) {
    if (scan.end_of_band_run > 0) {
        --scan.end_of_band_run;
        return nullptr;
    }
    for (int k = scan.spectral_start; k <= scan.spectral_end; ++k) {
        bits.ensure(32);
        const int symbol = decode_symbol(bits, table);
        if (symbol < 0) return kBadCode;
        const int run = symbol >> 4, size = symbol & 15;
        if (size == 0) {
            if (run == 15) {
                k += 15;
                continue;
            }
            scan.end_of_band_run = (1u << run) - 1 + bits.take(run);
            break;
        }
        k += run;
        if (k > scan.spectral_end) return kBadValue;
        const int32_t value = extend(bits.take(size), size) * (1 << scan.low_bit);
        if (!fits_int16(value)) return kBadValue;
        block[kNaturalOrder[k]] = static_cast<int16_t>(value);
    }
    return nullptr;
}

// A correction bit for a coefficient already non-zero: it adds the bit
// of this pass to the magnitude.
void refine(BitReader& bits, int16_t* coefficient, int bit) {
    if (bits.take(1) && (*coefficient & bit) == 0) {
        *coefficient = static_cast<int16_t>(*coefficient >= 0 ? *coefficient + bit : *coefficient - bit);
    }
}

const char* decode_ac_refinement(BitReader& bits, Scan& scan, const HuffmanTable& table, int16_t* block) {
    const int bit = 1 << scan.low_bit;
    int k = scan.spectral_start;
    if (scan.end_of_band_run == 0) {
        for (; k <= scan.spectral_end; ++k) {
            bits.ensure(32);
            const int symbol = decode_symbol(bits, table);
            if (symbol < 0) return kBadCode;
            int run = symbol >> 4;
            const int size = symbol & 15;
            int newly_set = 0;
            if (size != 0) {
                if (size != 1) return kBadValue;
                newly_set = bits.take(1) ? bit : -bit;
            } else if (run != 15) {
                scan.end_of_band_run = (1u << run) + bits.take(run);
                break;
            }
            // Skip `run` coefficients still zero, refining the non-zero
            // ones passed on the way; the new one takes the next zero.
            for (; k <= scan.spectral_end; ++k) {
                int16_t* coefficient = &block[kNaturalOrder[k]];
                bits.ensure(2);
                if (*coefficient != 0) {
                    refine(bits, coefficient, bit);
                } else if (run-- == 0) {
                    break;
                }
            }
            if (newly_set != 0) {
                if (k > scan.spectral_end) return kBadValue;
                block[kNaturalOrder[k]] = static_cast<int16_t>(newly_set);
            }
        }
    }
    if (scan.end_of_band_run > 0) {
        for (; k <= scan.spectral_end; ++k) {
            int16_t* coefficient = &block[kNaturalOrder[k]];
            bits.ensure(2);
            if (*coefficient != 0) refine(bits, coefficient, bit);
        }
        --scan.end_of_band_run;
    }
    return nullptr;
}

const char* decode_block(BitReader& bits, Scan& scan, ScanComponent& sc, bool progressive, int16_t* block) {
    if (!progressive) return decode_sequential_block(bits, sc, block);
    if (scan.spectral_start == 0) {
        return scan.high_bit == 0 ? decode_dc_first(bits, sc, scan.low_bit, block)
                                  : decode_dc_refinement(bits, scan.low_bit, block);
    }
    return scan.high_bit == 0 ? decode_ac_first(bits, scan, *sc.ac, block)
                              : decode_ac_refinement(bits, scan, *sc.ac, block);
}

// At the end of each restart interval: the marker RSTn must follow.
bool take_restart_marker(BitReader& bits, uint32_t interval_number, Scan& scan) {
    bits.align();
    if (bits.overran()) return false;
    const uint64_t at = bits.unread_position();
    uint64_t marker = at;
    while (marker + 1 < bits.end && bits.data[marker] == 0xFF && bits.data[marker + 1] == 0xFF) ++marker;
    if (marker + 1 >= bits.end || bits.data[marker] != 0xFF || bits.data[marker + 1] != 0xD0 + interval_number % 8) {
        return false;
    }
    bits = BitReader{bits.data, bits.end, marker + 2};
    for (int i = 0; i < scan.component_count; ++i) scan.components[i].dc_prediction = 0;
    scan.end_of_band_run = 0;
    return true;
}

// The MCUs of a scan, in order: with one component each MCU is one block
// and the scan covers the component's own blocks; with several, each MCU
// holds every component's h x v blocks.
const char* decode_scan_data(const ReaderState& state, Scan& scan, BitReader& bits) {
    const CoefficientImage& image = *state.image;
    const bool single = scan.component_count == 1;
    const CoefficientComponent& first = *scan.components[0].component;
    const uint32_t mcus_wide = single ? first.blocks_wide : image.components[0].padded_blocks_wide /
                                                                image.components[0].horizontal_sampling;
    const uint32_t mcus_high = single ? first.blocks_high : image.components[0].padded_blocks_high /
                                                                image.components[0].vertical_sampling;
    const uint32_t interval = state.restart_interval;
    uint32_t left_in_interval = interval;
    uint32_t interval_number = 0;
    const CoefficientRowSink* sink = state.sink;
    for (uint32_t mcu_row = 0; mcu_row < mcus_high; ++mcu_row) {
        // A sink's components hold one MCU row, zeroed for the blocks'
        // unsent coefficients.
        const uint32_t stored_row = sink ? 0 : mcu_row;
        if (sink) {
            for (int i = 0; i < image.component_count; ++i) {
                const CoefficientComponent& component = image.components[i];
                const size_t rows = image.component_count == 1 ? 1 : component.vertical_sampling;
                std::memset(component.coefficients.get(), 0, size_t{component.padded_blocks_wide} * rows * 64 * 2);
            }
        }
        for (uint32_t mcu_column = 0; mcu_column < mcus_wide; ++mcu_column) {
            if (interval != 0 && left_in_interval == 0) {
                if (!take_restart_marker(bits, interval_number++, scan)) {
                    return bits.overran() ? kTruncated : kBadRestart;
                }
                left_in_interval = interval;
            }
            for (int i = 0; i < scan.component_count; ++i) {
                ScanComponent& sc = scan.components[i];
                const int h = single ? 1 : sc.component->horizontal_sampling;
                const int v = single ? 1 : sc.component->vertical_sampling;
                for (int y = 0; y < v; ++y) {
                    for (int x = 0; x < h; ++x) {
                        int16_t* block = sc.component->block(mcu_column * h + x, stored_row * v + y);
                        const char* failure = decode_block(bits, scan, sc, image.progressive, block);
                        if (failure) return failure;
                    }
                }
            }
            if (interval != 0) --left_in_interval;
        }
        // Checked per row: a file that claims a large picture and ends early
        // is found without decoding zeros to the end.
        if (bits.overran()) return kTruncated;
        if (sink && !sink->mcu_row(sink->context, image, mcu_row)) return "JPEG reading stopped";
    }
    return nullptr;
}

// --- Segments --------------------------------------------------------------

const char* read_quant_tables(const uint8_t* payload, uint64_t length, CoefficientImage* image) {
    uint64_t at = 0;
    while (at < length) {
        const int precision = payload[at] >> 4, index = payload[at] & 15;
        const uint64_t size = precision == 0 ? 64 : 128;
        if (precision > 1 || index > 3 || length - at - 1 < size) return kBadTable;
        QuantTable& table = image->quant_tables[index];
        for (int k = 0; k < 64; ++k) {
            const uint8_t* step = payload + at + 1 + (precision == 0 ? k : 2 * k);
            table.steps[kNaturalOrder[k]] = precision == 0 ? step[0] : static_cast<uint16_t>(step[0] << 8 | step[1]);
        }
        table.defined = true;
        at += 1 + size;
    }
    return nullptr;
}

const char* read_huffman_tables(const uint8_t* payload, uint64_t length, ReaderState* state) {
    uint64_t at = 0;
    while (at < length) {
        if (length - at < 17) return kBadTable;
        const int table_class = payload[at] >> 4, index = payload[at] & 15;
        if (table_class > 1 || index > 3) return kBadTable;
        const uint8_t* counts = payload + at + 1;
        int value_count = 0;
        for (int i = 0; i < 16; ++i) value_count += counts[i];
        if (value_count > 256 || length - at - 17 < static_cast<uint64_t>(value_count)) return kBadTable;
        HuffmanTable& table = (table_class == 0 ? state->dc_tables : state->ac_tables)[index];
        const TableClass kind = table_class == 0 ? TableClass::dc : TableClass::ac;
        if (!build_huffman_table(counts, payload + at + 17, value_count, kind, &table)) return kBadTable;
        at += 17 + static_cast<uint64_t>(value_count);
    }
    return nullptr;
}

const char* read_restart_interval(const uint8_t* payload, uint64_t length, ReaderState* state) {
    if (length != 2) return kBadTable;
    state->restart_interval = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
    if (!state->restart_seen) state->image->restart_interval = state->restart_interval;
    state->restart_seen = true;
    return nullptr;
}

uint32_t ceil_div(uint64_t numerator, uint64_t denominator) {
    return static_cast<uint32_t>((numerator + denominator - 1) / denominator);
}

// Sizes every component and allocates its coefficients.
const char* read_frame(uint8_t code, const uint8_t* payload, uint64_t length, ReaderState* state) {
    CoefficientImage* image = state->image;
    if (state->frame_seen) return kBadFrame;
    if (length < 6) return kBadFrame;
    if (payload[0] != 8) return "JPEG samples of other than 8 bits";
    image->progressive = code == 0xC2;
    image->height = static_cast<uint32_t>(payload[1] << 8 | payload[2]);
    image->width = static_cast<uint32_t>(payload[3] << 8 | payload[4]);
    const int count = payload[5];
    if (image->height == 0) return "JPEG height given after the first scan";
    if (image->width == 0 || count < 1 || count > 4 || length != 6 + 3 * uint64_t(count)) return kBadFrame;
    int h_max = 1, v_max = 1;
    for (int i = 0; i < count; ++i) {
        CoefficientComponent& component = image->components[i];
        const uint8_t* entry = payload + 6 + 3 * i;
        component.id = entry[0];
        component.horizontal_sampling = entry[1] >> 4;
        component.vertical_sampling = entry[1] & 15;
        component.quant_table = entry[2];
        if (component.horizontal_sampling < 1 || component.horizontal_sampling > 4 ||
            component.vertical_sampling < 1 || component.vertical_sampling > 4 || component.quant_table > 3) {
            return kBadFrame;
        }
        for (int j = 0; j < i; ++j) {
            if (image->components[j].id == component.id) return kBadFrame;
        }
        if (component.horizontal_sampling > h_max) h_max = component.horizontal_sampling;
        if (component.vertical_sampling > v_max) v_max = component.vertical_sampling;
    }
    image->component_count = count;
    // A single component's scans are never interleaved: its MCU is one block.
    if (count == 1) h_max = image->components[0].horizontal_sampling, v_max = image->components[0].vertical_sampling;
    image->mcu_width = 8u * (count == 1 ? 1 : h_max);
    image->mcu_height = 8u * (count == 1 ? 1 : v_max);
    const uint32_t mcus_wide = ceil_div(image->width, image->mcu_width);
    const uint32_t mcus_high = ceil_div(image->height, image->mcu_height);
    uint64_t total_bytes = 0;
    for (int i = 0; i < count; ++i) {
        CoefficientComponent& component = image->components[i];
        const uint64_t sample_width = ceil_div(uint64_t{image->width} * component.horizontal_sampling, h_max);
        const uint64_t sample_height = ceil_div(uint64_t{image->height} * component.vertical_sampling, v_max);
        component.blocks_wide = ceil_div(sample_width, 8);
        component.blocks_high = ceil_div(sample_height, 8);
        component.padded_blocks_wide = count == 1 ? component.blocks_wide : mcus_wide * component.horizontal_sampling;
        component.padded_blocks_high = count == 1 ? component.blocks_high : mcus_high * component.vertical_sampling;
        total_bytes += uint64_t{component.padded_blocks_wide} * component.padded_blocks_high * 64 * 2;
    }
    if (total_bytes > kMaxCoefficientBytes) return kTooLarge;
    if (state->sink && image->progressive) return "JPEG progressive: not read by rows";
    for (int i = 0; i < count; ++i) {
        CoefficientComponent& component = image->components[i];
        const uint64_t stored_rows = state->sink ? (count == 1 ? 1 : component.vertical_sampling) : component.padded_blocks_high;
        const uint64_t values = uint64_t{component.padded_blocks_wide} * stored_rows * 64;
        // Zeroed: a progressive file need not send every band.
        component.coefficients.reset(static_cast<int16_t*>(veerpix_calloc_large(static_cast<size_t>(values), 2)));
        if (!component.coefficients) return kOutOfMemory;
    }
    state->frame_seen = true;
    return nullptr;
}

const char* read_scan_header(const uint8_t* payload, uint64_t length, ReaderState* state, Scan* scan) {
    CoefficientImage* image = state->image;
    if (!state->frame_seen || length < 1) return kBadScan;
    const int count = payload[0];
    if (count < 1 || count > image->component_count || length != 4 + 2 * uint64_t(count)) return kBadScan;
    scan->component_count = count;
    for (int i = 0; i < count; ++i) {
        const uint8_t id = payload[1 + 2 * i], tables = payload[2 + 2 * i];
        CoefficientComponent* component = nullptr;
        for (int c = 0; c < image->component_count; ++c) {
            if (image->components[c].id == id) component = &image->components[c];
        }
        if (!component || (tables >> 4) > 3 || (tables & 15) > 3) return kBadScan;
        for (int j = 0; j < i; ++j) {
            if (scan->components[j].component == component) return kBadScan;
        }
        scan->components[i] = {component, &state->dc_tables[tables >> 4], &state->ac_tables[tables & 15], 0};
    }
    const uint8_t* tail = payload + 1 + 2 * count;
    scan->spectral_start = tail[0];
    scan->spectral_end = tail[1];
    scan->high_bit = tail[2] >> 4;
    scan->low_bit = tail[2] & 15;
    if (!image->progressive) {
        if (scan->spectral_start != 0 || scan->spectral_end != 63 || tail[2] != 0) return kBadScan;
    } else {
        const bool dc = scan->spectral_start == 0;
        if (scan->spectral_end > 63 || scan->spectral_start > scan->spectral_end) return kBadScan;
        if ((dc && scan->spectral_end != 0) || (!dc && count != 1)) return kBadScan;
        if (scan->low_bit > 13 || (scan->high_bit != 0 && scan->high_bit != scan->low_bit + 1)) return kBadScan;
    }
    // Which tables the scan reads: a sequential scan both; a progressive one
    // the DC table in a first DC pass, the AC table in any AC pass.
    const bool uses_dc = !image->progressive || (scan->spectral_start == 0 && scan->high_bit == 0);
    const bool uses_ac = !image->progressive || scan->spectral_start > 0;
    for (int i = 0; i < count; ++i) {
        const ScanComponent& sc = scan->components[i];
        if ((uses_dc && !sc.dc->defined) || (uses_ac && !sc.ac->defined)) return kUndefinedTable;
        if (!image->quant_tables[sc.component->quant_table].defined) return kUndefinedTable;
    }
    return nullptr;
}

// Declines the coding processes the reader does not take, by the frame
// marker that names them.
const char* unsupported_process(uint8_t code) {
    if (code == 0xC3 || code == 0xC7 || code == 0xCB || code == 0xCF) return "lossless JPEG";
    if (code == 0xC5 || code == 0xC6 || code == 0xC7 || code == 0xDE || code == 0xDF) return "hierarchical JPEG";
    if ((code >= 0xC9 && code <= 0xCB) || (code >= 0xCD && code <= 0xCF) || code == 0xCC) {
        return "arithmetic-coded JPEG";
    }
    return nullptr;
}

// A scan: its header, then its entropy-coded data, after which the walk
// goes on from the marker that ends the data.
const char* read_scan(const ByteReader& jpeg, const JpegSegment& segment, ReaderState* state, uint64_t* position) {
    if (++state->scan_count > kMaxScans) return "JPEG with more than 1000 scans";
    Scan scan;
    const char* failure = read_scan_header(jpeg.data + segment.payload, segment.payload_length, state, &scan);
    if (failure) return failure;
    if (state->sink && (state->scan_count > 1 || scan.component_count != state->image->component_count)) {
        return "JPEG not of one scan: not read by rows";
    }
    BitReader bits{jpeg.data, jpeg.len, segment.end()};
    failure = decode_scan_data(*state, scan, bits);
    if (!failure && bits.overran()) failure = kTruncated;
    if (failure) return failure;
    const uint64_t unread = bits.unread_position();
    *position = jpeg_entropy_coded_end(jpeg, unread);
    if (*position != unread) state->image->bytes_after_scan_data = true;
    return nullptr;
}

const char* read_segment(const ByteReader& jpeg, const JpegSegment& segment, ReaderState* state, uint64_t* position,
                         bool* ended) {
    const uint8_t code = segment.code;
    const uint8_t* payload = jpeg.data + segment.payload;
    if (const char* unsupported = unsupported_process(code)) return unsupported;
    switch (code) {
    case jpeg_code::eoi:
        *ended = true;
        state->image->image_end = segment.payload;
        return nullptr;
    case jpeg_code::sof0:
    case jpeg_code::sof1:
    case jpeg_code::sof2:
        state->image->frame_offset = segment.start;
        return read_frame(code, payload, segment.payload_length, state);
    case jpeg_code::dqt:
        return read_quant_tables(payload, segment.payload_length, state->image);
    case jpeg_code::dht:
        return read_huffman_tables(payload, segment.payload_length, state);
    case jpeg_code::dri:
        return read_restart_interval(payload, segment.payload_length, state);
    case jpeg_code::dnl:
        return "JPEG height given after the first scan";
    case jpeg_code::sos:
        return read_scan(jpeg, segment, state, position);
    default:
        if ((code >= jpeg_code::app0 && code <= jpeg_code::app15) || code == jpeg_code::com) return nullptr;
        return "JPEG marker not understood";
    }
}

}  // namespace

const char* read_jpeg_coefficients(const uint8_t* bytes, uint64_t length, CoefficientImage* image,
                                   const CoefficientRowSink* sink) {
    *image = CoefficientImage{};
    const ByteReader jpeg{bytes, length};
    if (!starts_with_jpeg_soi(jpeg)) return "not a JPEG";
    const malloc_ptr<HuffmanTable> tables(static_cast<HuffmanTable*>(std::malloc(8 * sizeof(HuffmanTable))));
    if (!tables) return kOutOfMemory;
    for (int i = 0; i < 8; ++i) new (&tables.get()[i]) HuffmanTable();
    ReaderState state;
    state.image = image;
    state.sink = sink;
    state.dc_tables = tables.get();
    state.ac_tables = tables.get() + 4;
    const char* failure = nullptr;
    bool scan_seen = false;
    bool ended = false;
    uint64_t position = 2;
    while (!failure && !ended) {
        JpegSegment segment;
        JpegStop stop = JpegStop::None;
        if (!next_jpeg_segment(jpeg, &position, JpegWalkRules{}, &segment, &stop)) {
            // A file that ends right after its last scan lacks only EOI.
            ended = stop == JpegStop::End && scan_seen;
            if (ended) image->image_end = length;
            if (!ended) failure = "JPEG segments truncated";
            break;
        }
        failure = read_segment(jpeg, segment, &state, &position, &ended);
        if (!failure && segment.code == jpeg_code::sos) scan_seen = true;
    }
    if (!failure && !state.frame_seen) failure = "JPEG without a frame";
    if (!failure && !scan_seen) failure = "JPEG without a scan";
    if (failure) *image = CoefficientImage{};
    return failure;
}
