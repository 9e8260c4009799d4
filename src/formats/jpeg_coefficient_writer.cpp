// The coefficient writer. Two walks over the result's blocks in the order
// the scan carries them: the first counts the Huffman symbols (and finds
// values a baseline file cannot hold), the second writes the bits. Each
// block is read from the source through the transform on the way, so the
// picture is never turned in memory.
#include "formats/jpeg_coefficient_writer.h"

#include <cstdlib>
#include <cstring>

#include "formats/jpeg_zigzag.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif
#if !defined(VEERPIX_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64))
#define COEFFICIENT_WRITER_SSE2 1
#include <emmintrin.h>
#endif

namespace {

constexpr const char* kOutOfMemory = "out of memory";
constexpr const char* kOutOfRange = "JPEG coefficient out of range for a baseline file";

// A baseline file of 8-bit samples codes DC differences of up to 11 bits
// and AC values of up to 10.
constexpr int kMaxDcSize = 11;
constexpr int kMaxAcSize = 10;

// Bytes one block can take at most, with room to spare: 64 codes of 16
// bits with 11 bits of value and a few zero runs, every byte doubled by
// stuffing; then a restart marker with the bits still waiting.
constexpr uint64_t kMaxBlockBytes = 512;
constexpr uint64_t kRestartBytes = 16;

int bit_length(uint32_t value) {
    if (value == 0) return 0;
#if defined(_MSC_VER)
    unsigned long index = 0;
    _BitScanReverse(&index, value);
    return static_cast<int>(index) + 1;
#else
    return 32 - __builtin_clz(value);
#endif
}

int lowest_bit(uint64_t value) {
#if defined(_MSC_VER)
    unsigned long index = 0;
    _BitScanForward64(&index, value);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(value);
#endif
}

uint32_t magnitude(int32_t value) { return static_cast<uint32_t>(value < 0 ? -value : value); }

// --- Blocks through the transform ---------------------------------------

// For each position of the result block's zigzag scan: which source
// coefficient (natural order) lands there, and whether its sign turns.
// Reversing the columns of a block turns the sign of its odd column
// frequencies, reversing its rows that of its odd row frequencies;
// exchanging the sides transposes the block.
struct BlockOrder {
    uint8_t source[64];
    uint8_t position_of[64];  // the inverse: where each source coefficient lands
    int32_t sign_mask[64];  // 0, or -1 to negate
};

constexpr BlockOrder make_block_order(Transform transform) {
    BlockOrder order{};
    const TransformMap& map = transform_map(transform);
    for (int position = 0; position < 64; ++position) {
        const int row = kNaturalOrder[position] / 8, column = kNaturalOrder[position] % 8;
        const int source_row = map.exchanges_sides ? column : row;
        const int source_column = map.exchanges_sides ? row : column;
        const bool negate = ((map.columns_reversed && (source_column & 1)) != (map.rows_reversed && (source_row & 1)));
        order.source[position] = static_cast<uint8_t>(source_row * 8 + source_column);
        order.position_of[source_row * 8 + source_column] = static_cast<uint8_t>(position);
        order.sign_mask[position] = negate ? -1 : 0;
    }
    return order;
}

struct BlockOrders {
    BlockOrder orders[kTransformCount];
};

constexpr BlockOrders make_block_orders() {
    BlockOrders all{};
    for (int t = 0; t < kTransformCount; ++t) all.orders[t] = make_block_order(static_cast<Transform>(t));
    return all;
}

constexpr BlockOrders kBlockOrders = make_block_orders();

static_assert(kBlockOrders.orders[0].source[1] == 1 && kBlockOrders.orders[0].source[2] == 8,
              "the identity keeps the zigzag order");

// Which coefficients of a source block (natural order) are not zero.
uint64_t non_zero_mask(const int16_t* block) {
#if defined(COEFFICIENT_WRITER_SSE2)
    const __m128i zero = _mm_setzero_si128();
    uint64_t mask = 0;
    for (int i = 0; i < 64; i += 16) {
        const __m128i low = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i)), zero);
        const __m128i high = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i + 8)), zero);
        const uint32_t zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
        mask |= uint64_t{~zeros & 0xFFFF} << i;
    }
    return mask;
#else
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= uint64_t{block[i] != 0} << i;
    return mask;
#endif
}

// The result block in zigzag order, only its DC and its non-zero values
// filled in; returns the mask of its non-zero positions. Blocks are mostly
// zeros, so the source's non-zero values are moved one by one.
uint64_t transformed_block(const int16_t* source, const BlockOrder& order, int32_t out[64]) {
    out[0] = source[0];
    uint64_t source_mask = non_zero_mask(source) & ~uint64_t{1};
    uint64_t non_zero = 0;
    while (source_mask) {
        const int index = lowest_bit(source_mask);
        source_mask &= source_mask - 1;
        const int position = order.position_of[index];
        const int32_t mask = order.sign_mask[position];
        out[position] = (int32_t{source[index]} ^ mask) - mask;
        non_zero |= uint64_t{1} << position;
    }
    return non_zero;
}

const int16_t* source_block(const LayoutComponent& component, const TransformMap& map, uint32_t x, uint32_t y) {
    uint32_t u = map.exchanges_sides ? y : x;
    uint32_t v = map.exchanges_sides ? x : y;
    if (map.columns_reversed) u = component.source_columns - 1 - u;
    if (map.rows_reversed) v = component.source_rows - 1 - v;
    return component.source->block(u, v);
}

// A block's two cache lines, asked for ahead of their use. A turned picture
// is read across the source's rows, each block in another row, a stride
// that the processor's own prefetching does not follow.
void prefetch_block(const int16_t* block) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(block);
    __builtin_prefetch(block + 32);
#else
    (void)block;
#endif
}

// How many MCUs ahead the blocks are asked for: enough to cover a memory
// access with the coding of the MCUs between.
constexpr uint32_t kPrefetchMcus = 4;

// Calls visit.block(component, source block) for every block of the scan
// in order and visit.restart(n) where restart interval n ends; stops when
// a call returns false.
template <class Visitor>
bool walk_blocks(const CoefficientLayout& layout, uint32_t restart_interval, Visitor& visit) {
    const TransformMap& map = transform_map(layout.transform);
    const bool single = layout.component_count == 1;
    const LayoutComponent& first = layout.components[0];
    const uint32_t mcus_wide = single ? first.padded_blocks_wide : first.padded_blocks_wide / first.horizontal_sampling;
    const uint32_t mcus_high = single ? first.padded_blocks_high : first.padded_blocks_high / first.vertical_sampling;
    uint32_t left_in_interval = restart_interval;
    uint32_t interval_number = 0;
    for (uint32_t mcu_row = 0; mcu_row < mcus_high; ++mcu_row) {
        for (uint32_t mcu_column = 0; mcu_column < mcus_wide; ++mcu_column) {
            if (restart_interval != 0 && left_in_interval == 0) {
                visit.restart(interval_number++);
                left_in_interval = restart_interval;
            }
            for (int c = 0; c < layout.component_count; ++c) {
                const LayoutComponent& component = layout.components[c];
                const uint32_t h = single ? 1 : component.horizontal_sampling;
                const uint32_t v = single ? 1 : component.vertical_sampling;
                const uint32_t ahead = mcu_column + kPrefetchMcus;
                for (uint32_t y = 0; y < v; ++y) {
                    for (uint32_t x = 0; x < h; ++x) {
                        if (ahead < mcus_wide) prefetch_block(source_block(component, map, ahead * h + x, mcu_row * v + y));
                        const int16_t* block = source_block(component, map, mcu_column * h + x, mcu_row * v + y);
                        if (!visit.block(c, block)) return false;
                    }
                }
            }
            if (restart_interval != 0) --left_in_interval;
        }
    }
    return true;
}

// --- Counting the symbols ------------------------------------------------

struct Histogram {
    uint64_t counts[256];
};

struct SymbolCounter {
    const BlockOrder& order;
    int component_count;
    Histogram dc[4] = {};
    Histogram ac[4] = {};
    int32_t prediction[4] = {};
    uint64_t value_bits = 0;  // the bits of values that follow the codes
    bool out_of_range = false;

    bool block(int component, const int16_t* source) {
        int32_t values[64];
        uint64_t non_zero = transformed_block(source, order, values);
        const int dc_size = bit_length(magnitude(values[0] - prediction[component]));
        prediction[component] = values[0];
        if (dc_size > kMaxDcSize) {
            out_of_range = true;
            return false;
        }
        ++dc[component].counts[dc_size];
        value_bits += static_cast<uint64_t>(dc_size);
        Histogram& histogram = ac[component];
        non_zero &= ~uint64_t{1};
        int last = 0;
        while (non_zero) {
            const int position = lowest_bit(non_zero);
            non_zero &= non_zero - 1;
            int run = position - last - 1;
            for (; run >= 16; run -= 16) ++histogram.counts[0xF0];
            const int size = bit_length(magnitude(values[position]));
            if (size > kMaxAcSize) {
                out_of_range = true;
                return false;
            }
            ++histogram.counts[run << 4 | size];
            value_bits += static_cast<uint64_t>(size);
            last = position;
        }
        if (last != 63) ++histogram.counts[0x00];
        return true;
    }

    void restart(uint32_t) {
        for (int32_t& p : prediction) p = 0;
    }
};

// --- Huffman tables for the counts ----------------------------------------

struct HuffmanCode {
    uint8_t counts[16] = {};  // codes per length 1..16
    uint8_t values[256] = {};
    int value_count = 0;
    uint16_t code[256] = {};
    uint8_t length[256] = {};  // 0 for symbols without a code
};

// Code lengths from the counts by merging the two least frequent
// subtrees, with one reserved symbol so that no code is all ones, then
// limited to 16 bits by moving pairs of the longest codes up (the
// procedure of the JPEG standard's Annex K).
void build_code(const Histogram& histogram, HuffmanCode* code) {
    *code = HuffmanCode{};
    constexpr int kSymbols = 257;
    uint64_t frequency[kSymbols];
    int code_size[kSymbols] = {};
    int others[kSymbols];
    for (int i = 0; i < 256; ++i) frequency[i] = histogram.counts[i];
    frequency[256] = 1;
    for (int& other : others) other = -1;
    for (;;) {
        int c1 = -1, c2 = -1;
        for (int i = 0; i < kSymbols; ++i) {
            if (frequency[i] == 0) continue;
            if (c1 < 0 || frequency[i] <= frequency[c1]) {
                c2 = c1;
                c1 = i;
            } else if (c2 < 0 || frequency[i] <= frequency[c2]) {
                c2 = i;
            }
        }
        if (c2 < 0) break;
        frequency[c1] += frequency[c2];
        frequency[c2] = 0;
        for (++code_size[c1]; others[c1] >= 0; ++code_size[c1]) c1 = others[c1];
        others[c1] = c2;
        for (++code_size[c2]; others[c2] >= 0; ++code_size[c2]) c2 = others[c2];
    }
    int length_counts[kSymbols + 1] = {};
    for (int i = 0; i < kSymbols; ++i) {
        if (code_size[i]) ++length_counts[code_size[i]];
    }
    for (int length = kSymbols; length > 16; --length) {
        while (length_counts[length] > 0) {
            int shorter = length - 2;
            while (length_counts[shorter] == 0) --shorter;
            length_counts[length] -= 2;
            ++length_counts[length - 1];
            length_counts[shorter + 1] += 2;
            --length_counts[shorter];
        }
    }
    // The reserved symbol gives up the longest code.
    int longest = 16;
    while (length_counts[longest] == 0) --longest;
    --length_counts[longest];
    for (int length = 1; length <= 16; ++length) code->counts[length - 1] = static_cast<uint8_t>(length_counts[length]);
    // Symbols by their unlimited code size, then by value, take the lengths
    // in order.
    for (int size = 1; size <= kSymbols; ++size) {
        for (int symbol = 0; symbol < 256; ++symbol) {
            if (code_size[symbol] == size) code->values[code->value_count++] = static_cast<uint8_t>(symbol);
        }
    }
    uint16_t next = 0;
    int index = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < code->counts[length - 1]; ++i, ++index, ++next) {
            code->code[code->values[index]] = next;
            code->length[code->values[index]] = static_cast<uint8_t>(length);
        }
        next = static_cast<uint16_t>(next << 1);
    }
}

// Bits the table's codes and its segment entry take for these counts.
uint64_t coded_bits(const Histogram& histogram, const HuffmanCode& code) {
    uint64_t bits = 8 * (17 + static_cast<uint64_t>(code.value_count));
    for (int i = 0; i < 256; ++i) bits += histogram.counts[i] * code.length[i];
    return bits;
}

// A baseline file has two tables of each class. Component 0 takes table
// 0; the others are shared out between the two in whichever way codes
// the picture in the fewest bits (with three or four components there are
// four or eight ways).
struct TableChoice {
    int table_of[4] = {};
    int table_count = 1;
    HuffmanCode codes[2];
};

void choose_tables(const Histogram* per_component, int component_count, TableChoice* choice) {
    uint64_t best_bits = UINT64_MAX;
    TableChoice trial;
    for (uint32_t split = 0; split < (1u << (component_count - 1)); ++split) {
        Histogram merged[2] = {};
        bool used[2] = {true, false};
        for (int c = 0; c < component_count; ++c) {
            const int table = c == 0 ? 0 : (split >> (c - 1)) & 1;
            trial.table_of[c] = table;
            used[table] = true;
            for (int s = 0; s < 256; ++s) merged[table].counts[s] += per_component[c].counts[s];
        }
        uint64_t bits = 0;
        for (int t = 0; t < 2; ++t) {
            if (!used[t]) continue;
            build_code(merged[t], &trial.codes[t]);
            bits += coded_bits(merged[t], trial.codes[t]);
        }
        trial.table_count = used[1] ? 2 : 1;
        if (bits < best_bits) {
            best_bits = bits;
            *choice = trial;
        }
    }
}

// --- Writing -------------------------------------------------------------

struct BitWriter {
    uint8_t* out = nullptr;
    uint64_t accumulator = 0;
    int count = 0;  // bits waiting in the accumulator's low end

    void put(uint32_t bits, int size) {
        accumulator = accumulator << size | bits;
        count += size;
        if (count >= 32) flush_bytes();
    }

    void flush_bytes() {
        while (count >= 8) {
            count -= 8;
            const uint8_t byte = static_cast<uint8_t>(accumulator >> count);
            *out++ = byte;
            if (byte == 0xFF) *out++ = 0x00;
        }
    }

    // Pads the last byte with ones, as the scan's end or a restart needs.
    void finish() {
        const int pad = (8 - count % 8) % 8;
        put((1u << pad) - 1, pad);
        flush_bytes();
    }
};

struct BlockWriter {
    const BlockOrder& order;
    const HuffmanCode* dc[4];
    const HuffmanCode* ac[4];
    ByteSink* sink;
    BitWriter bits;
    int32_t prediction[4] = {};

    bool room() {
        const uint64_t used = static_cast<uint64_t>(bits.out - sink->bytes.get());
        sink->length = used;
        if (!sink->reserve(kMaxBlockBytes + kRestartBytes)) return false;
        bits.out = sink->bytes.get() + used;
        return true;
    }

    void put_value(const HuffmanCode& code, int symbol, int32_t value, int size) {
        const uint32_t raw = static_cast<uint32_t>(value < 0 ? value - 1 : value) & ((1u << size) - 1);
        bits.put(uint32_t{code.code[symbol]} << size | raw, code.length[symbol] + size);
    }

    bool block(int component, const int16_t* source) {
        if (static_cast<uint64_t>(bits.out - sink->bytes.get()) + kMaxBlockBytes + kRestartBytes > sink->capacity && !room()) {
            return false;
        }
        int32_t values[64];
        uint64_t non_zero = transformed_block(source, order, values);
        const int32_t difference = values[0] - prediction[component];
        prediction[component] = values[0];
        const int dc_size = bit_length(magnitude(difference));
        put_value(*dc[component], dc_size, difference, dc_size);
        const HuffmanCode& table = *ac[component];
        non_zero &= ~uint64_t{1};
        int last = 0;
        while (non_zero) {
            const int position = lowest_bit(non_zero);
            non_zero &= non_zero - 1;
            int run = position - last - 1;
            for (; run >= 16; run -= 16) bits.put(table.code[0xF0], table.length[0xF0]);
            const int size = bit_length(magnitude(values[position]));
            put_value(table, run << 4 | size, values[position], size);
            last = position;
        }
        if (last != 63) bits.put(table.code[0x00], table.length[0x00]);
        return true;
    }

    void restart(uint32_t interval_number) {
        bits.finish();
        *bits.out++ = 0xFF;
        *bits.out++ = static_cast<uint8_t>(0xD0 + interval_number % 8);
        for (int32_t& p : prediction) p = 0;
    }
};

// Steps as the result's blocks need them: transposed where the transform
// transposes the blocks.
void result_steps(const QuantTable& table, bool exchanges_sides, uint16_t steps[64]) {
    for (int i = 0; i < 64; ++i) steps[i] = table.steps[exchanges_sides ? (i % 8) * 8 + i / 8 : i];
}

bool is_used_quant_table(const CoefficientLayout& layout, int table) {
    for (int c = 0; c < layout.component_count; ++c) {
        if (layout.components[c].source->quant_table == table) return true;
    }
    return false;
}

// DQT for every table the components use; says whether a table needs
// 16-bit steps, which a baseline frame cannot carry.
bool append_quant_tables(const CoefficientImage& image, const CoefficientLayout& layout, ByteSink* sink) {
    bool wide_steps = false;
    for (int t = 0; t < 4; ++t) {
        if (!is_used_quant_table(layout, t)) continue;
        uint16_t steps[64];
        result_steps(image.quant_tables[t], exchanges_sides(layout.transform), steps);
        bool wide = false;
        for (uint16_t step : steps) wide = wide || step > 255;
        wide_steps = wide_steps || wide;
        sink->u16(0xFFDB);
        sink->u16(2 + 1 + (wide ? 128 : 64));
        sink->byte(static_cast<uint8_t>((wide ? 0x10 : 0x00) | t));
        for (int position = 0; position < 64; ++position) {
            const uint16_t step = steps[kNaturalOrder[position]];
            if (wide) sink->byte(static_cast<uint8_t>(step >> 8));
            sink->byte(static_cast<uint8_t>(step));
        }
    }
    return wide_steps;
}

void append_frame(const CoefficientLayout& layout, bool extended, ByteSink* sink) {
    sink->u16(extended ? 0xFFC1 : 0xFFC0);
    sink->u16(8 + 3 * static_cast<uint32_t>(layout.component_count));
    sink->byte(8);
    sink->u16(layout.height);
    sink->u16(layout.width);
    sink->byte(static_cast<uint8_t>(layout.component_count));
    for (int c = 0; c < layout.component_count; ++c) {
        const LayoutComponent& component = layout.components[c];
        sink->byte(component.source->id);
        sink->byte(static_cast<uint8_t>(component.horizontal_sampling << 4 | component.vertical_sampling));
        sink->byte(component.source->quant_table);
    }
}

void append_huffman_tables(const TableChoice& choice, int table_class, ByteSink* sink) {
    for (int t = 0; t < choice.table_count; ++t) {
        const HuffmanCode& code = choice.codes[t];
        sink->u16(0xFFC4);
        sink->u16(2 + 17 + static_cast<uint32_t>(code.value_count));
        sink->byte(static_cast<uint8_t>(table_class << 4 | t));
        sink->append(code.counts, 16);
        sink->append(code.values, static_cast<uint64_t>(code.value_count));
    }
}

void append_scan_header(const CoefficientLayout& layout, const TableChoice& dc, const TableChoice& ac, ByteSink* sink) {
    sink->u16(0xFFDA);
    sink->u16(6 + 2 * static_cast<uint32_t>(layout.component_count));
    sink->byte(static_cast<uint8_t>(layout.component_count));
    for (int c = 0; c < layout.component_count; ++c) {
        sink->byte(layout.components[c].source->id);
        sink->byte(static_cast<uint8_t>(dc.table_of[c] << 4 | ac.table_of[c]));
    }
    sink->byte(0);   // spectral selection: the whole block
    sink->byte(63);
    sink->byte(0);   // no successive approximation
}

}  // namespace

bool ByteSink::reserve(uint64_t more) {
    if (failed) return false;
    if (more <= capacity - length) return true;
    uint64_t wanted = capacity < 4096 ? 4096 : capacity + capacity / 2;
    if (wanted < length + more) wanted = length + more;
    if (wanted > SIZE_MAX) return !(failed = true);
    void* grown = std::realloc(bytes.get(), static_cast<size_t>(wanted));
    if (!grown) return !(failed = true);
    bytes.release();
    bytes.reset(static_cast<uint8_t*>(grown));
    capacity = wanted;
    return true;
}

void ByteSink::append(const uint8_t* data, uint64_t size) {
    if (size == 0 || !reserve(size)) return;
    std::memcpy(bytes.get() + length, data, static_cast<size_t>(size));
    length += size;
}

const char* append_coefficient_jpeg(const CoefficientImage& image, const CoefficientLayout& layout, ByteSink* sink) {
    const BlockOrder& order = kBlockOrders.orders[static_cast<int>(layout.transform)];
    SymbolCounter counter{order, layout.component_count};
    walk_blocks(layout, image.restart_interval, counter);
    if (counter.out_of_range) return kOutOfRange;

    TableChoice dc_choice, ac_choice;
    choose_tables(counter.dc, layout.component_count, &dc_choice);
    choose_tables(counter.ac, layout.component_count, &ac_choice);

    const bool extended = append_quant_tables(image, layout, sink);
    append_frame(layout, extended, sink);
    append_huffman_tables(dc_choice, 0, sink);
    append_huffman_tables(ac_choice, 1, sink);
    if (image.restart_interval != 0) {
        sink->u16(0xFFDD);
        sink->u16(4);
        sink->u16(image.restart_interval);
    }
    append_scan_header(layout, dc_choice, ac_choice, sink);

    // Room for the whole scan as the counts foretell it, stuffing aside.
    uint64_t code_bits = counter.value_bits;
    for (int c = 0; c < layout.component_count; ++c) {
        const HuffmanCode& dc = dc_choice.codes[dc_choice.table_of[c]];
        const HuffmanCode& ac = ac_choice.codes[ac_choice.table_of[c]];
        for (int s = 0; s < 256; ++s) {
            code_bits += counter.dc[c].counts[s] * dc.length[s] + counter.ac[c].counts[s] * ac.length[s];
        }
    }
    if (!sink->reserve(code_bits / 8 + code_bits / 8 / 128 + 4096)) return kOutOfMemory;

    BlockWriter writer{order, {}, {}, sink, {}};
    for (int c = 0; c < layout.component_count; ++c) {
        writer.dc[c] = &dc_choice.codes[dc_choice.table_of[c]];
        writer.ac[c] = &ac_choice.codes[ac_choice.table_of[c]];
    }
    writer.bits.out = sink->bytes.get() + sink->length;
    if (!walk_blocks(layout, image.restart_interval, writer)) return kOutOfMemory;
    writer.bits.finish();
    sink->length = static_cast<uint64_t>(writer.bits.out - sink->bytes.get());
    sink->u16(0xFFD9);
    return sink->failed ? kOutOfMemory : nullptr;
}
