// Image file access: whole-file reads, format recognition by content,
// output format by extension, and the codec calls.
#include "image_io.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "decode_guard.h"
#include "error.h"
#include "jpeg_writer.h"
#include "large_block.h"
#include "output.h"
#include "png_writer.h"
#include "stb_image.h"
#include "stb_image_write.h"

namespace {

struct OutputFormat {
    const char* extension;
    img_format format;
};

// Output formats by extension, compared whole and ignoring ASCII case.
constexpr OutputFormat kOutputFormats[] = {
    {"jpg", IMG_FMT_JPEG},
    {"jpeg", IMG_FMT_JPEG},
    {"png", IMG_FMT_PNG},
    {"bmp", IMG_FMT_BMP},
};

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
    }
    return *a == *b;
}

// The PNG writer's built-in deflate grows its stream in an int-counted
// buffer of 2, 5, 11, ... (3 * 2^k - 1) bytes; the step past this one
// overflows. It spends at most 9 bits on a byte, plus a 3-bit block header,
// a 7-bit end code, the padding to a byte, 2 header and 4 checksum bytes.
// The other compressors' streams stay well inside this.
constexpr int64_t kDeflateBufferCapacity = 3 * (int64_t{1} << 29) - 1;

bool png_stream_fits(int64_t filtered_bytes) {
    return 2 + (9 * filtered_bytes + 3 + 7 + 7) / 8 + 4 <= kDeflateBufferCapacity - 1;
}

// Collects the encoder's output in one growing malloc'd block.
struct MemorySink {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
    uint64_t capacity = 0;
    bool failed = false;
};

void append_to_sink(void* context, void* data, int size) {
    auto* sink = static_cast<MemorySink*>(context);
    if (sink->failed || size <= 0) return;
    uint64_t needed = sink->length + static_cast<uint64_t>(size);
    if (needed > sink->capacity) {
        uint64_t capacity = sink->capacity ? sink->capacity * 2 : 1 << 16;
        while (capacity < needed) capacity *= 2;
        void* grown = std::realloc(sink->bytes.get(), static_cast<size_t>(capacity));
        if (!grown) {
            sink->failed = true;
            return;
        }
        sink->bytes.release();
        sink->bytes.reset(static_cast<uint8_t*>(grown));
        sink->capacity = capacity;
    }
    std::memcpy(sink->bytes.get() + sink->length, data, static_cast<size_t>(size));
    sink->length = needed;
}

// A first block of `capacity` bytes; without it the sink grows from 64 KiB.
void reserve_sink(MemorySink* sink, uint64_t capacity) {
    if (capacity <= (1 << 16) || capacity > SIZE_MAX) return;
    sink->bytes.reset(static_cast<uint8_t*>(veerpix_malloc_large(static_cast<size_t>(capacity))));
    sink->capacity = sink->bytes ? capacity : 0;
}

struct Encoded {
    malloc_ptr<uint8_t> bytes;
    uint64_t length = 0;
};

Encoded encode_to_memory(const pix_image* raster, img_format format) {
    const int width = raster->width;
    const int height = raster->height;
    if (format == IMG_FMT_PNG || format == IMG_FMT_JPEG) {
        Encoded encoded;
        encoded.bytes = format == IMG_FMT_PNG ? write_png_to_memory(*raster, &encoded.length)
                                              : write_jpeg_to_memory(*raster, &encoded.length);
        return encoded;
    }
    MemorySink sink;
    // Room for the whole output at once saves the copies and page faults of
    // growing by doubling: a BMP's size is known.
    reserve_sink(&sink, uint64_t(width) * uint64_t(height) * 4 + 1024);
    int ok = stbi_write_bmp_to_func(append_to_sink, &sink, width, height, 4, raster->pixels);
    if (!ok || sink.failed) return {};
    return {std::move(sink.bytes), sink.length};
}

// The decoder refuses a raster of more than INT_MAX bytes only after it
// has set up the planes of the file's own channels, and for a JPEG filled
// them: a tiny grey JPEG claiming 40000 x 40000 would first cost 1.6 GB.
// The header gives the size, so the same limit is applied before decoding.
const char* raster_size_check(std::FILE* file) {
    int width = 0, height = 0, channels = 0;
    // A header that the decoder cannot read is the decoder's to refuse.
    if (!stbi_info_from_file(file, &width, &height, &channels)) return nullptr;
    return int64_t{width} * height > INT_MAX / 4 ? "too large" : nullptr;
}

}  // namespace

malloc_ptr<uint8_t> read_file(const char* path, uint64_t* length) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    struct Closer {
        std::FILE* file;
        ~Closer() { std::fclose(file); }
    } closer{file};

    if (std::fseek(file, 0, SEEK_END) != 0) return nullptr;
    long size = std::ftell(file);
    // Held as a signed 32-bit count: empty files and files of 2 GiB or
    // more are refused.
    if (size <= 0 || size > INT32_MAX) return nullptr;
    std::rewind(file);

    malloc_ptr<uint8_t> buffer(static_cast<uint8_t*>(veerpix_malloc_large(static_cast<size_t>(size))));
    if (!buffer) return nullptr;
    if (std::fread(buffer.get(), 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
        return nullptr;
    }
    *length = static_cast<uint64_t>(size);
    return buffer;
}

img_format detect_format(const uint8_t* bytes, uint64_t length) {
    if (length < 2) return IMG_FMT_UNKNOWN;
    if (bytes[0] == 0xFF) return bytes[1] == 0xD8 ? IMG_FMT_JPEG : IMG_FMT_UNKNOWN;
    if (bytes[0] == 0x89 && length >= 8) {
        return std::memcmp(bytes + 1, "PNG", 3) == 0 ? IMG_FMT_PNG : IMG_FMT_UNKNOWN;
    }
    if (bytes[0] == 'B' && bytes[1] == 'M') return IMG_FMT_BMP;
    return IMG_FMT_UNKNOWN;
}

img_format format_from_path(const char* path, img_format fallback) {
    const char* dot = std::strrchr(path, '.');
    if (!dot || dot[1] == '\0') return fallback;
    for (const OutputFormat& entry : kOutputFormats) {
        if (equals_ignoring_ascii_case(dot + 1, entry.extension)) return entry.format;
    }
    return fallback;
}

int decode_image(const char* path, pix_image* raster) {
    int width = 0, height = 0, channels = 0;
    uint8_t* pixels = nullptr;
    const char* reason = "can't fopen";
    if (std::FILE* file = std::fopen(path, "rb")) {
        // Shapes of file that reach the decoder's known faults never reach it.
        reason = decode_guard_check(file);
        if (!reason) reason = raster_size_check(file);
        if (!reason) {
            pixels = stbi_load_from_file(file, &width, &height, &channels, 4);
            if (!pixels) reason = stbi_failure_reason();
        }
        // The decoder takes a failed read for the end of the file and fills
        // in what is missing: such a picture is not the file's.
        if (pixels && std::ferror(file)) {
            std::free(pixels);
            pixels = nullptr;
            reason = "read error";
        }
        std::fclose(file);
    }
    if (!pixels) {
        set_err("cannot decode image: %s (%s)", path, reason ? reason : "unknown");
        return 0;
    }
    raster->width = width;
    raster->height = height;
    raster->pixels = pixels;
    return 1;
}

// The writers count in int: each bound is where one of their sums would
// first overflow, or where the format ends.
bool encoder_accepts(int64_t width, int64_t height, img_format format) {
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) return false;
    const int64_t pixels = width * height;
    switch (format) {
        case IMG_FMT_JPEG:
            // 16-bit sides in the frame header; pixels indexed as row * width * 4.
            return width <= 65535 && height <= 65535 && pixels <= INT_MAX / 4;
        case IMG_FMT_BMP:
            // The file header's size field: 122 + width * height * 4.
            return pixels <= (INT_MAX - 122) / 4;
        default:
            // Each row's filter estimate adds up to 128 per byte; the
            // filtered rows, a filter byte each, go to the deflate stream.
            return width <= INT_MAX / (128 * 4) && png_stream_fits((width * 4 + 1) * height);
    }
}

int encode_image(const char* path, const pix_image* raster, img_format format) {
    if (!encoder_accepts(raster->width, raster->height, format)) {
        set_err("failed to write output: %s", path);
        return 0;
    }
    Encoded encoded = encode_to_memory(raster, format);
    if (!encoded.bytes) {
        set_err("failed to write output: %s", path);
        return 0;
    }
    return write_file(path, std::move(encoded.bytes), encoded.length);
}
