// The header checks in front of the decoder: ordinary files of every kind
// still decode, exactly as the decoder alone decodes them, and each file
// shape that reaches one of the decoder's faults is refused with its reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "formats/decode_guard.h"
#include "common/error.h"
#include "formats/image_io.h"
#include "support.h"
#include "veerpix.h"

namespace {

using support::Bytes;

std::string data_path(const std::string& name) { return std::string(VEERPIX_TEST_DATA) + "/" + name; }

Bytes data_file(const std::string& name) {
    Bytes bytes = support::read_bytes(data_path(name));
    EXPECT_FALSE(bytes.empty()) << name;
    return bytes;
}

// A marker segment as the tests edit it: its 0xFF byte and its length field.
struct Segment {
    uint8_t code;
    size_t start;
    size_t length;
    size_t payload() const { return start + 4; }
    size_t end() const { return start + 2 + length; }
};

// Every segment of a well-formed JPEG, entropy-coded data stepped over.
std::vector<Segment> segments(const Bytes& jpeg) {
    std::vector<Segment> found;
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] != 0xD9) {
        const Segment segment{jpeg[pos + 1], pos, size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3]};
        found.push_back(segment);
        pos = segment.end();
        if (segment.code != 0xDA) continue;
        while (pos + 1 < jpeg.size() &&
               !(jpeg[pos] == 0xFF && jpeg[pos + 1] != 0 && (jpeg[pos + 1] < 0xD0 || jpeg[pos + 1] > 0xD7))) {
            ++pos;
        }
    }
    return found;
}

std::vector<Segment> segments_with(const Bytes& jpeg, uint8_t code) {
    std::vector<Segment> found;
    for (const Segment& segment : segments(jpeg)) {
        if (segment.code == code) found.push_back(segment);
    }
    return found;
}

void put16(Bytes& bytes, size_t pos, size_t value) {
    bytes[pos] = static_cast<uint8_t>(value >> 8);
    bytes[pos + 1] = static_cast<uint8_t>(value);
}

// A DHT segment of one table whose 16 counts are `counts`, with as many
// values as they add up to.
Bytes huffman_segment(uint8_t table_class_and_id, const std::vector<uint8_t>& counts) {
    Bytes segment = {0xFF, 0xC4, 0, 0, table_class_and_id};
    size_t total = 0;
    for (uint8_t count : counts) {
        segment.push_back(count);
        total += count;
    }
    for (size_t i = 0; i < total; ++i) segment.push_back(static_cast<uint8_t>(i * 7));
    put16(segment, 2, segment.size() - 2);
    return segment;
}

// The counts of a published crash of the decoder: 654 codes for 256 places.
const std::vector<uint8_t> kOversizedCounts = {0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 99, 99, 99, 99, 255};

Bytes replaced(const Bytes& jpeg, const Segment& segment, const Bytes& with) {
    Bytes out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.start));
    out.insert(out.end(), with.begin(), with.end());
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.end()), jpeg.end());
    return out;
}

Bytes inserted_before(const Bytes& jpeg, size_t pos, const Bytes& with) {
    Bytes out = jpeg;
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), with.begin(), with.end());
    return out;
}

Bytes without(const Bytes& jpeg, uint8_t code) {
    Bytes out = jpeg;
    const std::vector<Segment> found = segments_with(jpeg, code);
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(it->start),
                  out.begin() + static_cast<std::ptrdiff_t>(it->end()));
    }
    return out;
}

// Sets the sampling byte (H << 4 | V) of each frame component.
Bytes with_sampling(const Bytes& jpeg, std::vector<uint8_t> factors) {
    Bytes out = jpeg;
    const Segment frame = segments_with(jpeg, 0xC0).at(0);
    for (size_t i = 0; i < factors.size(); ++i) out[frame.payload() + 6 + 3 * i + 1] = factors[i];
    return out;
}

Bytes with_frame_quant_table(const Bytes& jpeg, size_t component, uint8_t table) {
    Bytes out = jpeg;
    const Segment frame = segments_with(jpeg, 0xC0).at(0);
    out[frame.payload() + 6 + 3 * component + 2] = table;
    return out;
}

// Sets the table selectors (DC << 4 | AC) of the first component of the
// first scan for which `pick` holds, given its spectral start.
Bytes with_scan_tables(const Bytes& jpeg, const std::function<bool(int)>& pick, uint8_t selectors) {
    Bytes out = jpeg;
    for (const Segment& scan : segments_with(jpeg, 0xDA)) {
        const size_t count = jpeg[scan.payload()];
        const int spectral_start = jpeg[scan.payload() + 1 + 2 * count];
        if (!pick(spectral_start)) continue;
        out[scan.payload() + 2] = selectors;
        return out;
    }
    ADD_FAILURE() << "no such scan";
    return out;
}

// A baseline 4:2:0 JPEG as the library's encoder writes it: DQT with tables
// 0 and 1, SOF0, one DHT with DC and AC tables 0 and 1, one scan.
Bytes encoder_jpeg() { return support::encode_jpeg(support::numbered_image(19, 13), 80); }

class DecodeGuard : public support::ScratchTest {
protected:
    // The decoder's result for the bytes, or the message when it refused.
    std::string decode_message(const Bytes& bytes, pix_image* raster) {
        clear_err();
        if (decode_image(bytes.data(), bytes.size(), path("input").c_str(), raster)) return "";
        return veerpix_last_error();
    }
    std::string refusal(const std::string& reason) {
        return "cannot decode image: " + path("input") + " (" + reason + ")";
    }
};

TEST_F(DecodeGuard, OrdinaryFilesDecodeAsTheDecoderAloneDecodesThem) {
    struct Case {
        std::string label;
        Bytes bytes;
    };
    std::vector<Case> cases;
    for (const char* name :
         {"baseline-420.jpg", "baseline-422.jpg", "baseline-444.jpg", "progressive-420.jpg",
          "progressive-444.jpg", "progressive-grey.jpg", "grey.jpg", "cmyk.jpg", "restart-420.jpg",
          "restart-progressive-422.jpg"}) {
        cases.push_back({name, data_file(std::string("decode/") + name)});
    }
    const support::Image image = support::numbered_image(19, 13, 100);
    cases.push_back({"encoder's JPEG", encoder_jpeg()});
    cases.push_back({"encoder's 4:4:4 JPEG", support::encode_jpeg(image, 95)});
    cases.push_back({"PNG", support::encode_png(image)});
    cases.push_back({"BMP", support::encode_bmp(image)});

    for (const Case& c : cases) {
        // Ordinary files go to the decoder as they are, without a copy.
        MendedFile mended;
        ASSERT_TRUE(decode_guard_mend(c.bytes.data(), c.bytes.size(), &mended)) << c.label;
        EXPECT_FALSE(mended.bytes) << c.label;
        const support::Image expected = support::decode_bytes(c.bytes);
        ASSERT_GT(expected.width, 0) << c.label;
        pix_image raster{};
        ASSERT_EQ(decode_message(c.bytes, &raster), "") << c.label;
        pixel_owner owner(raster.pixels);
        ASSERT_EQ(raster.width, expected.width) << c.label;
        ASSERT_EQ(raster.height, expected.height) << c.label;
        const size_t bytes = static_cast<size_t>(raster.width) * raster.height * 4;
        EXPECT_EQ(Bytes(raster.pixels, raster.pixels + bytes), expected.rgba) << c.label;
    }
}

TEST_F(DecodeGuard, RefusesTheShapesThatReachDecoderFaults) {
    const std::string kSampling = "JPEG sampling factors are not whole ratios";
    const std::string kHuffmanTooLarge = "JPEG Huffman table holds more than 256 codes";
    const std::string kHuffmanUndefined = "JPEG scan uses an undefined Huffman table";
    const std::string kQuantUndefined = "JPEG scan uses an undefined quantization table";

    const Bytes baseline = encoder_jpeg();
    const Bytes progressive = data_file("decode/progressive-420.jpg");
    const Bytes restarts = data_file("decode/restart-progressive-422.jpg");
    const Segment first_dht = segments_with(baseline, 0xC4).at(0);
    const Segment app0 = segments_with(baseline, 0xE0).at(0);
    const Bytes oversized_dc0 = huffman_segment(0x00, kOversizedCounts);
    const Bytes baseline_oversized = replaced(baseline, first_dht, oversized_dc0);
    const Segment last_progressive_dht = segments_with(progressive, 0xC4).back();
    const Segment last_restart_dht = segments_with(restarts, 0xC4).back();
    const auto dc_scan = [](int spectral_start) { return spectral_start == 0; };
    const auto ac_scan = [](int spectral_start) { return spectral_start > 0; };

    std::vector<uint8_t> counts_257(16, 0);
    counts_257[8] = 255;
    counts_257[9] = 2;
    // The decoder reads a table's counts past a segment that ends after
    // the table's first byte, and past the end of the file as zeros.
    Bytes counts_past_segment = huffman_segment(0x00, kOversizedCounts);
    put16(counts_past_segment, 2, 3);
    Bytes counts_past_file(baseline.begin(), baseline.begin() + static_cast<std::ptrdiff_t>(first_dht.start));
    for (uint8_t byte : {0xFF, 0xC4, 0x00, 0x20, 0x00, 0x00, 0xFF, 0xFF}) counts_past_file.push_back(byte);
    // A scan header cut short: its component ids read as zero, naming a
    // frame component of id 0, whose tables were never defined.
    Bytes cut_scan = without(baseline, 0xC4);
    cut_scan[segments_with(cut_scan, 0xC0).at(0).payload() + 6] = 0;
    cut_scan.resize(segments_with(cut_scan, 0xDA).at(0).payload() + 1);

    struct Case {
        const char* label;
        Bytes bytes;
        std::string reason;
    } cases[] = {
        {"H 3 beside H 2", with_sampling(baseline, {0x31, 0x21, 0x11}), kSampling},
        {"V 4 beside V 3", with_sampling(baseline, {0x14, 0x13, 0x11}), kSampling},
        {"H 4 beside H 3", with_sampling(baseline, {0x41, 0x31, 0x11}), kSampling},
        {"654 codes", baseline_oversized, kHuffmanTooLarge},
        {"257 codes", replaced(baseline, first_dht, huffman_segment(0x11, counts_257)), kHuffmanTooLarge},
        {"stray bytes before an oversized table",
         inserted_before(replaced(baseline, first_dht, oversized_dc0), app0.end(), {0x00, 0x7F}),
         kHuffmanTooLarge},
        {"fill bytes before an oversized table",
         inserted_before(baseline_oversized, first_dht.start, {0xFF, 0xFF}), kHuffmanTooLarge},
        {"oversized table between progressive scans",
         replaced(progressive, last_progressive_dht, huffman_segment(0x11, kOversizedCounts)),
         kHuffmanTooLarge},
        {"oversized table behind scans with restart markers",
         replaced(restarts, last_restart_dht, huffman_segment(0x11, kOversizedCounts)), kHuffmanTooLarge},
        {"table counts past the segment's end", replaced(baseline, first_dht, counts_past_segment),
         kHuffmanTooLarge},
        {"table counts past the file's end", counts_past_file, kHuffmanTooLarge},
        {"no Huffman tables at all", without(baseline, 0xC4), kHuffmanUndefined},
        {"scan header cut short", cut_scan, kHuffmanUndefined},
        {"scan names DC table 2", with_scan_tables(baseline, dc_scan, 0x20), kHuffmanUndefined},
        {"scan names AC table 3", with_scan_tables(baseline, dc_scan, 0x03), kHuffmanUndefined},
        {"progressive DC scan names DC table 3", with_scan_tables(progressive, dc_scan, 0x30),
         kHuffmanUndefined},
        {"progressive AC scan names AC table 3", with_scan_tables(progressive, ac_scan, 0x03),
         kHuffmanUndefined},
        {"frame names quantization table 2", with_frame_quant_table(baseline, 0, 2), kQuantUndefined},
        {"no quantization tables at all", without(baseline, 0xDB), kQuantUndefined},
    };
    for (const Case& c : cases) {
        pix_image raster{};
        EXPECT_EQ(decode_message(c.bytes, &raster), refusal(c.reason)) << c.label;
        EXPECT_EQ(raster.pixels, nullptr) << c.label;
    }
}

TEST_F(DecodeGuard, LeavesTablesAScanDoesNotUseToTheDecoder) {
    // A progressive first DC scan reads no AC table: one that names AC
    // table 3, never defined, still decodes.
    const Bytes progressive = data_file("decode/progressive-420.jpg");
    const Bytes first_dc = with_scan_tables(progressive, [](int start) { return start == 0; }, 0x03);
    pix_image raster{};
    EXPECT_EQ(decode_message(first_dc, &raster), "");
    std::free(raster.pixels);
}

// A PNG of one IHDR chunk (CRC not filled in), a token IDAT and IEND.
Bytes png_header(uint32_t width, uint32_t height, uint8_t bit_depth, uint8_t colour_type) {
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<uint8_t>(value >> shift));
    }
    const Bytes rest = {bit_depth, colour_type, 0, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 2, 'I', 'D', 'A', 'T', 0x78, 0x9C, 0, 0, 0, 0,
                        0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    png.insert(png.end(), rest.begin(), rest.end());
    return png;
}

TEST_F(DecodeGuard, RefusesSixteenBitPngsWhoseWideningWraps) {
    struct Case {
        const char* label;
        Bytes bytes;
        bool refused;
    } cases[] = {
        {"grey16 23171 x 23171", png_header(23171, 23171, 16, 0), true},
        {"grey16 2^29 pixels", png_header(1 << 14, 1 << 15, 16, 0), true},
        {"RGBA16 2^29 pixels", png_header(1 << 15, 1 << 14, 16, 6), true},
        {"grey16 one pixel under 2^29", png_header((1 << 29) - 1, 1, 16, 0), false},
        {"grey8 23171 x 23171", png_header(23171, 23171, 8, 0), false},
    };
    for (const Case& c : cases) {
        const char* reason = decode_guard_check(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(reason ? std::string(reason) : "", c.refused ? "too large" : "") << c.label;
    }
    pix_image raster{};
    EXPECT_EQ(decode_message(png_header(23171, 23171, 16, 0), &raster), refusal("too large"));
}

// Bitmaps the decoder reads with a short palette (tests/data/decoder-cases,
// from fuzz/make_corpus.py) go to it as mended copies: every pixel it read
// right stays as it was, byte for byte; an index it read past takes the
// file's palette entry (its blue, green, red), and an index past the
// file's palette is opaque black.
TEST_F(DecodeGuard, MendedBitmapsKeepTheDecodersPixelsWhereItReadThemRight) {
    const struct {
        const char* name;
        int decoder_entries;  // palette entries the decoder reads alone; 0: no palette
        int file_entries;
        size_t palette_start;
        size_t entry_size;
    } cases[] = {
        {"os2-8bit.bmp", 252, 256, 26, 3},       // a core header's palette, read four short
        {"pal8-bad-index.bmp", 101, 101, 54, 4},  // indices up to 255
        {"os2-24bit.bmp", 0, 0, 0, 0},           // no palette: the decoder reads it all right
    };
    for (const auto& c : cases) {
        const Bytes file = data_file(std::string("decoder-cases/") + c.name);
        MendedFile mended;
        ASSERT_TRUE(decode_guard_mend(file.data(), file.size(), &mended)) << c.name;
        ASSERT_TRUE(mended.bytes) << c.name;
        const support::Image alone = support::decode_bytes(file);
        pix_image raster{};
        ASSERT_EQ(decode_message(file, &raster), "") << c.name;
        pixel_owner owner(raster.pixels);
        ASSERT_EQ(raster.width, alone.width) << c.name;
        ASSERT_EQ(raster.height, alone.height) << c.name;

        // 8-bit rows, bottom-up, from the offset the file header gives.
        const uint32_t pixels_start = uint32_t{file[10]} | uint32_t{file[11]} << 8 |
                                      uint32_t{file[12]} << 16 | uint32_t{file[13]} << 24;
        const size_t stride = (static_cast<size_t>(raster.width) + 3) / 4 * 4;
        int read_past = 0, past_file = 0;
        for (int y = 0; y < raster.height; ++y) {
            for (int x = 0; x < raster.width; ++x) {
                const size_t at = (static_cast<size_t>(y) * raster.width + x) * 4;
                const Bytes got(raster.pixels + at, raster.pixels + at + 4);
                const int index =
                    c.decoder_entries ? file[pixels_start + (raster.height - 1 - y) * stride + x] : 0;
                Bytes expected(alone.rgba.begin() + at, alone.rgba.begin() + at + 4);
                if (index >= c.file_entries && c.decoder_entries > 0) {
                    ++past_file;
                    expected = {0, 0, 0, 255};
                } else if (index >= c.decoder_entries && c.decoder_entries > 0) {
                    ++read_past;
                    const size_t entry = c.palette_start + c.entry_size * index;
                    expected = {file[entry + 2], file[entry + 1], file[entry], 255};
                }
                ASSERT_EQ(got, expected) << c.name << " at " << x << "," << y << ", index " << index;
            }
        }
        EXPECT_EQ(read_past > 0, c.file_entries > c.decoder_entries) << c.name;
        EXPECT_EQ(past_file > 0, c.file_entries == c.decoder_entries && c.decoder_entries > 0) << c.name;
    }
}

// A BMP header with the given sides (header of 40 bytes and 32-bit pixels,
// or the 12-byte one with 16-bit sides and 24-bit pixels) and 16 bytes of
// pixels.
Bytes bmp_header(uint32_t header_size, uint32_t width, uint32_t height) {
    Bytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    auto put32 = [&bmp](uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) bmp.push_back(static_cast<uint8_t>(value >> shift));
    };
    auto put16 = [&bmp](uint32_t value) {
        bmp.push_back(static_cast<uint8_t>(value));
        bmp.push_back(static_cast<uint8_t>(value >> 8));
    };
    put32(header_size);
    if (header_size == 12) {
        put16(width);
        put16(height);
        put16(1);
        put16(24);
    } else {
        put32(width);
        put32(height);
        put16(1);
        put16(32);
        for (int i = 0; i < 6; ++i) put32(0);
    }
    const uint32_t offset = static_cast<uint32_t>(bmp.size());
    for (int i = 0; i < 4; ++i) bmp[10 + i] = static_cast<uint8_t>(offset >> (8 * i));
    bmp.insert(bmp.end(), 16, 0x7F);
    return bmp;
}

TEST_F(DecodeGuard, RefusesBmpsWithoutPixels) {
    struct Case {
        const char* label;
        Bytes bytes;
        bool refused;
    } cases[] = {
        {"width 0", bmp_header(40, 0, 4), true},
        {"height 0", bmp_header(40, 4, 0), true},
        {"core header, width 0", bmp_header(12, 0, 1), true},
        {"4 x 1", bmp_header(40, 4, 1), false},
        {"4 x 1 top-down", bmp_header(40, 4, 0xFFFFFFFF), false},
        {"core header, 4 x 1", bmp_header(12, 4, 1), false},
    };
    for (const Case& c : cases) {
        pix_image raster{};
        const std::string message = decode_message(c.bytes, &raster);
        std::free(raster.pixels);
        if (c.refused) {
            EXPECT_EQ(message, refusal("BMP image has no pixels")) << c.label;
        } else {
            EXPECT_EQ(message, "") << c.label;
        }
    }
}

Bytes trimmed(Bytes bytes, size_t count) {
    bytes.resize(bytes.size() - count);
    return bytes;
}

// A few hundred bytes claiming millions of rows would otherwise be padded
// row by row into a huge picture.
TEST_F(DecodeGuard, RefusesBmpsWhosePixelDataIsCutShort) {
    struct Case {
        const char* label;
        Bytes bytes;
        bool refused;
    } cases[] = {
        // Core header, 24 bits, 1 x 4: rows of 4 bytes (3 and a pad byte).
        {"complete", bmp_header(12, 1, 4), false},
        {"last row's padding left out", trimmed(bmp_header(12, 1, 4), 1), false},
        {"last row cut", trimmed(bmp_header(12, 1, 4), 2), true},
        {"one row of many", bmp_header(40, 4, 2), true},
        {"top-down, one row of many", bmp_header(40, 4, static_cast<uint32_t>(-2)), true},
        {"millions of rows", bmp_header(12, 9, 60000), true},
    };
    for (const Case& c : cases) {
        pix_image raster{};
        const std::string message = decode_message(c.bytes, &raster);
        std::free(raster.pixels);
        if (c.refused) {
            EXPECT_EQ(message, refusal("BMP pixel data truncated")) << c.label;
        } else {
            EXPECT_EQ(message, "") << c.label;
        }
    }
}

// The guard and the decoder read the file's bytes where read_file left
// them: a file cut anywhere is read within its bytes (the copy is exactly
// as long as the cut, so the sanitizer build sees any read past it) and
// either decodes or is refused with the decode message.
TEST_F(DecodeGuard, FilesCutAnywhereAreReadWithinTheirBytes) {
    const support::Image image = support::numbered_image(19, 13, 100);
    const struct {
        const char* label;
        Bytes bytes;
    } files[] = {
        {"baseline JPEG", encoder_jpeg()},
        {"progressive JPEG", data_file("decode/progressive-420.jpg")},
        {"PNG", support::encode_png(image)},
        {"BMP", support::encode_bmp(image)},
        // Decoded through mended copies.
        {"OS/2 BMP", data_file("decoder-cases/os2-card-4bit.bmp")},
        {"BMP with a short palette", data_file("decoder-cases/pal8-bad-index.bmp")},
        {"PNG with a short palette", data_file("decoder-cases/palette-past-plte.png")},
    };
    const std::string refused = "cannot decode image: " + path("input") + " (";
    for (const auto& file : files) {
        for (size_t length = 1; length <= file.bytes.size(); ++length) {
            const Bytes cut(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(length));
            decode_guard_check(cut.data(), cut.size());
            pix_image raster{};
            const std::string message = decode_message(cut, &raster);
            std::free(raster.pixels);
            if (!message.empty()) {
                ASSERT_EQ(message.rfind(refused, 0), 0u) << file.label << " cut at " << length << ": " << message;
            } else {
                ASSERT_GT(raster.width, 0) << file.label << " cut at " << length;
            }
        }
    }
}

}  // namespace
